#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

// One message for the broker.
struct Publication {
    // What it is, for what may be dropped or merged when the broker is slow or gone.
    enum class Kind {
        // A retained state (presence, the board list): a newer one for the same topic replaces a waiting one.
        state,
        // Progress of a write or a live value: a later one says more, so these go first, and at most two a second
        // leave for one key.
        progress,
        // A write's end: kept while any other message can make room for it.
        outcome,
        // Everything else: a board added or gone, a write started, a command's reply.
        other,
    };
    std::string topic;
    std::string payload;
    Kind kind = Kind::other;
    bool retain = false;
    // What progress is paced by (the topic and the board's port); empty for the topic alone.
    std::string paceKey;
};

// The messages waiting to leave for the broker, in order, within a bound: while the broker is gone they wait here,
// and when more wait than the bound allows, the oldest progress goes first, then the oldest other message, and a
// write's outcome only when nothing else is left. The bound counts messages and their bytes. Created by the broker link; lives as long as it.
class BrokerOutbox {
public:
    static constexpr size_t maxWaiting = 1000;
    static constexpr size_t maxWaitingBytes = 16 << 20;
    // Progress of one key leaves at most this often; the newest of those held leaves when the interval ends.
    static constexpr uint64_t progressIntervalMs = 500;

    // Queues the message (or holds it back as paced progress); returns how many messages the bound pushed out.
    size_t push(Publication publication, uint64_t nowMs);
    // Moves held progress whose interval has ended into the queue.
    void releaseDue(uint64_t nowMs);
    // When held progress is next due; UINT64_MAX for none.
    uint64_t nextDueMs() const;

    bool empty() const { return waiting.empty(); }
    size_t size() const { return waiting.size(); }
    const Publication& front() const { return waiting.front(); }
    void pop()
    {
        waitingBytes -= waiting.front().payload.size();
        waiting.pop_front();
    }
    // Messages pushed out by the bound since the start.
    uint64_t droppedCount() const { return dropped; }

private:
    // Held progress of one key: made when progress comes within the interval, replaced by newer progress, released
    // when the interval ends or dropped when a message that ends the story of that key comes.
    struct Held {
        Publication publication;
        uint64_t dueMs = 0;
    };

    void enqueue(Publication publication);
    // Removes the oldest message of that kind; false when there is none.
    bool dropOldest(Publication::Kind kind);

    std::deque<Publication> waiting;
    // The bytes of the payloads waiting.
    size_t waitingBytes = 0;
    std::map<std::string, Held> held;
    // When the last progress of a key was queued.
    std::map<std::string, uint64_t> lastProgressMs;
    uint64_t dropped = 0;
    size_t droppedNow = 0;
};
