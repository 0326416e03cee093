#pragma once

#include "device/serial_driver.h"

// The program's serial driver, on libserialport. Created by the program's main; lives for the whole run.
class LibSerialPortDriver : public SerialDriver {
public:
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
    int lastErrorNumber() override;
    std::string libraryVersion() override;
};
