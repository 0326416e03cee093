// Any byte stream into one port's frame parser: every completed message must be one the relay accepts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/little_endian.h"
#include "core/logger.h"
#include "device/frame.h"
#include "device/frame_parser.h"
#include "device/message_type.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    logger.threshold = LOG_THRESHOLD_OFF;
    FrameParser parser;
    for (size_t i = 0; i < size; ++i) {
        const uint16_t type = processSerialByte(parser, data[i]);
        if (type == MT_NONE)
            continue;
        // The two bytes just fed are the checksum pair of the completed message.
        if (!isReceivedMessageType(type) || parser.length < 4 || parser.length > parser.buffer.size() || i < 1)
            std::abort();
        if (readU16(parser.buffer.data()) != type || readU16(parser.buffer.data() + 2) != parser.length)
            std::abort();
        const FrameChecksum checksum = computeFrameChecksum(parser.buffer.data(), parser.length);
        if (checksum.first != data[i - 1] || checksum.second != data[i])
            std::abort();
    }
    return 0;
}
