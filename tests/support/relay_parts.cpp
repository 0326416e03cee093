#include "support/relay_parts.h"

#include <algorithm>

#include "core/little_endian.h"

RelayParts::RelayParts(const std::vector<std::string>& boardNames)
    : driver(&clock), core(driver, clock), sessions(core.sessions()), relays(core.boards().relays()),
      ports(core.boards().ports()), queue(core.boards().queue()), flasher(core.firmwareFlasher())
{
    for (const std::string& name : boardNames)
        driver.addBoard(name, "Simulated board");
    core.start();
    sessions.established(editor, nullptr);
    sessions.established(otherEditor, nullptr);
    // The greetings are not what the tests look at.
    sessions.revokeOutgoingResponsesForRelay(&editor);
    sessions.revokeOutgoingResponsesForRelay(&otherEditor);
}

RelayParts::~RelayParts()
{
    sessions.closed(editor);
    sessions.closed(otherEditor);
    core.closePorts();
}

void RelayParts::command(const std::string& json, Connection& from)
{
    sessions.received(from, json.data(), json.size(), true);
}

Relay& RelayParts::bind(const std::string& portName, Connection& to)
{
    return relays.bindRelay(portName, ports.openPort(portName), to.id);
}

std::vector<uint16_t> RelayParts::queuedTypes(const std::string& portName)
{
    std::vector<uint16_t> types;
    if (Relay* found = relay(portName)) {
        for (const SerialMessage& message : found->outgoing)
            types.push_back(message.type());
    }
    return types;
}

void RelayParts::deliver(const std::string& portName, uint16_t type, const std::vector<uint8_t>& payload,
                         int lengthField)
{
    DeviceMessage message;
    message.port = ports.findOpenPort(portName);
    message.bytes.assign(std::max(SerialMessage::size, payload.size() + 4), 0);
    writeU16(message.bytes.data(), type);
    writeU16(message.bytes.data() + 2,
             static_cast<uint16_t>(lengthField >= 0 ? lengthField : static_cast<int>(payload.size() + 4)));
    std::copy(payload.begin(), payload.end(), message.bytes.begin() + 4);
    ports.deviceInbox.push_back(std::move(message));
}

std::vector<std::string> RelayParts::takeReplies(Connection& to)
{
    std::vector<std::string> taken = sessions.pendingReplies(&to);
    sessions.revokeOutgoingResponsesForRelay(&to);
    return taken;
}
