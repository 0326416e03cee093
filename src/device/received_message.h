#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/little_endian.h"
#include "device/serial_message.h"

// A message from a board cut to the bytes that both its length field and its copy hold, followed by zeros: a
// field at a fixed offset up to a whole SerialMessage stays inside the buffer and reads 0 beyond the message.
class ReceivedMessage {
public:
    explicit ReceivedMessage(const std::vector<uint8_t>& copy)
        : lengthField(copy.size() >= 4 ? readU16(copy.data() + 2) : 0),
          length(std::min<size_t>(lengthField, copy.size()))
    {
        bytes.assign(std::max(length, SerialMessage::size), 0);
        // The header is kept even when the length field claims less than the header itself.
        std::copy_n(copy.begin(), std::max(length, std::min<size_t>(copy.size(), 4)), bytes.begin());
    }

    uint16_t type() const { return readU16(bytes.data()); }
    const uint8_t* record() const { return bytes.data(); }
    size_t recordSize() const { return bytes.size(); }
    const uint8_t* payload() const { return bytes.data() + 4; }
    // Negative when even the header is short.
    int32_t payloadLength() const { return static_cast<int32_t>(length) - 4; }

    // The length field as received.
    const uint16_t lengthField;

private:
    const size_t length;
    std::vector<uint8_t> bytes;
};
