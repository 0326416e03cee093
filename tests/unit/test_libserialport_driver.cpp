// The real libserialport driver on pseudo-terminals. The library takes a port only when /sys/class/tty/<name> (name
// being the path after "/dev/") leads somewhere, and it queries the modem lines on open, which a pty refuses. Two
// test-only arrangements get around that: port names that climb out of /dev and /sys/class/tty alike into a temporary
// tree of our own, and the modem-line ioctls answered here when the kernel refuses them. Both are defined in this
// executable, so they take precedence over the C library and the sanitizer runtimes without any preload.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <libserialport.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "device/libserialport_driver.h"
#include "device/port_manager.h"
#include "support/log_capture.h"

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    using Ioctl = int (*)(int, unsigned long, ...);
    static const Ioctl next = reinterpret_cast<Ioctl>(dlsym(RTLD_NEXT, "ioctl"));
    const int result = next(fd, request, argument);
    if (result < 0 && errno == ENOTTY && (request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC)) {
        if (request == TIOCMGET)
            *static_cast<int*>(argument) = 0;
        return 0;
    }
    return result;
}

namespace {

// The names sp_list_ports gives while a test lists its own ports; null: the library's own enumeration.
std::vector<std::string>* listedNames = nullptr;

} // namespace

// sysfs cannot be faked, so the directory walk is replaced; the port objects are still the library's own, built by
// sp_get_port_by_name from the temporary tree.
extern "C" enum sp_return sp_list_ports(struct sp_port*** list)
{
    if (listedNames == nullptr) {
        using List = enum sp_return (*)(struct sp_port***);
        static const List next = reinterpret_cast<List>(dlsym(RTLD_NEXT, "sp_list_ports"));
        return next(list);
    }
    *list = static_cast<sp_port**>(std::calloc(listedNames->size() + 1, sizeof(sp_port*)));
    size_t count = 0;
    for (const std::string& name : *listedNames) {
        if (sp_get_port_by_name(name.c_str(), &(*list)[count]) == SP_OK)
            ++count;
    }
    return SP_OK;
}

namespace {

class LibSerialPortDriverTest : public ::testing::Test, private RelayEndListener {
protected:
    LibSerialPortDriverTest() : relays(*this), ports(driver, relays)
    {
        char pattern[] = "/tmp/vantrel-pty-XXXXXX";
        tree = mkdtemp(pattern);
        char slaveName[64];
        openpty(&master, &slave, slaveName, nullptr, nullptr);
        fcntl(master, F_SETFL, O_NONBLOCK);
        // Settings a board port must not keep: a slow rate and software flow control.
        termios settings{};
        tcgetattr(slave, &settings);
        cfsetspeed(&settings, B9600);
        settings.c_iflag |= IXON | IXOFF;
        tcsetattr(slave, TCSANOW, &settings);
        symlink(slaveName, (tree + "/board").c_str());
        boardName = portNameOf("/board");
    }

    ~LibSerialPortDriverTest() override
    {
        listedNames = nullptr;
        for (SerialPortHandle* port : opened) {
            driver.close(port);
            driver.freePort(port);
        }
        if (master >= 0)
            ::close(master);
        ::close(slave);
        std::filesystem::remove_all(tree);
    }

    // "/dev/" and "/sys/class/tty/" followed by "../../.." both lead to the root, so the library finds this name
    // under both.
    std::string portNameOf(const std::string& pathInTree) const { return "/dev/../../.." + tree + pathInTree; }

    // A directory as sysfs shows a USB serial device: "device" points into the USB device's interface directory,
    // whose parent holds the identity files.
    std::string addUsbDevice(const std::string& name, const char* vendor, const char* product, const char* text)
    {
        const std::string dir = tree + "/" + name;
        const std::string usb = dir + "/usb1/1-1";
        std::filesystem::create_directories(usb + "/1-1:1.0");
        symlink("usb1/1-1/1-1:1.0", (dir + "/device").c_str());
        std::ofstream(usb + "/busnum") << "1\n";
        std::ofstream(usb + "/devnum") << "7\n";
        std::ofstream(usb + "/idVendor") << vendor << "\n";
        std::ofstream(usb + "/idProduct") << product << "\n";
        if (text != nullptr)
            std::ofstream(usb + "/product") << text << "\n";
        return portNameOf("/" + name);
    }

    void onRelayDestroyed(const Relay&) override {}

