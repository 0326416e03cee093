#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/little_endian.h"
#include "device/board_link.h"
#include "device/message_type.h"
#include "device/outgoing_queue.h"
#include "device/relay.h"
#include "firmware/firmware_flasher.h"
#include "support/fake_serial_driver.h"
#include "support/log_capture.h"
#include "support/manual_clock.h"
#include "json/compact_json_writer.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<uint8_t>;

struct Reply {
    std::string port;
    Json::Value value;
    std::string text;
};

Bytes pattern(size_t size, uint8_t seed)
{
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return bytes;
}

// The flasher as the board link's listener of the write's messages; the fixture stands in for the translation and
// the sessions.
class FirmwareFlasherTest : public ::testing::Test, private BoardLinkEvents {
protected:
    void SetUp() override
    {
        std::string templ = (fs::temp_directory_path() / "vantrel_flash_XXXXXX").string();
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        directory = templ;
    }

    void TearDown() override
    {
        std::error_code error;
        fs::permissions(directory, fs::perms::owner_all, fs::perm_options::add, error);
        fs::remove_all(directory, error);
    }

    std::string writeFile(const std::string& name, const Bytes& bytes)
    {
        const std::string path = (fs::path(directory) / name).string();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    // A file of that size without its bytes on disk.
    std::string sparseFile(const std::string& name, uintmax_t size)
    {
        const std::string path = writeFile(name, {});
        fs::resize_file(path, size);
        return path;
    }

    // Flash size 0: the board's version has not been asked.
    Relay& relayFor(const std::string& name, int32_t flashSizeKiB = 1024)
    {
        Relay& relay = relays.bindRelay(name, nullptr, 0);
        relay.flashSizeKiB = flashSizeKiB;
        return relay;
    }

    // A relay on a simulated board whose replies the pump below hands to the queue and the flasher.
    Relay& boardRelay(const std::string& name, SimulatedBoard::Mode mode)
    {
        SimulatedBoard* board = driver.addBoard(name, "Simulated board");
        EXPECT_NE(board, nullptr);
        board->setMode(mode);
        SerialPortHandle* port = driver.findPort(name);
        EXPECT_TRUE(driver.open(port));
        Relay& relay = relays.bindRelay(name, port, 0);
        // As after its version reply, which did not say whether it runs its bootloader.
        relay.flashSizeKiB = 1024;
        return relay;
    }

    // Runs passes, one simulated millisecond apart, until the relay has nothing left to send.
    void pump(Relay& relay, int maxPasses = 200000)
    {
        for (int pass = 0; pass < maxPasses; ++pass) {
            queue.serviceOutgoingQueues();
            boards.readPorts();
            boards.answerBoardMessages();
            if (relay.outgoing.empty() && relay.readyToSend)
                return;
            clock.advance(1);
        }
        FAIL() << "the queue did not drain";
    }

    std::vector<Reply> repliesWith(const std::string& key) const
    {
        std::vector<Reply> found;
        for (const Reply& reply : replies)
            if (reply.value.isMember(key))
                found.push_back(reply);
        return found;
    }

    // The one reply expected after a failure: "port" and the reason holding the detail.
    void expectOnlyFailure(const std::string& port, const std::string& reason, const std::string& detail)
    {
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].port, port);
        Json::Value expected(Json::objectValue);
        expected["port"] = port;
        expected[reason] = detail;
        EXPECT_EQ(replies[0].value, expected);
    }

    // The image the flasher keeps for the relay.
    const FlashSession& image(const Relay& relay)
    {
        static const FlashSession none;
        const FlashSession* session = flasher.session(relay);
        return session == nullptr ? none : *session;
    }

    bool translateBoardMessage(Relay&, const ReceivedMessage&, Json::Value&) override { return false; }
    void sendReply(const Relay& relay, const Json::Value& value) override
    {
        replies.push_back({relay.portName, value, CompactJsonWriter().write(value)});
    }
    void sendToEditor(EditorId, const Json::Value& value) override
    {
        replies.push_back({value["port"].asString(), value, CompactJsonWriter().write(value)});
    }
    void sendProgressToEditor(EditorId editor, std::string_view head, std::string_view tail) override
    {
        const std::string text = std::string(head) + std::string(tail);
        Json::Value value;
        std::istringstream(text) >> value;
        sendToEditor(editor, value);
        EXPECT_EQ(replies.back().text, text) << "written as the compact writer writes it";
    }
    // The board acknowledged the chunk at this offset.
    void chunkAnswered(Relay& relay, uint32_t offset)
    {
        SerialMessage data;
        data.setType(MT_BOOTLOADER_ROM_WRITE_DATA);
        writeU32(data.payload(), offset);
        flasher.onHeadAnswered(relay, data);
    }

    LogCapture log;
    std::string directory;
    FakeSerialDriver driver;
    ManualClock clock;
    std::vector<Reply> replies;
    FirmwareFlasher::PieceReader pieceReader;
    FirmwareFlasher flasher{boards, *this, clock, [this](std::FILE* file, uint8_t* buffer, size_t count) {
                                return pieceReader ? pieceReader(file, buffer, count)
                                                   : std::fread(buffer, 1, count, file);
                            }};
    BoardLink boards{driver, clock, *this, flasher};
    RelayList& relays = boards.relays();
    OutgoingQueue& queue = boards.queue();
};

