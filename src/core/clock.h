#pragma once

#include <cstdint>

// Wall-clock milliseconds, used for acknowledgement time-outs.
class Clock {
public:
    virtual ~Clock() = default;
    virtual uint64_t nowMs() = 0;
};

// The program's clock: created by the program's main; lives for the whole run.
class SystemClock : public Clock {
public:
    uint64_t nowMs() override;
};
