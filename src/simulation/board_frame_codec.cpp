#include "simulation/board_frame_codec.h"

#include "core/logger.h"

namespace {

constexpr uint8_t preamble0 = 0x55;
constexpr uint8_t preamble1 = 0xAA;
constexpr size_t headerSize = 4;

} // namespace

void boardChecksum(const uint8_t* bytes, size_t count, uint8_t& first, uint8_t& second)
{
    unsigned a = 0;
    unsigned b = 0;
    for (size_t i = 0; i < count; ++i) {
        a = (a + bytes[i]) & 0xFF;
        b = (b + a) & 0xFF;
    }
    first = static_cast<uint8_t>(a);
    second = static_cast<uint8_t>(b);
}

bool encodeBoardFrame(uint16_t type, const uint8_t* payload, size_t count, std::vector<uint8_t>& frame)
{
    frame.clear();
    if (count > 0xFFFF - headerSize) {
        logger.log(LogLevel::WARNING, "Simulated board: payload of %lu bytes does not fit a frame",
                   static_cast<unsigned long>(count));
        return false;
    }
    const size_t length = headerSize + count;
    frame.reserve(length + 4);
    frame.push_back(preamble0);
    frame.push_back(preamble1);
    frame.push_back(static_cast<uint8_t>(type & 0xFF));
    frame.push_back(static_cast<uint8_t>(type >> 8));
    frame.push_back(static_cast<uint8_t>(length & 0xFF));
    frame.push_back(static_cast<uint8_t>(length >> 8));
    if (count > 0)
        frame.insert(frame.end(), payload, payload + count);
    uint8_t first = 0;
    uint8_t second = 0;
    boardChecksum(frame.data() + 2, length, first, second);
    frame.push_back(first);
    frame.push_back(second);
    return true;
}

void BoardFrameReader::reject(const char* why)
{
    ++rejected;
    logger.log(LogLevel::DEBUG, "Simulated board: dropped frame (%s)", why);
    state = State::Preamble0;
}

bool BoardFrameReader::feed(uint8_t byte, BoardMessage& message)
{
    switch (state) {
    case State::Preamble0:
        if (byte == preamble0)
            state = State::Preamble1;
        return false;
    case State::Preamble1:
        // A repeated first preamble byte may still start the frame.
        if (byte == preamble1) {
            body.clear();
            state = State::Header;
        } else if (byte != preamble0) {
            state = State::Preamble0;
        }
        return false;
    case State::Header:
        body.push_back(byte);
        if (body.size() == headerSize) {
            length = static_cast<uint16_t>(body[2] | (body[3] << 8));
            if (length < headerSize || length > maxLength)
                reject("bad length");
            else
                state = length == headerSize ? State::Checksum0 : State::Payload;
        }
        return false;
    case State::Payload:
        body.push_back(byte);
        if (body.size() == length)
            state = State::Checksum0;
        return false;
    case State::Checksum0:
        firstChecksum = byte;
        state = State::Checksum1;
        return false;
    case State::Checksum1: {
        uint8_t first = 0;
        uint8_t second = 0;
        boardChecksum(body.data(), body.size(), first, second);
        if (first != firstChecksum || second != byte) {
            reject("bad checksum");
            return false;
        }
        state = State::Preamble0;
        message.type = static_cast<uint16_t>(body[0] | (body[1] << 8));
        message.payload.assign(body.begin() + headerSize, body.end());
        return true;
    }
    }
    return false;
}
