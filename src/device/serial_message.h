#pragma once

#include <cstddef>
#include <cstdint>

#include "core/little_endian.h"

// One board message as built and queued by the relay: the frame without preamble and checksums.
// Bytes 0-1 type, 2-3 length (filled in when sent), 4.. payload, all little-endian. New messages are all zero.
struct SerialMessage {
    static constexpr size_t size = 154;
    static constexpr size_t payloadCapacity = 150;

    uint8_t bytes[size] = {};

    uint16_t type() const { return readU16(bytes); }
    void setType(uint16_t type) { writeU16(bytes, type); }
    uint16_t length() const { return readU16(bytes + 2); }
    void setLength(uint16_t length) { writeU16(bytes + 2, length); }
    uint8_t* payload() { return bytes + 4; }
    const uint8_t* payload() const { return bytes + 4; }
};

static_assert(sizeof(SerialMessage) == 154, "a SerialMessage is exactly 154 bytes");
