#include <gtest/gtest.h>

#include "device/message_type.h"
#include "device/port_manager.h"
#include "simulation/board_frame_codec.h"
#include "support/fake_serial_driver.h"
#include "support/log_capture.h"

namespace {

SerialPortInfo usbPort(const std::string& name, int vendor, int product, const std::string& usbProduct)
{
    SerialPortInfo info;
    info.name = name;
    info.isUsb = true;
    info.usbVendorId = vendor;
    info.usbProductId = product;
    info.usbProduct = usbProduct;
    return info;
}

class PortManagerTest : public ::testing::Test, private RelayEndListener {
protected:
    PortManagerTest() : relays(*this), ports(driver, relays) {}

    void onRelayDestroyed(const Relay&) override {}
    // A board as the port list shows it, which is what openPort takes.
    SimulatedBoard* addListedBoard(const std::string& name)
    {
        SimulatedBoard* board = driver.addBoard(name, "vantrel");
        ports.refreshPorts(false);
        return board;
    }

    FakeSerialDriver driver;
    RelayList relays;
    PortManager ports;
};

TEST_F(PortManagerTest, ListsOnlyUsbPortsOfTheTwoBoardDevices)
{
    SerialPortInfo plain;
    plain.name = "ttyS0";
    driver.addPort(plain, nullptr);
    driver.addPort(usbPort("ttyUSB0", 0x10C4, 0xEA60, "CP2102 bridge"), nullptr);
    driver.addPort(usbPort("ttyUSB1", 0x10C4, 0xEA61, "other"), nullptr);
    driver.addPort(usbPort("ttyACM0", 0x0483, 0x5740, ""), nullptr);
    driver.addPort(usbPort("ttyACM1", 0x0483, 0x5741, "other"), nullptr);

    EXPECT_TRUE(ports.refreshPorts(false));
    EXPECT_EQ(ports.portListJson(),
              R"({"ports":[{"name":"ttyUSB0","usbProduct":"CP2102 bridge"},{"name":"ttyACM0","usbProduct":""}]})");
}

TEST_F(PortManagerTest, EmptyListAndUnchangedRefresh)
{
    LogCapture log;
    EXPECT_FALSE(ports.refreshPorts(true));
    EXPECT_TRUE(log.contains("Current ports: none"));
    EXPECT_TRUE(log.contains("run vantrelRelaySim"));
    EXPECT_EQ(ports.portListJson(), R"({"ports":[]})");
    driver.addBoard("ttyACM0", "vantrel");
    EXPECT_TRUE(ports.refreshPorts(false));
    EXPECT_FALSE(ports.refreshPorts(false));
}

TEST_F(PortManagerTest, VerboseRefreshLogsThePortsAndTheHash)
{
    driver.addBoard("ttyACM0", "vantrel");
    driver.addPort(usbPort("ttyUSB0", 0x10C4, 0xEA60, ""), nullptr);
    LogCapture log;
    ports.refreshPorts(true);
    EXPECT_TRUE(log.contains("Current ports:"));
    EXPECT_FALSE(log.contains("Current ports: none"));
    EXPECT_TRUE(log.contains("\tttyACM0 (vantrel)"));
    EXPECT_TRUE(log.contains("\tHash: ttyACM0_vantrel_ttyUSB0__"));
    EXPECT_TRUE(log.contains("availableAfter: ttyACM0_vantrel_ttyUSB0__"));
}

TEST_F(PortManagerTest, EnumerationFailureEmptiesTheListAndClosesOpenPorts)
{
    driver.addBoard("ttyACM0", "vantrel");
    ports.refreshPorts(false);
    ASSERT_NE(ports.openPort("ttyACM0"), nullptr);
    LogCapture log;
    driver.setEnumerationFails(true);
    EXPECT_TRUE(ports.refreshPorts(false));
    EXPECT_TRUE(log.contains("Cannot list the serial ports: "));
    EXPECT_TRUE(log.contains("ttyACM0: the board is no longer listed (unplugged?)"));
    EXPECT_TRUE(ports.openPorts().empty());
}

TEST_F(PortManagerTest, OpensOncePerNameAtTheBoardsBaudRate)
{
    addListedBoard("ttyACM0");
    SerialPortHandle* first = ports.openPort("ttyACM0");
    SerialPortHandle* second = ports.openPort("ttyACM0");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(driver.counters().opens, 1);
    EXPECT_EQ(driver.counters().baudRateSets, 1);
    EXPECT_EQ(driver.counters().lastBaudRate, 115200);
    EXPECT_EQ(driver.counters().xonXoffSets, 1);
    EXPECT_EQ(ports.findOpenPort("ttyACM0"), first);
}

TEST_F(PortManagerTest, OpenFailuresAreLoggedAndGiveNoHandle)
{
    addListedBoard("ttyACM0");
    driver.setOpenFails("ttyACM0", true);
    LogCapture log;
    EXPECT_EQ(ports.openPort("nosuchport"), nullptr);
    EXPECT_TRUE(log.contains("Could not find port nosuchport"));
    // A device the library knows but the list does not show (no board's USB identity) is not opened either.
    driver.addPort(usbPort("ttyUSB1", 0x10C4, 0xEA61, "other"), nullptr);
    EXPECT_EQ(ports.openPort("ttyUSB1"), nullptr);
    EXPECT_TRUE(log.contains("Could not find port ttyUSB1"));
    EXPECT_EQ(ports.openPort("ttyACM0"), nullptr);
    EXPECT_TRUE(log.contains("Could not open port ttyACM0 : "));
    EXPECT_TRUE(ports.openPorts().empty());
    EXPECT_EQ(driver.liveHandleCount(), 0u) << "a port object that could not be opened is freed";
}

TEST_F(PortManagerTest, BaudRateFailureKeepsThePortOpen)
{
    addListedBoard("ttyACM0");
    driver.setBaudRateFails("ttyACM0", true);
    LogCapture log;
    EXPECT_NE(ports.openPort("ttyACM0"), nullptr);
    EXPECT_TRUE(log.contains("Could not set baud rate for port ttyACM0 : "));
    EXPECT_EQ(ports.openPorts().size(), 1u);
}

TEST_F(PortManagerTest, ClosingDestroysTheRelaysOfThePort)
{
    addListedBoard("ttyACM0");
    SerialPortHandle* port = ports.openPort("ttyACM0");
    relays.bindRelay("ttyACM0", port, 0);
    LogCapture log;
    ports.closePort(nullptr);
    ports.closePort(port);
    EXPECT_TRUE(log.contains("Closed port ttyACM0"));
    EXPECT_EQ(relays.size(), 0u);
    EXPECT_TRUE(ports.openPorts().empty());
    EXPECT_EQ(driver.liveHandleCount(), 0u);
}

TEST_F(PortManagerTest, CheckPortFramesWhatTheBoardSendsIntoTheInbox)
{
    // A relay without a port (its name could not be opened) has nothing to read: the driver is not asked.
    relays.bindRelay("ttyGONE", nullptr, 0);
    EXPECT_FALSE(ports.checkPort().portsRemoved);
    EXPECT_EQ(driver.counters().inputChecks, 0);

    SimulatedBoard* board = addListedBoard("ttyACM0");
    SerialPortHandle* port = ports.openPort("ttyACM0");
    relays.bindRelay("ttyACM0", port, 0);
    board->setSplitFrames(3);
    board->sendMessage(MT_ACK, {0});
    board->sendMessage(MT_LOOPTIME, {1, 2, 3, 4, 5, 6, 7, 8});

    int passes = 0;
    while (ports.deviceInbox.size() < 2 && passes++ < 50)
        EXPECT_FALSE(ports.checkPort().portsRemoved);
    ASSERT_EQ(ports.deviceInbox.size(), 2u);
    EXPECT_EQ(readU16(ports.deviceInbox[0].bytes.data()), MT_ACK);
    const std::vector<uint8_t>& looptime = ports.deviceInbox[1].bytes;
    EXPECT_EQ(ports.deviceInbox[1].port, port);
    EXPECT_EQ(readU16(looptime.data()), MT_LOOPTIME);
    EXPECT_EQ(readU16(looptime.data() + 2), 12);
    EXPECT_EQ(looptime[11], 8);
    ASSERT_GE(looptime.size(), SerialMessage::size);
    for (size_t i = 12; i < looptime.size(); ++i)
        EXPECT_EQ(looptime[i], 0) << "no stale byte of an earlier frame at " << i;
}

// A board that floods the port neither holds up the other ports for long nor makes every message as large as its
// longest one.
TEST_F(PortManagerTest, AChattyBoardIsReadInBoundedPiecesAndEachMessageCopiedToItsLength)
{
    SimulatedBoard* board = addListedBoard("ttyACM0");
    relays.bindRelay("ttyACM0", ports.openPort("ttyACM0"), 0);
    board->sendMessage(MT_CONFIG_DUMP, std::vector<uint8_t>(60000, 1));
    const size_t acks = 20000;
    for (size_t i = 0; i < acks; ++i)
        board->sendMessage(MT_ACK, {0});
    ports.checkPort();
    const size_t firstPass = ports.deviceInbox.size();
    EXPECT_LT(firstPass, acks / 2) << "one pass reads a bounded share of what waits";
    ASSERT_GE(firstPass, 2u);
    EXPECT_EQ(ports.deviceInbox[1].bytes.size(), SerialMessage::size) << "a small message after a long one";
    for (int pass = 0; pass < 20 && ports.deviceInbox.size() < acks + 1; ++pass)
        ports.checkPort();
    EXPECT_EQ(ports.deviceInbox.size(), acks + 1) << "the rest follows in later passes";
}

TEST_F(PortManagerTest, UnpluggedPortIsClosedAndTheNewListBroadcast)
{
    driver.addBoard("ttyACM0", "vantrel");
    driver.addBoard("ttyACM1", "vantrel");
    ports.refreshPorts(false);
    SerialPortHandle* port = ports.openPort("ttyACM0");
    relays.bindRelay("ttyACM0", port, 0);
    relays.bindRelay("ttyACM1", ports.openPort("ttyACM1"), 0);

    driver.removePort("ttyACM0");
    LogCapture log;
    const PortCheck check = ports.checkPort();
    EXPECT_TRUE(check.portsRemoved);
    EXPECT_TRUE(check.portListChanged);
    EXPECT_TRUE(log.contains("ttyACM0: the board went away (its port failed, unplugged?)"));
    EXPECT_TRUE(log.contains("Closed port ttyACM0"));
    EXPECT_EQ(relays.size(), 1u);
    EXPECT_EQ(relays.findRelayByName("ttyACM0"), nullptr);
    EXPECT_EQ(ports.portListJson(), R"({"ports":[{"name":"ttyACM1","usbProduct":"vantrel"}]})");
    EXPECT_FALSE(ports.checkPort().portsRemoved);
}

TEST_F(PortManagerTest, CloseAllPortsClosesEveryOpenPort)
{
    addListedBoard("ttyACM0");
    addListedBoard("ttyACM1");
    ports.openPort("ttyACM0");
    ports.openPort("ttyACM1");
    ports.closeAllPorts();
    EXPECT_TRUE(ports.openPorts().empty());
    EXPECT_EQ(driver.counters().closes, 2);
    EXPECT_EQ(driver.liveHandleCount(), 0u);
}

} // namespace