TEST_F(FirmwareFlasherTest, SizeLimitFollowsTheBoardsFlashSize)
{
    // A write is checked before anything is erased: without the board's flash size its version is asked first,
    // and the write goes on (or is refused) when the answer comes.
    enum class Outcome { written, tooLarge, asked, empty };
    struct Case {
        int32_t flashSizeKiB;
        uintmax_t fileSize;
        Outcome outcome;
    };
    const uint32_t largest = FirmwareFlasher::maxImageBytes;
    const Case cases[] = {
        {128, 114656, Outcome::written},
        {128, 114657, Outcome::tooLarge},
        {0, 114657, Outcome::asked},
        {0, 1000000, Outcome::asked},
        // A file no board could take is refused without asking.
        {0, largest + 1, Outcome::tooLarge},
        {0, uintmax_t{5} << 32, Outcome::tooLarge},
        {65535, largest + 1, Outcome::tooLarge},
        {0, 0, Outcome::empty},
        {128, 0, Outcome::empty},
        // Boards no larger than the bootloader's share take nothing; just above, the limit starts small.
        {1, 1, Outcome::tooLarge},
        {16, 1, Outcome::tooLarge},
        {17, 992, Outcome::written},
        {17, 993, Outcome::tooLarge},
    };
    int pieces = 0;
    pieceReader = [&pieces](std::FILE* file, uint8_t* buffer, size_t count) {
        ++pieces;
        return std::fread(buffer, 1, count, file);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("flash " + std::to_string(c.flashSizeKiB) + " KiB, file " + std::to_string(c.fileSize));
        Relay& relay = relayFor("/dev/ttyACM0", c.flashSizeKiB);
        relay.outgoing.clear();
        flasher.cancel(relay);
        flasher.onRelayDestroyed(relay);
        replies.clear();
        pieces = 0;
        const std::string path = sparseFile("image.bin", c.fileSize);

        EXPECT_EQ(flasher.writeFirmware(relay, path), c.outcome == Outcome::written || c.outcome == Outcome::asked);
        switch (c.outcome) {
        case Outcome::written:
            EXPECT_TRUE(replies.empty());
            EXPECT_EQ(relay.outgoing.size(), 2 + (c.fileSize + 31) / 32);
            EXPECT_EQ(image(relay).size, c.fileSize);
            break;
        case Outcome::asked:
            ASSERT_EQ(relay.outgoing.size(), 1u);
            EXPECT_EQ(relay.outgoing[0].type(), MT_VERSION);
            EXPECT_TRUE(replies.empty());
            EXPECT_FALSE(flasher.isWriting(relay));
            break;
        case Outcome::tooLarge:
            ASSERT_EQ(replies.size(), 1u);
            EXPECT_TRUE(replies[0].value.isMember("firmwareFileTooLarge"));
            EXPECT_NE(replies[0].value["firmwareFileTooLarge"].asString().find(" KiB, "), std::string::npos)
                << "both sizes in KiB";
            break;
        case Outcome::empty: expectOnlyFailure("/dev/ttyACM0", "firmwareFileEmpty", path); break;
        }
        if (c.outcome != Outcome::written && c.outcome != Outcome::asked) {
            EXPECT_EQ(relay.outgoing.size(), 0u);
            EXPECT_FALSE(flasher.isWriting(relay));
            EXPECT_EQ(pieces, 0) << "a refused file is not read";
        }
    }
    // The answer to the question: a 128 KiB board takes 114656 bytes and no more, and one in its application none.
    const struct {
        uintmax_t fileSize;
        BoardMode mode;
        const char* refusal;
    } answers[] = {{114656, BoardMode::bootloader, nullptr},
                   {114657, BoardMode::bootloader, "firmwareFileTooLarge"},
                   {64, BoardMode::application, "firmwareNeedsBootloader"}};
    for (const auto& answer : answers) {
        Relay& relay = relayFor("/dev/ttyACM2", 0);
        relay.outgoing.clear();
        replies.clear();
        ASSERT_TRUE(flasher.writeFirmware(relay, sparseFile("asked.bin", answer.fileSize)));
        relay.outgoing.clear();
        relay.flashSizeKiB = 128;
        relay.mode = answer.mode;
        flasher.onVersionKnown(relay);
        EXPECT_EQ(flasher.isWriting(relay), answer.refusal == nullptr);
        if (answer.refusal != nullptr) {
            ASSERT_EQ(replies.size(), 1u);
            EXPECT_TRUE(replies[0].value.isMember(answer.refusal)) << replies[0].text;
        }
        flasher.cancel(relay);
    }
    // A write waiting for the answer can be cancelled; one whose question goes unanswered is refused.
    Relay& asking = relayFor("/dev/ttyACM3", 0);
    const std::string small = sparseFile("small.bin", 64);
    ASSERT_TRUE(flasher.writeFirmware(asking, small));
    replies.clear();
    EXPECT_TRUE(flasher.cancel(asking));
    expectOnlyFailure("/dev/ttyACM3", "firmwareWriteCancelled", "cancelled by the editor");
    ASSERT_TRUE(flasher.writeFirmware(asking, small));
    replies.clear();
    SerialMessage question;
    question.setType(MT_VERSION);
    flasher.onHeadGivenUp(asking, question);
    expectOnlyFailure("/dev/ttyACM3", "firmwareFileVerifyError",
                      "the board did not answer within 1 s when asked its flash size");
    asking.flashSizeKiB = 128;
    flasher.onVersionKnown(asking);
    EXPECT_FALSE(flasher.isWriting(asking)) << "a refused write does not start when the answer comes late";
    pieceReader = nullptr;
    // Every flash size from 1 to 16 KiB refuses every file.
    for (int32_t kib = 1; kib <= 16; ++kib) {
        Relay& relay = relayFor("/dev/ttyACM1", kib);
        for (uintmax_t size : {1u, 32u, 1024u}) {
            replies.clear();
            EXPECT_FALSE(flasher.writeFirmware(relay, sparseFile("small.bin", size))) << kib << " KiB, " << size;
            ASSERT_EQ(replies.size(), 1u);
            EXPECT_TRUE(replies[0].value.isMember("firmwareFileTooLarge"));
        }
        EXPECT_TRUE(relay.outgoing.empty());
    }
}

