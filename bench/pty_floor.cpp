#include "bench/pty_floor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "bench/pty_board_end.h"

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

// A pseudo-terminal's two ends.
struct PtyPair {
    int host = -1;
    int board = -1;
};

// The far ends of every pair: each whole frame is answered delay after it came, one at a time per board.
void answerFrames(const std::vector<PtyPair>& pairs, std::chrono::microseconds delay, const std::atomic<bool>& stop)
{
    using Clock = std::chrono::steady_clock;
    prctl(PR_SET_TIMERSLACK, 1UL);
    const int ready = epoll_create1(EPOLL_CLOEXEC);
    const int due = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    // Nothing is answered then, and the writer's wait ends without its answers.
    if (ready < 0 || due < 0) {
        ::close(ready);
        ::close(due);
        return;
    }
    for (size_t i = 0; i <= pairs.size(); ++i) {
        epoll_event interest{};
        interest.events = EPOLLIN;
        interest.data.u64 = i;
        epoll_ctl(ready, EPOLL_CTL_ADD, i < pairs.size() ? pairs[i].board : due, &interest);
    }
    std::vector<size_t> pending(pairs.size(), 0);
    std::vector<Clock::time_point> answerAt(pairs.size(), Clock::time_point::max());
    std::vector<epoll_event> events(pairs.size() + 1);
    const unsigned char answer[answerBytes] = {};
    unsigned char input[4096];
    Clock::time_point armedFor = Clock::time_point::max();
    while (!stop) {
        const Clock::time_point until = *std::min_element(answerAt.begin(), answerAt.end());
        if (until != armedFor) {
            armAnswerTimer(due, until);
            armedFor = until;
        }
        const int count = epoll_wait(ready, events.data(), static_cast<int>(events.size()), 100);
        const Clock::time_point now = Clock::now();
        for (int e = 0; e < count; ++e) {
            const size_t i = events[static_cast<size_t>(e)].data.u64;
            if (i == pairs.size()) {
                uint64_t expirations = 0;
                (void)::read(due, &expirations, sizeof expirations);
                continue;
            }
            const ssize_t got = ::read(pairs[i].board, input, sizeof input);
            if (got > 0)
                pending[i] += static_cast<size_t>(got);
        }
        for (size_t i = 0; i < pairs.size(); ++i) {
            if (answerAt[i] == Clock::time_point::max() && pending[i] >= frameBytes) {
                pending[i] -= frameBytes;
                answerAt[i] = now + delay;
            }
            if (answerAt[i] <= now && ::write(pairs[i].board, answer, sizeof answer) == sizeof answer)
                answerAt[i] = Clock::time_point::max();
        }
    }
    ::close(due);
    ::close(ready);
}

} // namespace

double ptyCrowdSlowestSeconds(int boards, size_t exchanges, std::chrono::microseconds delay)
{
    std::vector<PtyPair> pairs(static_cast<size_t>(boards));
    bool opened = true;
    for (PtyPair& pair : pairs)
        opened = opened && openPtyBoardEnds(pair.host, pair.board);
    double slowest = -1;
    if (opened) {
        std::atomic<bool> stop{false};
        std::thread farEnds([&] { answerFrames(pairs, delay, stop); });
        const int ready = epoll_create1(0);
        const unsigned char frame[frameBytes] = {};
        std::vector<size_t> received(pairs.size(), 0);
        std::vector<size_t> done(pairs.size(), 0);
        const auto started = std::chrono::steady_clock::now();
        for (size_t i = 0; i < pairs.size(); ++i) {
            epoll_event interest{};
            interest.events = EPOLLIN;
            interest.data.u64 = i;
            epoll_ctl(ready, EPOLL_CTL_ADD, pairs[i].host, &interest);
            (void)::write(pairs[i].host, frame, sizeof frame);
        }
        std::vector<epoll_event> events(pairs.size());
        size_t finished = 0;
        unsigned char input[4096];
        int count = 0;
        while (finished < pairs.size() &&
               (count = epoll_wait(ready, events.data(), static_cast<int>(events.size()), 1000)) > 0) {
            for (int e = 0; e < count; ++e) {
                const size_t i = events[static_cast<size_t>(e)].data.u64;
                const ssize_t got = ::read(pairs[i].host, input, sizeof input);
                received[i] += got > 0 ? static_cast<size_t>(got) : 0;
                if (received[i] < answerBytes)
                    continue;
                received[i] -= answerBytes;
                if (++done[i] < exchanges) {
                    (void)::write(pairs[i].host, frame, sizeof frame);
                } else {
                    ++finished;
                    slowest = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
                }
            }
        }
        if (finished < pairs.size())
            slowest = -1;
        stop = true;
        farEnds.join();
        ::close(ready);
    }
    for (const PtyPair& pair : pairs) {
        ::close(pair.host);
        ::close(pair.board);
    }
    return slowest;
}

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
