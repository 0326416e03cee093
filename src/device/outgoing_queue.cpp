#include "device/outgoing_queue.h"

#include <algorithm>
#include <cstdint>

#include "core/clock.h"
#include "core/logger.h"
#include "device/frame.h"
#include "device/message_type.h"
#include "device/serial_driver.h"

OutgoingQueue::OutgoingQueue(SerialDriver& driver, Clock& clock, RelayList& relays, OutgoingQueueEvents& events)
    : driver(driver), clock(clock), relays(relays), events(events)
{}

bool OutgoingQueue::waitsForAcknowledgement(uint16_t type)
{
    return type != MT_BOOTLOADER_REQUEST_REBOOT && type != MT_TWEAK;
}

bool OutgoingQueue::enqueue(Relay& relay, const SerialMessage& message)
{
    if (relay.outgoing.size() >= maxQueuedPerRelay) {
        logger.log(LogLevel::WARNING, "%s: Outgoing queue full, dropping message of type: %s", relay.portName.c_str(),
                   messageTypeName(message.type()));
        return false;
    }
    if (logger.shows(LogLevel::DEBUG))
        logger.log(LogLevel::DEBUG, "%s: Queuing message of type: %s", relay.portName.c_str(),
                   messageTypeName(message.type()));
    relay.outgoing.push_back(message);
    return true;
}

bool OutgoingQueue::serviceOutgoingQueues()
{
    bool active = false;
    for (size_t i = 0; i < relays.size(); ++i)
        active = serviceRelay(relays.at(i)) || active;
    return active;
}

uint64_t OutgoingQueue::nextDueMs() const
{
    uint64_t due = UINT64_MAX;
    for (size_t i = 0; i < relays.size(); ++i) {
        const Relay* relay = &relays.at(i);
        if (!relay->unsent.empty())
            due = std::min(due, relay->unsentSinceMs + ackTimeoutMs + 1);
        else if (!relay->readyToSend)
            due = std::min(due, relay->sentAtMs + ackTimeoutMs + 1);
        else if (!relay->outgoing.empty())
            return 0;
    }
    return due;
}

bool OutgoingQueue::finishFrame(Relay& relay, bool& dropped)
{
    dropped = false;
    if (sendUnsent(driver, relay.port, relay.unsent)) {
        // The board can answer only once the whole frame is there.
        relay.sentAtMs = clock.nowMs();
        return true;
    }
    if (clock.nowMs() - relay.unsentSinceMs <= ackTimeoutMs)
        return false;
    logger.log(LogLevel::ERROR, "%s: Failed to send message of type: %s", relay.portName.c_str(),
               messageTypeName(relay.unsentType));
    relay.unsent.clear();
    dropped = true;
    // A message that waits for its answer is still the head; one that does not has left the queue already.
    if (!relay.readyToSend && !relay.outgoing.empty()) {
        const SerialMessage head = relay.outgoing.front();
        relay.outgoing.pop_front();
        relay.readyToSend = true;
        events.onHeadDropped(relay, head);
    }
    return true;
}

bool OutgoingQueue::serviceRelay(Relay& relay)
{
    bool frameLeft = false;
    if (!relay.unsent.empty()) {
        bool dropped = false;
        if (!finishFrame(relay, dropped))
            return false;
        if (dropped)
            return true;
        frameLeft = true;
    }
    if (!relay.readyToSend) {
        const uint64_t elapsed = clock.nowMs() - relay.sentAtMs;
        if (elapsed > ackTimeoutMs) {
            logger.log(LogLevel::WARNING, "Skipping ack wait after %d ms", static_cast<int>(elapsed));
            dropUnfinishedFrame(relay);
            acknowledge(relay, AckMode::Forced);
        }
    }
    if (!relay.readyToSend || relay.outgoing.empty())
        return frameLeft;

    SerialMessage& head = relay.outgoing.front();
    const char* typeName = messageTypeName(head.type());
    if (logger.shows(LogLevel::DEBUG))
        logger.log(LogLevel::DEBUG, "%s: Sending message of type: %s", relay.portName.c_str(), typeName);
    // A relay whose port could not be opened has nowhere to send to.
    if (relay.port == nullptr || !writeFrame(driver, relay.port, head, relay.unsent)) {
        logger.log(LogLevel::ERROR, "%s: Failed to send message of type: %s", relay.portName.c_str(), typeName);
        const SerialMessage dropped = head;
        relay.outgoing.pop_front();
        events.onHeadDropped(relay, dropped);
        return true;
    }
    ++sentCount;
    if (!relay.unsent.empty()) {
        relay.unsentSinceMs = clock.nowMs();
        relay.unsentType = head.type();
    }
    if (waitsForAcknowledgement(head.type())) {
        relay.readyToSend = false;
        relay.sentAtMs = clock.nowMs();
    } else {
        relay.outgoing.pop_front();
    }
    return true;
}

