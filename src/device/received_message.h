#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/little_endian.h"
#include "device/serial_message.h"

// A message from a board cut to the bytes that both its length field and its copy hold, followed by zeros: a
// field at a fixed offset up to a whole SerialMessage stays inside the buffer and reads 0 beyond the message.
class ReceivedMessage {
public:
    // Takes the copy over: a message is read once, so its bytes need not be copied again.
    explicit ReceivedMessage(std::vector<uint8_t> copy)
        : lengthField(copy.size() >= 4 ? readU16(copy.data() + 2) : 0),
          length(std::min<size_t>(lengthField, copy.size())), bytes(std::move(copy))
    {
        // The header is kept even when the length field claims less than the header itself.
        const size_t kept = std::max(length, std::min<size_t>(bytes.size(), 4));
        bytes.resize(std::max(length, SerialMessage::size));
        std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(std::min(kept, bytes.size())), bytes.end(), 0);
    }

    uint16_t type() const { return readU16(bytes.data()); }
    const uint8_t* record() const { return bytes.data(); }
    size_t recordSize() const { return bytes.size(); }
    const uint8_t* payload() const { return bytes.data() + 4; }
    // Negative when even the header is short.
    int32_t payloadLength() const { return static_cast<int32_t>(length) - 4; }

    // The bytes, for the next message read to fill: the message is empty afterwards.
    std::vector<uint8_t> release() && { return std::move(bytes); }

    // The length field as received.
    const uint16_t lengthField;

private:
    const size_t length;
    std::vector<uint8_t> bytes;
};
