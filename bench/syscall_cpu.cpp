// Preloaded into a benchmark, it takes the thread's CPU time around every write, read, poll, epoll_wait and send and
// prints, for each thread that made at least 1000 of them, the calls and the CPU each took on average, when the
// thread ends:
//   LD_PRELOAD=build-bench/libsyscall_cpu.so build-bench/end_to_end_benchmark -s chunk
// It shows what the kernel charges for each system call of a chunk, which no instruction count sees.
#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

namespace {

enum Call { writeCall, readCall, pollCall, epollCall, sendCall, callCount };
const char* const callNames[callCount] = {"write", "read", "poll", "epoll_wait", "send"};

// Each thread's own sums; printed and forgotten when it ends.
struct Sums {
    double microseconds[callCount] = {};
    long calls[callCount] = {};
};
thread_local Sums sums;
pthread_key_t endKey;
pthread_once_t endKeyOnce = PTHREAD_ONCE_INIT;

double threadCpu()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

void report(void*)
{
    if (sums.calls[writeCall] + sums.calls[pollCall] + sums.calls[epollCall] < 1000)
        return;
    std::fprintf(stderr, "[thread %ld]", static_cast<long>(gettid()));
    for (int call = 0; call < callCount; ++call) {
        if (sums.calls[call] > 0)
            std::fprintf(stderr, " %s %ld x %.2f us", callNames[call], sums.calls[call],
                         sums.microseconds[call] / static_cast<double>(sums.calls[call]));
    }
    std::fprintf(stderr, "\n");
}

// Runs the library's own function of that name, timed.
template <typename Function, typename... Arguments>
auto timed(Call call, const char* name, Arguments... arguments)
{
    static const auto next = reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
    pthread_once(&endKeyOnce, [] { pthread_key_create(&endKey, report); });
    pthread_setspecific(endKey, &sums);
    const double before = threadCpu();
    const auto result = next(arguments...);
    sums.microseconds[call] += threadCpu() - before;
    ++sums.calls[call];
    return result;
}

} // namespace

extern "C" {

ssize_t write(int descriptor, const void* bytes, size_t count)
{
    return timed<ssize_t(int, const void*, size_t)>(writeCall, "write", descriptor, bytes, count);
}

ssize_t read(int descriptor, void* bytes, size_t count)
{
    return timed<ssize_t(int, void*, size_t)>(readCall, "read", descriptor, bytes, count);
}

int poll(pollfd* descriptors, nfds_t count, int timeoutMs)
{
    return timed<int(pollfd*, nfds_t, int)>(pollCall, "poll", descriptors, count, timeoutMs);
}

int epoll_wait(int set, epoll_event* events, int count, int timeoutMs)
{
    return timed<int(int, epoll_event*, int, int)>(epollCall, "epoll_wait", set, events, count, timeoutMs);
}

ssize_t send(int descriptor, const void* bytes, size_t count, int flags)
{
    return timed<ssize_t(int, const void*, size_t, int)>(sendCall, "send", descriptor, bytes, count, flags);
}
}
