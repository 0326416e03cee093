#include "device/port_manager.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <set>
#include <unordered_set>

#include <json/value.h>

#include "core/logger.h"
#include "device/message_type.h"
#include "device/serial_driver.h"
#include "json/compact_json_writer.h"

namespace {

bool isBoardDevice(const SerialPortInfo& info)
{
    if (!info.isUsb)
        return false;
    return (info.usbVendorId == 0x0483 && info.usbProductId == 0x5740) ||
           (info.usbVendorId == 0x10C4 && info.usbProductId == 0xEA60);
}

} // namespace

PortManager::PortManager(SerialDriver& driver, RelayList& relays) : driver(driver), relays(relays) {}

std::vector<PortInfo> PortManager::enumerate()
{
    std::vector<PortInfo> found;
    std::vector<SerialPortInfo> all;
    if (!driver.listPorts(all)) {
        logger.log(LogLevel::ERROR, "Cannot list the serial ports: %s", driver.lastError().c_str());
        return found;
    }
    for (const SerialPortInfo& info : all)
        if (isBoardDevice(info))
            found.push_back(PortInfo{info.name, info.usbProduct});
    return found;
}

bool PortManager::refreshPorts(bool verbose)
{
    const std::string previousHash = portListHash;
    std::vector<PortInfo> current = enumerate();
    // A set of the new names keeps this linear in the number of ports.
    std::unordered_set<std::string> currentNames;
    currentNames.reserve(current.size());
    for (const PortInfo& port : current)
        currentNames.insert(port.name);
    for (const PortInfo& old : ports) {
        if (currentNames.count(old.name) == 0) {
            logger.log(LogLevel::INFO, "%s: the board is no longer listed (unplugged?)", logName(old.name).c_str());
            closePort(findOpenPort(old.name));
        }
    }
    ports = std::move(current);
    portListHash.clear();
    if (verbose && ports.empty()) {
        logger.log(LogLevel::INFO, "Current ports: none");
        logger.log(LogLevel::INFO, "No board found: plug one in by USB (opening it takes the package's udev rule or "
                                   "membership of the dialout group); to try the relay without a board, run "
                                   "vantrelRelaySim");
    } else if (verbose) {
        logger.log(LogLevel::INFO, "Current ports:");
    }
    for (const PortInfo& port : ports) {
        if (verbose)
            logger.log(LogLevel::INFO, "\t%s (%s)", port.name.c_str(), logName(port.usbProduct).c_str());
        portListHash += port.name + "_" + port.usbProduct + "_";
    }
    if (verbose) {
        logger.log(LogLevel::DEBUG, "\tHash: %s", portListHash.c_str());
        logger.log(LogLevel::DEBUG, "availableAfter: %s", portListHash.c_str());
    }
    return portListHash != previousHash;
}

std::string PortManager::portListJson() const
{
    Json::Value list(Json::objectValue);
    Json::Value& array = list["ports"] = Json::Value(Json::arrayValue);
    for (const PortInfo& port : ports) {
        Json::Value entry(Json::objectValue);
        entry["name"] = port.name;
        entry["usbProduct"] = port.usbProduct;
        array.append(entry);
    }
    return CompactJsonWriter().write(list);
}

namespace {

// The system's reason for a failed open, in words that say what to do.
PortProblem openProblem(int errorNumber, const std::string& libraryText)
{
    switch (errorNumber) {
    case EACCES:
    case EPERM:
        return {"permission", "permission denied: add the relay's user to the dialout group (and log in again), or "
                              "install the package's udev rule for the board"};
    case EBUSY: return {"busy", "another program holds the port: close it (a serial monitor, another relay) and retry"};
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case EIO: return {"gone", "the board went away: plug it in again"};
    default: return {"cannot open", "the port cannot be opened: " + libraryText};
    }
}

} // namespace

SerialPortHandle* PortManager::openPort(const std::string& name, PortProblem* problem)
{
    if (SerialPortHandle* port = findOpenPort(name))
        return port;
    // Only a board port as enumerated, byte for byte: any other spelling could open another device, or the same
    // device a second time.
    const bool listed = std::any_of(ports.begin(), ports.end(), [&](const PortInfo& p) { return p.name == name; });
    SerialPortHandle* port = listed ? driver.findPort(name) : nullptr;
    if (port == nullptr) {
        logger.log(LogLevel::ERROR, "Could not find port %s", logName(name).c_str());
        if (problem != nullptr)
            *problem = {"not listed", "no board port of that name is listed: choose one of the listed ports"};
        return nullptr;
    }
    if (!driver.open(port)) {
        const std::string libraryText = driver.lastError();
        const PortProblem found = openProblem(driver.lastErrorNumber(), libraryText);
        logger.log(LogLevel::ERROR, "Could not open port %s : %s (%s)", name.c_str(), libraryText.c_str(),
                   found.text.c_str());
        if (problem != nullptr)
            *problem = found;
        driver.freePort(port);
        return nullptr;
    }
    logger.log(LogLevel::DEBUG, "Opened port %s", name.c_str());
    if (!driver.setBaudRate(port, baudRate)) {
        logger.log(LogLevel::ERROR, "Could not set baud rate for port %s : %s", name.c_str(),
                   driver.lastError().c_str());
    }
    driver.disableXonXoff(port);
    open[name] = port;
    return port;
}

