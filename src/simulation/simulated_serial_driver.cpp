#include "simulation/simulated_serial_driver.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "core/logger.h"

namespace {

// Handle tokens start away from 0 and step like aligned pointers, so they look like what they replace.
constexpr uintptr_t firstHandle = 0x1000;
constexpr uintptr_t handleStep = 0x10;

uintptr_t tokenOf(SerialPortHandle* port) { return reinterpret_cast<uintptr_t>(port); }

} // namespace

SimulatedSerialDriver::SimulatedSerialDriver(Clock* clock) : clock(clock), nextHandle(firstHandle) {}

SimulatedSerialDriver::~SimulatedSerialDriver()
{
    for (Port& port : ports) {
        if (port.board != nullptr)
            port.board->setOutputListener(nullptr);
        if (port.timer >= 0)
            ::close(port.timer);
    }
}

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
    port.timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (port.timer < 0)
        logger.log(LogLevel::WARNING, "Simulated port %s has no wait descriptor: %s", info.name.c_str(),
                   std::strerror(errno));
    ports.push_back(std::move(port));
    if (board != nullptr) {
        const std::string name = info.name;
        board->setOutputListener([this, name] {
            if (Port* entry = findPortEntry(name))
                armWait(*entry);
        });
    }
    return true;
}

bool SimulatedSerialDriver::removePort(const std::string& name)
{
    const auto it = std::find_if(ports.begin(), ports.end(), [&name](const Port& p) { return p.info.name == name; });
    if (it == ports.end())
        return fail("No simulated port " + name);
    if (it->board != nullptr)
        it->board->setOutputListener(nullptr);
    if (it->timer >= 0) {
        // An unplug wakes the relay, which then finds the device gone; its copy of the descriptor stays expired.
        it->armed = Armed::Unknown;
        it->resumed = true;
        armWait(*it);
        ::close(it->timer);
    }
    ports.erase(it);
    return true;
}

bool SimulatedSerialDriver::setAnswerDelay(const std::string& name, std::chrono::microseconds delay)
{
    Port* port = findPortEntry(name);
    if (port == nullptr)
        return fail("No simulated port " + name);
    port->answerDelay = delay;
    return true;
}

bool SimulatedSerialDriver::setReading(const std::string& name, bool reading)
{
    Port* port = findPortEntry(name);
    if (port == nullptr)
        return fail("No simulated port " + name);
    port->resumed = reading && !port->reading;
    port->reading = reading;
    armWait(*port);
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
        return fail("Port " + handle->name + " is open already", EBUSY);
    if (entry->openError != 0)
        return fail(std::string(std::strerror(entry->openError)), entry->openError);
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
    Port* entry = openEntry(port, status);
    if (status != 0)
        return status;
    // The relay reads this port now: a writer it woke has been served.
    entry->resumed = false;
    SimulatedBoard* board = entry->board;
    if (board == nullptr)
        return 0;
    if (clock != nullptr)
        board->tick(clock->nowMs());
    const int available = held(*entry) ? 0 : static_cast<int>(std::min<size_t>(INT_MAX, board->outputAvailable()));
    armWait(*entry);
    return available;
}

int SimulatedSerialDriver::readNonBlocking(SerialPortHandle* port, uint8_t* buffer, size_t count)
{
    int status = 0;
    Port* entry = openEntry(port, status);
    if (status != 0)
        return status;
    if (entry->board == nullptr || buffer == nullptr || held(*entry))
        return 0;
    const int taken = static_cast<int>(entry->board->takeOutput(buffer, std::min<size_t>(count, INT_MAX)));
    armWait(*entry);
    return taken;
}

int SimulatedSerialDriver::writeNonBlocking(SerialPortHandle* port, const uint8_t* data, size_t count)
{
    int status = 0;
    Port* entry = openEntry(port, status);
    if (status != 0)
        return status;
    if (data == nullptr && count > 0) {
        fail("No data to write");
        return errorArgument;
    }
    if (!entry->reading)
        return 0;
    const size_t written = std::min<size_t>(count, INT_MAX);
    if (entry->answerDelay.count() > 0 && written > 0)
        entry->heldUntil = std::chrono::steady_clock::now() + entry->answerDelay;
    if (entry->board != nullptr && written > 0)
        entry->board->receiveFromHost(data, written);
    return static_cast<int>(written);
}

int SimulatedSerialDriver::waitDescriptor(SerialPortHandle* port)
{
    int status = 0;
    const Port* entry = openEntry(port, status);
    return status == 0 ? entry->timer : -1;
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

bool SimulatedSerialDriver::setOpenError(const std::string& name, int number)
{
    Port* port = findPortEntry(name);
    if (port == nullptr)
        return false;
    port->openError = number;
    return true;
}

bool SimulatedSerialDriver::fail(const std::string& text, int number)
{
    error = text;
    errorNumber = number;
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

SimulatedSerialDriver::Port* SimulatedSerialDriver::openEntry(SerialPortHandle* port, int& status)
{
    status = errorArgument;
    const Handle* handle = lookUp(port);
    if (handle == nullptr)
        return nullptr;
    if (!handle->isOpen) {
        fail("Port " + handle->name + " is not open");
        return nullptr;
    }
    Port* entry = findPortEntry(handle->name);
    if (entry == nullptr || entry->generation != handle->generation) {
        status = errorFailed;
        fail("Device of " + handle->name + " is gone");
        return nullptr;
    }
    status = 0;
    return entry;
}

SimulatedBoard* SimulatedSerialDriver::openBoard(SerialPortHandle* port, int& status)
{
    Port* entry = openEntry(port, status);
    return entry == nullptr ? nullptr : entry->board;
}

void SimulatedSerialDriver::armWait(Port& port)
{
    if (port.timer < 0)
        return;
    Armed wanted = Armed::Off;
    uint64_t dueMs = 0;
    std::chrono::nanoseconds delay{0};
    if (port.board != nullptr && port.board->hasOutput() && held(port)) {
        wanted = Armed::Held;
        delay = port.heldUntil - std::chrono::steady_clock::now();
    } else if (port.resumed || (port.board != nullptr && port.board->hasOutput())) {
        wanted = Armed::Now;
    } else if (port.board != nullptr && clock != nullptr) {
        const uint64_t now = clock->nowMs();
        if (port.board->nextLiveValueMs(now, dueMs)) {
            wanted = Armed::At;
            delay = std::chrono::milliseconds(dueMs - now);
        }
    }
    if (wanted == port.armed && wanted != Armed::Held && (wanted != Armed::At || dueMs == port.armedDueMs))
        return;
    // Setting the timer also clears an expiry that was not read; a zero time would disarm it, so "now" is 1 ns.
    itimerspec when{};
    if (wanted != Armed::Off) {
        const auto nanoseconds = std::max<int64_t>(1, delay.count());
        when.it_value.tv_sec = static_cast<time_t>(nanoseconds / 1000000000);
        when.it_value.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    }
    if (timerfd_settime(port.timer, 0, &when, nullptr) != 0) {
        logger.log(LogLevel::WARNING, "Simulated port %s: cannot set its wait descriptor: %s", port.info.name.c_str(),
                   std::strerror(errno));
        port.armed = Armed::Unknown;
        return;
    }
    port.armed = wanted;
    port.armedDueMs = dueMs;
}
