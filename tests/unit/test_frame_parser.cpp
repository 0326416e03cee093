#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "core/little_endian.h"
#include "core/logger.h"
#include "device/frame.h"
#include "device/frame_parser.h"
#include "support/log_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// A frame with the given type, length field and payload; checksums over type, length and payload.
Bytes frameWithLength(uint16_t type, uint16_t lengthField, const Bytes& payload)
{
    Bytes message(4);
    writeU16(message.data(), type);
    writeU16(message.data() + 2, lengthField);
    message.insert(message.end(), payload.begin(), payload.end());
    const FrameChecksum sum = computeFrameChecksum(message.data(), message.size());
    return concat({Bytes{0x55, 0xAA}, message, Bytes{sum.first, sum.second}});
}

Bytes frame(uint16_t type, const Bytes& payload)
{
    return frameWithLength(type, static_cast<uint16_t>(payload.size() + 4), payload);
}

// Payload bytes that never contain a preamble byte, so a test sees only the frames it means.
Bytes pattern(size_t size)
{
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i % 0x50);
    return bytes;
}

struct Completed {
    size_t index; // of the byte that completed the message
    uint16_t type;
    Bytes message; // the buffer's first `length` bytes at that moment
};

// Feeds the bytes as a port's read does, many at once; a copy of the parser fed byte by byte must agree.
std::vector<Completed> feed(FrameParser& parser, const Bytes& bytes)
{
    FrameParser bytewise = parser;
    std::vector<Completed> completed;
    for (size_t fed = 0; fed < bytes.size();) {
        uint16_t type = MT_NONE;
        fed += processSerialBytes(parser, bytes.data() + fed, bytes.size() - fed, type);
        if (type != MT_NONE)
            completed.push_back({fed - 1, type, Bytes(parser.buffer.begin(), parser.buffer.begin() + parser.length)});
    }
    // The copy's log lines would be the same lines again.
    const int threshold = logger.threshold;
    logger.threshold = LOG_THRESHOLD_OFF;
    std::vector<Completed> oneByOne;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint16_t type = processSerialByte(bytewise, bytes[i]);
        if (type != MT_NONE)
            oneByOne.push_back({i, type, Bytes(bytewise.buffer.begin(), bytewise.buffer.begin() + bytewise.length)});
    }
    logger.threshold = threshold;
    EXPECT_EQ(completed.size(), oneByOne.size());
    for (size_t i = 0; i < std::min(completed.size(), oneByOne.size()); ++i) {
        EXPECT_EQ(completed[i].index, oneByOne[i].index);
        EXPECT_EQ(completed[i].message, oneByOne[i].message);
    }
    EXPECT_EQ(parser.count, bytewise.count) << "both stand at the same byte of the next frame";
    return completed;
}

const Bytes ackFrame{0x55, 0xAA, 0x12, 0x00, 0x05, 0x00, 0x00, 0x17, 0x69};

} // namespace

TEST(FrameParser, AckFrameIsAcceptedAtItsNinthByte)
{
    FrameParser parser;
    for (size_t i = 0; i < 8; ++i)
        EXPECT_EQ(processSerialByte(parser, ackFrame[i]), MT_NONE) << i;
    EXPECT_EQ(processSerialByte(parser, ackFrame[8]), MT_ACK);
    EXPECT_EQ(parser.length, 5);
    EXPECT_EQ(Bytes(parser.buffer.begin(), parser.buffer.begin() + 5), (Bytes{0x12, 0x00, 0x05, 0x00, 0x00}));
    EXPECT_EQ(parser.count, 0u);
    EXPECT_GE(parser.buffer.size(), SerialMessage::size);
}

TEST(FrameParser, HeaderOnlyFrameIsValid)
{
    FrameParser parser;
    const std::vector<Completed> completed = feed(parser, {0x55, 0xAA, 0x11, 0x00, 0x04, 0x00, 0x15, 0x4C});
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(completed[0].index, 7u);
    EXPECT_EQ(completed[0].type, MT_NACK);
    EXPECT_EQ(completed[0].message, (Bytes{0x11, 0x00, 0x04, 0x00}));
}

TEST(FrameParser, FramesOfReceivedTypesMayBeShorterOrLongerThanTheirTableSize)
{
    FrameParser parser;
    const Bytes shortVersion = pattern(2);
    const Bytes longAck = pattern(140);
    const std::vector<Completed> completed =
        feed(parser, concat({frame(MT_VERSION, shortVersion), frame(MT_ACK, longAck)}));
    ASSERT_EQ(completed.size(), 2u);
    EXPECT_EQ(completed[0].type, MT_VERSION);
    EXPECT_EQ(Bytes(completed[0].message.begin() + 4, completed[0].message.end()), shortVersion);
    EXPECT_EQ(completed[1].type, MT_ACK);
    EXPECT_EQ(Bytes(completed[1].message.begin() + 4, completed[1].message.end()), longAck);
}

