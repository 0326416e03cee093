#include <gtest/gtest.h>

#include "device/frame_parser.h"
#include "device/message_type.h"
#include "device/outgoing_queue.h"
#include "simulation/board_frame_codec.h"
#include "support/fake_serial_driver.h"
#include "support/log_capture.h"
#include "support/manual_clock.h"

namespace {

// What the queue reported: the types of the answered and of the refused messages in flight.
struct RecordedQueueEvents : OutgoingQueueEvents, RelayEndListener {
    std::vector<uint16_t> answered;
    std::vector<uint16_t> refused;
    std::vector<uint16_t> givenUp;
    std::vector<uint16_t> dropped;
    void onHeadAnswered(Relay&, const SerialMessage& head) override { answered.push_back(head.type()); }
    void onHeadRefused(Relay&, const SerialMessage& head) override { refused.push_back(head.type()); }
    void onHeadGivenUp(Relay&, const SerialMessage& head) override { givenUp.push_back(head.type()); }
    void onHeadDropped(Relay&, const SerialMessage& head) override { dropped.push_back(head.type()); }
    void onRelayDestroyed(const Relay&) override {}
};

SerialMessage message(uint16_t type, uint32_t firstPayloadWord = 0)
{
    SerialMessage m;
    m.setType(type);
    writeU32(m.payload(), firstPayloadWord);
    return m;
}

class OutgoingQueueTest : public ::testing::Test {
protected:
    OutgoingQueueTest() : relays(events), queue(driver, clock, relays, events)
    {
        board = driver.addBoard("ttyACM0", "board");
        board->setSilent(true);
        port = driver.findPort("ttyACM0");
        driver.open(port);
        relay = &relays.bindRelay("ttyACM0", port, 0);
    }
    ~OutgoingQueueTest() override { driver.freePort(port); }

    std::vector<uint16_t> sentTypes() const
    {
        std::vector<uint16_t> types;
        for (const BoardMessage& m : board->received())
            types.push_back(m.type);
        return types;
    }
    std::vector<uint16_t> queuedTypes() const
    {
        std::vector<uint16_t> types;
        for (const SerialMessage& m : relay->outgoing)
            types.push_back(m.type());
        return types;
    }

