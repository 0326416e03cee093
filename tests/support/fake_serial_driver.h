#pragma once

#include <cstddef>
#include <set>
#include <string>

#include "simulation/simulated_serial_driver.h"

// The simulated driver with the failures and counters tests need. The enumeration is scripted with
// addBoard/addPort/removePort (removePort is an unplug: open handles then report a failed device).
class FakeSerialDriver : public SimulatedSerialDriver {
public:
    // Calls made through the driver, failed ones included.
    struct Counters {
        int opens = 0;
        int baudRateSets = 0;
        int xonXoffSets = 0;
        int closes = 0;
        int frees = 0;
        int writes = 0;
        int inputChecks = 0;
        int lastBaudRate = 0;
    };

    using SimulatedSerialDriver::SimulatedSerialDriver;

    void setEnumerationFails(bool fails) { enumerationFails = fails; }
    void setOpenFails(const std::string& name, bool fails) { toggle(openFailures, name, fails); }
    void setBaudRateFails(const std::string& name, bool fails) { toggle(baudRateFailures, name, fails); }
    void setCloseFails(const std::string& name, bool fails) { toggle(closeFailures, name, fails); }
    // Every write takes at most this many bytes (the writer keeps the rest); 0 lifts the limit.
    void setWriteLimit(size_t maxBytes) { writeLimit = maxBytes; }

    const Counters& counters() const { return calls; }

    bool listPorts(std::vector<SerialPortInfo>& ports) override;
    bool open(SerialPortHandle* port) override;
    bool setBaudRate(SerialPortHandle* port, int baud) override;
    bool disableXonXoff(SerialPortHandle* port) override;
    int inputWaiting(SerialPortHandle* port) override;
    int writeNonBlocking(SerialPortHandle* port, const uint8_t* data, size_t count) override;
    bool close(SerialPortHandle* port) override;
    void freePort(SerialPortHandle* port) override;

private:
    static void toggle(std::set<std::string>& names, const std::string& name, bool on);
    bool scriptedFailure(const std::set<std::string>& names, SerialPortHandle* port, const char* what);

    bool enumerationFails = false;
    std::set<std::string> openFailures;
    std::set<std::string> baudRateFailures;
    std::set<std::string> closeFailures;
    size_t writeLimit = 0;
    Counters calls;
};
