#pragma once

#include <chrono>

// What a thread that plays boards behind pseudo-terminals needs of the system, for the board driver of the benchmark
// and the programs that measure the exchange without the relay alike.

// One pseudo-terminal: the host's end (the terminal side, as a device node would be) and the board's end, both raw,
// non-blocking and closed on exec. False, with nothing left open, when none could be opened.
bool openPtyBoardEnds(int& hostEnd, int& boardEnd);

// Arms a timerfd for a board's next answer, to the nanosecond (an epoll time-out counts whole milliseconds);
// time_point::max() disarms it, and a time already past makes it fire at once.
void armAnswerTimer(int timer, std::chrono::steady_clock::time_point at);