TEST_F(FirmwareFlasherTest, RefusesAFlashTheQueueCannotHoldWhole)
{
    Relay& relay = relayFor("/dev/ttyACM0");
    SerialMessage led;
    led.setType(MT_LED);
    const size_t keep = 5;
    while (queue.freeSlots(relay) > keep)
        ASSERT_TRUE(queue.enqueue(relay, led));
    const size_t before = relay.outgoing.size();

    // 97 bytes need start, four chunks and finish: one message more than there is room for.
    const std::string tooMany = writeFile("97.bin", pattern(97, 1));
    EXPECT_FALSE(flasher.writeFirmware(relay, tooMany));
    expectOnlyFailure("/dev/ttyACM0", "firmwareFileTooLarge", tooMany);
    EXPECT_EQ(relay.outgoing.size(), before) << "nothing of the flash is queued";

    replies.clear();
    EXPECT_TRUE(flasher.writeFirmware(relay, writeFile("96.bin", pattern(96, 1))));
    EXPECT_TRUE(replies.empty());
    EXPECT_EQ(queue.freeSlots(relay), 0u);
    EXPECT_EQ(relay.outgoing.back().type(), MT_BOOTLOADER_ROM_WRITE_FINISH);
}

TEST_F(FirmwareFlasherTest, QueuesStartChunksAndFinishForA70ByteFile)
{
    Relay& relay = relayFor("/dev/ttyACM0", 128);
    const Bytes file = pattern(70, 0x41);
    ASSERT_TRUE(flasher.writeFirmware(relay, writeFile("70.bin", file)));
    EXPECT_TRUE(log.contains("Preparing to write 70 bytes to flash"));

    std::vector<SerialMessage> expected(5);
    expected[0].setType(MT_BOOTLOADER_ROM_WRITE_START);
    writeU32(expected[0].payload(), 70);
    for (uint32_t chunk = 0; chunk < 3; ++chunk) {
        SerialMessage& data = expected[1 + chunk];
        data.setType(MT_BOOTLOADER_ROM_WRITE_DATA);
        writeU32(data.payload(), chunk * 32);
        for (uint32_t i = 0; i < 32 && chunk * 32 + i < 70; ++i)
            data.payload()[4 + i] = file[chunk * 32 + i];
    }
    expected[4].setType(MT_BOOTLOADER_ROM_WRITE_FINISH);
    ASSERT_EQ(relay.outgoing.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(Bytes(relay.outgoing[i].bytes, relay.outgoing[i].bytes + SerialMessage::size),
                  Bytes(expected[i].bytes, expected[i].bytes + SerialMessage::size))
            << "message " << i;
    // The last chunk: 6 file bytes, then 26 zero bytes.
    EXPECT_EQ(relay.outgoing[3].payload()[4 + 5], file[69]);
    EXPECT_EQ(Bytes(relay.outgoing[3].payload() + 10, relay.outgoing[3].payload() + 36), Bytes(26, 0));

    for (uint32_t offset : {0u, 32u, 64u})
        chunkAnswered(relay, offset);
    const std::vector<Reply> progress = repliesWith("romWrite");
    ASSERT_EQ(progress.size(), 3u);
    const double approximately[] = {45.71, 91.43, 100.0};
    for (size_t i = 0; i < 3; ++i) {
        const Json::Value& value = progress[i].value["romWrite"];
        ASSERT_TRUE(value.isDouble());
        EXPECT_NEAR(value.asDouble(), approximately[i], 0.005);
        EXPECT_EQ(value.asDouble(), static_cast<double>(static_cast<float>(value.asDouble())))
            << "a single-precision value";
        EXPECT_EQ(progress[i].text,
                  "{\"port\":\"/dev/ttyACM0\",\"romWrite\":" + formatJsonReal(value.asDouble()) + "}");
    }
    EXPECT_EQ(progress[0].value["romWrite"].asDouble(), static_cast<double>(32.0f / 70.0f * 100.0f));
    EXPECT_EQ(progress[2].value["romWrite"].asDouble(), 100.0) << "capped";
}

TEST_F(FirmwareFlasherTest, VerificationFailureEndsTheWrite)
{
    Relay& relay = relayFor("/dev/ttyACM0", 128);
    const Bytes file = pattern(70, 0x10);
    ASSERT_TRUE(flasher.writeFirmware(relay, writeFile("70.bin", file)));

    Bytes echo(file.begin(), file.begin() + 32);
    flasher.verifyFirmwareEcho(relay, 0, echo.data(), echo.size());
    ASSERT_EQ(repliesWith("romVerify").size(), 1u);
    EXPECT_NEAR(repliesWith("romVerify")[0].value["romVerify"].asDouble(), 45.71, 0.005);

    Bytes last(32, 0xEE);
    std::copy(file.begin() + 64, file.end(), last.begin());
    last[2] ^= 0x5A;
    replies.clear();
    flasher.verifyFirmwareEcho(relay, 64, last.data(), last.size());
    char line[80];
    std::snprintf(line, sizeof line, "Verification failed (address: 66) %d != %d", last[2], file[66]);
    EXPECT_TRUE(log.contains(line)) << line;
    EXPECT_TRUE(log.contains("/dev/ttyACM0: Firmware write of "));
    EXPECT_TRUE(log.contains(" failed: the board did not take the image as sent"));
    expectOnlyFailure("/dev/ttyACM0", "firmwareFileVerifyError", "");
    EXPECT_FALSE(flasher.isWriting(relay)) << "the image is released";
    EXPECT_TRUE(relay.outgoing.empty()) << "nothing of the write is left to send, least of all the finish";

    // Later echoes, even correct ones, and answers to chunks still in flight report nothing.
    replies.clear();
    flasher.verifyFirmwareEcho(relay, 0, echo.data(), echo.size());
    chunkAnswered(relay, 32);
    EXPECT_TRUE(replies.empty());
}

TEST_F(FirmwareFlasherTest, EchoesAreComparedOnlyAsFarAsTheImageAndOnlyWhenComplete)
{
    struct Case {
        const char* what;
        size_t available;
        bool nullData;
        bool verified;
    };
    const Case cases[] = {
        {"whole echo of the last chunk, junk past the end of the image", 32, false, true},
        {"longer echo", 40, false, true},
        {"echo one byte short", 31, false, false},
        {"echo with the offset only", 0, true, false},
    };
    const Bytes file = pattern(70, 0x33);
    const std::string path = writeFile("70.bin", file);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Relay& relay = relayFor("/dev/ttyACM0");
        flasher.cancel(relay);
        relay.outgoing.clear();
        ASSERT_TRUE(flasher.writeFirmware(relay, path));
        replies.clear();
        Bytes echo(40, 0xC3);
        std::copy(file.begin() + 64, file.end(), echo.begin());
        flasher.verifyFirmwareEcho(relay, 64, c.nullData ? nullptr : echo.data(), c.available);
        ASSERT_EQ(replies.size(), 1u);
        if (c.verified) {
            EXPECT_EQ(replies[0].value["romVerify"].asDouble(), 100.0);
            EXPECT_TRUE(flasher.isWriting(relay));
        } else {
            expectOnlyFailure("/dev/ttyACM0", "firmwareFileVerifyError", "");
            EXPECT_FALSE(flasher.isWriting(relay));
        }
    }
    // Without an image, even a short echo is ignored.
    replies.clear();
    Relay& fresh = relayFor("/dev/ttyACM1");
    flasher.verifyFirmwareEcho(fresh, 0, nullptr, 0);
    EXPECT_TRUE(replies.empty());
}

