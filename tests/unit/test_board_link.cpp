#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "device/message_type.h"
#include "support/log_capture.h"
#include "support/relay_parts.h"
#include "support/scoped_working_directory.h"

namespace {

// What a board message does to the message in flight.
enum class Effect {
    // The message in flight has left the queue: acknowledged, or refused and removed.
    Answered,
    // Still in flight, its wait begun anew (the erase report of a flash start).
    WaitRestarted,
    // Still in flight, its wait running on (an echo, a type the relay does not know).
    StillWaiting,
};

class BoardLinkTest : public ::testing::Test {
protected:
    BoardLinkTest() : relay(parts.bind("ttyACM0", parts.editor)) {}

    // Sends a message that waits for an answer, so that the relay is waiting when the board's message arrives.
    void sendWaitingMessage(uint16_t type = MT_CONFIG_COMMIT)
    {
        SerialMessage message;
        message.setType(type);
        parts.queue.enqueue(relay, message);
        parts.queue.serviceOutgoingQueues();
        ASSERT_FALSE(relay.readyToSend);
    }

    std::vector<std::string> answer(uint16_t type, const std::string& payloadHex, int lengthField = -1)
    {
        parts.deliver("ttyACM0", type, bytesOfHex(payloadHex), lengthField);
        parts.answerBoardMessages();
        EXPECT_TRUE(parts.ports.deviceInbox.empty());
        return parts.takeReplies(parts.editor);
    }