TEST(FrameParser, LengthFieldBelowFourDropsTheFrameSilently)
{
    for (uint16_t lengthField = 0; lengthField < 4; ++lengthField) {
        LogCapture capture;
        FrameParser parser;
        const Bytes bad{0x55, 0xAA, 0x12, 0x00, static_cast<uint8_t>(lengthField), 0x00};
        EXPECT_TRUE(feed(parser, bad).empty());
        EXPECT_EQ(parser.count, 0u) << lengthField;
        EXPECT_TRUE(capture.lines().empty()) << lengthField;

        const std::vector<Completed> completed = feed(parser, ackFrame);
        ASSERT_EQ(completed.size(), 1u) << lengthField;
        EXPECT_EQ(completed[0].type, MT_ACK);
    }
}

TEST(FrameParser, WrongFirstChecksumDropsTheFrameAndHuntsFromTheNextByte)
{
    LogCapture capture;
    FrameParser parser;
    // The bad frame's second checksum byte 0x55 is taken as the start of the next preamble.
    const Bytes stream{0x55, 0xAA, 0x12, 0x00, 0x05, 0x00, 0x00, 0x18, 0x55,
                       0xAA, 0x12, 0x00, 0x05, 0x00, 0x00, 0x17, 0x69};
    const std::vector<Completed> completed = feed(parser, stream);
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(completed[0].index, stream.size() - 1);
    EXPECT_EQ(capture.texts(), std::vector<std::string>{"First checksum byte doesn't match"});
}

TEST(FrameParser, WrongSecondChecksumDropsTheFrame)
{
    LogCapture capture;
    FrameParser parser;
    Bytes bad = ackFrame;
    bad[8] = 0x6A;
    EXPECT_TRUE(feed(parser, bad).empty());
    EXPECT_EQ(parser.count, 0u);
    EXPECT_EQ(capture.texts(), std::vector<std::string>{"Second checksum byte doesn't match"});
    EXPECT_EQ(feed(parser, ackFrame).size(), 1u);
}

TEST(FrameParser, PreambleResynchronisation)
{
    struct Case {
        Bytes prefix;
        bool completes;
    } cases[] = {
        {{}, true},
        {{0x00}, true},
        {{0x55}, false}, // 0x55 0x55 0xAA: the second 0x55 breaks the preamble and is not tried again
        {{0xAA, 0x55, 0x00}, true},
        {{0x55, 0x00}, true},
        {{0x13, 0xAA, 0x55, 0x55}, true}, // 0x55 0x55: the third 0x55 starts afresh
    };
    for (const Case& c : cases) {
        FrameParser parser;
        const std::vector<Completed> completed = feed(parser, concat({c.prefix, ackFrame}));
        EXPECT_EQ(completed.size(), c.completes ? 1u : 0u) << c.prefix.size();
    }
}

TEST(FrameParser, TypesABoardDoesNotSendAreRefused)
{
    for (uint16_t type : {uint16_t(MT_LED), uint16_t(MT_NONE), uint16_t(21), uint16_t(MT_TWEAK), uint16_t(MT_MAX),
                          uint16_t(98), uint16_t(0xFFFF)}) {
        LogCapture capture;
        FrameParser parser;
        const Bytes refused = frame(type, {0x00});
        EXPECT_TRUE(feed(parser, Bytes(refused.begin(), refused.begin() + 4)).empty());
        EXPECT_EQ(parser.count, 0u) << type;
        EXPECT_EQ(capture.texts(),
                  std::vector<std::string>{"Unknown message type in processSerialByte: " + std::to_string(type)});
        EXPECT_TRUE(feed(parser, concat({Bytes(refused.begin() + 4, refused.end()), ackFrame})).size() == 1u) << type;
    }
}

