#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "device/serial_driver.h"
#include "device/serial_message.h"

// The two bytes that open every frame, in both directions.
constexpr uint8_t framePreamble[2] = {0x55, 0xAA};

// Both checksum bytes of a frame: Fletcher-16 with both sums taken modulo 256.
struct FrameChecksum {
    uint8_t first;
    uint8_t second;
};

// Checksum pair over the message bytes of a frame (type, length and payload; not the preamble).
FrameChecksum computeFrameChecksum(const uint8_t* bytes, size_t count);

// Sets the message's length from its type's payload size and writes preamble, message and checksums to the port in
// one write that does not wait; what the port does not take now is appended to unsent (see sendUnsent). A failed
// write is logged and otherwise treated as sent (the board's missing acknowledgement times out). False only when
// there is no port to write to.
bool writeFrame(SerialDriver& driver, SerialPortHandle* port, SerialMessage& message, std::vector<uint8_t>& unsent);

// Writes what the port takes now of the bytes a frame left behind, without waiting, and keeps the rest; a failed
// write is logged and drops them. True when none are left.
bool sendUnsent(SerialDriver& driver, SerialPortHandle* port, std::vector<uint8_t>& unsent);
