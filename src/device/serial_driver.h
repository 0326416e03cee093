#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Opaque handle of a port object owned by a SerialDriver.
struct SerialPortHandle;

// One port as the serial library enumerates it.
struct SerialPortInfo {
    std::string name;
    bool isUsb = false;
    // -1 when the identifiers cannot be read.
    int usbVendorId = -1;
    int usbProductId = -1;
    std::string usbProduct;
};

// The seam between the relay and the serial port library.
class SerialDriver {
public:
    // Result of inputWaiting for a device that failed (for example unplugged).
    static constexpr int FAILED_DEVICE = -2;

    virtual ~SerialDriver() = default;

    // All ports of the system in the library's order; false when enumeration failed (see lastError).
    virtual bool listPorts(std::vector<SerialPortInfo>& ports) = 0;
    // A new port object for the name, or nullptr when the library does not know it.
    virtual SerialPortHandle* findPort(const std::string& name) = 0;
    // Opens for reading and writing.
    virtual bool open(SerialPortHandle* port) = 0;
    virtual bool setBaudRate(SerialPortHandle* port, int baud) = 0;
    virtual bool disableXonXoff(SerialPortHandle* port) = 0;
    // Bytes waiting to be read; negative on error, FAILED_DEVICE when the device failed.
    virtual int inputWaiting(SerialPortHandle* port) = 0;
    // Reads what is there without waiting; returns the count read or a negative error.
    virtual int readNonBlocking(SerialPortHandle* port, uint8_t* buffer, size_t count) = 0;
    // Writes what the port takes now, without waiting; returns the count written (0 when it takes nothing now) or a
    // negative error.
    virtual int writeNonBlocking(SerialPortHandle* port, const uint8_t* data, size_t count) = 0;
    // The descriptor the main loop waits on for an open port, owned by the driver: readable when input waits,
    // writable when the port takes output again (a driver that cannot tell makes it readable then); -1 for none.
    virtual int waitDescriptor(SerialPortHandle* port) = 0;
    virtual bool close(SerialPortHandle* port) = 0;
    // Releases the port object; the handle is invalid afterwards.
    virtual void freePort(SerialPortHandle* port) = 0;
    virtual std::string portName(SerialPortHandle* port) = 0;
    virtual std::string lastError() = 0;
    // The system's error number of the last failure (EACCES, EBUSY, ...); 0 when it gave none.
    virtual int lastErrorNumber() = 0;
    virtual std::string libraryVersion() = 0;
};
