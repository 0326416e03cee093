#pragma once

#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "device/frame_parser.h"
#include "device/serial_message.h"
#include "firmware/firmware_image.h"

struct SerialPortHandle;
struct Connection;

// One serial port name that an editor used: its open port, the editor connection that receives its replies,
// its receive state and its outgoing queue.
struct Relay {
    std::string portName;
    SerialPortHandle* port = nullptr;
    Connection* connection = nullptr;
    // Flash size in KiB from the board's version reply; 0 until then.
    int32_t flashSizeKiB = 0;
    FrameParser parser;
    std::deque<SerialMessage> outgoing;
    bool readyToSend = true;
    uint64_t sentAtMs = 0;
    FirmwareImage firmware;
};

// The relays in order of creation. The list owns them.
class RelayList {
public:
    // Rebinds the relay of that name to the port and connection, or creates it.
    Relay& bindRelay(const std::string& portName, SerialPortHandle* port, Connection* connection);
    Relay* findRelayByName(const std::string& portName);
    Relay* findRelayByPort(SerialPortHandle* port);
    void destroyRelaysOfPort(SerialPortHandle* port);
    void destroyRelaysOfConnection(Connection* connection);
    void destroyAllRelays();

    // A copy of the list, for walks during which relays may be destroyed.
    std::vector<Relay*> snapshot() const;
    size_t size() const { return relays.size(); }

private:
    std::list<std::unique_ptr<Relay>> relays;
};
