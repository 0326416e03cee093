#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "device/message_type.h"
#include "support/log_capture.h"
#include "support/relay_parts.h"

namespace {

class ReplyTranslatorTest : public ::testing::Test {
protected:
    ReplyTranslatorTest() : relay(parts.bind("ttyACM0", parts.editor)) {}

    std::vector<std::string> translate(uint16_t type, const std::string& payloadHex, int lengthField = -1)
    {
        parts.deliver("ttyACM0", type, bytesOfHex(payloadHex), lengthField);
        parts.answerBoardMessages();
        EXPECT_TRUE(parts.ports.deviceInbox.empty());
        return parts.takeReplies(parts.editor);
    }

    Json::Value parse(const std::string& text)
    {
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value value;
        std::string errors;
        EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << errors;
        return value;
    }

    RelayParts parts;
    Relay& relay;
};

struct ReplyCase {
    uint16_t type;
    const char* payload;
    int lengthField; // -1: the payload's own length
    const char* reply;
    std::vector<std::string> missing; // "message.field" of each missing-field warning
};

TEST_F(ReplyTranslatorTest, MessageTableReplies)
{
    const std::vector<ReplyCase> cases = {
        {MT_BOOTLOADER_ROM_WRITE_START, "00080000", -1, R"({"port":"ttyACM0","romErase":2048})", {}},
        {MT_BOOTLOADER_ROM_WRITE_START,
         "",
         -1,
         R"({"port":"ttyACM0","romErase":0})",
         {"bootloader_rom_write_start.numBytesToErase"}},
        {MT_BOOTLOADER_ROM_WRITE_FINISH, "00", -1, R"({"port":"ttyACM0","romFinish":1})", {}},
        {MT_BOOTLOADER_ROM_WRITE_FINISH,
         "",
         -1,
         R"({"port":"ttyACM0","romFinish":1})",
         {"bootloader_rom_write_finish.flags"}},
        {MT_REQUEST_BOOTLOADER,
         "0104",
         -1,
         R"({"port":"ttyACM0","requestBootloaderStatus":1,"requestUSBConfigStatus":4})",
         {}},
        {MT_REQUEST_BOOTLOADER,
         "01",
         -1,
         R"({"port":"ttyACM0","requestBootloaderStatus":1,"requestUSBConfigStatus":0})",
         {"request_bootloader.usbConfigFlags"}},
        {MT_CONFIG_COMMIT,
         "0300FFFFFFFF",
         -1,
         R"({"configCommit":{"memorySize":4294967295,"nodeCount":3},"portName":"ttyACM0"})",
         {}},
        {MT_CONFIG_COMMIT,
         "030010",
         -1,
         R"({"configCommit":{"memorySize":0,"nodeCount":3},"portName":"ttyACM0"})",
         {"config_commit.memorySize"}},
        {MT_CONFIG_UPLOAD_PROGRESS, "3200", -1, R"({"port":"ttyACM0","uploadProgress":50})", {}},
        {MT_EXPORT_CONFIG, "07", -1, R"({"exportConfig":{"flags":7},"portName":"ttyACM0"})", {}},
        {MT_EXPORT_COMMIT, "0500", -1, R"({"exportCommit":{"nodeCount":5},"portName":"ttyACM0"})", {}},
        {MT_EXPORT_COMMIT,
         "",
         -1,
         R"({"exportCommit":{"nodeCount":0},"portName":"ttyACM0"})",
         {"export_commit.nodeCount"}},
        {MT_LOOPTIME,
         "6400 0300 00000100",
         -1,
         R"({"looptime":100,"memorysize":65536,"nodecount":3,"port":"ttyACM0"})",
         {}},
        {MT_LOOPTIME,
         "6400",
         -1,
         R"({"looptime":100,"memorysize":0,"nodecount":0,"port":"ttyACM0"})",
         {"looptime.nodeCount", "looptime.memorySize"}},
        {MT_LIVE_VALUE,
         "0201 00 0000C03F",
         -1,
         R"({"liveValue":{"id":258,"type":0,"value":1.5},"port":"ttyACM0"})",
         {}},
        {MT_LIVE_VALUE, "0201 02 FFFFFFFF", -1, R"({"liveValue":{"id":258,"type":2,"value":-1},"port":"ttyACM0"})", {}},
        {MT_LIVE_VALUE,
         "0201 01 10203000",
         -1,
         R"({"liveValue":{"id":258,"type":1,"value":"#102030"},"port":"ttyACM0"})",
         {}},
        {MT_LIVE_VALUE,
         "0201 09 0000C03F",
         -1,
         R"({"liveValue":{"id":258,"type":9,"value":1.5},"port":"ttyACM0"})",
         {}},
        // A length field that ends after the id: the bytes that follow in the buffer are not the message.
        {MT_LIVE_VALUE,
         "0201 02 FFFFFFFF",
         6,
         R"({"liveValue":{"id":258,"type":0,"value":0.0},"port":"ttyACM0"})",
         {"live_value.type", "live_value.value"}},
    };
    for (const ReplyCase& c : cases) {
        SCOPED_TRACE(std::string(messageTypeName(c.type)) + " " + c.payload);
        LogCapture capture;
        EXPECT_EQ(translate(c.type, c.payload, c.lengthField), std::vector<std::string>{c.reply});
        std::vector<std::string> missing;
        for (const std::string& text : capture.texts()) {
            const std::string prefix = "Missing fields in message: ";
            if (text.rfind(prefix, 0) == 0)
                missing.push_back(text.substr(prefix.size()));
        }
        EXPECT_EQ(missing, c.missing);
    }
}

TEST_F(ReplyTranslatorTest, VersionReplyLogsAndStoresTheFlashSize)
{
    LogCapture capture(static_cast<int>(LogLevel::INFO));
    const std::vector<std::string> replies =
        translate(MT_VERSION, "01 04 02 00  30640110  CDAB1200 00000000 FFFFFFFF  8000 00");
    EXPECT_EQ(replies,
              std::vector<std::string>{
                  R"({"flags":0,"flashsize":128,"idcode":268526640,"portName":"ttyACM0",)"
                  R"("serial":"0012ABCD00000000FFFFFFFF","versionMajor":1,"versionMinor":4,"versionPatch":2})"});
    const std::vector<std::string> expectedLog = {
        "Device on port ttyACM0",
        "  vantrel v1.4.2",
        "  MCU id: 0x10016430",
        "  Flash size: 128",
        "  Serial: 0012ABCD 00000000 FFFFFFFF",
        "ttyACM0: vantrel v1.4.2, serial 0012ABCD00000000FFFFFFFF, flash 128 KiB"};
    EXPECT_EQ(capture.texts(), expectedLog);
    EXPECT_EQ(relay.flashSizeKiB, 128);
}

TEST_F(ReplyTranslatorTest, VersionOfTheBootloaderWithoutMcuId)
{
    LogCapture capture(static_cast<int>(LogLevel::INFO));
    const std::vector<std::string> replies =
        translate(MT_VERSION, "02 00 07 01  00000000  01000000 02000000 03000000  4000 00");
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(parse(replies[0])["serial"].asString(), "000000010000000200000003");
    const std::vector<std::string> expectedLog = {
        "Device on port ttyACM0", "  vantrel bootloader v2.0.7", "  Flash size: 64",
        "  Serial: 00000001 00000002 00000003",
        "ttyACM0: vantrel bootloader v2.0.7, serial 000000010000000200000003, flash 64 KiB"};
    EXPECT_EQ(capture.texts(), expectedLog);
}

TEST_F(ReplyTranslatorTest, VersionWithLengthEightReportsEachMissingField)
{
    relay.flashSizeKiB = 128;
    LogCapture capture;
    // The buffer holds a whole version after the length field: none of it may be read.
    const std::vector<std::string> replies =
        translate(MT_VERSION, "01 04 02 01  30640110  CDAB1200 00000000 FFFFFFFF  8000 00", 8);
    EXPECT_EQ(replies,
              std::vector<std::string>{
                  R"({"flags":1,"flashsize":0,"idcode":0,"portName":"ttyACM0",)"
                  R"("serial":"000000000000000000000000","versionMajor":1,"versionMinor":4,"versionPatch":2})"});
    for (const char* field : {"idcode", "serial0", "serial1", "serial2", "flashSize"})
        EXPECT_TRUE(capture.contains(std::string("Missing fields in message: version.") + field)) << field;
    EXPECT_FALSE(capture.contains("MCU id"));
    EXPECT_EQ(relay.flashSizeKiB, 0);
}

TEST_F(ReplyTranslatorTest, CapabilitiesReportKnownAndUsableNodeTypes)
{
    LogCapture capture;
    EXPECT_EQ(translate(MT_CAPABILITIES, "0300 03 01 02"),
              std::vector<std::string>{
                  R"({"capabilities":{"knownNodes":["digitalin"],"usableNodes":["analogin"]},"portName":"ttyACM0"})"});
    EXPECT_TRUE(capture.contains("MT_CAPABILITIES payloadSize = 9"));
    EXPECT_TRUE(capture.contains("MT_CAPABILITIES numNodes = 3"));
    EXPECT_FALSE(capture.contains("exceeds"));

    EXPECT_EQ(translate(MT_CAPABILITIES, "0000"),
              std::vector<std::string>{R"({"capabilities":{"knownNodes":[],"usableNodes":[]},"portName":"ttyACM0"})"});
}

TEST_F(ReplyTranslatorTest, CapabilitiesReadOnlyTheEntriesTheMessageHolds)
{
    LogCapture capture;
    // numNodes 200 but only three flag bytes; the zeros behind them in the buffer are not part of the message.
    std::string payload = "C800 03 03 03";
    EXPECT_EQ(translate(MT_CAPABILITIES, payload + std::string(40, 'F'), 9),
              std::vector<std::string>{R"({"capabilities":{"knownNodes":["digitalin","analogin"],)"
                                       R"("usableNodes":["digitalin","analogin"]},"portName":"ttyACM0"})"});
    EXPECT_TRUE(capture.contains("MT_CAPABILITIES numNodes = 200"));
    EXPECT_TRUE(capture.contains("A MT_CAPABILITIES reply announces 200 nodes but holds 3"));
}

TEST_F(ReplyTranslatorTest, CapabilitiesLongerThanOneSerialMessage)
{
    // 300 node type ids, every one known only: ids without converter are named by the registry's text.
    std::string payload = "2C01";
    for (int id = 0; id < 300; ++id)
        payload += "01";
    const std::vector<std::string> replies = translate(MT_CAPABILITIES, payload);
    ASSERT_EQ(replies.size(), 1u);
    const Json::Value capabilities = parse(replies[0])["capabilities"];
    ASSERT_EQ(capabilities["knownNodes"].size(), 299u);
    EXPECT_EQ(capabilities["knownNodes"][1].asString(), "analogin");
    EXPECT_EQ(capabilities["knownNodes"][298].asString(), "Don't know JS name for node type: 299");
    EXPECT_EQ(capabilities["usableNodes"].size(), 0u);
}

TEST_F(ReplyTranslatorTest, ConfigDumpNamesEveryNode)
{
    LogCapture capture;
    EXPECT_EQ(translate(MT_CONFIG_DUMP, "0000"),
              std::vector<std::string>{R"({"configDump":{"nodes":[]},"portName":"ttyACM0"})"});
    EXPECT_TRUE(capture.contains("MT_CONFIG_DUMP payloadSize = 6"));
    EXPECT_TRUE(capture.contains("MT_CONFIG_DUMP numNodes = 0"));

    EXPECT_EQ(translate(MT_CONFIG_DUMP, "0300 0200 1200 6300"),
              std::vector<std::string>{R"({"configDump":{"nodes":[{"type":"analogin"},{"type":"constant"},)"
                                       R"({"type":"Don't know JS name for node type: 99"}]},"portName":"ttyACM0"})"});

    // Five declared, one and a half held.
    capture.clear();
    EXPECT_EQ(translate(MT_CONFIG_DUMP, "0500 1200 02"),
              std::vector<std::string>{R"({"configDump":{"nodes":[{"type":"constant"}]},"portName":"ttyACM0"})"});
    EXPECT_TRUE(capture.contains("A MT_CONFIG_DUMP reply announces 5 nodes but holds 1"));

    // A count and an id past one byte.
    std::string many = "2C01";
    for (int i = 0; i < 299; ++i)
        many += "0200";
    const std::vector<std::string> large = translate(MT_CONFIG_DUMP, many + "0201");
    ASSERT_EQ(large.size(), 1u);
    const Json::Value nodes = parse(large[0])["configDump"]["nodes"];
    ASSERT_EQ(nodes.size(), 300u);
    EXPECT_EQ(nodes[298]["type"].asString(), "analogin");
    EXPECT_EQ(nodes[299]["type"].asString(), "Don't know JS name for node type: 258");

    capture.clear();
    EXPECT_EQ(translate(MT_CONFIG_DUMP, ""),
              std::vector<std::string>{R"({"configDump":{"nodes":[]},"portName":"ttyACM0"})"});
    EXPECT_TRUE(capture.contains("Missing fields in message: config_dump.numNodes"));
}

TEST_F(ReplyTranslatorTest, NodeAndFeatureRecordsAreExported)
{
    // A constant node: spare, id 258, x -5, y 300, colour kind, #FF8000.
    EXPECT_EQ(
        translate(MT_NODE_CONSTANT, "00 0201 FBFF 2C01 01 FF800000"),
        std::vector<std::string>{R"({"exportNode":{"id":258,"pos":{"x":-5,"y":300},)"
                                 R"("properties":{"prop_value":"#FF8000"},"type":"constant"},"port":"ttyACM0"})"});

    EXPECT_EQ(translate(MT_CONFIG_UARTLOG_OUTPUT, "01 02 05"),
              std::vector<std::string>{R"({"exportFeature":{"baud":2,"feature":"uartlog","frequency":5,"type":1},)"
                                       R"("port":"ttyACM0"})"});

    // A short feature record is still exported.
    LogCapture capture;
    EXPECT_EQ(translate(MT_CONFIG_UARTLOG_OUTPUT, "01 02"),
              std::vector<std::string>{R"({"exportFeature":{"baud":2,"feature":"uartlog",)"
                                       R"("missingPropertiesFoundOnly":2,"type":1},"port":"ttyACM0"})"});
    EXPECT_TRUE(capture.contains("Missing fields in message: config_uartlog_output.freq"));
}

} // namespace
