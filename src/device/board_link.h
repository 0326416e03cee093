#pragma once

#include <json/value.h>

#include "device/outgoing_queue.h"
#include "device/port_manager.h"
#include "device/received_message.h"
#include "device/relay.h"

class Clock;
class SerialDriver;

// The layers above the board link: they turn board messages into editor replies, send them, and follow the
// messages of the queue.
class BoardLinkEvents : public OutgoingQueueEvents, public RelayEndListener, public RelayReplies {
public:
    // The reply for the relay's editor to one board message (left null when it makes none); false when the relay
    // does not know the message's type, which then answers nothing in the queue.
    virtual bool translateBoardMessage(Relay& relay, const ReceivedMessage& message, Json::Value& reply) = 0;
};

// The conversation of the relays with their boards: the ports, the relays and their outgoing queues, and what
// each board message means to the queue (an acknowledgement, a refusal, a restarted wait or none). Created once
// by the relay core; lives for the whole run.
class BoardLink {
public:
    BoardLink(SerialDriver& driver, Clock& clock, BoardLinkEvents& events);
    BoardLink(const BoardLink&) = delete;
    BoardLink& operator=(const BoardLink&) = delete;

    // Reads every bound port onto the device inbox.
    PortCheck readPorts() { return portManager.checkPort(); }
    bool hasBoardMessages() const { return !portManager.deviceInbox.empty(); }
    // Answers the messages on the device inbox in order of arrival and empties it.
    void answerBoardMessages();
    // One pass of the outgoing queues; true when any relay sent or dropped a message.
    bool sendToBoards() { return outgoing.serviceOutgoingQueues(); }

    PortManager& ports() { return portManager; }
    const PortManager& ports() const { return portManager; }
    RelayList& relays() { return relayList; }
    const RelayList& relays() const { return relayList; }
    OutgoingQueue& queue() { return outgoing; }
    const OutgoingQueue& queue() const { return outgoing; }
    // Board messages received since the start.
    uint64_t messagesReceived() const { return receivedCount; }

private:
    void answer(Relay& relay, const ReceivedMessage& message);

    BoardLinkEvents& events;
    RelayList relayList;
    PortManager portManager;
    OutgoingQueue outgoing;
    uint64_t receivedCount = 0;
};
