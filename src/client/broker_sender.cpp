#include "client/broker_sender.h"

#include <utility>

#include "client/relay_messages.h"

BrokerSender::BrokerSender(BrokerConnection& broker, std::string relay, std::string commandId)
    : broker(broker), relay(std::move(relay)), commandId(std::move(commandId))
{}

void BrokerSender::send(const Json::Value& message)
{
    Json::Value command = message;
    command["id"] = commandId;
    const std::string text = relayCommandText(command);
    broker.publish("vantrel/" + relay + "/command", text.data(), text.size());
}

void BrokerSender::sendBinary(std::vector<uint8_t> bytes)
{
    broker.publish("vantrel/" + relay + "/image/" + commandId, bytes.data(), bytes.size());
}
