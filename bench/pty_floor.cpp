#include "bench/pty_floor.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace {

// A chunk's frame to the board, and its acknowledgement with the echo back, as a write sends them.
constexpr size_t frameBytes = 44;
constexpr size_t answerBytes = 53;

double threadCpu()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// Reads a whole message of the given size, waiting in poll as the relay's loop does.
bool readAll(int descriptor, unsigned char* buffer, size_t bytes)
{
    size_t got = 0;
    while (got < bytes) {
        pollfd ready{descriptor, POLLIN, 0};
        if (::poll(&ready, 1, 1000) != 1)
            return false;
        const ssize_t count = ::read(descriptor, buffer + got, bytes - got);
        if (count <= 0)
            return false;
        got += static_cast<size_t>(count);
    }
    return true;
}

} // namespace

double ptyExchangeCpuMicroseconds(size_t exchanges)
{
    const int board = posix_openpt(O_RDWR | O_NOCTTY);
    if (board < 0 || grantpt(board) != 0 || unlockpt(board) != 0) {
        if (board >= 0)
            ::close(board);
        return -1;
    }
    const int host = ::open(ptsname(board), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios raw{};
    if (host < 0 || tcgetattr(host, &raw) != 0) {
        ::close(board);
        if (host >= 0)
            ::close(host);
        return -1;
    }
    cfmakeraw(&raw);
    tcsetattr(host, TCSANOW, &raw);
    std::thread answerer([board, exchanges] {
        unsigned char frame[frameBytes];
        const unsigned char answer[answerBytes] = {};
        for (size_t i = 0; i < exchanges && readAll(board, frame, sizeof frame); ++i)
            if (::write(board, answer, sizeof answer) != static_cast<ssize_t>(sizeof answer))
                break;
    });
    const unsigned char frame[frameBytes] = {};
    unsigned char answer[answerBytes];
    const double before = threadCpu();
    size_t done = 0;
    while (done < exchanges && ::write(host, frame, sizeof frame) == static_cast<ssize_t>(sizeof frame) &&
           readAll(host, answer, sizeof answer))
        ++done;
    const double spent = threadCpu() - before;
    ::close(host);
    answerer.join();
    ::close(board);
    return done == exchanges ? spent / static_cast<double>(exchanges) : -1;
}
