#pragma once

#include <json/value.h>

class FeatureConversionRegistry;
class NodeConversionRegistry;
class ReceivedMessage;
struct Relay;

// Turns a message a board sent into the JSON reply for the editor bound to its relay. Created once by the relay
// core; lives for the whole run.
class ReplyTranslator {
public:
    ReplyTranslator(const NodeConversionRegistry& nodeConversions, const FeatureConversionRegistry& featureConversions);

    // The reply to the message (null for the types that make none); false when the type is none the relay knows.
    // A version reply also records the board's flash size on the relay.
    bool translate(Relay& relay, const ReceivedMessage& message, Json::Value& reply) const;

private:
    bool translateReply(Relay& relay, const ReceivedMessage& message, Json::Value& reply) const;
    Json::Value versionReply(Relay& relay, const ReceivedMessage& message) const;
    Json::Value capabilitiesReply(const Relay& relay, const ReceivedMessage& message) const;
    Json::Value configDumpReply(const Relay& relay, const ReceivedMessage& message) const;

    const NodeConversionRegistry& nodeConversions;
    const FeatureConversionRegistry& featureConversions;
};
