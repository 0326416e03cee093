#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

#include "conversion/feature_conversion.h"
#include "conversion/node_conversion.h"
#include "device/outgoing_queue.h"
#include "device/port_manager.h"
#include "device/relay.h"
#include "firmware/firmware_flasher.h"
#include "support/fake_serial_driver.h"
#include "support/manual_clock.h"
#include "web/command_handler.h"
#include "web/connection.h"
#include "web/reply_translator.h"
#include "web/sessions.h"

// The relay's parts wired as the relay server wires them, without a WebSocket context: editor commands are handed
// to the command handler directly, board messages are put on the device inbox by hand, and replies are read from
// the response queue. Two editor connections are established from the start.
class RelayParts : private SessionEvents {
public:
    // Adds a simulated board under each name.
    explicit RelayParts(const std::vector<std::string>& boardNames = {"ttyACM0"});
    ~RelayParts() override;

    // Parses the text as the sessions do and hands it to the command handler.
    void command(const std::string& json, Connection& from);
    void command(const std::string& json) { command(json, editor); }

    // The relay of that name; nullptr when there is none.
    Relay* relay(const std::string& portName) { return relays.findRelayByName(portName); }
    // Opens the port and binds its relay to the connection, as any board command does.
    Relay& bind(const std::string& portName, Connection& to);
    // Types queued on the relay, oldest first; empty when there is no relay.
    std::vector<uint16_t> queuedTypes(const std::string& portName);

    // Puts one board message on the device inbox as the port manager would: the bytes as given, then zeros up to a
    // whole SerialMessage. The length field is the byte count unless given.
    void deliver(const std::string& portName, uint16_t type, const std::vector<uint8_t>& payload, int lengthField = -1);
    // The replies queued for the connection, oldest first; takeReplies also forgets them.
    std::vector<std::string> replies(Connection& to) const { return sessions.pendingReplies(&to); }
    std::vector<std::string> takeReplies(Connection& to);

    ManualClock clock;
    FakeSerialDriver driver;
    RelayList relays;
    Sessions sessions;
    PortManager ports;
    OutgoingQueue queue;
    NodeConversionRegistry nodeConversions;
    FeatureConversionRegistry featureConversions;
    FirmwareFlasher flasher;
    CommandHandler commands;
    ReplyTranslator translator;
    Connection editor{};
    Connection otherEditor{};

private:
    void onConnectionEstablished(Connection&) override {}
    void onConnectionClosed(Connection& connection) override { relays.destroyRelaysOfConnection(&connection); }
    void onWebCommand(Connection& connection, const Json::Value& json) override;
};

// "0A 1b" -> {0x0A, 0x1B}; blanks are ignored.
std::vector<uint8_t> bytesOfHex(const std::string& text);
// Upper-case hex of the bytes, without blanks.
std::string hexOfBytes(const uint8_t* bytes, size_t count);
