#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "device/relay.h"

class Clock;

// Answers one connection's refresh requests at most once per interval: a request that comes sooner is held, and
// all requests held for a connection are answered once, when its interval ends, so its editor still ends up with
// what was asked for last. Created once by the command handler; lives for the whole run, with one entry per
// connection that asked, dropped when the connection closes.
class RefreshLimiter {
public:
    // A quarter of a second: four answers a second at most.
    static constexpr uint64_t intervalMs = 250;

    explicit RefreshLimiter(Clock& clock) : clock(clock) {}

    // True when the request may be answered now (and is counted as answered); false when it is held.
    bool admit(EditorId editor);
    // The connections whose held request is due now, each counted as answered.
    std::vector<EditorId> takeDue();
    // When the first held request is due; UINT64_MAX for none.
    uint64_t nextDueMs() const;
    void forget(EditorId editor);

private:
    struct Pace {
        uint64_t answeredMs = 0;
        bool held = false;
    };

    Clock& clock;
    std::unordered_map<EditorId, Pace> paces;
    size_t heldCount = 0;
};