TEST_F(FirmwareFlasherTest, TwoBoardsFlashedAtOnceVerifyAgainstTheirOwnFiles)
{
    Relay& first = relayFor("/dev/ttyACM0", 128);
    Relay& second = relayFor("/dev/ttyACM1", 128);
    const Bytes firstFile = pattern(70, 0x01);
    const Bytes secondFile = pattern(128, 0x80);
    ASSERT_TRUE(flasher.writeFirmware(first, writeFile("a.bin", firstFile)));
    ASSERT_TRUE(flasher.writeFirmware(second, writeFile("b.bin", secondFile)));

    // Echoes interleaved as two boards answer in the same passes.
    for (uint32_t offset : {0u, 32u}) {
        flasher.verifyFirmwareEcho(first, offset, firstFile.data() + offset, 32);
        flasher.verifyFirmwareEcho(second, offset, secondFile.data() + offset, 32);
        chunkAnswered(first, offset);
        chunkAnswered(second, offset);
    }
    EXPECT_TRUE(repliesWith("firmwareFileVerifyError").empty());
    ASSERT_EQ(replies.size(), 8u);
    for (const Reply& reply : replies) {
        const bool isFirst = reply.port == "/dev/ttyACM0";
        EXPECT_EQ(reply.value["port"].asString(), reply.port);
        const double value = reply.value.isMember("romVerify") ? reply.value["romVerify"].asDouble()
                                                               : reply.value["romWrite"].asDouble();
        // Each board's progress is a share of its own file: 32 or 64 of 70 bytes, of 128 bytes.
        if (isFirst)
            EXPECT_TRUE(std::abs(value - 45.71) < 0.01 || std::abs(value - 91.43) < 0.01) << value;
        else
            EXPECT_TRUE(value == 25.0 || value == 50.0) << value;
    }

    // A failure on one board leaves the other's verification running.
    replies.clear();
    flasher.verifyFirmwareEcho(second, 64, firstFile.data(), 32);
    flasher.verifyFirmwareEcho(first, 64, firstFile.data() + 64, 6 + 26);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].port, "/dev/ttyACM1");
    EXPECT_TRUE(replies[0].value.isMember("firmwareFileVerifyError"));
    EXPECT_EQ(replies[1].port, "/dev/ttyACM0");
    EXPECT_EQ(replies[1].value["romVerify"].asDouble(), 100.0);
    EXPECT_TRUE(flasher.isWriting(first));
}

