#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "device/message_type.h"
#include "simulation/board_frame_codec.h"
#include "simulation/simulated_serial_driver.h"
#include "support/fake_serial_driver.h"
#include "support/manual_clock.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes frameOf(uint16_t type, const Bytes& payload)
{
    Bytes frame;
    EXPECT_TRUE(encodeBoardFrame(type, payload.data(), payload.size(), frame));
    return frame;
}

SerialPortHandle* openPort(SerialDriver& driver, const std::string& name)
{
    SerialPortHandle* port = driver.findPort(name);
    EXPECT_NE(port, nullptr) << name;
    if (port != nullptr) {
        EXPECT_TRUE(driver.open(port)) << name;
    }
    return port;
}

// Reads as the relay does: 128 bytes at a time while anything is waiting.
Bytes readAll(SerialDriver& driver, SerialPortHandle* port)
{
    Bytes out;
    while (driver.inputWaiting(port) > 0) {
        uint8_t buffer[128];
        const int n = driver.readNonBlocking(port, buffer, sizeof buffer);
        if (n <= 0)
            break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

std::vector<uint16_t> typesIn(const Bytes& stream)
{
    BoardFrameReader reader;
    BoardMessage message;
    std::vector<uint16_t> types;
    for (uint8_t b : stream)
        if (reader.feed(b, message))
            types.push_back(message.type);
    return types;
}

} // namespace

TEST(SimulatedSerialDriver, EnumeratesPortsInOrderWithTheirInfo)
{
    SimulatedSerialDriver driver;
    SerialPortInfo plain;
    plain.name = "/dev/ttyS0";
    SerialPortInfo other = SimulatedSerialDriver::boardPortInfo("/dev/ttyUSB0", "Other adapter");
    other.usbVendorId = 0x1234;
    ASSERT_NE(driver.addBoard("/dev/ttyACM0", "Simulated board A"), nullptr);
    ASSERT_TRUE(driver.addPort(plain, nullptr));
    ASSERT_TRUE(driver.addPort(other, nullptr));
    ASSERT_NE(driver.addBoard("/dev/ttyACM1", ""), nullptr);
    EXPECT_EQ(driver.addBoard("/dev/ttyACM0", "again"), nullptr) << "names are unique";
    EXPECT_FALSE(driver.addPort(plain, nullptr));

    std::vector<SerialPortInfo> ports;
    ASSERT_TRUE(driver.listPorts(ports));
    ASSERT_EQ(ports.size(), 4u);
    EXPECT_EQ(ports[0].name, "/dev/ttyACM0");
    EXPECT_TRUE(ports[0].isUsb);
    EXPECT_EQ(ports[0].usbVendorId, 0x0483);
    EXPECT_EQ(ports[0].usbProductId, 0x5740);
    EXPECT_EQ(ports[0].usbProduct, "Simulated board A");
    EXPECT_FALSE(ports[1].isUsb);
    EXPECT_EQ(ports[1].usbVendorId, -1);
    EXPECT_EQ(ports[2].usbVendorId, 0x1234);
    EXPECT_EQ(ports[3].usbProduct, "");
    EXPECT_EQ(driver.libraryVersion(), "simulated");

    ASSERT_TRUE(driver.removePort("/dev/ttyS0"));
    EXPECT_FALSE(driver.removePort("/dev/ttyS0"));
    ASSERT_TRUE(driver.listPorts(ports));
    EXPECT_EQ(ports.size(), 3u);
}

TEST(SimulatedSerialDriver, WritesReachTheBoardAndItsAnswersCanBeRead)
{
    SimulatedSerialDriver driver;
    SimulatedBoard* board = driver.addBoard("sim0", "Simulated board");
    ASSERT_NE(board, nullptr);
    SerialPortHandle* port = openPort(driver, "sim0");
    EXPECT_TRUE(driver.setBaudRate(port, 115200));
    EXPECT_TRUE(driver.disableXonXoff(port));
    EXPECT_EQ(driver.portName(port), "sim0");

    const Bytes request = frameOf(MT_VERSION, Bytes(23, 0));
    // Written in the three pieces in which the relay writes a frame.
    EXPECT_EQ(driver.writeNonBlocking(port, request.data(), 2), 2);
    EXPECT_EQ(driver.writeNonBlocking(port, request.data() + 2, request.size() - 4),
              static_cast<int>(request.size() - 4));
    EXPECT_EQ(driver.writeNonBlocking(port, request.data() + request.size() - 2, 2), 2);
    ASSERT_EQ(board->received().size(), 1u);
    EXPECT_EQ(board->received()[0].type, MT_VERSION);
    EXPECT_EQ(typesIn(readAll(driver, port)), std::vector<uint16_t>{MT_VERSION});
    EXPECT_EQ(driver.inputWaiting(port), 0);

    // A port without a board swallows writes and never has input.
    SerialPortInfo plain;
    plain.name = "/dev/ttyS0";
    ASSERT_TRUE(driver.addPort(plain, nullptr));
    SerialPortHandle* quiet = openPort(driver, "/dev/ttyS0");
    EXPECT_EQ(driver.writeNonBlocking(quiet, request.data(), request.size()), static_cast<int>(request.size()));
    EXPECT_EQ(driver.inputWaiting(quiet), 0);
}

TEST(SimulatedSerialDriver, HandlesAreDistinctAndSafeAfterCloseAndFree)
{
    SimulatedSerialDriver driver;
    ASSERT_NE(driver.addBoard("sim0", "Simulated board"), nullptr);
    EXPECT_EQ(driver.findPort("nope"), nullptr);
    EXPECT_NE(driver.lastError().find("nope"), std::string::npos);

    SerialPortHandle* first = driver.findPort("sim0");
    SerialPortHandle* second = driver.findPort("sim0");
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(driver.liveHandleCount(), 2u);

    uint8_t byte = 0;
    EXPECT_LT(driver.inputWaiting(first), 0) << "not open yet";
    EXPECT_NE(driver.inputWaiting(first), SerialDriver::FAILED_DEVICE);
    EXPECT_LT(driver.writeNonBlocking(first, &byte, 1), 0);
    EXPECT_FALSE(driver.close(first));
    ASSERT_TRUE(driver.open(first));
    EXPECT_FALSE(driver.open(first)) << "open twice";
    EXPECT_TRUE(driver.close(first));
    EXPECT_LT(driver.readNonBlocking(first, &byte, 1), 0) << "closed";

    driver.freePort(first);
    EXPECT_EQ(driver.liveHandleCount(), 1u);
    EXPECT_FALSE(driver.open(first)) << "freed";
    EXPECT_EQ(driver.portName(first), "");
    EXPECT_LT(driver.inputWaiting(first), 0);
    driver.freePort(first);
    EXPECT_EQ(driver.liveHandleCount(), 1u) << "a second free changes nothing";
    EXPECT_LT(driver.inputWaiting(nullptr), 0);

    SerialPortHandle* third = driver.findPort("sim0");
    EXPECT_NE(third, first) << "freed handles are never handed out again";
    driver.freePort(second);
    driver.freePort(third);
    EXPECT_EQ(driver.liveHandleCount(), 0u);
}

TEST(SimulatedSerialDriver, UnpluggedDeviceFailsItsHandlesForGood)
{
    SimulatedSerialDriver driver;
    ASSERT_NE(driver.addBoard("sim0", "Simulated board"), nullptr);
    SerialPortHandle* port = openPort(driver, "sim0");
    SerialPortHandle* unopened = driver.findPort("sim0");
    ASSERT_TRUE(driver.removePort("sim0"));
    EXPECT_EQ(driver.inputWaiting(port), SerialDriver::FAILED_DEVICE);
    uint8_t byte = 0;
    EXPECT_EQ(driver.writeNonBlocking(port, &byte, 1), SerialDriver::FAILED_DEVICE);
    EXPECT_FALSE(driver.open(unopened));
    EXPECT_TRUE(driver.close(port)) << "closing an unplugged port still works";

    // Plugged in again under the same name: the old handle stays dead, a new one works.
    ASSERT_NE(driver.addBoard("sim0", "Simulated board"), nullptr);
    EXPECT_FALSE(driver.open(port));
    SerialPortHandle* fresh = openPort(driver, "sim0");
    EXPECT_EQ(driver.inputWaiting(fresh), 0);
    driver.freePort(port);
    driver.freePort(unopened);
    driver.freePort(fresh);
}

TEST(SimulatedSerialDriver, BorrowedBoardsAndClockDrivenLiveValues)
{
    ManualClock clock(5000);
    SimulatedSerialDriver driver(&clock);
    SimulatedBoard board;
    ASSERT_TRUE(driver.addPort(SimulatedSerialDriver::boardPortInfo("sim0", "Borrowed"), &board));
    EXPECT_EQ(driver.board("sim0"), &board);
    EXPECT_EQ(driver.board("none"), nullptr);
    SerialPortHandle* port = openPort(driver, "sim0");

    const Bytes watch = frameOf(MT_SET_LIVE_VALUE, {3, 0, 0});
    driver.writeNonBlocking(port, watch.data(), watch.size());
    EXPECT_EQ(typesIn(readAll(driver, port)), (std::vector<uint16_t>{MT_ACK, MT_LIVE_VALUE}));
    EXPECT_TRUE(readAll(driver, port).empty()) << "no time has passed";
    clock.advance(100);
    EXPECT_EQ(typesIn(readAll(driver, port)), std::vector<uint16_t>{MT_LIVE_VALUE});
    driver.freePort(port);
    ASSERT_TRUE(driver.removePort("sim0"));
    EXPECT_EQ(board.received().size(), 1u) << "a borrowed board outlives its port";
}

// The relay's loop waits on the port's descriptor: it must be readable exactly while the relay has something to do
// there (output to read, a live value due, a port that reads again, an unplug), or the loop spins or sleeps through.
TEST(SimulatedSerialDriver, WaitDescriptorIsReadableWhileTheRelayHasSomethingToDo)
{
    const auto readableWithin = [](int descriptor, int ms) {
        pollfd wait{descriptor, POLLIN, 0};
        return poll(&wait, 1, ms) == 1 && (wait.revents & POLLIN) != 0;
    };
    ManualClock clock(5000);
    SimulatedSerialDriver driver(&clock);
    SimulatedBoard* board = driver.addBoard("sim0", "Simulated board");
    SerialPortHandle* port = openPort(driver, "sim0");
    const int descriptor = driver.waitDescriptor(port);
    ASSERT_GE(descriptor, 0);
    EXPECT_FALSE(readableWithin(descriptor, 0));

    const Bytes request = frameOf(MT_VERSION, Bytes(23, 0));
    driver.writeNonBlocking(port, request.data(), request.size());
    EXPECT_TRUE(readableWithin(descriptor, 0)) << "the answer waits";
    readAll(driver, port);
    EXPECT_FALSE(readableWithin(descriptor, 0)) << "all of it was read";
    board->sendRaw({0x55});
    EXPECT_TRUE(readableWithin(descriptor, 0)) << "a board that speaks unasked";
    readAll(driver, port);

    const Bytes watch = frameOf(MT_SET_LIVE_VALUE, {3, 0, 0});
    driver.writeNonBlocking(port, watch.data(), watch.size());
    readAll(driver, port);
    EXPECT_FALSE(readableWithin(descriptor, 0));
    EXPECT_TRUE(readableWithin(descriptor, 5000)) << "the next live value is due in 100 ms";
    clock.advance(100);
    EXPECT_EQ(typesIn(readAll(driver, port)), std::vector<uint16_t>{MT_LIVE_VALUE});

    ASSERT_TRUE(driver.setAnswerDelay("sim0", std::chrono::milliseconds(20)));
    driver.writeNonBlocking(port, request.data(), request.size());
    EXPECT_EQ(driver.inputWaiting(port), 0) << "the answer is still on its way";
    EXPECT_FALSE(readableWithin(descriptor, 0));
    EXPECT_TRUE(readableWithin(descriptor, 5000));
    EXPECT_EQ(typesIn(readAll(driver, port)), std::vector<uint16_t>{MT_VERSION});
    ASSERT_TRUE(driver.setAnswerDelay("sim0", std::chrono::microseconds(0)));

    ASSERT_TRUE(driver.setReading("sim0", false));
    board->clearReceived();
    EXPECT_EQ(driver.writeNonBlocking(port, request.data(), request.size()), 0) << "a port that stops reading";
    EXPECT_TRUE(board->received().empty());
    ASSERT_TRUE(driver.setReading("sim0", true));
    EXPECT_TRUE(readableWithin(descriptor, 0)) << "reading again wakes the writer";
    EXPECT_EQ(driver.inputWaiting(port), 0);
    EXPECT_FALSE(readableWithin(descriptor, 0)) << "once the relay has looked";

    const int copy = fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    ASSERT_GE(copy, 0);
    ASSERT_TRUE(driver.removePort("sim0"));
    EXPECT_TRUE(readableWithin(copy, 0)) << "an unplug wakes the relay, which holds a copy";
    EXPECT_EQ(driver.waitDescriptor(port), -1);
    close(copy);
    driver.freePort(port);
}

TEST(FakeSerialDriver, ScriptedFailuresAndCounters)
{
    FakeSerialDriver driver;
    ASSERT_NE(driver.addBoard("sim0", "Simulated board"), nullptr);
    ASSERT_NE(driver.addBoard("sim1", "Simulated board"), nullptr);

    std::vector<SerialPortInfo> ports;
    driver.setEnumerationFails(true);
    EXPECT_FALSE(driver.listPorts(ports));
    EXPECT_TRUE(ports.empty());
    EXPECT_FALSE(driver.lastError().empty());
    driver.setEnumerationFails(false);
    EXPECT_TRUE(driver.listPorts(ports));
    EXPECT_EQ(ports.size(), 2u);

    driver.setOpenFails("sim0", true);
    SerialPortHandle* refused = driver.findPort("sim0");
    EXPECT_FALSE(driver.open(refused));
    EXPECT_NE(driver.lastError().find("sim0"), std::string::npos);
    driver.freePort(refused);
    driver.setOpenFails("sim0", false);

    driver.setBaudRateFails("sim1", true);
    driver.setCloseFails("sim1", true);
    SerialPortHandle* port = openPort(driver, "sim1");
    EXPECT_FALSE(driver.setBaudRate(port, 115200));
    EXPECT_TRUE(driver.disableXonXoff(port));
    EXPECT_FALSE(driver.close(port));
    driver.freePort(port);

    const FakeSerialDriver::Counters& calls = driver.counters();
    EXPECT_EQ(calls.opens, 2);
    EXPECT_EQ(calls.baudRateSets, 1);
    EXPECT_EQ(calls.lastBaudRate, 115200);
    EXPECT_EQ(calls.xonXoffSets, 1);
    EXPECT_EQ(calls.closes, 1);
    EXPECT_EQ(calls.frees, 2);
    EXPECT_EQ(driver.liveHandleCount(), 0u);

    // Switched off again, the same name opens and closes normally.
    driver.setBaudRateFails("sim1", false);
    driver.setCloseFails("sim1", false);
    port = openPort(driver, "sim1");
    EXPECT_TRUE(driver.setBaudRate(port, 115200));
    EXPECT_TRUE(driver.close(port));
    driver.freePort(port);
}

TEST(FakeSerialDriver, ShortWritesDeliverOnlyTheirPartAndUnplugFailsInput)
{
    FakeSerialDriver driver;
    SimulatedBoard* board = driver.addBoard("sim0", "Simulated board");
    ASSERT_NE(board, nullptr);
    SerialPortHandle* port = openPort(driver, "sim0");

    const Bytes led = frameOf(MT_LED, {0});
    driver.setWriteLimit(3);
    EXPECT_EQ(driver.writeNonBlocking(port, led.data(), led.size()), 3);
    driver.setWriteLimit(0);
    EXPECT_EQ(driver.writeNonBlocking(port, led.data(), led.size()), static_cast<int>(led.size()));
    EXPECT_EQ(driver.counters().writes, 2);
    // The torn frame swallowed the start of the whole one, which the board rejected.
    EXPECT_TRUE(board->received().empty());
    EXPECT_EQ(board->rejectedFrames(), 1u);
    EXPECT_EQ(driver.writeNonBlocking(port, led.data(), led.size()), static_cast<int>(led.size()));
    EXPECT_EQ(board->countReceived(MT_LED), 1u);

    ASSERT_TRUE(driver.removePort("sim0"));
    EXPECT_EQ(driver.inputWaiting(port), SerialDriver::FAILED_DEVICE);
    std::vector<SerialPortInfo> ports;
    EXPECT_TRUE(driver.listPorts(ports));
    EXPECT_TRUE(ports.empty());
    driver.freePort(port);
}
