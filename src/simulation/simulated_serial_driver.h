#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/clock.h"
#include "device/serial_driver.h"
#include "simulation/simulated_board.h"

// A serial driver whose ports are simulated boards in the same process. Ports are enumerated in the order
// they were added. Each port has a timer descriptor for the relay's wait: expired while the board's output waits,
// set for the board's next live value otherwise. Like the serial library's, every findPort returns a new handle that stays valid until
// freePort. Handles are tokens that are never reused and never dereferenced, so a call with a freed or
// unknown handle fails cleanly instead of reaching another port.
class SimulatedSerialDriver : public SerialDriver {
public:
    // USB identifiers under which simulated boards are listed.
    static constexpr int boardVendorId = 0x0483;
    static constexpr int boardProductId = 0x5740;

    // With a clock, a port's board is ticked with its time whenever its input is polled (live values).
    explicit SimulatedSerialDriver(Clock* clock = nullptr);
    ~SimulatedSerialDriver() override;

    // Enumeration entry of a USB port with the boards' identifiers.
    static SerialPortInfo boardPortInfo(const std::string& name, const std::string& usbProduct);

    // Adds a port at the end of the enumeration with a board of its own; returns the board, or nullptr when the
    // name is taken.
    SimulatedBoard* addBoard(const std::string& name, const std::string& usbProduct,
                             const SimulatedBoard::Identity& identity = SimulatedBoard::Identity{});
    // Adds a port wired to a board that the caller keeps alive while the port exists, or to none: such a port
    // reads nothing and swallows writes. False when the name is taken.
    bool addPort(const SerialPortInfo& info, SimulatedBoard* board);
    // Unplugs a port: it leaves the enumeration and its open handles report a failed device from now on.
    bool removePort(const std::string& name);
    SimulatedBoard* board(const std::string& name);
    // A port that stops reading takes no bytes until it reads again; false for an unknown name.
    bool setReading(const std::string& name, bool reading);
    // The board's output after each write becomes readable only this long after it, as a real board answers
    // after its own processing and the USB round; false for an unknown name.
    bool setAnswerDelay(const std::string& name, std::chrono::microseconds delay);
    size_t liveHandleCount() const { return handles.size(); }
    // The port cannot be opened from now on, failing with this system error number (EACCES, as when the user may
    // not open the device; 0 opens it again); false for an unknown name.
    bool setOpenError(const std::string& name, int errorNumber);

    bool listPorts(std::vector<SerialPortInfo>& ports) override;
    SerialPortHandle* findPort(const std::string& name) override;
    bool open(SerialPortHandle* port) override;
    bool setBaudRate(SerialPortHandle* port, int baud) override;
    bool disableXonXoff(SerialPortHandle* port) override;
    int inputWaiting(SerialPortHandle* port) override;
    int readNonBlocking(SerialPortHandle* port, uint8_t* buffer, size_t count) override;
    int writeNonBlocking(SerialPortHandle* port, const uint8_t* data, size_t count) override;
    int waitDescriptor(SerialPortHandle* port) override;
    bool close(SerialPortHandle* port) override;
    void freePort(SerialPortHandle* port) override;
    std::string portName(SerialPortHandle* port) override;
    std::string lastError() override;
    int lastErrorNumber() override { return errorNumber; }
    std::string libraryVersion() override;

protected:
    // Results of the serial library that the relay tells apart.
    static constexpr int errorArgument = -1;
    static constexpr int errorFailed = SerialDriver::FAILED_DEVICE;

    // Records the failure for lastError (and its system error number) and logs it; returns false for convenient use.
    bool fail(const std::string& text, int number = 0);

private:
    // What the timer of a port was last set to, so that an unchanged state costs no system call.
    enum class Armed { Unknown, Off, Now, At, Held };
    struct Port {
        SerialPortInfo info;
        std::unique_ptr<SimulatedBoard> owned;
        SimulatedBoard* board = nullptr;
        // Tells a port apart from an earlier one of the same name, so a handle never outlives its device.
        uint64_t generation = 0;
        // The timer descriptor the relay waits on; -1 when none could be made.
        int timer = -1;
        Armed armed = Armed::Unknown;
        uint64_t armedDueMs = 0;
        bool reading = true;
        int openError = 0;
        // It reads again: a writer that waits for it is woken once.
        bool resumed = false;
        std::chrono::microseconds answerDelay{0};
        std::chrono::steady_clock::time_point heldUntil;
    };
    struct Handle {
        std::string name;
        uint64_t generation = 0;
        bool isOpen = false;
    };

    Port* findPortEntry(const std::string& name);
    // The handle's record, or nullptr (with lastError set) for an unknown or freed handle.
    Handle* lookUp(SerialPortHandle* port);
    // The port behind an open handle; sets status to 0, errorArgument or errorFailed.
    Port* openEntry(SerialPortHandle* port, int& status);
    // The board behind an open handle; sets status to 0, errorArgument or errorFailed.
    SimulatedBoard* openBoard(SerialPortHandle* port, int& status);
    // Sets the port's timer from its board's state.
    void armWait(Port& port);
    // The board's answer is still on its way (see setAnswerDelay).
    static bool held(const Port& port) { return std::chrono::steady_clock::now() < port.heldUntil; }

    Clock* clock;
    std::vector<Port> ports;
    std::map<uintptr_t, Handle> handles;
    uintptr_t nextHandle;
    uint64_t nextGeneration = 1;
    std::string error;
    int errorNumber = 0;
};