TEST_F(FirmwareFlasherTest, PathsThatCannotBeFlashedAreReportedByReason)
{
    const std::string missing = (fs::path(directory) / "missing.bin").string();
    const std::string folder = (fs::path(directory) / "folder.bin").string();
    const std::string broken = (fs::path(directory) / "broken.bin").string();
    const std::string fifo = (fs::path(directory) / "fifo.bin").string();
    const std::string link = (fs::path(directory) / "link.bin").string();
    fs::create_directory(folder);
    fs::create_symlink(missing, broken);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink(writeFile("target.bin", pattern(64, 1)), link);
    const struct {
        std::string path;
        const char* reason;
    } cases[] = {
        {missing, "firmwareFileNotFound"},
        {"", "firmwareFileNotFound"},
        {folder + "/inside.bin", "firmwareFileNotFound"},
        // What is there but is no regular file is answered as missing: the reply tells nothing of the host.
        {folder, "firmwareFileNotFound"},
        {broken, "firmwareFileNotFound"},
        // Opening a pipe would block the relay until someone writes to it.
        {fifo, "firmwareFileNotFound"},
        // A link is not followed, even to a readable file: it could lead out of the working directory.
        {link, "firmwareFileNotFound"},
        {"/dev/null", "firmwareFileNotFound"},
    };
    Relay& relay = relayFor("/dev/ttyACM0", 128);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        replies.clear();
        EXPECT_FALSE(flasher.writeFirmware(relay, c.path));
        expectOnlyFailure("/dev/ttyACM0", c.reason, c.path);
        EXPECT_TRUE(log.contains("/dev/ttyACM0: Firmware write not started: no such firmware file in the working "
                                 "directory (" +
                                 c.path + ")"));
        EXPECT_TRUE(relay.outgoing.empty());
        EXPECT_FALSE(flasher.isWriting(relay));
    }
}

