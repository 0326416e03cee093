#pragma once

#include <cstdint>
#include <string>

#include <json/value.h>

// The editor protocol's messages as the client reads and writes them.

// Reads one text of the relay. The relay writes an infinite real as 1e+9999, which JsonCpp cannot hold as a
// number; such tokens outside strings are read as infinities. False when the text is no JSON object.
bool readRelayJson(const std::string& text, Json::Value& value);
// The text of a message to the relay: compact, every real exact. An infinite real is sent as 1e39, which the relay
// rounds to the float infinity the board keeps (the relay cannot read 1e+9999).
std::string relayCommandText(const Json::Value& message);

// {"port": port, "payload": payload}: a command for one board.
Json::Value boardCommand(const std::string& port, const Json::Value& payload);
// A payload of one command member: {"getVersion": {}}, {"resetConfig": 1}.
Json::Value commandPayload(const char* member, const Json::Value& value = Json::Value(Json::objectValue));
// The board a reply is about: most replies name it "port", some "portName"; empty when it names none.
std::string replyPort(const Json::Value& reply);
// When the reply says that a command did not reach its board ("portError") or that a firmware write cannot go on
// (a "firmware..." key), its meaning in words; false for any other reply.
bool failureText(const Json::Value& reply, std::string& text);
// Text for one line: line breaks and other control characters become blanks.
std::string oneLine(std::string text);

// What a version reply tells about a board. Made from one reply; kept as long as the command that asked.
struct BoardVersion {
    // "1.4.2"
    std::string firmware;
    bool bootloader = false;
    std::string serial;
    uint32_t idcode = 0;
    int flashSizeKiB = 0;

    const char* mode() const { return bootloader ? "bootloader" : "application"; }
};

// False when the reply is no version reply.
bool readBoardVersion(const Json::Value& reply, BoardVersion& version);
