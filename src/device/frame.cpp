#include "device/frame.h"

#include "core/logger.h"
#include "device/message_type.h"

namespace {

constexpr unsigned frameWriteTimeoutMs = 100;

void writePiece(SerialDriver& driver, SerialPortHandle* port, const uint8_t* bytes, size_t count)
{
    const int written = driver.writeBlocking(port, bytes, count, frameWriteTimeoutMs);
    if (written < 0 || static_cast<size_t>(written) != count)
        logger.log(LogLevel::ERROR, "usb didn't write enough bytes (%d)", static_cast<int>(count));
}

} // namespace

FrameChecksum computeFrameChecksum(const uint8_t* bytes, size_t count)
{
    uint8_t first = 0;
    uint8_t second = 0;
    for (size_t i = 0; i < count; ++i) {
        first = static_cast<uint8_t>(first + bytes[i]);
        second = static_cast<uint8_t>(second + first);
    }
    return {first, second};
}

bool writeFrame(SerialDriver& driver, SerialPortHandle* port, SerialMessage& message)
{
    if (port == nullptr) {
        logger.log(LogLevel::ERROR, "Cannot write a message of type %s: port is not open",
                   messageTypeName(message.type()));
        return false;
    }
    const uint16_t length = static_cast<uint16_t>(getPayloadSizeFromMessageType(message.type()) + 4);
    message.setLength(length);
    const FrameChecksum checksum = computeFrameChecksum(message.bytes, length);
    const uint8_t checksumBytes[2] = {checksum.first, checksum.second};

    writePiece(driver, port, framePreamble, sizeof framePreamble);
    writePiece(driver, port, message.bytes, length);
    writePiece(driver, port, checksumBytes, sizeof checksumBytes);
    return true;
}
