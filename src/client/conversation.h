#pragma once

#include <cstdint>
#include <vector>

#include <json/value.h>

// Milliseconds of the monotonic clock: every wait of the client is measured with it.
uint64_t steadyMs();

// What a conversation may send to the relay.
class MessageSender {
public:
    virtual ~MessageSender() = default;
    virtual void send(const Json::Value& message) = 0;
    // One binary WebSocket message.
    virtual void sendBinary(std::vector<uint8_t> bytes) = 0;
};

// One command's exchange with the relay, driven by the connection's loop: it reacts to every message and to the
// passing of time (each of its waits has a deadline), and says when it is done. Made by a command; lives while the
// connection runs it.
class Conversation {
public:
    virtual ~Conversation() = default;
    virtual void onMessage(const Json::Value& message, uint64_t nowMs) = 0;
    // Called once nowMs has reached nextTimeMs().
    virtual void onTime(uint64_t nowMs) = 0;
    // When the conversation next has something to do of its own (a deadline); UINT64_MAX for none.
    virtual uint64_t nextTimeMs() const = 0;
    virtual bool finished() const = 0;
    // Ctrl+C or SIGTERM: the conversation sends what it must before leaving (and may finish).
    virtual void onInterrupt(uint64_t nowMs) = 0;
};
