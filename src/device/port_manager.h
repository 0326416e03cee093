#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "device/relay.h"

class SerialDriver;
struct SerialPortHandle;

// One serial port on which a board may sit. Made by each enumeration; kept in the port list until the next one.
// Why a port could not be opened, for the editor that asked: a reason key ("permission", "busy", "gone",
// "not listed", "cannot open") and words that say what to do. Made by openPort for its caller only.
struct PortProblem {
    std::string reason;
    std::string text;
};

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

// What one reading of the ports found besides the messages.
struct PortCheck {
    // Ports that failed their receive check were closed.
    bool portsRemoved = false;
    // The port list was enumerated again after that and differs from the last one.
    bool portListChanged = false;
};

// Which ports may have input, so that a pass asks only those: the wait between passes knows it from its poll.
class PortReadiness {
public:
    virtual ~PortReadiness() = default;
    // What is known of a port's input since it was last asked (asking clears it): nothing came, the poll saw
    // some, or nobody watches the port (it must be asked).
    enum class Input { none, reported, unknown };
    virtual Input takeInput(SerialPortHandle* port) = 0;
};

// Enumerates the ports on which a board may sit, opens and closes them, and reads what they receive. Created by
// the board link; lives as long as it.
class PortManager {
public:
    static constexpr int baudRate = 115200;
    // What one pass reads of one port at most.
    static constexpr size_t maxBytesPerPass = size_t{64} * 1024;

    PortManager(SerialDriver& driver, RelayList& relays);
    PortManager(const PortManager&) = delete;
    PortManager& operator=(const PortManager&) = delete;

    // Re-enumerates; true when the port list changed.
    bool refreshPorts(bool verbose);
    std::string portListJson() const;
    // The open handle of the port, opening it on first use; nullptr after logging why it cannot be had.
    // The open port of that name, opened now if need be; nullptr (with the reason in problem, when given) when it
    // cannot be opened.
    SerialPortHandle* openPort(const std::string& name, PortProblem* problem = nullptr);
    SerialPortHandle* findOpenPort(const std::string& name) const;
    void closePort(SerialPortHandle* port);
    void closeAllPorts();
    void clearPortList();
    // Reads every relay's port onto the device inbox (with a readiness, only the ports that may have input); ports
    // that failed their receive check are closed and the port list enumerated again.
    PortCheck checkPort();
    // Given by the relay server, whose wait lives as long as this; nullptr reads every port.
    void setReadiness(PortReadiness* readiness) { portReadiness = readiness; }

    const std::vector<PortInfo>& portList() const { return ports; }
    const std::map<std::string, SerialPortHandle*>& openPorts() const { return open; }
    // Ports closed so far: a handle seen before a close may since stand for another port.
    uint64_t closedCount() const { return closed; }

    bool autoRefreshPorts = true;
    std::vector<DeviceMessage> deviceInbox;
    // A message's bytes after it was answered, kept (a handful at most) for the next message read: a write reads
    // two messages for every chunk.
    void keepMessageBuffer(std::vector<uint8_t>&& bytes);

private:
    std::vector<PortInfo> enumerate();
    size_t readPort(Relay& relay, SerialPortHandle* port, int& waiting);

    SerialDriver& driver;
    RelayList& relays;
    std::vector<PortInfo> ports;
    std::string portListHash;
    std::map<std::string, SerialPortHandle*> open;
    uint64_t closed = 0;
    PortReadiness* portReadiness = nullptr;
    std::vector<std::vector<uint8_t>> spareMessageBuffers;
    static constexpr size_t maxSpareMessageBuffers = 16;
};