TEST_F(FirmwareFlasherTest, AnUnreadableFileCannotBeOpened)
{
    // The folder may be searched, so the file itself is seen but cannot be read.
    fs::permissions(directory, fs::perms::group_exec | fs::perms::others_exec, fs::perm_options::add);
    const std::string path = writeFile("locked.bin", pattern(64, 0));
    fs::permissions(path, fs::perms::none);
    const std::string hidden = (fs::path(directory) / "hidden").string();
    fs::create_directory(hidden);
    const std::string inside = writeFile("hidden/image.bin", pattern(64, 0));
    fs::permissions(hidden, fs::perms::none);

    Relay& relay = relayFor("/dev/ttyACM0", 128);
    // Permissions do not bind root: act as an unprivileged user while the files are tried.
    const uid_t previous = geteuid();
    ASSERT_TRUE(previous != 0 || seteuid(65534) == 0);
    // A file the relay may not read cannot be opened; one in a folder it may not look into is not there for it.
    const std::pair<std::string, const char*> cases[] = {{path, "firmwareFileCantOpen"},
                                                         {inside, "firmwareFileNotFound"}};
    for (const auto& [file, reason] : cases) {
        replies.clear();
        EXPECT_FALSE(flasher.writeFirmware(relay, file));
        expectOnlyFailure("/dev/ttyACM0", reason, file);
    }
    ASSERT_EQ(seteuid(previous), 0);
    EXPECT_TRUE(relay.outgoing.empty());
}

