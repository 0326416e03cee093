#pragma once

#include <string>
#include <vector>

#include "client/broker_connection.h"
#include "client/conversation.h"

// One command identity of a relay through the broker: its commands go to vantrel/<relay>/command with the "id", the
// images they announce to vantrel/<relay>/image/<id>, and the relay answers on vantrel/<relay>/reply/<id>. Made by a
// fleet command for each board (or relay) it talks to; lives as long as the conversation that uses it.
class BrokerSender : public MessageSender {
public:
    BrokerSender(BrokerConnection& broker, std::string relay, std::string commandId);

    void send(const Json::Value& message) override;
    void sendBinary(std::vector<uint8_t> bytes) override;
    std::string replyTopic() const { return "vantrel/" + relay + "/reply/" + commandId; }

private:
    BrokerConnection& broker;
    std::string relay;
    std::string commandId;
};