    // The board's pty opened as the port manager opens a listed board port: at its rate, without flow control.
    // The pty has no USB identity, so no enumeration lists it.
    SerialPortHandle* openBoard()
    {
        SerialPortHandle* port = driver.findPort(boardName);
        if (port == nullptr || !driver.open(port)) {
            driver.freePort(port);
            return nullptr;
        }
        EXPECT_TRUE(driver.setBaudRate(port, PortManager::baudRate));
        EXPECT_TRUE(driver.disableXonXoff(port));
        opened.push_back(port);
        return port;
    }

    // Bytes the master side has received, after waiting briefly for them.
    std::string readAtMaster(size_t count)
    {
        std::string text;
        char buffer[256];
        for (int i = 0; i < 100 && text.size() < count; ++i) {
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0)
                text.append(buffer, static_cast<size_t>(n));
            else
                usleep(10000);
        }
        return text;
    }

    // The driver's waiting-byte count once it reaches the expected value or stops changing.
    int waitingAfterTransfer(SerialPortHandle* port, int expected)
    {
        int waiting = driver.inputWaiting(port);
        for (int i = 0; i < 100 && waiting >= 0 && waiting < expected; ++i) {
            usleep(10000);
            waiting = driver.inputWaiting(port);
        }
        return waiting;
    }

    LibSerialPortDriver driver;
    RelayList relays;
    PortManager ports;
    std::vector<SerialPortHandle*> opened;
    std::string tree;
    std::string boardName;
    int master = -1;
    int slave = -1;
};

TEST_F(LibSerialPortDriverTest, OpensByNameAtTheBoardRateWithoutSoftwareFlowControl)
{
    SerialPortHandle* port = openBoard();
    ASSERT_NE(port, nullptr) << driver.lastError();
    EXPECT_EQ(driver.portName(port), boardName);
    termios settings{};
    ASSERT_EQ(tcgetattr(slave, &settings), 0);
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | IXANY), 0u);
}

TEST_F(LibSerialPortDriverTest, CountsReadsAndWritesWithoutWaiting)
{
    SerialPortHandle* port = openBoard();
    ASSERT_NE(port, nullptr) << driver.lastError();
    uint8_t buffer[16];
    EXPECT_EQ(driver.inputWaiting(port), 0);
    EXPECT_EQ(driver.readNonBlocking(port, buffer, sizeof buffer), 0) << "nothing there: no waiting";

    pollfd wait{driver.waitDescriptor(port), POLLIN, 0};
    ASSERT_GE(wait.fd, 0);
    EXPECT_EQ(poll(&wait, 1, 0), 0);
    ASSERT_EQ(::write(master, "\x55\xAA\x13", 3), 3);
    EXPECT_EQ(poll(&wait, 1, 5000), 1) << "the loop's wait ends when input arrives";
    EXPECT_EQ(waitingAfterTransfer(port, 3), 3);
    EXPECT_EQ(driver.readNonBlocking(port, buffer, 2), 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 2), "\x55\xAA");
    EXPECT_EQ(driver.inputWaiting(port), 1);
    EXPECT_EQ(driver.readNonBlocking(port, buffer, sizeof buffer), 1);
    EXPECT_EQ(buffer[0], 0x13);

    const uint8_t frame[] = {0x55, 0xAA, 0x00, 0x0D, 0x0A, 0x11};
    EXPECT_EQ(driver.writeNonBlocking(port, frame, sizeof frame), static_cast<int>(sizeof frame));
    EXPECT_EQ(readAtMaster(sizeof frame), std::string(reinterpret_cast<const char*>(frame), sizeof frame))
        << "raw: no byte is translated on the way out";
}

TEST_F(LibSerialPortDriverTest, ABoardMessageReachesTheInboxAndAHangUpIsAFailedDevice)
{
    SerialPortHandle* port = driver.findPort(boardName);
    ASSERT_TRUE(driver.open(port)) << driver.lastError();
    Relay& relay = relays.bindRelay(boardName, port, 0);
    ASSERT_NE(relay.port, nullptr) << driver.lastError();
    const uint8_t ack[] = {0x55, 0xAA, 0x12, 0x00, 0x05, 0x00, 0x00, 0x17, 0x69};
    ASSERT_EQ(::write(master, ack, sizeof ack), static_cast<ssize_t>(sizeof ack));
    waitingAfterTransfer(relay.port, sizeof ack);
    EXPECT_FALSE(ports.checkPort().portsRemoved);
    ASSERT_EQ(ports.deviceInbox.size(), 1u);
    EXPECT_EQ(ports.deviceInbox[0].bytes[0], 0x12);

    // Closing the master side hangs the pty up, as unplugging hangs up a USB port.
    ::close(master);
    master = -1;
    EXPECT_EQ(driver.inputWaiting(relay.port), SerialDriver::FAILED_DEVICE);
    LogCapture log;
    EXPECT_TRUE(ports.checkPort().portsRemoved);
    EXPECT_TRUE(log.contains("Closed port " + boardName));
    EXPECT_EQ(relays.size(), 0u);
}