TEST_F(FirmwareFlasherTest, AFileThatShrinksWhileReadIsAReadError)
{
    Relay& relay = relayFor("/dev/ttyACM0", 128);
    ASSERT_TRUE(flasher.writeFirmware(relay, writeFile("good.bin", pattern(64, 9))));
    flasher.cancel(relay);
    relay.outgoing.clear();

    // The file is cut to 40 bytes after its size was taken: the second piece delivers 8 of 32 bytes.
    const std::string path = writeFile("shrinking.bin", pattern(70, 3));
    pieceReader = [&path](std::FILE* file, uint8_t* buffer, size_t count) {
        if (std::ftell(file) == 0)
            fs::resize_file(path, 40);
        return std::fread(buffer, 1, count, file);
    };
    replies.clear();
    EXPECT_FALSE(flasher.writeFirmware(relay, path));
    EXPECT_TRUE(log.contains("Preparing to write 70 bytes to flash"));
    EXPECT_TRUE(log.contains("Error reading firmware file (remaining: 38)"));
    expectOnlyFailure("/dev/ttyACM0", "firmwareFileReadError", path);
    EXPECT_TRUE(relay.outgoing.empty());
    EXPECT_FALSE(flasher.isWriting(relay)) << "no image remains";
}

TEST_F(FirmwareFlasherTest, WholeFlashAgainstTheSimulatedBootloader)
{
    const Bytes file = pattern(1000, 0x5C);
    const std::string path = writeFile("firmware.bin", file);
    const uint32_t chunks = 32;

    Relay& relay = boardRelay("/dev/ttyACM0", SimulatedBoard::Mode::Bootloader);
    relay.flashSizeKiB = 128;
    ASSERT_TRUE(flasher.writeFirmware(relay, path));
    pump(relay);

    SimulatedBoard* board = driver.board("/dev/ttyACM0");
    EXPECT_EQ(board->flashImage(), file);
    EXPECT_TRUE(board->flashFinished());
    // The erase first; per chunk the board acknowledges, then echoes: "romWrite" and "romVerify" alternate,
    // offsets ascending; the finish last, once every chunk was verified.
    ASSERT_EQ(replies.size(), 2 * chunks + 2);
    EXPECT_TRUE(replies.front().value.isMember("romErase"));
    EXPECT_EQ(replies.back().text, R"({"port":"/dev/ttyACM0","romFinish":1})");
    replies.erase(replies.begin());
    EXPECT_TRUE(log.contains("/dev/ttyACM0: Firmware write of " + path + " completed in "));
    for (uint32_t chunk = 0; chunk < chunks; ++chunk) {
        const float expected = std::min(100.0f, static_cast<float>(chunk * 32 + 32) / 1000.0f * 100.0f);
        const std::string value = formatJsonReal(static_cast<double>(expected)) + "}";
        EXPECT_EQ(replies[2 * chunk].text, R"({"port":"/dev/ttyACM0","romWrite":)" + value) << chunk;
        EXPECT_EQ(replies[2 * chunk + 1].text, R"({"port":"/dev/ttyACM0","romVerify":)" + value) << chunk;
    }
    EXPECT_EQ(replies[2 * chunks - 2].text, "{\"port\":\"/dev/ttyACM0\",\"romWrite\":" + formatJsonReal(100.0) + "}");
    EXPECT_EQ(replies[2 * chunks - 1].value["romVerify"].asDouble(), 100.0);
}