TEST(FrameParser, DynamicConfigDumpGrowsTheBufferWhichTheNextFixedFrameReuses)
{
    LogCapture capture;
    FrameParser parser;
    const Bytes dumpPayload = pattern(596);
    const Bytes dump = frame(MT_CONFIG_DUMP, dumpPayload);
    const std::vector<Completed> completed = feed(parser, concat({dump, ackFrame}));

    ASSERT_EQ(completed.size(), 2u);
    EXPECT_EQ(completed[0].type, MT_CONFIG_DUMP);
    EXPECT_EQ(completed[0].index, dump.size() - 1);
    EXPECT_EQ(completed[0].message, Bytes(dump.begin() + 2, dump.end() - 2));
    EXPECT_EQ(completed[1].type, MT_ACK);
    EXPECT_EQ(completed[1].message, (Bytes{0x12, 0x00, 0x05, 0x00, 0x00}));
    EXPECT_EQ(parser.buffer.size(), 600u);
    EXPECT_TRUE(capture.contains("Size for dynamic message is 600"));
}

TEST(FrameParser, DynamicFrameNearTheLargestLengthCompletes)
{
    FrameParser parser;
    const Bytes capabilities = frame(MT_CAPABILITIES, pattern(65535 - 4));
    const std::vector<Completed> completed = feed(parser, capabilities);
    ASSERT_EQ(completed.size(), 1u);
    EXPECT_EQ(completed[0].type, MT_CAPABILITIES);
    EXPECT_EQ(completed[0].index, capabilities.size() - 1);
    EXPECT_EQ(completed[0].message, Bytes(capabilities.begin() + 2, capabilities.end() - 2));
    EXPECT_EQ(parser.buffer.size(), 65535u);
}

TEST(FrameParser, FixedTypeLongerThanTheBufferIsDroppedWhenItsLengthArrives)
{
    LogCapture capture;
    FrameParser parser;
    const Bytes oversized = frameWithLength(MT_NODE_CONSTANT, 400, pattern(396));
    const std::vector<Completed> completed = feed(parser, Bytes(oversized.begin(), oversized.begin() + 6));
    EXPECT_TRUE(completed.empty());
    EXPECT_EQ(parser.count, 0u);
    EXPECT_TRUE(capture.contains("exceeds the receive buffer"));
    EXPECT_EQ(parser.buffer.size(), SerialMessage::size);

    // The rest of the dropped frame is skipped while hunting; the next frame is taken as usual.
    EXPECT_EQ(feed(parser, concat({Bytes(oversized.begin() + 6, oversized.end()), ackFrame})).size(), 1u);
}

TEST(FrameParser, FixedTypeUpToTheGrownBufferIsAccepted)
{
    FrameParser parser;
    const Bytes dump = frame(MT_CONFIG_DUMP, pattern(396));
    const Bytes bigNode = frame(MT_NODE_CONSTANT, pattern(296));
    const Bytes tooBigNode = frame(MT_NODE_CONSTANT, pattern(397));
    const std::vector<Completed> completed = feed(parser, concat({dump, bigNode, tooBigNode, ackFrame}));
    ASSERT_EQ(completed.size(), 3u);
    EXPECT_EQ(completed[1].type, MT_NODE_CONSTANT);
    EXPECT_EQ(completed[1].message, Bytes(bigNode.begin() + 2, bigNode.end() - 2));
    EXPECT_EQ(completed[2].type, MT_ACK);
    EXPECT_EQ(parser.buffer.size(), 400u);
}

TEST(FrameParser, InterleavedPortsEachCompleteTheirOwnFrames)
{
    const Bytes streamA = concat({frame(MT_VERSION, pattern(23)), ackFrame, frame(MT_LOOPTIME, pattern(8))});
    const Bytes streamB = concat({Bytes{0x00, 0x13}, frame(MT_CONFIG_DUMP, pattern(300)), frame(MT_NACK, {})});
    FrameParser parserA;
    FrameParser parserB;
    std::vector<uint16_t> typesA;
    std::vector<uint16_t> typesB;
    size_t a = 0;
    size_t b = 0;
    // Pieces of 3 and 7 bytes, so that frame boundaries fall at different places on the two ports.
    while (a < streamA.size() || b < streamB.size()) {
        for (size_t i = 0; i < 3 && a < streamA.size(); ++i, ++a)
            if (uint16_t type = processSerialByte(parserA, streamA[a]))
                typesA.push_back(type);
        for (size_t i = 0; i < 7 && b < streamB.size(); ++i, ++b)
            if (uint16_t type = processSerialByte(parserB, streamB[b]))
                typesB.push_back(type);
    }
    EXPECT_EQ(typesA, (std::vector<uint16_t>{MT_VERSION, MT_ACK, MT_LOOPTIME}));
    EXPECT_EQ(typesB, (std::vector<uint16_t>{MT_CONFIG_DUMP, MT_NACK}));
    EXPECT_EQ(parserA.buffer.size(), SerialMessage::size);
    EXPECT_EQ(parserB.buffer.size(), 304u);
}