// As the wait between passes reports it: the poll saw input on every port. A port read at its word is asked for its
// count only when the read finds nothing, as a hung-up one does.
TEST_F(LibSerialPortDriverTest, APortReadAtThePollsWordStillShowsItsHangUp)
{
    struct Reported : PortReadiness {
        Input takeInput(SerialPortHandle*) override { return Input::reported; }
    } reported;
    ports.setReadiness(&reported);
    SerialPortHandle* port = driver.findPort(boardName);
    ASSERT_TRUE(driver.open(port)) << driver.lastError();
    relays.bindRelay(boardName, port, 0);
    EXPECT_FALSE(ports.checkPort().portsRemoved) << "nothing to read is no failure";
    ::close(master);
    master = -1;
    EXPECT_TRUE(ports.checkPort().portsRemoved);
    EXPECT_EQ(relays.size(), 0u);
}

TEST_F(LibSerialPortDriverTest, FailuresCarryTheLibrarysErrorText)
{
    EXPECT_EQ(driver.findPort(portNameOf("/absent")), nullptr);
    EXPECT_FALSE(driver.lastError().empty());
    // Found (the link is there) but not openable (its target is not).
    symlink("/dev/vantrel-no-such-device", (tree + "/dangling").c_str());
    SerialPortHandle* dangling = driver.findPort(portNameOf("/dangling"));
    ASSERT_NE(dangling, nullptr);
    EXPECT_FALSE(driver.open(dangling));
    EXPECT_EQ(driver.lastError(), "No such file or directory");
    driver.freePort(dangling);

    SerialPortHandle* port = driver.findPort(boardName);
    ASSERT_NE(port, nullptr);
    ASSERT_TRUE(driver.open(port));
    EXPECT_TRUE(driver.close(port));
    EXPECT_LT(driver.inputWaiting(port), 0) << "closed";
    driver.freePort(port);
}

TEST_F(LibSerialPortDriverTest, ReportsTheLibraryVersion)
{
    EXPECT_EQ(driver.libraryVersion(), SP_PACKAGE_VERSION_STRING);
    EXPECT_EQ(driver.libraryVersion(), sp_get_package_version_string());
}

TEST_F(LibSerialPortDriverTest, EnumerationReadsUsbIdentityFromTheLibrarysPortObjects)
{
    std::vector<SerialPortInfo> found;
    ASSERT_TRUE(driver.listPorts(found)) << "the system's own enumeration works: " << driver.lastError();

    std::vector<std::string> names = {
        boardName,
        addUsbDevice("other", "1234", "5678", "other device"),
        addUsbDevice("acm", "0483", "5740", "vantrel board"),
        addUsbDevice("bridge", "10c4", "ea60", nullptr),
        addUsbDevice("near", "10c4", "ea61", "almost"),
    };
    listedNames = &names;
    ASSERT_TRUE(driver.listPorts(found));
    ASSERT_EQ(found.size(), names.size());
    EXPECT_EQ(found[0].name, boardName);
    EXPECT_FALSE(found[0].isUsb);
    EXPECT_EQ(found[0].usbVendorId, -1);
    EXPECT_TRUE(found[2].isUsb);
    EXPECT_EQ(found[2].usbVendorId, 0x0483);
    EXPECT_EQ(found[2].usbProductId, 0x5740);
    EXPECT_EQ(found[2].usbProduct, "vantrel board");
    EXPECT_EQ(found[3].usbProduct, "");

    LogCapture log;
    EXPECT_TRUE(ports.refreshPorts(false));
    EXPECT_EQ(ports.portListJson(), R"({"ports":[{"name":")" + names[2] + R"(","usbProduct":"vantrel board"},)" +
                                        R"({"name":")" + names[3] + R"(","usbProduct":""}]})");
    EXPECT_TRUE(log.lines().empty());
}

} // namespace
