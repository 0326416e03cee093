#pragma once

#include <chrono>
#include <cstddef>

// What one chunk's exchange costs on a pseudo-terminal without the relay: a program writes a chunk's frame, waits in
// poll for the answer and reads it, while a thread at the far end answers each frame at once with an acknowledgement
// and echo of their real size. The CPU of the writing thread per exchange is the floor under the relay's own cost per
// chunk on this machine: the kernel's share that no relay code can remove. Returns a negative figure when no
// pseudo-terminal could be opened.
double ptyExchangeCpuMicroseconds(size_t exchanges);

// The multi-board write without the relay: boards pseudo-terminals, one thread that writes each a chunk's frame,
// waits in epoll and writes the next once the answer is read, and one thread at the far ends that answers each frame
// delay after it came, timed as the benchmark's boards are (epoll and a timerfd). Returns the seconds the slowest
// took for its exchanges, negative when no pseudo-terminal could be opened or an exchange was not answered.
double ptyCrowdSlowestSeconds(int boards, size_t exchanges, std::chrono::microseconds delay);
