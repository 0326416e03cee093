#pragma once

#include "core/clock.h"

// A wall clock that tests set and advance by hand.
class ManualClock : public Clock {
public:
    explicit ManualClock(uint64_t startMs = 1000000);
    uint64_t nowMs() override;
    void advance(uint64_t ms);
    void set(uint64_t ms);

private:
    uint64_t now;
};
