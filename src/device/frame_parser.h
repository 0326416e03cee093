#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "device/message_type.h"
#include "device/serial_message.h"

// Receive state of one serial port. Each port has its own; two ports never share one. Created with its relay and
// lives as long as it.
class FrameParser {
public:
    // Bytes of the current frame accepted so far, preamble included; 0 while hunting for the preamble.
    // 32 bits so that a dynamic frame with a length field near 65535 still completes.
    uint32_t count = 0;
    // Type of the frame being received.
    uint16_t type = MT_NONE;
    // The message length in force: SerialMessage::size until the frame's length field is complete.
    uint16_t length = SerialMessage::size;
    // The frame's length field as received.
    uint16_t lengthField = 0;
    // Checksum pair computed over the received message.
    uint8_t sumA = 0;
    uint8_t sumB = 0;
    // The message as received (type, length field, payload). Its size is the capacity; it only grows.
    std::vector<uint8_t> buffer;
};

// Feeds one received byte. Returns the message type when this byte completes a valid message, which then
// stands in parser.buffer (bytes 0 to length - 1) until the next byte is fed; MT_NONE otherwise.
uint16_t processSerialByte(FrameParser& parser, uint8_t byte);

// Feeds bytes as processSerialByte would one by one, up to the first that completes a message (whose type is then
// set in completed, MT_NONE otherwise); returns how many it took. The payload of a frame is taken in one copy.
size_t processSerialBytes(FrameParser& parser, const uint8_t* bytes, size_t count, uint16_t& completed);