SerialPortHandle* PortManager::findOpenPort(const std::string& name) const
{
    auto it = open.find(name);
    return it == open.end() ? nullptr : it->second;
}

void PortManager::closePort(SerialPortHandle* port)
{
    if (port == nullptr)
        return;
    // The library frees the name with the port object.
    const std::string name = driver.portName(port);
    if (!driver.close(port))
        logger.log(LogLevel::ERROR, "Error when closing port %s : %s", name.c_str(), driver.lastError().c_str());
    relays.destroyRelaysOfPort(port);
    // Messages of this port that wait for translation must not outlive its handle.
    deviceInbox.erase(std::remove_if(deviceInbox.begin(), deviceInbox.end(),
                                     [port](const DeviceMessage& m) { return m.port == port; }),
                      deviceInbox.end());
    driver.freePort(port);
    ++closed;
    logger.log(LogLevel::INFO, "Closed port %s", name.c_str());
    for (auto it = open.begin(); it != open.end(); ++it) {
        if (it->second == port) {
            open.erase(it);
            break;
        }
    }
}

void PortManager::closeAllPorts()
{
    std::vector<SerialPortHandle*> handles;
    for (const auto& entry : open)
        handles.push_back(entry.second);
    for (SerialPortHandle* port : handles)
        closePort(port);
}

void PortManager::clearPortList() { ports.clear(); }

size_t PortManager::readPort(Relay& relay, SerialPortHandle* port, int& waiting)
{
    uint8_t buffer[4096];
    size_t taken = 0;
    // A chatty board leaves the rest for the next pass rather than holding up the other ports.
    while (waiting > 0 && taken < maxBytesPerPass) {
        const int count = driver.readNonBlocking(port, buffer, sizeof buffer);
        if (count <= 0)
            break;
        taken += static_cast<size_t>(count);
        for (size_t fed = 0; fed < static_cast<size_t>(count);) {
            uint16_t type = MT_NONE;
            fed += processSerialBytes(relay.parser, buffer + fed, static_cast<size_t>(count) - fed, type);
            if (type == MT_NONE)
                continue;
            if (logger.shows(LogLevel::DEBUG))
                logger.log(LogLevel::DEBUG, "Device sent message %s", messageTypeName(type));
            // The message's own bytes, zero-filled to a whole SerialMessage for the decoders' fixed offsets: bytes
            // past it belong to earlier frames (the parser's buffer keeps the size of its longest message).
            const std::vector<uint8_t>& received = relay.parser.buffer;
            const size_t length = std::min<size_t>(relay.parser.length, received.size());
            DeviceMessage message{port, {}};
            if (!spareMessageBuffers.empty()) {
                message.bytes = std::move(spareMessageBuffers.back());
                spareMessageBuffers.pop_back();
            }
            message.bytes.assign(std::max(length, SerialMessage::size), 0);
            std::copy_n(received.begin(), length, message.bytes.begin());
            deviceInbox.push_back(std::move(message));
        }
        // A read that did not fill the buffer took all there was: what comes later wakes the wait again.
        waiting = static_cast<size_t>(count) < sizeof buffer ? 0 : driver.inputWaiting(port);
    }
    return taken;
}

void PortManager::keepMessageBuffer(std::vector<uint8_t>&& bytes)
{
    if (spareMessageBuffers.size() < maxSpareMessageBuffers && bytes.capacity() <= SerialMessage::size * 2)
        spareMessageBuffers.push_back(std::move(bytes));
}

PortCheck PortManager::checkPort()
{
    std::set<SerialPortHandle*> failed;
    for (size_t i = 0; i < relays.size(); ++i) {
        SerialPortHandle* port = relays.at(i).port;
        Relay* relay = relays.findRelayByPort(port);
        if (relay == nullptr || port == nullptr)
            continue;
        const PortReadiness::Input input =
            portReadiness != nullptr ? portReadiness->takeInput(port) : PortReadiness::Input::unknown;
        if (input == PortReadiness::Input::none)
            continue;
        // Input the poll saw is read at once. Only a port nobody watches, or a read that found nothing, is asked
        // for its count: that is how a board that went away (a hung-up port reads as empty) is found out.
        int waiting = input == PortReadiness::Input::reported ? 1 : driver.inputWaiting(port);
        if (readPort(*relay, port, waiting) == 0 && input == PortReadiness::Input::reported) {
            waiting = driver.inputWaiting(port);
            readPort(*relay, port, waiting);
        }
        if (waiting == SerialDriver::FAILED_DEVICE)
            failed.insert(port);
    }
    PortCheck check;
    if (failed.empty())
        return check;
    for (SerialPortHandle* port : failed) {
        logger.log(LogLevel::INFO, "%s: the board went away (its port failed, unplugged?)",
                   logName(driver.portName(port)).c_str());
        closePort(port);
    }
    check.portsRemoved = true;
    check.portListChanged = refreshPorts(true);
    return check;
}
