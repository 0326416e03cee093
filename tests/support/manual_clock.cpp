#include "manual_clock.h"

ManualClock::ManualClock(uint64_t startMs) : now(startMs) {}

uint64_t ManualClock::nowMs() { return now; }

void ManualClock::advance(uint64_t ms) { now += ms; }

void ManualClock::set(uint64_t ms) { now = ms; }