    RelayParts parts;
    Relay& relay;
};

// Every kind of board message answers the message in flight by its rule, and a short record by the same rule as
// a whole one.
TEST_F(BoardLinkTest, EachBoardMessageAnswersTheMessageInFlightByItsRule)
{
    const struct {
        uint16_t type;
        const char* payload;
        int lengthField; // -1: the payload's own length
        Effect effect;
        size_t replies;
    } cases[] = {
        {MT_ACK, "00", -1, Effect::Answered, 0},
        {MT_ACK, "", -1, Effect::Answered, 0},
        {MT_NACK, "", -1, Effect::Answered, 0},
        {MT_LOOPTIME, "6400 0300 00000100", -1, Effect::Answered, 1},
        {MT_LOOPTIME, "6400", -1, Effect::Answered, 1},
        {MT_CONFIG_COMMIT, "030010", -1, Effect::Answered, 1},
        {MT_EXPORT_COMMIT, "", -1, Effect::Answered, 1},
        {MT_REQUEST_BOOTLOADER, "01", -1, Effect::Answered, 1},
        {MT_LIVE_VALUE, "0201 02 FFFFFFFF", 6, Effect::Answered, 1},
        {MT_VERSION, "01 04 02 01  30640110  CDAB1200 00000000 FFFFFFFF  8000 00", 8, Effect::Answered, 1},
        {MT_BOOTLOADER_ROM_WRITE_FINISH, "", -1, Effect::Answered, 1},
        {MT_BOOTLOADER_ROM_WRITE_START, "00080000", -1, Effect::WaitRestarted, 1},
        {MT_BOOTLOADER_ROM_WRITE_START, "", -1, Effect::WaitRestarted, 1},
        // An echo without a write answers nothing, and no editor hears of it.
        {MT_BOOTLOADER_ROM_WRITE_DATA, "00000000 0102", -1, Effect::StillWaiting, 0},
        {MT_LED, "00", -1, Effect::StillWaiting, 0},
        {MT_PAUSE, "", -1, Effect::StillWaiting, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(messageTypeName(c.type)) + " " + c.payload);
        relay.outgoing.clear();
        relay.readyToSend = true;
        sendWaitingMessage();
        const uint64_t sentAt = relay.sentAtMs;
        parts.clock.advance(900);
        LogCapture capture;
        EXPECT_EQ(answer(c.type, c.payload, c.lengthField).size(), c.replies);
        const bool inFlight = !relay.readyToSend && relay.outgoing.size() == 1;
        EXPECT_EQ(inFlight, c.effect != Effect::Answered);
        if (c.effect == Effect::WaitRestarted) {
            EXPECT_EQ(relay.sentAtMs, parts.clock.nowMs());
        }
        if (c.effect == Effect::StillWaiting) {
            EXPECT_EQ(relay.sentAtMs, sentAt);
        }
        EXPECT_EQ(capture.contains("Skipping unknown message type: " + std::to_string(c.type)),
                  c.type == MT_LED || c.type == MT_PAUSE);
    }
}

TEST_F(BoardLinkTest, MessagesWithoutRelayOrCopyAreDropped)
{
    sendWaitingMessage();
    // A port without relay, and no port at all: a relay whose port could not be opened must not take them.
    Relay& portless = parts.relays.bindRelay("ttyGONE", nullptr, parts.otherEditor.id);
    parts.driver.addBoard("ttyACM1", "Simulated board");
    parts.ports.openPort("ttyACM1");
    LogCapture capture;
    parts.deliver("ttyACM1", MT_ACK, {0});
    parts.ports.deviceInbox.push_back(DeviceMessage{nullptr, std::vector<uint8_t>(154, 0)});
    parts.ports.deviceInbox.back().bytes[0] = MT_ACK;
    parts.ports.deviceInbox.push_back(DeviceMessage{parts.ports.findOpenPort("ttyACM0"), {}});
    parts.answerBoardMessages();
    EXPECT_TRUE(parts.ports.deviceInbox.empty());
    EXPECT_EQ(capture.texts(), (std::vector<std::string>{"Skipping reply for invalid port",
                                                         "Skipping reply for invalid port", "Payload is null"}));
    EXPECT_FALSE(relay.readyToSend);
    EXPECT_TRUE(portless.readyToSend);
    EXPECT_TRUE(parts.replies(parts.otherEditor).empty());
}

// A board's next message leaves as soon as its own messages are answered, without waiting for the pass over the
// queues that follows the answers of every board.
TEST_F(BoardLinkTest, EachBoardGetsItsNextMessageOnceItsOwnAreAnswered)
{
    parts.driver.addBoard("ttyACM1", "Simulated board");
    parts.ports.refreshPorts(true);
    Relay& other = parts.bind("ttyACM1", parts.editor);
    SerialMessage message;
    message.setType(MT_CONFIG_COMMIT);
    for (Relay* waiting : {&relay, &other}) {
        parts.queue.enqueue(*waiting, message);
        parts.queue.enqueue(*waiting, message);
    }
    parts.queue.serviceOutgoingQueues();
    const uint64_t sent = parts.queue.messagesSent();
    parts.deliver("ttyACM0", MT_ACK, {0});
    parts.deliver("ttyACM1", MT_ACK, {0});
    parts.answerBoardMessages();
    EXPECT_EQ(parts.queue.messagesSent(), sent + 2);
    EXPECT_FALSE(relay.readyToSend);
    EXPECT_FALSE(other.readyToSend);
    EXPECT_EQ(parts.queuedTypes("ttyACM1"), std::vector<uint16_t>{MT_CONFIG_COMMIT}) << "the second, in flight";
}

TEST_F(BoardLinkTest, MessagesOfOnePortAreAnsweredInArrivalOrder)
{
    parts.deliver("ttyACM0", MT_EXPORT_CONFIG, {0});
    parts.deliver("ttyACM0", MT_CONFIG_UPLOAD_PROGRESS, {10, 0});
    parts.deliver("ttyACM0", MT_CONFIG_UPLOAD_PROGRESS, {20, 0});
    parts.deliver("ttyACM0", MT_EXPORT_COMMIT, {2, 0});
    parts.answerBoardMessages();
    EXPECT_EQ(parts.takeReplies(parts.editor),
              (std::vector<std::string>{R"({"exportConfig":{"flags":0},"portName":"ttyACM0"})",
                                        R"({"port":"ttyACM0","uploadProgress":10})",
                                        R"({"port":"ttyACM0","uploadProgress":20})",
                                        R"({"exportCommit":{"nodeCount":2},"portName":"ttyACM0"})"}));
}

TEST_F(BoardLinkTest, RepliesGoToTheConnectionThatLastUsedThePort)
{
    parts.command(R"({"port":"ttyACM0","payload":{"nothing":1}})", parts.otherEditor);
    EXPECT_EQ(answer(MT_CONFIG_UPLOAD_PROGRESS, "0100"), std::vector<std::string>{});
    EXPECT_EQ(parts.takeReplies(parts.otherEditor),
              std::vector<std::string>{R"({"port":"ttyACM0","uploadProgress":1})"});
}

// The reply that acknowledges a flash data message triggers the flasher's progress report: looptime is sent before
// its acknowledgement, every other reply after it.
TEST_F(BoardLinkTest, LooptimeIsSentBeforeItsAcknowledgement)
{
    // A running write, whose own messages are set aside: the chunks below are answered within it.
    const ScopedWorkingDirectory folder;
    std::ofstream("image.bin") << std::string(64, 'x');
    relay.flashSizeKiB = 1024;
    ASSERT_TRUE(parts.flasher.writeFirmware(relay, "image.bin"));
    relay.outgoing.clear();
    parts.takeReplies(parts.editor);
    const auto progressAfter = [this](uint16_t type, const std::string& payload) {
        sendWaitingMessage(MT_BOOTLOADER_ROM_WRITE_DATA);
        const std::vector<std::string> replies = answer(type, payload);
        EXPECT_EQ(replies.size(), 2u);
        return !replies.empty() && replies.back().find("romWrite") != std::string::npos;
    };
    EXPECT_TRUE(progressAfter(MT_LOOPTIME, "6400 0000 00000000"));
    EXPECT_FALSE(progressAfter(MT_CONFIG_UPLOAD_PROGRESS, "0100"));
}

} // namespace