    FakeSerialDriver driver;
    ManualClock clock;
    RecordedQueueEvents events;
    RelayList relays;
    OutgoingQueue queue;
    SimulatedBoard* board = nullptr;
    SerialPortHandle* port = nullptr;
    Relay* relay = nullptr;
};

TEST_F(OutgoingQueueTest, SendsOneMessageAtATimeEachAfterTheAcknowledgementOfThePrevious)
{
    queue.enqueue(*relay, message(MT_LED));
    queue.enqueue(*relay, message(MT_CONFIG_DUMP));
    queue.enqueue(*relay, message(MT_LOOPTIME));

    EXPECT_TRUE(queue.serviceOutgoingQueues());
    EXPECT_FALSE(queue.serviceOutgoingQueues()) << "nothing leaves while the head waits";
    EXPECT_EQ(sentTypes(), (std::vector<uint16_t>{MT_LED}));

    queue.acknowledge(*relay, AckMode::Normal);
    EXPECT_TRUE(queue.serviceOutgoingQueues());
    EXPECT_EQ(sentTypes(), (std::vector<uint16_t>{MT_LED, MT_CONFIG_DUMP}));
    queue.acknowledge(*relay, AckMode::Normal);
    EXPECT_TRUE(queue.serviceOutgoingQueues());
    queue.acknowledge(*relay, AckMode::Normal);
    EXPECT_FALSE(queue.serviceOutgoingQueues());
    EXPECT_EQ(sentTypes(), (std::vector<uint16_t>{MT_LED, MT_CONFIG_DUMP, MT_LOOPTIME}));
    EXPECT_TRUE(relay->outgoing.empty());
    EXPECT_EQ(board->received()[1].payload.size(), getPayloadSizeFromMessageType(MT_CONFIG_DUMP));
}

TEST_F(OutgoingQueueTest, TweakLeavesWithoutWaiting)
{
    queue.enqueue(*relay, message(MT_TWEAK));
    queue.enqueue(*relay, message(MT_LED));
    EXPECT_TRUE(queue.serviceOutgoingQueues());
    EXPECT_TRUE(relay->readyToSend);
    EXPECT_EQ(queuedTypes(), (std::vector<uint16_t>{MT_LED}));
    EXPECT_TRUE(queue.serviceOutgoingQueues());
    EXPECT_EQ(sentTypes(), (std::vector<uint16_t>{MT_TWEAK, MT_LED}));
}

TEST_F(OutgoingQueueTest, SilentBoardIsGivenUpAfterMoreThanOneSecondAndTheNextMessageLeavesInTheSamePass)
{
    LogCapture log;
    queue.enqueue(*relay, message(MT_LED));
    queue.enqueue(*relay, message(MT_LOOPTIME));
    queue.serviceOutgoingQueues();

    clock.advance(1000);
    EXPECT_FALSE(queue.serviceOutgoingQueues()) << "exactly 1000 ms is not yet a time-out";
    clock.advance(1);
    EXPECT_TRUE(queue.serviceOutgoingQueues());
    EXPECT_TRUE(log.contains("Skipping ack wait after 1001 ms"));
    EXPECT_TRUE(log.contains("ttyACM0: No answer within 1 s to MT_LED"));
    EXPECT_EQ(sentTypes(), (std::vector<uint16_t>{MT_LED, MT_LOOPTIME}));
}

TEST_F(OutgoingQueueTest, GivingUpAWaitDropsAFrameTheBoardLeftUnfinishedSoItsNextAnswerIsRead)
{
    std::vector<uint8_t> capabilities;
    const std::vector<uint8_t> flags(56, 3);
    ASSERT_TRUE(encodeBoardFrame(MT_CAPABILITIES, flags.data(), flags.size(), capabilities));
    std::vector<uint8_t> ack;
    const uint8_t zero = 0;
    ASSERT_TRUE(encodeBoardFrame(MT_ACK, &zero, 1, ack));

    // Cut in the preamble, after the type (the next bytes would become a length of 0xAA55), inside the length
    // and inside the payload.
    for (size_t cut : {1u, 4u, 5u, 20u}) {
        SCOPED_TRACE("answer cut after " + std::to_string(cut) + " bytes");
        LogCapture log;
        queue.enqueue(*relay, message(MT_CAPABILITIES));
        queue.enqueue(*relay, message(MT_LED));
        queue.serviceOutgoingQueues();
        for (size_t i = 0; i < cut; ++i)
            EXPECT_EQ(processSerialByte(relay->parser, capabilities[i]), MT_NONE);
        clock.advance(1001);
        EXPECT_TRUE(queue.serviceOutgoingQueues());
        EXPECT_TRUE(log.contains("ttyACM0: Dropping " + std::to_string(cut) + " bytes of an unfinished frame"));

        uint16_t completed = MT_NONE;
        for (uint8_t byte : ack)
            completed = processSerialByte(relay->parser, byte);
        EXPECT_EQ(completed, MT_ACK) << "the answer to the next message is read whole";
        queue.acknowledge(*relay, AckMode::Normal);
        EXPECT_TRUE(relay->outgoing.empty());
    }
}

TEST_F(OutgoingQueueTest, WallClockSetBackGivesUpTheWaitAtTheNextPass)
{
    queue.enqueue(*relay, message(MT_LED));
    queue.serviceOutgoingQueues();
    clock.set(clock.nowMs() - 5);
    queue.serviceOutgoingQueues();
    EXPECT_TRUE(relay->outgoing.empty());
}

TEST_F(OutgoingQueueTest, RefusedFlashStartCullsTheFlashAndKeepsLaterMessages)
{
    LogCapture log;
    queue.enqueue(*relay, message(MT_BOOTLOADER_ROM_WRITE_START, 320));
    for (uint32_t i = 0; i < 10; ++i)
        queue.enqueue(*relay, message(MT_BOOTLOADER_ROM_WRITE_DATA, i * 32));
    queue.enqueue(*relay, message(MT_BOOTLOADER_ROM_WRITE_FINISH));
    queue.enqueue(*relay, message(MT_LED));
    queue.serviceOutgoingQueues();

    queue.rejectHead(*relay);
    EXPECT_TRUE(log.contains("Dropped the 12 queued messages of the firmware write"));
    EXPECT_EQ(queuedTypes(), (std::vector<uint16_t>{MT_LED}));
    EXPECT_EQ(events.refused, (std::vector<uint16_t>{MT_BOOTLOADER_ROM_WRITE_START}));
    EXPECT_TRUE(relay->readyToSend);
}

TEST_F(OutgoingQueueTest, RefusedOrdinaryMessageIsRemovedAndTheNextOneSent)
{
    LogCapture log;
    queue.enqueue(*relay, message(MT_LED));
    queue.enqueue(*relay, message(MT_LOOPTIME));
    queue.serviceOutgoingQueues();
    queue.rejectHead(*relay);
    EXPECT_FALSE(log.contains("queued messages of the firmware write"));
    EXPECT_TRUE(log.contains("ttyACM0: Received nack for MT_LED"));
    queue.serviceOutgoingQueues();
    EXPECT_EQ(sentTypes(), (std::vector<uint16_t>{MT_LED, MT_LOOPTIME}));
}

TEST_F(OutgoingQueueTest, ForcedAcknowledgementCullsTheFlashMessagesBehindTheHead)
{
    queue.enqueue(*relay, message(MT_BOOTLOADER_ROM_WRITE_DATA, 0));
    queue.enqueue(*relay, message(MT_BOOTLOADER_ROM_WRITE_DATA, 32));
    queue.enqueue(*relay, message(MT_BOOTLOADER_ROM_WRITE_FINISH));
    queue.enqueue(*relay, message(MT_LED));
    queue.serviceOutgoingQueues();
    clock.advance(1500);
    queue.serviceOutgoingQueues();
    EXPECT_TRUE(events.answered.empty()) << "a forced acknowledgement is no answer";
    EXPECT_EQ(events.givenUp, (std::vector<uint16_t>{MT_BOOTLOADER_ROM_WRITE_DATA}));
    EXPECT_EQ(sentTypes(), (std::vector<uint16_t>{MT_BOOTLOADER_ROM_WRITE_DATA, MT_LED}));
}

TEST_F(OutgoingQueueTest, AnsweredAndRefusedMessagesAreReportedOnce)
{
    queue.enqueue(*relay, message(MT_BOOTLOADER_ROM_WRITE_DATA, 0));
    queue.enqueue(*relay, message(MT_BOOTLOADER_ROM_WRITE_DATA, 32));
    queue.serviceOutgoingQueues();
    queue.acknowledge(*relay, AckMode::Normal);
    queue.serviceOutgoingQueues();
    queue.rejectHead(*relay);
    EXPECT_EQ(events.answered, (std::vector<uint16_t>{MT_BOOTLOADER_ROM_WRITE_DATA}));
    EXPECT_EQ(events.refused, (std::vector<uint16_t>{MT_BOOTLOADER_ROM_WRITE_DATA}));
}

// Answers that arrive while nothing is in flight must not remove a queued message that was never sent.
TEST_F(OutgoingQueueTest, StrayAnswersDoNotDropUnsentMessages)
{
    queue.enqueue(*relay, message(MT_BOOTLOADER_ROM_WRITE_START));
    queue.enqueue(*relay, message(MT_BOOTLOADER_ROM_WRITE_DATA));
    queue.acknowledge(*relay, AckMode::Normal);
    queue.rejectHead(*relay);
    EXPECT_EQ(relay->outgoing.size(), 2u);
    EXPECT_TRUE(events.refused.empty());
    EXPECT_TRUE(events.answered.empty());
    EXPECT_TRUE(relay->readyToSend);
}

TEST_F(OutgoingQueueTest, RestartingTheTimerExtendsTheWait)
{
    queue.enqueue(*relay, message(MT_BOOTLOADER_ROM_WRITE_START));
    queue.serviceOutgoingQueues();
    clock.advance(900);
    queue.restartAckTimer(*relay);
    clock.advance(900);
    queue.serviceOutgoingQueues();
    EXPECT_FALSE(relay->readyToSend);
    EXPECT_EQ(relay->outgoing.size(), 1u);
}

TEST_F(OutgoingQueueTest, MessageForARelayWithoutPortIsDroppedWithAnError)
{
    LogCapture log;
    Relay& orphan = relays.bindRelay("gone", nullptr, 0);
    queue.enqueue(orphan, message(MT_LED));
    EXPECT_TRUE(queue.serviceOutgoingQueues());
    EXPECT_TRUE(orphan.outgoing.empty());
    EXPECT_TRUE(log.contains("gone: Failed to send message of type: MT_LED"));
    EXPECT_EQ(events.dropped, (std::vector<uint16_t>{MT_LED}));
}

// A port that stops reading keeps the frame in its relay: nothing behind it leaves until all of it has, and a frame
// still there after the acknowledgement time-out is a failed send.
TEST_F(OutgoingQueueTest, FrameThePortDoesNotTakeHoldsTheQueueUntilItLeavesOrTimesOut)
{
    struct Case {
        const char* name;
        uint16_t head;
        bool readsAgain;
        std::vector<uint16_t> sent;
        std::vector<uint16_t> dropped;
    };
    const Case cases[] = {
        {"message that waits for its answer, port reads again", MT_LED, true, {MT_LED}, {}},
        {"message that waits for its answer, port never reads", MT_LED, false, {}, {MT_LED}},
        {"tweak, port reads again: the next one follows at once", MT_TWEAK, true, {MT_TWEAK, MT_LOOPTIME}, {}},
        {"tweak, port never reads", MT_TWEAK, false, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        events.dropped.clear();
        const std::string name = std::string("stalled ") + c.name;
        SimulatedBoard* stalledBoard = driver.addBoard(name, "board");
        stalledBoard->setSilent(true);
        SerialPortHandle* stalled = driver.findPort(name);
        ASSERT_TRUE(driver.open(stalled));
        Relay& blocked = relays.bindRelay(name, stalled, 0);
        driver.setReading(name, false);
        queue.enqueue(blocked, message(c.head));
        queue.enqueue(blocked, message(MT_LOOPTIME));

        EXPECT_TRUE(queue.serviceOutgoingQueues());
        clock.advance(OutgoingQueue::ackTimeoutMs);
        EXPECT_FALSE(queue.serviceOutgoingQueues()) << "nothing more leaves while the frame waits";
        EXPECT_EQ(blocked.unsent.size(), getPayloadSizeFromMessageType(c.head) + 8u);
        EXPECT_EQ(queue.nextDueMs(), clock.nowMs() + 1) << "the wait ends when the frame's time is up";
        if (c.readsAgain)
            driver.setReading(name, true);
        else
            clock.advance(1);
        EXPECT_TRUE(queue.serviceOutgoingQueues());

        std::vector<uint16_t> sent;
        for (const BoardMessage& m : stalledBoard->received())
            sent.push_back(m.type);
        EXPECT_EQ(sent, c.sent);
        EXPECT_EQ(events.dropped, c.dropped);
        EXPECT_EQ(log.contains(name + ": Failed to send message of type: " + messageTypeName(c.head)), !c.readsAgain);
        EXPECT_EQ(blocked.outgoing.size(), c.readsAgain ? (c.head == MT_LED ? 2u : 1u) : 1u);
        relays.destroyRelay(blocked);
        driver.close(stalled);
        driver.freePort(stalled);
    }
}

TEST_F(OutgoingQueueTest, FullQueueRefusesMoreWithAWarning)
{
    LogCapture log;
    const SerialMessage led = message(MT_LED);
    for (size_t i = 0; i < OutgoingQueue::maxQueuedPerRelay; ++i)
        relay->outgoing.push_back(led);
    EXPECT_EQ(queue.freeSlots(*relay), 0u);
    EXPECT_FALSE(queue.enqueue(*relay, led));
    EXPECT_EQ(relay->outgoing.size(), OutgoingQueue::maxQueuedPerRelay);
    EXPECT_TRUE(log.contains("Outgoing queue full"));
}

} // namespace
