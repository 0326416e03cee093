#include "bench/pty_board_driver.h"

#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "bench/pty_board_end.h"
#include "simulation/simulated_serial_driver.h"

namespace {

double cpuMicroseconds(clockid_t clock)
{
    timespec now{};
    if (clock_gettime(clock, &now) != 0)
        return 0;
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

} // namespace

PtyBoardDriver::~PtyBoardDriver()
{
    stopBoards();
    for (const auto& port : ports) {
        ::close(port->relayEnd);
        ::close(port->boardEnd);
    }
}

SimulatedBoard* PtyBoardDriver::addBoard(const std::string& name, const SimulatedBoard::Identity& identity,
                                         std::chrono::microseconds answerDelay)
{
    auto port = std::make_unique<Port>(identity);
    port->name = name;
    port->answerDelay = answerDelay;
    if (!openPtyBoardEnds(port->relayEnd, port->boardEnd)) {
        std::fprintf(stderr, "no pseudo-terminal for %s: %s\n", name.c_str(), std::strerror(errno));
        return nullptr;
    }
    ports.push_back(std::move(port));
    return &ports.back()->board;
}

void PtyBoardDriver::startBoards()
{
    stopRequested = false;
    thread = std::thread([this] { serve(); });
    pthread_getcpuclockid(thread.native_handle(), &cpuClock);
}

void PtyBoardDriver::stopBoards()
{
    stopRequested = true;
    if (thread.joinable())
        thread.join();
}

double PtyBoardDriver::boardCpuMicroseconds() const
{
    return thread.joinable() ? cpuMicroseconds(cpuClock) : endCpuMicroseconds.load();
}

void PtyBoardDriver::answer(Port& port)
{
    uint8_t output[4096];
    while (port.board.hasOutput()) {
        const size_t taken = port.board.takeOutput(output, sizeof output);
        const uint8_t* bytes = output;
        size_t count = taken;
        // The relay reads its end at its own pace: wait for room rather than drop an answer.
        while (count > 0) {
            const ssize_t written = ::write(port.boardEnd, bytes, count);
            if (written > 0) {
                bytes += written;
                count -= static_cast<size_t>(written);
            } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
                return;
            } else {
                pollfd room{port.boardEnd, POLLOUT, 0};
                ::poll(&room, 1, 100);
            }
        }
    }
}

void PtyBoardDriver::serve()
{
    // A wait ends when asked, not up to 50 us later: the answer delay is the board's, not the timer's.
    prctl(PR_SET_TIMERSLACK, 1UL);
    // An epoll set rather than a poll of every port: a poll that sleeps pays for each descriptor twice, and with
    // sixteen boards that would make the boards' thread, not the relay, the one that answers late.
    const int readable = epoll_create1(EPOLL_CLOEXEC);
    for (size_t i = 0; i < ports.size(); ++i) {
        epoll_event interest{};
        interest.events = EPOLLIN;
        interest.data.u64 = i;
        epoll_ctl(readable, EPOLL_CTL_ADD, ports[i]->boardEnd, &interest);
    }
    // The earliest delayed answer's time, to the nanosecond (an epoll time-out counts whole milliseconds).
    const int answerDue = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    epoll_event dueInterest{};
    dueInterest.events = EPOLLIN;
    dueInterest.data.u64 = ports.size();
    epoll_ctl(readable, EPOLL_CTL_ADD, answerDue, &dueInterest);
    std::vector<epoll_event> ready(ports.size() + 1);
    auto armedFor = std::chrono::steady_clock::time_point::max();
    uint8_t input[4096];
    while (!stopRequested) {
        // Until the earliest delayed answer, at most 100 ms so that a stop is seen.
        auto until = std::chrono::steady_clock::time_point::max();
        for (const auto& port : ports) {
            if (port->board.hasOutput())
                until = std::min(until, port->answerAt);
        }
        if (until != armedFor) {
            armAnswerTimer(answerDue, until);
            armedFor = until;
        }
        const int count = ::epoll_wait(readable, ready.data(), static_cast<int>(ready.size()), 100);
        const auto now = std::chrono::steady_clock::now();
        for (int r = 0; r < count; ++r) {
            const uint64_t index = ready[static_cast<size_t>(r)].data.u64;
            if (index == ports.size()) {
                uint64_t expirations = 0;
                ::read(answerDue, &expirations, sizeof expirations);
                continue;
            }
            Port& port = *ports[index];
            const ssize_t got = ::read(port.boardEnd, input, sizeof input);
            if (got > 0) {
                const bool answering = port.board.hasOutput();
                port.board.receiveFromHost(input, static_cast<size_t>(got));
                // An answer already on its way keeps its time; what the board adds to it leaves with it.
                if (!answering)
                    port.answerAt = now + port.answerDelay;
            }
        }
        for (const auto& port : ports) {
            if (!port->board.hasOutput() || port->answerAt > now)
                continue;
            if (port->answerDelay.count() > 0) {
                const auto late = std::chrono::steady_clock::now() - port->answerAt;
                lateMicroseconds = lateMicroseconds + std::chrono::duration<double, std::micro>(late).count();
            }
            answer(*port);
        }
    }
    ::close(answerDue);
    ::close(readable);
    endCpuMicroseconds = cpuMicroseconds(CLOCK_THREAD_CPUTIME_ID);
}

