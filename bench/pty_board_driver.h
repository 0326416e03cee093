#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/serial_driver.h"
#include "simulation/simulated_board.h"

// A serial driver whose ports are pseudo-terminals with simulated boards at the far end, served by one thread of
// their own. The relay reads and writes a real tty as it does a USB board's (the same system calls: the bytes waiting,
// a read, a write), and the boards' work never counts on the relay's thread. Each board answers what it read at once
// or a set time after it read it. One thread for all boards keeps what the simulation costs the machine small next
// to the relay. Boards are added before startBoards; the driver owns them, and they may be looked at again once
// stopBoards has ended the thread.
class PtyBoardDriver : public SerialDriver {
public:
    PtyBoardDriver() = default;
    PtyBoardDriver(const PtyBoardDriver&) = delete;
    PtyBoardDriver& operator=(const PtyBoardDriver&) = delete;
    ~PtyBoardDriver() override;

    // A board behind a new pseudo-terminal, listed under the name with the boards' USB identifiers; nullptr (after
    // a message) when no pseudo-terminal could be opened.
    SimulatedBoard* addBoard(const std::string& name, const SimulatedBoard::Identity& identity,
                             std::chrono::microseconds answerDelay);
    void startBoards();
    void stopBoards();
    // CPU time of the boards' thread so far, in microseconds.
    double boardCpuMicroseconds() const;
    // How late, in all, the delayed answers so far left after their time (the boards' thread busy with others):
    // the part of a slow write that is the simulation's own, not the relay's.
    double answerLatenessMicroseconds() const { return lateMicroseconds.load(); }

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
    int lastErrorNumber() override { return 0; }
    std::string libraryVersion() override;

private:
    // One pseudo-terminal: the relay's end (the terminal side, as a device node would be) and the board's end.
    struct Port {
        std::string name;
        int relayEnd = -1;
        int boardEnd = -1;
        std::chrono::microseconds answerDelay{0};
        SimulatedBoard board;
        // When the board's pending output may leave; only while it has output.
        std::chrono::steady_clock::time_point answerAt;
        explicit Port(const SimulatedBoard::Identity& identity) : board(identity) {}
    };

    void serve();
    static void answer(Port& port);
    Port* portOf(SerialPortHandle* handle) const;

    std::vector<std::unique_ptr<Port>> ports;
    std::thread thread;
    // The thread's CPU clock while it runs; its last reading once it has ended.
    clockid_t cpuClock{};
    std::atomic<double> endCpuMicroseconds{0};
    std::atomic<bool> stopRequested{false};
    std::atomic<double> lateMicroseconds{0};
    std::string error;
};
