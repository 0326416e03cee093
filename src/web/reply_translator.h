#pragma once

#include <json/value.h>

class FeatureConversionRegistry;
class FirmwareFlasher;
class NodeConversionRegistry;
class OutgoingQueue;
class PortManager;
class ReceivedMessage;
class RelayList;
class Sessions;
struct Relay;

// Turns the messages that boards sent into replies for the editor connections bound to their ports, and into
// acknowledgements for the outgoing queues.
class ReplyTranslator {
public:
    ReplyTranslator(Sessions& sessions, PortManager& ports, RelayList& relays, OutgoingQueue& queue,
                    const NodeConversionRegistry& nodeConversions,
                    const FeatureConversionRegistry& featureConversions, FirmwareFlasher& flasher);

    // Translates and empties the device inbox, in order of arrival. Always false: translation never counts as
    // activity.
    bool translateDeviceMessages();

private:
    void translate(Relay& relay, const ReceivedMessage& message);
    // True when the type is one of the board's replies of the message table.
    bool translateReply(Relay& relay, const ReceivedMessage& message);
    void translateVersion(Relay& relay, const ReceivedMessage& message);
    Json::Value capabilitiesReply(const Relay& relay, const ReceivedMessage& message) const;
    Json::Value configDumpReply(const Relay& relay, const ReceivedMessage& message) const;
    void send(Relay& relay, const Json::Value& reply);
    void acknowledgeThenSend(Relay& relay, const Json::Value& reply);

    Sessions& sessions;
    PortManager& ports;
    RelayList& relays;
    OutgoingQueue& queue;
    const NodeConversionRegistry& nodeConversions;
    const FeatureConversionRegistry& featureConversions;
    FirmwareFlasher& flasher;
};
