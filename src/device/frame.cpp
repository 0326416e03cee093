#include "device/frame.h"

#include <algorithm>

#include "core/logger.h"
#include "device/message_type.h"

namespace {

// Writes what the port takes now and keeps the rest in unsent. A failed write loses the rest, as a short write
// always did: the board's missing acknowledgement then times out.
void writeAvailable(SerialDriver& driver, SerialPortHandle* port, const uint8_t* bytes, size_t count,
                    std::vector<uint8_t>& unsent)
{
    const int written = driver.writeNonBlocking(port, bytes, count);
    if (written < 0) {
        logger.log(LogLevel::ERROR, "usb didn't write enough bytes (%d)", static_cast<int>(count));
        return;
    }
    const size_t taken = std::min(count, static_cast<size_t>(written));
    unsent.insert(unsent.end(), bytes + taken, bytes + count);
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

bool writeFrame(SerialDriver& driver, SerialPortHandle* port, SerialMessage& message, std::vector<uint8_t>& unsent)
{
    if (port == nullptr) {
        logger.log(LogLevel::ERROR, "Cannot write a message of type %s: port is not open",
                   messageTypeName(message.type()));
        return false;
    }
    const uint16_t length = static_cast<uint16_t>(getPayloadSizeFromMessageType(message.type()) + 4);
    message.setLength(length);
    const FrameChecksum checksum = computeFrameChecksum(message.bytes, length);
    // One write for the whole frame: on a USB port each write can become a transfer of its own.
    uint8_t frame[sizeof framePreamble + sizeof message.bytes + 2];
    std::copy_n(framePreamble, sizeof framePreamble, frame);
    std::copy_n(message.bytes, length, frame + sizeof framePreamble);
    frame[sizeof framePreamble + length] = checksum.first;
    frame[sizeof framePreamble + length + 1] = checksum.second;
    writeAvailable(driver, port, frame, sizeof framePreamble + length + 2u, unsent);
    return true;
}

bool sendUnsent(SerialDriver& driver, SerialPortHandle* port, std::vector<uint8_t>& unsent)
{
    if (unsent.empty())
        return true;
    std::vector<uint8_t> rest;
    if (port != nullptr)
        writeAvailable(driver, port, unsent.data(), unsent.size(), rest);
    unsent.swap(rest);
    return unsent.empty();
}
