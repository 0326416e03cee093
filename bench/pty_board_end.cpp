#include "bench/pty_board_end.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>

bool openPtyBoardEnds(int& hostEnd, int& boardEnd)
{
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&boardEnd, &hostEnd, nullptr, &raw, nullptr) != 0) {
        hostEnd = -1;
        boardEnd = -1;
        return false;
    }
    for (const int descriptor : {hostEnd, boardEnd}) {
        fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) | O_NONBLOCK);
        fcntl(descriptor, F_SETFD, FD_CLOEXEC);
    }
    return true;
}

void armAnswerTimer(int timer, std::chrono::steady_clock::time_point at)
{
    itimerspec due{};
    if (at != std::chrono::steady_clock::time_point::max()) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
        due.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
        // 0 would disarm it.
        due.it_value.tv_nsec = std::max(1L, static_cast<long>(ns % 1000000000));
    }
    timerfd_settime(timer, TFD_TIMER_ABSTIME, &due, nullptr);
}
