#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The board's own framing: 0x55 0xAA, u16 type, u16 length L (type through payload, so 4 + payload size),
// payload, then two running sums modulo 256 over type, length and payload. It is written apart from the
// relay's frame code so that the simulated board is an independent check of what the relay puts on the wire.

// One message as the board sees it: type and payload, without preamble, length field or checksums.
struct BoardMessage {
    uint16_t type = 0;
    std::vector<uint8_t> payload;
};

// The two checksum bytes over the given bytes.
void boardChecksum(const uint8_t* bytes, size_t count, uint8_t& first, uint8_t& second);

// A complete frame carrying the payload; false (and no frame) when the payload does not fit a u16 length.
bool encodeBoardFrame(uint16_t type, const uint8_t* payload, size_t count, std::vector<uint8_t>& frame);

// Reassembles the frames of a byte stream, one byte at a time.
class BoardFrameReader {
public:
    // The board takes no message longer than the relay's largest (154 bytes from type through payload).
    static constexpr uint16_t maxLength = 154;

    // True when this byte completed a valid frame; its message is then in `message`.
    bool feed(uint8_t byte, BoardMessage& message);
    // Frames dropped for a bad length or checksum since construction.
    size_t rejectedFrames() const { return rejected; }

private:
    enum class State { Preamble0, Preamble1, Header, Payload, Checksum0, Checksum1 };

    void reject(const char* why);

    State state = State::Preamble0;
    // Type, length and payload of the frame being read.
    std::vector<uint8_t> body;
    uint16_t length = 0;
    uint8_t firstChecksum = 0;
    size_t rejected = 0;
};
