#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/relay_core.h"
#include "support/fake_serial_driver.h"
#include "support/hex_bytes.h"
#include "support/manual_clock.h"
#include "web/connection.h"

// The relay core without a WebSocket context: editor commands are handed to the sessions directly, board
// messages are put on the device inbox by hand, and replies are read from the response queue. Two editor
// connections are established from the start.
class RelayParts {
public:
    // Adds a simulated board under each name.
    explicit RelayParts(const std::vector<std::string>& boardNames = {"ttyACM0"});
    ~RelayParts();

    // Hands the text to the sessions as one whole WebSocket message.
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
    // Answers everything on the device inbox, as a pass does after reading the ports.
    void answerBoardMessages() { core.boards().answerBoardMessages(); }
    // The replies queued for the connection, oldest first; takeReplies also forgets them.
    std::vector<std::string> replies(Connection& to) const { return sessions.pendingReplies(&to); }
    std::vector<std::string> takeReplies(Connection& to);

    ManualClock clock;
    FakeSerialDriver driver;
    RelayCore core;
    Sessions& sessions;
    RelayList& relays;
    PortManager& ports;
    OutgoingQueue& queue;
    FirmwareFlasher& flasher;
    Connection editor{};
    Connection otherEditor{};
};