TEST_F(FirmwareFlasherTest, WholeFlashWithABadEchoEndsWithoutTheFinish)
{
    const Bytes file = pattern(200, 0x21);
    Relay& relay = boardRelay("/dev/ttyACM0", SimulatedBoard::Mode::Bootloader);
    driver.board("/dev/ttyACM0")->setWrongEcho(64, 2);
    ASSERT_TRUE(flasher.writeFirmware(relay, writeFile("firmware.bin", file)));
    pump(relay);

    char line[80];
    std::snprintf(line, sizeof line, "Verification failed (address: 66) %d != %d", file[66] ^ 0xFF, file[66]);
    EXPECT_TRUE(log.contains(line)) << line;
    EXPECT_EQ(repliesWith("romVerify").size(), 2u) << "offsets 0 and 32 only";
    EXPECT_EQ(repliesWith("firmwareFileVerifyError").size(), 1u);
    EXPECT_EQ(repliesWith("romWrite").size(), 3u) << "the chunks the board took before its bad echo";
    EXPECT_TRUE(repliesWith("romFinish").empty());
    SimulatedBoard* board = driver.board("/dev/ttyACM0");
    EXPECT_EQ(board->countReceived(MT_BOOTLOADER_ROM_WRITE_FINISH), 0u) << "a known-bad image is never finished";
    EXPECT_EQ(board->countReceived(MT_BOOTLOADER_ROM_WRITE_DATA), 3u);
    EXPECT_FALSE(flasher.isWriting(relay));
}

TEST_F(FirmwareFlasherTest, RefusedStartNeedsTheBootloaderAndCullsTheFlash)
{
    Relay& relay = boardRelay("/dev/ttyACM0", SimulatedBoard::Mode::Application);
    ASSERT_TRUE(flasher.writeFirmware(relay, writeFile("70.bin", pattern(70, 0))));
    SerialMessage led;
    led.setType(MT_LED);
    ASSERT_TRUE(queue.enqueue(relay, led));
    pump(relay);

    expectOnlyFailure("/dev/ttyACM0", "firmwareNeedsBootloader", "");
    EXPECT_TRUE(log.contains("Dropped the 5 queued messages of the firmware write"));
    SimulatedBoard* board = driver.board("/dev/ttyACM0");
    ASSERT_EQ(board->received().size(), 2u);
    EXPECT_EQ(board->received()[0].type, MT_BOOTLOADER_ROM_WRITE_START);
    EXPECT_EQ(board->received()[1].type, MT_LED) << "the message behind the flash still leaves";
}

TEST_F(FirmwareFlasherTest, SilentBoardGetsTheFlashCulledAfterTheForcedAck)
{
    Relay& relay = boardRelay("/dev/ttyACM0", SimulatedBoard::Mode::Bootloader);
    driver.board("/dev/ttyACM0")->setSilent(true);
    ASSERT_TRUE(flasher.writeFirmware(relay, writeFile("70.bin", pattern(70, 0))));
    pump(relay, 1100);

    EXPECT_TRUE(log.contains("/dev/ttyACM0: No answer within 1 s to MT_BOOTLOADER_ROM_WRITE_START"));
    EXPECT_TRUE(log.contains("Dropped the 4 queued messages of the firmware write"));
    EXPECT_EQ(driver.board("/dev/ttyACM0")->received().size(), 1u);
    expectOnlyFailure("/dev/ttyACM0", "firmwareFileVerifyError", "no answer within 1 s to the start of the write");
}

TEST_F(FirmwareFlasherTest, OneMebibyteFlashHoldsTheImageOnceAndOneMessagePerChunk)
{
    const size_t size = 1 << 20;
    const Bytes file = pattern(size, 0x77);
    Relay& relay = relayFor("/dev/ttyACM0", 2048);
    ASSERT_TRUE(flasher.writeFirmware(relay, writeFile("big.bin", file)));

    ASSERT_EQ(relay.outgoing.size(), 2 + size / 32);
    EXPECT_EQ(image(relay).bytes, file);
    const size_t held = relay.outgoing.size() * sizeof(SerialMessage) + image(relay).bytes.capacity();
    EXPECT_LE(held, size_t{6} << 20) << held << " bytes queued and loaded";
    // The last chunk carries the last bytes of the file.
    const SerialMessage& last = relay.outgoing[relay.outgoing.size() - 2];
    EXPECT_EQ(readU32(last.payload()), size - 32);
    EXPECT_EQ(Bytes(last.payload() + 4, last.payload() + 36), Bytes(file.end() - 32, file.end()));
}

} // namespace