void OutgoingQueue::acknowledge(Relay& relay, AckMode mode)
{
    // An answer that arrives while nothing is in flight (a stray or repeated acknowledgement, a streamed live
    // value) must not remove a message that was never sent.
    const bool inFlight = !relay.readyToSend;
    relay.readyToSend = true;
    if (relay.outgoing.empty() || !inFlight)
        return;

    const SerialMessage& head = relay.outgoing.front();
    if (mode == AckMode::Forced) {
        logger.log(LogLevel::WARNING, "%s: No answer within 1 s to %s; the next message goes", relay.portName.c_str(),
                   messageTypeName(head.type()));
        ++timeoutCount;
        const SerialMessage givenUp = head;
        relay.outgoing.pop_front();
        cullFirmwareFlashMessages(relay);
        events.onHeadGivenUp(relay, givenUp);
        return;
    }
    if (logger.shows(LogLevel::DEBUG))
        logger.log(LogLevel::DEBUG, "%s: Received ack for %s", relay.portName.c_str(), messageTypeName(head.type()));
    const SerialMessage answered = head;
    relay.outgoing.pop_front();
    events.onHeadAnswered(relay, answered);
}

void OutgoingQueue::rejectHead(Relay& relay)
{
    // Only the message in flight can be refused.
    if (relay.outgoing.empty() || relay.readyToSend)
        return;

    const SerialMessage head = relay.outgoing.front();
    logger.log(LogLevel::DEBUG, "%s: Received nack for %s", relay.portName.c_str(), messageTypeName(head.type()));
    relay.readyToSend = true;
    if (head.type() == MT_BOOTLOADER_ROM_WRITE_START) {
        // A board that refuses the start takes none of the flash behind it.
        events.onHeadRefused(relay, head);
        cullFirmwareFlashMessages(relay);
        return;
    }
    relay.outgoing.pop_front();
    events.onHeadRefused(relay, head);
}

void OutgoingQueue::restartAckTimer(Relay& relay) { relay.sentAtMs = clock.nowMs(); }

void OutgoingQueue::dropUnfinishedFrame(Relay& relay)
{
    // A board answers within milliseconds, so a frame still unfinished after the whole wait was cut short. Left in
    // the parser it would take the start of the board's next answer as its rest (a cut length field of a dynamic
    // message can claim up to 64 KiB), and every answer it swallows costs another wait.
    if (relay.parser.count == 0)
        return;
    logger.log(LogLevel::DEBUG, "%s: Dropping %d bytes of an unfinished frame", relay.portName.c_str(),
               static_cast<int>(relay.parser.count));
    relay.parser.count = 0;
}

void OutgoingQueue::cullFirmwareFlashMessages(Relay& relay)
{
    // The message in flight stays: its answer is still to come and must find it at the head.
    const size_t first = relay.readyToSend ? 0 : 1;
    size_t end = first;
    while (end < relay.outgoing.size() && isFirmwareFlashMessageType(relay.outgoing[end].type()))
        ++end;
    const size_t count = end - first;
    if (count == 0)
        return;
    logger.log(LogLevel::WARNING, "%s: Dropped the %d queued messages of the firmware write", relay.portName.c_str(),
               static_cast<int>(count));
    relay.outgoing.erase(relay.outgoing.begin() + static_cast<std::ptrdiff_t>(first),
                         relay.outgoing.begin() + static_cast<std::ptrdiff_t>(end));
}