PtyBoardDriver::Port* PtyBoardDriver::portOf(SerialPortHandle* handle) const
{
    for (const auto& port : ports) {
        if (reinterpret_cast<SerialPortHandle*>(port.get()) == handle)
            return port.get();
    }
    return nullptr;
}

bool PtyBoardDriver::listPorts(std::vector<SerialPortInfo>& list)
{
    list.clear();
    for (const auto& port : ports)
        list.push_back(SimulatedSerialDriver::boardPortInfo(port->name, "vantrel board (pseudo-terminal)"));
    return true;
}

SerialPortHandle* PtyBoardDriver::findPort(const std::string& name)
{
    for (const auto& port : ports) {
        if (port->name == name)
            return reinterpret_cast<SerialPortHandle*>(port.get());
    }
    error = "no such port: " + name;
    return nullptr;
}

bool PtyBoardDriver::open(SerialPortHandle* port) { return portOf(port) != nullptr; }

bool PtyBoardDriver::setBaudRate(SerialPortHandle* port, int) { return portOf(port) != nullptr; }

bool PtyBoardDriver::disableXonXoff(SerialPortHandle* port) { return portOf(port) != nullptr; }

int PtyBoardDriver::inputWaiting(SerialPortHandle* handle)
{
    const Port* port = portOf(handle);
    int waiting = 0;
    if (port == nullptr || ioctl(port->relayEnd, FIONREAD, &waiting) != 0)
        return FAILED_DEVICE;
    return waiting;
}

int PtyBoardDriver::readNonBlocking(SerialPortHandle* handle, uint8_t* buffer, size_t count)
{
    const Port* port = portOf(handle);
    if (port == nullptr)
        return -1;
    const ssize_t got = ::read(port->relayEnd, buffer, count);
    if (got < 0)
        return errno == EAGAIN ? 0 : -1;
    return static_cast<int>(got);
}

int PtyBoardDriver::writeNonBlocking(SerialPortHandle* handle, const uint8_t* data, size_t count)
{
    const Port* port = portOf(handle);
    if (port == nullptr)
        return -1;
    const ssize_t written = ::write(port->relayEnd, data, count);
    if (written < 0)
        return errno == EAGAIN ? 0 : -1;
    return static_cast<int>(written);
}

int PtyBoardDriver::waitDescriptor(SerialPortHandle* handle)
{
    const Port* port = portOf(handle);
    return port == nullptr ? -1 : port->relayEnd;
}

bool PtyBoardDriver::close(SerialPortHandle* port) { return portOf(port) != nullptr; }

void PtyBoardDriver::freePort(SerialPortHandle*) {}

std::string PtyBoardDriver::portName(SerialPortHandle* handle)
{
    const Port* port = portOf(handle);
    return port == nullptr ? std::string() : port->name;
}

std::string PtyBoardDriver::lastError() { return error; }

std::string PtyBoardDriver::libraryVersion() { return "pseudo-terminal boards"; }
