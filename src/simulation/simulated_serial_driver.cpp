#include "simulation/simulated_serial_driver.h"

#include <algorithm>
#include <climits>

#include "core/logger.h"

namespace {

// Handle tokens start away from 0 and step like aligned pointers, so they look like what they replace.
constexpr uintptr_t firstHandle = 0x1000;
constexpr uintptr_t handleStep = 0x10;

uintptr_t tokenOf(SerialPortHandle* port) { return reinterpret_cast<uintptr_t>(port); }

} // namespace

SimulatedSerialDriver::SimulatedSerialDriver(Clock* clock) : clock(clock), nextHandle(firstHandle) {}

SimulatedSerialDriver::~SimulatedSerialDriver() = default;

SerialPortInfo SimulatedSerialDriver::boardPortInfo(const std::string& name, const std::string& usbProduct)
{
    SerialPortInfo info;
    info.name = name;
    info.isUsb = true;
    info.usbVendorId = boardVendorId;
    info.usbProductId = boardProductId;
    info.usbProduct = usbProduct;
    return info;
}

SimulatedBoard* SimulatedSerialDriver::addBoard(const std::string& name, const std::string& usbProduct,
                                                const SimulatedBoard::Identity& identity)
{
    auto board = std::make_unique<SimulatedBoard>(identity);
    SimulatedBoard* raw = board.get();
    if (!addPort(boardPortInfo(name, usbProduct), raw))
        return nullptr;
    findPortEntry(name)->owned = std::move(board);
    return raw;
}

bool SimulatedSerialDriver::addPort(const SerialPortInfo& info, SimulatedBoard* board)
{
    if (findPortEntry(info.name) != nullptr) {
        logger.log(LogLevel::WARNING, "Simulated port %s exists already", info.name.c_str());
        return false;
    }
    Port port;
    port.info = info;
    port.board = board;
    port.generation = nextGeneration++;
    ports.push_back(std::move(port));
    return true;
}

bool SimulatedSerialDriver::removePort(const std::string& name)
{
    const auto it = std::find_if(ports.begin(), ports.end(), [&name](const Port& p) { return p.info.name == name; });
    if (it == ports.end())
        return fail("No simulated port " + name);
    ports.erase(it);
    return true;
}

SimulatedBoard* SimulatedSerialDriver::board(const std::string& name)
{
    Port* port = findPortEntry(name);
    return port ? port->board : nullptr;
}

bool SimulatedSerialDriver::listPorts(std::vector<SerialPortInfo>& list)
{
    list.clear();
    for (const Port& port : ports)
        list.push_back(port.info);
    return true;
}

SerialPortHandle* SimulatedSerialDriver::findPort(const std::string& name)
{
    const Port* port = findPortEntry(name);
    if (port == nullptr) {
        fail("No such port: " + name);
        return nullptr;
    }
    const uintptr_t token = nextHandle;
    nextHandle += handleStep;
    handles[token] = Handle{name, port->generation, false};
    // A token, never dereferenced: the driver looks it up in its own table.
    return reinterpret_cast<SerialPortHandle*>(token); // NOLINT(performance-no-int-to-ptr)
}

bool SimulatedSerialDriver::open(SerialPortHandle* port)
{
    Handle* handle = lookUp(port);
    if (handle == nullptr)
        return false;
    const Port* entry = findPortEntry(handle->name);
    if (entry == nullptr || entry->generation != handle->generation)
        return fail("Device of " + handle->name + " is gone");
    if (handle->isOpen)
        return fail("Port " + handle->name + " is open already");
    handle->isOpen = true;
    return true;
}

bool SimulatedSerialDriver::setBaudRate(SerialPortHandle* port, int baud)
{
    int status = 0;
    openBoard(port, status);
    if (status != 0)
        return false;
    if (baud <= 0)
        return fail("Invalid baud rate");
    return true;
}

bool SimulatedSerialDriver::disableXonXoff(SerialPortHandle* port)
{
    int status = 0;
    openBoard(port, status);
    return status == 0;
}

int SimulatedSerialDriver::inputWaiting(SerialPortHandle* port)
{
    int status = 0;
    SimulatedBoard* board = openBoard(port, status);
    if (status != 0)
        return status;
    if (board == nullptr)
        return 0;
    if (clock != nullptr)
        board->tick(clock->nowMs());
    return static_cast<int>(std::min<size_t>(INT_MAX, board->outputAvailable()));
}

int SimulatedSerialDriver::readNonBlocking(SerialPortHandle* port, uint8_t* buffer, size_t count)
{
    int status = 0;
    SimulatedBoard* board = openBoard(port, status);
    if (status != 0)
        return status;
    if (board == nullptr || buffer == nullptr)
        return 0;
    return static_cast<int>(board->takeOutput(buffer, std::min<size_t>(count, INT_MAX)));
}

int SimulatedSerialDriver::writeBlocking(SerialPortHandle* port, const uint8_t* data, size_t count, unsigned)
{
    int status = 0;
    SimulatedBoard* board = openBoard(port, status);
    if (status != 0)
        return status;
    if (data == nullptr && count > 0) {
        fail("No data to write");
        return errorArgument;
    }
    const size_t written = std::min<size_t>(count, INT_MAX);
    if (board != nullptr && written > 0)
        board->receiveFromHost(data, written);
    return static_cast<int>(written);
}

bool SimulatedSerialDriver::close(SerialPortHandle* port)
{
    Handle* handle = lookUp(port);
    if (handle == nullptr)
        return false;
    if (!handle->isOpen)
        return fail("Port " + handle->name + " is not open");
    handle->isOpen = false;
    return true;
}

void SimulatedSerialDriver::freePort(SerialPortHandle* port)
{
    if (handles.erase(tokenOf(port)) == 0)
        fail("Freeing an unknown port handle");
}

std::string SimulatedSerialDriver::portName(SerialPortHandle* port)
{
    const Handle* handle = lookUp(port);
    return handle ? handle->name : std::string();
}

std::string SimulatedSerialDriver::lastError() { return error; }

std::string SimulatedSerialDriver::libraryVersion() { return "simulated"; }

bool SimulatedSerialDriver::fail(const std::string& text)
{
    error = text;
    logger.log(LogLevel::DEBUG, "Simulated serial driver: %s", text.c_str());
    return false;
}

SimulatedSerialDriver::Port* SimulatedSerialDriver::findPortEntry(const std::string& name)
{
    const auto it = std::find_if(ports.begin(), ports.end(), [&name](const Port& p) { return p.info.name == name; });
    return it == ports.end() ? nullptr : &*it;
}

SimulatedSerialDriver::Handle* SimulatedSerialDriver::lookUp(SerialPortHandle* port)
{
    const auto it = handles.find(tokenOf(port));
    if (it == handles.end()) {
        fail("Unknown or freed port handle");
        return nullptr;
    }
    return &it->second;
}

SimulatedBoard* SimulatedSerialDriver::openBoard(SerialPortHandle* port, int& status)
{
    status = errorArgument;
    const Handle* handle = lookUp(port);
    if (handle == nullptr)
        return nullptr;
    if (!handle->isOpen) {
        fail("Port " + handle->name + " is not open");
        return nullptr;
    }
    const Port* entry = findPortEntry(handle->name);
    if (entry == nullptr || entry->generation != handle->generation) {
        status = errorFailed;
        fail("Device of " + handle->name + " is gone");
        return nullptr;
    }
    status = 0;
    return entry->board;
}
