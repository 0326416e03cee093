#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "device/frame.h"
#include "device/message_type.h"
#include "support/log_capture.h"

namespace {

// Records every write; can be told to accept at most a few bytes per write, or to fail.
class RecordingSerialDriver : public SerialDriver {
public:
    struct Write {
        std::vector<uint8_t> bytes;
    };
    std::vector<Write> writes;
    int acceptAtMost = -1; // -1: everything; otherwise at most this many bytes per write
    bool fail = false;

    std::vector<uint8_t> allBytes() const
    {
        std::vector<uint8_t> all;
        for (const Write& w : writes)
            all.insert(all.end(), w.bytes.begin(), w.bytes.end());
        return all;
    }

    int writeNonBlocking(SerialPortHandle*, const uint8_t* data, size_t count) override
    {
        if (fail)
            return -1;
        const size_t taken = acceptAtMost < 0 ? count : std::min(count, static_cast<size_t>(acceptAtMost));
        writes.push_back({std::vector<uint8_t>(data, data + taken)});
        return static_cast<int>(taken);
    }
    int waitDescriptor(SerialPortHandle*) override { return -1; }

    bool listPorts(std::vector<SerialPortInfo>&) override { return false; }
    SerialPortHandle* findPort(const std::string&) override { return nullptr; }
    bool open(SerialPortHandle*) override { return false; }
    bool setBaudRate(SerialPortHandle*, int) override { return false; }
    bool disableXonXoff(SerialPortHandle*) override { return false; }
    int inputWaiting(SerialPortHandle*) override { return -1; }
    int readNonBlocking(SerialPortHandle*, uint8_t*, size_t) override { return -1; }
    bool close(SerialPortHandle*) override { return false; }
    void freePort(SerialPortHandle*) override {}
    std::string portName(SerialPortHandle*) override { return "recording"; }
    std::string lastError() override { return ""; }
    int lastErrorNumber() override { return 0; }
    std::string libraryVersion() override { return ""; }
};

SerialPortHandle* const somePort = reinterpret_cast<SerialPortHandle*>(0x1000);

} // namespace

TEST(FrameChecksum, KnownVectors)
{
    struct Case {
        std::vector<uint8_t> bytes;
        uint8_t first;
        uint8_t second;
    } cases[] = {
        {{}, 0x00, 0x00},
        {{0x61, 0x62, 0x63}, 0x26, 0x4A},
        {{0x12, 0x00, 0x05, 0x00, 0x00}, 0x17, 0x69},
        {{0x11, 0x00, 0x04, 0x00}, 0x15, 0x4C},
        {{0xFF, 0xFF}, 0xFE, 0xFD}, // both sums wrap modulo 256, not 255
    };
    for (const Case& c : cases) {
        const FrameChecksum sum = computeFrameChecksum(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(sum.first, c.first);
        EXPECT_EQ(sum.second, c.second);
    }
}

TEST(WriteFrame, TweakWritesPreambleTwelveMessageBytesAndChecksums)
{
    RecordingSerialDriver driver;
    SerialMessage message;
    message.setType(MT_TWEAK);
    for (int i = 0; i < 8; ++i)
        message.payload()[i] = static_cast<uint8_t>(0xA0 + i);

    std::vector<uint8_t> unsent;
    EXPECT_TRUE(writeFrame(driver, somePort, message, unsent));

    EXPECT_EQ(message.length(), 12);
    // One write for the whole frame, as one USB transfer.
    ASSERT_EQ(driver.writes.size(), 1u);
    EXPECT_TRUE(unsent.empty());
    const std::vector<uint8_t> frame = driver.allBytes();
    ASSERT_EQ(frame.size(), 16u);
    EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.begin() + 2), (std::vector<uint8_t>{0x55, 0xAA}));
    const std::vector<uint8_t> head(frame.begin() + 2, frame.begin() + 6);
    EXPECT_EQ(head, (std::vector<uint8_t>{0x1F, 0x00, 0x0C, 0x00}));
    EXPECT_TRUE(std::equal(frame.begin() + 6, frame.begin() + 14, message.payload()));
    const FrameChecksum sum = computeFrameChecksum(frame.data() + 2, 12);
    EXPECT_EQ(frame[14], sum.first);
    EXPECT_EQ(frame[15], sum.second);
}

