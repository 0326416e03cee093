#include "device/frame_parser.h"

#include <algorithm>

#include "core/little_endian.h"
#include "core/logger.h"
#include "device/frame.h"

namespace {

// Frame byte numbers (1-based, preamble included) at which the parser acts.
constexpr uint32_t typeComplete = 4;
constexpr uint32_t lengthLowByte = 5;
constexpr uint32_t lengthComplete = 6;
constexpr uint16_t minimumLength = 4;

void growBuffer(FrameParser& parser, size_t size)
{
    if (parser.buffer.size() < size)
        parser.buffer.assign(size, 0);
}

// Called when the length field is complete; false when the frame must be dropped.
bool acceptLength(FrameParser& parser)
{
    if (parser.lengthField < minimumLength)
        return false;
    parser.length = parser.lengthField;
    if (isDynamicMessageType(parser.type)) {
        logger.log(LogLevel::DEBUG, "Size for dynamic message is %d", static_cast<int>(parser.length));
        if (parser.buffer.size() < parser.length) {
            growBuffer(parser, parser.length);
            // Growing loses the contents: put the header back.
            writeU16(parser.buffer.data(), parser.type);
            writeU16(parser.buffer.data() + 2, parser.length);
        }
        return true;
    }
    if (parser.length > parser.buffer.size()) {
        // A fixed-size type never needs more than the buffer holds; storing on would run past it.
        logger.log(LogLevel::DEBUG, "Message length %d of type %d exceeds the receive buffer, frame dropped",
                   static_cast<int>(parser.length), static_cast<int>(parser.type));
        return false;
    }
    return true;
}

} // namespace

uint16_t processSerialByte(FrameParser& parser, uint8_t byte)
{
    if (parser.count < sizeof framePreamble) {
        parser.length = SerialMessage::size;
        parser.lengthField = 0;
        growBuffer(parser, SerialMessage::size);
        // A byte that breaks a half-seen preamble is not tried again as its first byte.
        parser.count = byte == framePreamble[parser.count] ? parser.count + 1 : 0;
        return MT_NONE;
    }

    const uint32_t index = parser.count - 2;
    if (index < parser.length)
        parser.buffer[index] = byte;
    const uint32_t n = ++parser.count;

    if (n < typeComplete)
        return MT_NONE;
    if (n == typeComplete) {
        parser.type = readU16(parser.buffer.data());
        if (!isReceivedMessageType(parser.type)) {
            logger.log(LogLevel::DEBUG, "Unknown message type in processSerialByte: %d", static_cast<int>(parser.type));
            parser.count = 0;
        }
        return MT_NONE;
    }
    if (n == lengthLowByte) {
        parser.lengthField = byte;
    } else if (n == lengthComplete) {
        parser.lengthField = static_cast<uint16_t>(parser.lengthField | (byte << 8));
        if (!acceptLength(parser)) {
            parser.count = 0;
            return MT_NONE;
        }
    }

    const uint32_t length = parser.length;
    if (n == length + 2) {
        const FrameChecksum checksum = computeFrameChecksum(parser.buffer.data(), length);
        parser.sumA = checksum.first;
        parser.sumB = checksum.second;
    } else if (n == length + 3) {
        if (byte != parser.sumA) {
            logger.log(LogLevel::DEBUG, "First checksum byte doesn't match");
            parser.count = 0;
        }
    } else if (n == length + 4) {
        parser.count = 0;
        if (byte == parser.sumB)
            return parser.type;
        logger.log(LogLevel::DEBUG, "Second checksum byte doesn't match");
    }
    return MT_NONE;
}

size_t processSerialBytes(FrameParser& parser, const uint8_t* bytes, size_t count, uint16_t& completed)
{
    completed = MT_NONE;
    size_t taken = 0;
    while (taken < count) {
        // Inside a frame whose length is accepted, the message bytes before its last one need nothing but storing
        // (the checksum is taken over the whole message when its last byte arrives).
        if (parser.count >= lengthComplete && parser.count + 1 < uint32_t{parser.length} + 2) {
            const size_t run = std::min<size_t>(count - taken, uint32_t{parser.length} + 1 - parser.count);
            std::copy_n(bytes + taken, run, parser.buffer.begin() + (parser.count - 2));
            parser.count += static_cast<uint32_t>(run);
            taken += run;
            continue;
        }
        completed = processSerialByte(parser, bytes[taken++]);
        if (completed != MT_NONE)
            break;
    }
    return taken;
}
