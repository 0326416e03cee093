#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "device/relay.h"

class SerialDriver;
struct SerialPortHandle;

// One serial port on which a board may sit.
struct PortInfo {
    std::string name;
    std::string usbProduct;
};

// A complete message from a board, waiting for translation: the port it came from and a copy of the parser's
// buffer (type at 0, length field at 2, payload from 4; bytes past the message are zero).
struct DeviceMessage {
    SerialPortHandle* port = nullptr;
    std::vector<uint8_t> bytes;
};

// Enumerates the ports on which a board may sit, opens and closes them, and reads what they receive.
class PortManager {
public:
    static constexpr int baudRate = 115200;

    PortManager(SerialDriver& driver, RelayList& relays);
    PortManager(const PortManager&) = delete;
    PortManager& operator=(const PortManager&) = delete;

    // Called when a failed port was removed and the port list changed: every editor gets the new list.
    std::function<void()> informWebsocketsOfPortAvailability;

    // Re-enumerates; true when the port list changed.
    bool refreshPorts(bool verbose);
    std::string portListJson() const;
    // The open handle of the port, opening it on first use; nullptr after logging why it cannot be had.
    SerialPortHandle* openPort(const std::string& name);
    SerialPortHandle* findOpenPort(const std::string& name) const;
    void closePort(SerialPortHandle* port);
    void closeAllPorts();
    void clearPortList();
    // Reads every relay's port; true when ports that failed their receive check were removed.
    bool checkPort();

    const std::vector<PortInfo>& portList() const { return ports; }
    const std::map<std::string, SerialPortHandle*>& openPorts() const { return open; }

    bool autoRefreshPorts = true;
    std::vector<DeviceMessage> deviceInbox;

private:
    std::vector<PortInfo> enumerate();
    void readPort(Relay& relay, SerialPortHandle* port, int& waiting);

    SerialDriver& driver;
    RelayList& relays;
    std::vector<PortInfo> ports;
    std::string portListHash;
    std::map<std::string, SerialPortHandle*> open;
};
