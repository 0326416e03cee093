#pragma once

#include <vector>

#include <json/value.h>

#include "device/outgoing_queue.h"
#include "device/port_manager.h"
#include "device/received_message.h"
#include "device/relay.h"

class Clock;
class SerialDriver;

// The layers above the board link that turn board messages into editor replies and send them.
class BoardLinkEvents : public RelayReplies {
public:
    // The reply for the relay's editor to one board message (left null when it makes none); false when the relay
    // does not know the message's type, which then answers nothing in the queue.
    virtual bool translateBoardMessage(Relay& relay, const ReceivedMessage& message, Json::Value& reply) = 0;
};

// The firmware writes' side of the board link: it follows every message of the queue, hears of every relay that
// goes, and takes the flash messages a board sends (erase report, echo, finish) in place of the translation.
class FlashMessageListener : public OutgoingQueueEvents, public RelayEndListener {
public:
    // Like translateBoardMessage, for a flash message: the reply for the relay's editor, left null when the
    // listener answered (the editor of a running write) itself; false for a type it does not take.
    virtual bool answerFlashMessage(Relay& relay, const ReceivedMessage& message, Json::Value& reply) = 0;
};

// The conversation of the relays with their boards: the ports, the relays and their outgoing queues, and what
// each board message means to the queue (an acknowledgement, a refusal, a restarted wait or none). Created once
// by the relay core; lives for the whole run.
class BoardLink {
public:
    BoardLink(SerialDriver& driver, Clock& clock, BoardLinkEvents& events, FlashMessageListener& flashListener);
    BoardLink(const BoardLink&) = delete;
    BoardLink& operator=(const BoardLink&) = delete;

    // Reads every bound port onto the device inbox.
    PortCheck readPorts() { return portManager.checkPort(); }
    // Answers the messages on the device inbox in order of arrival and empties it; each board's next message is
    // sent as soon as the board's own messages are answered. True when any relay sent or dropped a message.
    bool answerBoardMessages();
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
    FlashMessageListener& flashListener;
    RelayList relayList;
    PortManager portManager;
    OutgoingQueue outgoing;
    // The messages being answered, taken from the device inbox.
    std::vector<DeviceMessage> answering;
    uint64_t receivedCount = 0;
};
