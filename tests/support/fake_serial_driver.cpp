#include "fake_serial_driver.h"

#include <algorithm>

void FakeSerialDriver::toggle(std::set<std::string>& names, const std::string& name, bool on)
{
    if (on)
        names.insert(name);
    else
        names.erase(name);
}

bool FakeSerialDriver::scriptedFailure(const std::set<std::string>& names, SerialPortHandle* port, const char* what)
{
    const std::string name = portName(port);
    if (name.empty() || names.count(name) == 0)
        return false;
    fail(std::string("Scripted ") + what + " failure on " + name);
    return true;
}

bool FakeSerialDriver::listPorts(std::vector<SerialPortInfo>& ports)
{
    if (enumerationFails) {
        ports.clear();
        return fail("Scripted enumeration failure");
    }
    return SimulatedSerialDriver::listPorts(ports);
}

bool FakeSerialDriver::open(SerialPortHandle* port)
{
    ++calls.opens;
    return !scriptedFailure(openFailures, port, "open") && SimulatedSerialDriver::open(port);
}

bool FakeSerialDriver::setBaudRate(SerialPortHandle* port, int baud)
{
    ++calls.baudRateSets;
    calls.lastBaudRate = baud;
    return !scriptedFailure(baudRateFailures, port, "baud rate") && SimulatedSerialDriver::setBaudRate(port, baud);
}

bool FakeSerialDriver::disableXonXoff(SerialPortHandle* port)
{
    ++calls.xonXoffSets;
    return SimulatedSerialDriver::disableXonXoff(port);
}

int FakeSerialDriver::inputWaiting(SerialPortHandle* port)
{
    ++calls.inputChecks;
    return SimulatedSerialDriver::inputWaiting(port);
}

int FakeSerialDriver::writeNonBlocking(SerialPortHandle* port, const uint8_t* data, size_t count)
{
    ++calls.writes;
    const size_t allowed = writeLimit > 0 ? std::min(count, writeLimit) : count;
    return SimulatedSerialDriver::writeNonBlocking(port, data, allowed);
}

bool FakeSerialDriver::close(SerialPortHandle* port)
{
    ++calls.closes;
    return !scriptedFailure(closeFailures, port, "close") && SimulatedSerialDriver::close(port);
}

void FakeSerialDriver::freePort(SerialPortHandle* port)
{
    ++calls.frees;
    SimulatedSerialDriver::freePort(port);
}
