#pragma once

#include <cstdint>
#include <string>

#include "device/relay.h"

class Clock;
class SerialDriver;

// What the queue tells the layers above about the messages it carries; they decide what the editor is told.
class OutgoingQueueEvents {
public:
    virtual ~OutgoingQueueEvents() = default;
    // The board acknowledged the message in flight, which has left the queue.
    virtual void onHeadAnswered(Relay& relay, const SerialMessage& head) = 0;
    // The board refused the message in flight. A refused flash start is reported before the flash messages are
    // culled, any other refusal after the message has left the queue.
    virtual void onHeadRefused(Relay& relay, const SerialMessage& head) = 0;
    // The wait for the board's answer was given up; the message and the flash messages behind it are gone.
    virtual void onHeadGivenUp(Relay& relay, const SerialMessage& head) = 0;
    // The message could not be written to the port and was dropped.
    virtual void onHeadDropped(Relay& relay, const SerialMessage& head) = 0;
};

enum class AckMode { Normal, Forced };

// Per-relay queues of messages for the boards: one message in flight per relay, sent when the previous one was
// answered or given up after the acknowledgement time-out. Created by the board link; lives as long as it.
class OutgoingQueue {
public:
    static constexpr uint64_t ackTimeoutMs = 1000;
    // Room for a 4 MiB firmware in 32-byte chunks plus commands, while bounding what one board can hold.
    static constexpr size_t maxQueuedPerRelay = 131072 + 1024;

    OutgoingQueue(SerialDriver& driver, Clock& clock, RelayList& relays, OutgoingQueueEvents& events);

    // Appends a copy; false (with a warning) when the relay's queue is full.
    bool enqueue(Relay& relay, const SerialMessage& message);
    size_t freeSlots(const Relay& relay) const { return maxQueuedPerRelay - relay.outgoing.size(); }
    // One pass over all relays; true when any relay sent or dropped a message.
    bool serviceOutgoingQueues();
    // The same for one relay.
    bool serviceRelay(Relay& relay);
    // The clock time at which serviceOutgoingQueues next has work that no board input brings: now while a message
    // may go, else the end of the earliest acknowledgement wait or of a frame's time to leave; UINT64_MAX for none.
    uint64_t nextDueMs() const;
    void acknowledge(Relay& relay, AckMode mode);
    void rejectHead(Relay& relay);
    void restartAckTimer(Relay& relay);
    // Removes the run of flash messages at the front of the queue, behind the message in flight if one is.
    void cullFirmwareFlashMessages(Relay& relay);

    // Messages written to the boards, and waits given up, since the start.
    uint64_t messagesSent() const { return sentCount; }
    uint64_t acknowledgementTimeouts() const { return timeoutCount; }

    static bool waitsForAcknowledgement(uint16_t type);

private:
    // Sends what the port takes of the frame still leaving; true when the relay is done with it (left, or given up
    // as a failed send, which then sets dropped).
    bool finishFrame(Relay& relay, bool& dropped);
    // Forgets the part of a frame the board began but did not finish before the wait was given up.
    void dropUnfinishedFrame(Relay& relay);

    SerialDriver& driver;
    Clock& clock;
    RelayList& relays;
    OutgoingQueueEvents& events;
    uint64_t sentCount = 0;
    uint64_t timeoutCount = 0;
};