TEST(WriteFrame, FrameLengthFollowsThePayloadSizeOfTheType)
{
    struct Case {
        uint16_t type;
        size_t frameSize;
    } cases[] = {{MT_ACK, 2 + 5 + 2},
                 {MT_VERSION, 2 + 27 + 2},
                 {MT_NODE_MAPPING_BIDIRECTIONAL, 2 + 154 + 2},
                 {MT_NACK, 2 + 4 + 2}};
    for (const Case& c : cases) {
        LogCapture capture;
        RecordingSerialDriver driver;
        SerialMessage message;
        message.setType(c.type);
        // A stale length is always replaced.
        message.setLength(0xFFFF);
        std::vector<uint8_t> unsent;
        EXPECT_TRUE(writeFrame(driver, somePort, message, unsent));
        EXPECT_EQ(driver.allBytes().size(), c.frameSize) << messageTypeName(c.type);
        EXPECT_EQ(message.length(), c.frameSize - 4) << messageTypeName(c.type);
        EXPECT_EQ(capture.contains("No payload size is known for message type 17"), c.type == MT_NACK);
    }
}

TEST(WriteFrame, WhatThePortDoesNotTakeStaysUnsentUntilItLeaves)
{
    LogCapture capture;
    RecordingSerialDriver driver;
    driver.acceptAtMost = 5;
    SerialMessage message;
    message.setType(MT_TWEAK);
    std::vector<uint8_t> unsent;

    EXPECT_TRUE(writeFrame(driver, somePort, message, unsent));
    EXPECT_EQ(unsent.size(), 11u);
    driver.acceptAtMost = 0;
    EXPECT_FALSE(sendUnsent(driver, somePort, unsent)) << "a port that takes nothing keeps every byte";
    EXPECT_EQ(unsent.size(), 11u);
    driver.acceptAtMost = 6;
    EXPECT_FALSE(sendUnsent(driver, somePort, unsent));
    driver.acceptAtMost = -1;
    EXPECT_TRUE(sendUnsent(driver, somePort, unsent));

    EXPECT_TRUE(unsent.empty());
    const std::vector<uint8_t> frame = driver.allBytes();
    ASSERT_EQ(frame.size(), 16u) << "every byte once, in order";
    EXPECT_EQ(frame[2], MT_TWEAK);
    const FrameChecksum sum = computeFrameChecksum(frame.data() + 2, 12);
    EXPECT_EQ(frame[14], sum.first);
    EXPECT_EQ(frame[15], sum.second);
    EXPECT_TRUE(capture.lines().empty()) << "a port that is slow to take bytes is no error";
}

TEST(WriteFrame, FailedWritesAreLoggedAndDropWhatWasLeft)
{
    LogCapture capture;
    RecordingSerialDriver driver;
    driver.fail = true;
    SerialMessage message;
    message.setType(MT_LED);
    std::vector<uint8_t> unsent;

    EXPECT_TRUE(writeFrame(driver, somePort, message, unsent));
    EXPECT_TRUE(unsent.empty());
    unsent = {1, 2, 3};
    EXPECT_TRUE(sendUnsent(driver, somePort, unsent));
    EXPECT_TRUE(unsent.empty());
    EXPECT_EQ(capture.texts(),
              (std::vector<std::string>{"usb didn't write enough bytes (9)", "usb didn't write enough bytes (3)"}));
}

TEST(WriteFrame, NoPortIsAFailureWithoutWriting)
{
    LogCapture capture;
    RecordingSerialDriver driver;
    SerialMessage message;
    message.setType(MT_TWEAK);

    std::vector<uint8_t> unsent;
    EXPECT_FALSE(writeFrame(driver, nullptr, message, unsent));
    EXPECT_TRUE(driver.writes.empty());
    EXPECT_TRUE(capture.contains("port is not open"));
}
