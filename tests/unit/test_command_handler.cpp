#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "device/message_type.h"
#include "support/log_capture.h"
#include "support/relay_parts.h"
#include "support/scoped_working_directory.h"
#include "test_node_conversion_support.h"

namespace {

// "MT_NAME HEX" of a queued message: its payload up to the type's fixed size. Bytes beyond it must be zero and the
// length field is left for the sender.
std::string describe(const SerialMessage& message)
{
    const uint16_t size = getPayloadSizeFromMessageType(message.type());
    for (size_t i = 4 + size; i < SerialMessage::size; ++i) {
        if (message.bytes[i] != 0)
            return std::string("non-zero byte beyond the payload of ") + messageTypeName(message.type());
    }
    if (message.length() != 0)
        return "length field filled in before sending";
    return std::string(messageTypeName(message.type())) + " " + hexOfBytes(message.payload(), size);
}

class CommandHandlerTest : public ::testing::Test {
protected:
    // The messages that one payload queues on ttyACM0, described.
    std::vector<std::string> queuedFor(const std::string& payload)
    {
        parts.command(R"({"port":"ttyACM0","payload":)" + payload + "}");
        std::vector<std::string> described;
        if (Relay* relay = parts.relay("ttyACM0")) {
            for (const SerialMessage& message : relay->outgoing)
                described.push_back(describe(message));
            relay->outgoing.clear();
        }
        return described;
    }

    RelayParts parts;
};

struct PayloadCase {
    const char* payload;
    const char* logLine; // "" when the command logs nothing of its own
    std::vector<std::string> queued;
};

TEST_F(CommandHandlerTest, EveryPayloadCommandQueuesItsBytes)
{
    const std::string zeros23(46, '0');
    const std::vector<PayloadCase> cases = {
        {R"({"ledtoggle":1})", "Doing led toggle", {"MT_LED 00"}},
        {R"({"getVersion":true})",
         "Doing version request",
         {"MT_VERSION " + zeros23, "MT_CAPABILITIES 00", "MT_REQUEST_BOOTLOADER FFFF"}},
        {R"({"tweak":5,"index":2,"number":1.5})", "Doing number tweak", {"MT_TWEAK 050002000000C03F"}},
        {R"({"tweak":5,"index":2,"color":"#FF8000"})", "Doing color tweak", {"MT_TWEAK 05000202FF800000"}},
        {R"({"tweak":70000,"index":300,"number":-2})", "Doing number tweak", {"MT_TWEAK 70112C00000000C0"}},
        {R"({"tweak":5,"number":"2.5"})", "Doing number tweak", {"MT_TWEAK 0500000000000000"}},
        {R"({"tweak":5,"number":1,"color":"#FFFFFF"})", "Doing number tweak", {"MT_TWEAK 050000000000803F"}},
        {R"({"resetConfig":true})", "Doing config reset request", {"MT_CONFIG_RESET 01"}},
        {R"({"resetConfig":0})", "Doing config reset request", {"MT_CONFIG_RESET 00"}},
        {R"({"resetConfig":"no"})", "Doing config reset request", {"MT_CONFIG_RESET 01"}},
        {R"({"commitConfig":1})", "Doing config commit request", {"MT_CONFIG_COMMIT 000000000000"}},
        {R"({"configDump":1})", "Doing config dump request", {"MT_CONFIG_DUMP 00"}},
        {R"({"exportConfig":3})", "Doing config export request", {"MT_EXPORT_CONFIG 03"}},
        {R"({"exportConfig":3.0})", "Doing config export request", {"MT_EXPORT_CONFIG 00"}},
        {R"({"looptime":1})", "Doing looptime request", {"MT_LOOPTIME 0000000000000000"}},
        {R"({"pause":true})", "Doing pause request", {"MT_PAUSE 01"}},
        {R"({"pause":false})", "Doing pause request", {"MT_PAUSE 00"}},
        {R"({"pause":2.7})", "Doing pause request", {"MT_PAUSE 02"}},
        {R"({"pause":null})", "Doing pause request", {"MT_PAUSE 00"}},
        {R"({"pause":"yes"})", "Doing pause request", {"MT_PAUSE 00"}},
        {R"({"singleStep":1})", "Doing single step request", {"MT_SINGLE_STEP 01"}},
        {R"({"singleStep":1,"step":5})", "Doing single step request", {"MT_SINGLE_STEP 05"}},
        {R"({"singleStep":1,"step":300})", "Doing single step request", {"MT_SINGLE_STEP 2C"}},
        {R"({"singleStep":1,"step":-1})", "Doing single step request", {"MT_SINGLE_STEP 01"}},
        {R"({"singleStep":1,"step":-0.5})", "Doing single step request", {"MT_SINGLE_STEP 01"}},
        {R"({"liveValue":{"id":258,"flags":3}})", "Doing liveValue request", {"MT_SET_LIVE_VALUE 020103"}},
        {R"({"liveValue":{"id":65537}})", "Doing liveValue request", {"MT_SET_LIVE_VALUE 010000"}},
        {R"({"request_bootloader":{"bootloaderType":"bootloader","usbConfigType":"cdc"}})",
         "Doing request_bootloader",
         {"MT_REQUEST_BOOTLOADER 0101"}},
        {R"({"request_bootloader":{"bootloaderType":"app","usbConfigType":"gp"}})",
         "Doing request_bootloader",
         {"MT_REQUEST_BOOTLOADER 0002"}},
        {R"({"request_bootloader":{"bootloaderType":"Bootloader","usbConfigType":"cdc_gp"}})",
         "Doing request_bootloader",
         {"MT_REQUEST_BOOTLOADER FF03"}},
        {R"({"request_bootloader":{"usbConfigType":"midi"}})",
         "Doing request_bootloader",
         {"MT_REQUEST_BOOTLOADER FF04"}},
        {R"({"request_bootloader":{"bootloaderType":1,"usbConfigType":"cdc_midi"}})",
         "Doing request_bootloader",
         {"MT_REQUEST_BOOTLOADER FF05"}},
        {R"({"request_bootloader":{"usbConfigType":"CDC"}})",
         "Doing request_bootloader",
         {"MT_REQUEST_BOOTLOADER FFFF"}},
        {R"({"bl_rom_write_start":{"bytes":70}})",
         "Doing bl_rom_write_start request",
         {"MT_BOOTLOADER_ROM_WRITE_START 46000000"}},
        {R"({"bl_rom_write_start":{"bytes":-1}})",
         "Doing bl_rom_write_start request",
         {"MT_BOOTLOADER_ROM_WRITE_START FFFFFFFF"}},
        {R"({"bl_rom_write_start":{"bytes":70.0}})",
         "Doing bl_rom_write_start request",
         {"MT_BOOTLOADER_ROM_WRITE_START 00000000"}},
        {R"({"bl_rom_write_finish":1})", "Doing bl_rom_write_finish request", {"MT_BOOTLOADER_ROM_WRITE_FINISH 00"}},
        {R"({"setFeature":{"feature":"uartlog","type":1}})", "Setting feature", {"MT_CONFIG_UARTLOG_OUTPUT 010005"}},
        {R"({"setFeature":{"feature":"nosuchfeature","type":1}})", "Setting feature", {}},
        {R"({"setFeature":"uartlog"})", "Setting feature", {}},
        // The first command member of the table wins, whatever the order in the text.
        {R"({"getVersion":1,"addNode":{"id":1,"type":"constant"}})",
         "Adding node",
         {"MT_NODE_CONSTANT 000100000000000000000000"}},
        {R"({"looptime":1,"ledtoggle":1})", "Doing led toggle", {"MT_LED 00"}},
    };
    for (const PayloadCase& c : cases) {
        SCOPED_TRACE(c.payload);
        LogCapture capture;
        EXPECT_EQ(queuedFor(c.payload), c.queued);
        if (*c.logLine != '\0') {
            EXPECT_TRUE(capture.contains(c.logLine));
        }
        EXPECT_FALSE(capture.contains("names no board command"));
    }
}

TEST_F(CommandHandlerTest, DroppedCommandsQueueNothing)
{
    const std::vector<const char*> payloads = {
        R"({"tweak":5.0,"index":2,"number":1.5})", // a real is no integer for the node id
        R"({"tweak":5,"index":2})", // neither number nor colour
        R"({"tweak":0,"number":1})",
        R"({"tweak":-3,"number":1})",
        R"({"tweak":5,"index":-1,"number":1})",
        R"({"tweak":"5","number":1})",
        R"({"addNode":{"id":0,"type":"constant"}})",
        R"({"addNode":{"id":65536,"type":"constant"}})",
        R"({"addNode":{"id":7,"type":"nosuchtype"}})",
        R"({"addNode":{"id":7}})",
        R"({"addNode":[1,2]})",
    };
    for (const char* payload : payloads) {
        SCOPED_TRACE(payload);
        LogCapture capture;
        EXPECT_TRUE(queuedFor(payload).empty());
        EXPECT_FALSE(capture.contains("names no board command"));
        EXPECT_FALSE(capture.contains("Doing number tweak") || capture.contains("Doing color tweak"))
            << "dropped tweaks log nothing";
    }
}

TEST_F(CommandHandlerTest, LiveValueWithoutNodeIdWarns)
{
    for (const char* payload :
         {R"({"liveValue":{"id":65536}})", R"({"liveValue":{}})", R"({"liveValue":{"id":2.0}})"}) {
        SCOPED_TRACE(payload);
        LogCapture capture;
        EXPECT_TRUE(queuedFor(payload).empty());
        EXPECT_TRUE(capture.contains("Ignoring live value request, invalid node id"));
    }
}

TEST_F(CommandHandlerTest, AddNodeWritesTheHeaderFromIdAndEditorPosition)
{
    struct Case {
        const char* node;
        const char* header; // spare, id, x, y
    };
    const std::vector<Case> cases = {
        {R"({"id":258,"type":"constant","editorPos":{"x":-5,"y":300}})", "000201FBFF2C01"},
        {R"({"id":258,"type":"constant"})", "00020100000000"},
        {R"({"id":258,"type":"constant","editorPos":null})", "00020100000000"},
        {R"({"id":258.9,"type":"constant","editorPos":{"x":1.9,"y":"7"}})", "00020101000000"},
        {R"({"id":65537,"type":"constant","editorPos":{"x":65535,"y":-32769}})", "000100FFFFFF7F"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.node);
        const std::vector<std::string> queued = queuedFor(std::string(R"({"addNode":)") + c.node + "}");
        ASSERT_EQ(queued.size(), 1u);
        EXPECT_EQ(queued[0].substr(0, 17 + 14), std::string("MT_NODE_CONSTANT ") + c.header);
    }
}

TEST_F(CommandHandlerTest, AddNodeEncodesTheProperties)
{
    // Kind 1 (colour) and the packed colour; then a number 3.
    EXPECT_EQ(queuedFor(R"({"addNode":{"id":1,"type":"constant","properties":{"prop_value":"#FF0000"}}})"),
              std::vector<std::string>{"MT_NODE_CONSTANT 00010000000000"
                                       "01FF000000"});
    EXPECT_EQ(queuedFor(R"({"addNode":{"id":1,"type":"constant","properties":{"prop_value":3}}})"),
              std::vector<std::string>{"MT_NODE_CONSTANT 00010000000000"
                                       "0000004040"});
}

TEST_F(CommandHandlerTest, PayloadWithoutKnownCommandWarns)
{
    const std::vector<std::string> commands = {
        R"({"port":"ttyACM0","payload":{"nothing":1}})",
        R"({"port":"ttyACM0","payload":{}})",
        R"({"port":"ttyACM0","payload":[{"ledtoggle":1}]})",
        R"({"port":"ttyACM0","payload":"ledtoggle"})",
        R"({"port":"ttyACM0"})",
    };
    for (const std::string& command : commands) {
        SCOPED_TRACE(command);
        LogCapture capture;
        parts.command(command);
        EXPECT_TRUE(capture.contains("The command names no board command the relay knows"));
        EXPECT_TRUE(parts.queuedTypes("ttyACM0").empty());
    }
}

TEST_F(CommandHandlerTest, MessagesWithoutCommandAreIgnoredSilently)
{
    for (const char* text : {R"({"nothing":1})", "[1,2]", "42", R"("port")", "null"}) {
        SCOPED_TRACE(text);
        LogCapture capture;
        parts.command(text);
        EXPECT_FALSE(capture.contains("names no board command"));
        EXPECT_FALSE(capture.contains("Dropping command"));
        EXPECT_EQ(parts.relays.size(), 0u);
        EXPECT_TRUE(parts.replies(parts.editor).empty());
    }
}

TEST_F(CommandHandlerTest, FirmwareFileListRefreshWinsOverPort)
{
    LogCapture capture;
    parts.command(R"({"firmware_file_list_refresh":0,"port":"ttyACM0","payload":{"ledtoggle":1}})");
    const std::vector<std::string> replies = parts.replies(parts.editor);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].rfind(R"({"firmwareFilesList":[)", 0), 0u) << replies[0];
    EXPECT_TRUE(capture.contains("Doing firmware_file_list_refresh request"));
    EXPECT_EQ(parts.relay("ttyACM0"), nullptr);
    EXPECT_TRUE(parts.ports.openPorts().empty());
}

TEST_F(CommandHandlerTest, FirmwareFileListRefreshesAreAnsweredAtMostFourTimesASecond)
{
    const ScopedWorkingDirectory folder;
    const std::string refresh = R"({"firmware_file_list_refresh":1})";
    parts.command(refresh);
    ASSERT_EQ(parts.takeReplies(parts.editor).size(), 1u) << "the first refresh is answered at once";
    // A flood within the interval is held; another editor is answered as ever.
    for (int i = 0; i < 1000; ++i)
        parts.command(refresh);
    parts.command(refresh, parts.otherEditor);
    EXPECT_TRUE(parts.takeReplies(parts.editor).empty());
    EXPECT_EQ(parts.takeReplies(parts.otherEditor).size(), 1u);
    const uint64_t due = parts.core.nextDueMs();
    EXPECT_EQ(due, parts.clock.nowMs() + 250) << "the loop wakes when the held refresh is due";

    // Held requests are answered once, with the list as it is when the interval ends.
    std::ofstream("late.bin") << "image";
    parts.clock.advance(249);
    parts.core.readBoards();
    EXPECT_TRUE(parts.takeReplies(parts.editor).empty());
    parts.clock.advance(1);
    parts.core.readBoards();
    EXPECT_EQ(parts.takeReplies(parts.editor),
              std::vector<std::string>{R"({"firmwareFilesList":[{"name":"late.bin","size":5}]})"});
    parts.clock.advance(1000);
    parts.core.readBoards();
    EXPECT_TRUE(parts.takeReplies(parts.editor).empty()) << "the flood is answered once";

    // A held request of an editor that leaves is dropped with it.
    parts.command(refresh, parts.otherEditor);
    parts.command(refresh, parts.otherEditor);
    parts.sessions.closed(parts.otherEditor);
    EXPECT_EQ(parts.core.commandHandler().nextDueMs(), UINT64_MAX);
    parts.sessions.established(parts.otherEditor, nullptr);
    std::remove("late.bin");
}

TEST_F(CommandHandlerTest, AutoRefreshPortsFollowsTheBooleanConversion)
{
    struct Case {
        const char* value;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"false", false}, {"0", false},   {"null", false}, {"\"\"", false},  {"[]", false}, {"{}", false},
        {"0.0", false},   {"true", true}, {"1", true},     {"\"no\"", true}, {"[0]", true}, {"-1", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        parts.ports.autoRefreshPorts = !c.expected;
        parts.takeReplies(parts.editor);
        parts.command(std::string(R"({"set_auto_refresh_ports":)") + c.value + R"(,"port":"ttyACM0"})");
        EXPECT_EQ(parts.ports.autoRefreshPorts, c.expected);
        EXPECT_EQ(parts.replies(parts.editor), std::vector<std::string>{std::string(R"({"autoRefreshPorts":)") +
                                                                        (c.expected ? "true" : "false") + "}"});
        EXPECT_EQ(parts.relay("ttyACM0"), nullptr) << "the refresh setting is no board command";
    }
}

TEST_F(CommandHandlerTest, BoardCommandBindsTheRelayToTheLastConnection)
{
    parts.command(R"({"port":"ttyACM0","payload":{"ledtoggle":1}})", parts.editor);
    ASSERT_NE(parts.relay("ttyACM0"), nullptr);
    EXPECT_EQ(parts.relay("ttyACM0")->editor, parts.editor.id);
    EXPECT_EQ(parts.relay("ttyACM0")->port, parts.ports.findOpenPort("ttyACM0"));

    // Even a command that queues nothing moves the relay.
    parts.command(R"({"port":"ttyACM0","payload":{"nothing":1}})", parts.otherEditor);
    EXPECT_EQ(parts.relay("ttyACM0")->editor, parts.otherEditor.id);
    EXPECT_EQ(parts.relays.size(), 1u);
}

TEST_F(CommandHandlerTest, PortThatCannotBeOpenedStillRebindsItsRelay)
{
    Relay& stale = parts.relays.bindRelay("ttyGONE", nullptr, parts.editor.id);
    LogCapture capture;
    parts.command(R"({"port":"ttyGONE","payload":{"getVersion":1}})", parts.otherEditor);
    EXPECT_EQ(stale.editor, parts.otherEditor.id);
    EXPECT_TRUE(stale.outgoing.empty());
    EXPECT_TRUE(capture.contains("Could not find port ttyGONE"));
    EXPECT_TRUE(capture.contains("Doing version request")) << "the command's line is still logged";

    // A name that never had a relay gets none: it could carry nothing.
    parts.command(R"({"port":"ttyNONE","payload":{"getVersion":1}})", parts.otherEditor);
    EXPECT_EQ(parts.relay("ttyNONE"), nullptr);
}

TEST_F(CommandHandlerTest, PortThatFailsToOpenQueuesNothing)
{
    parts.driver.setOpenFails("ttyACM0", true);
    LogCapture capture;
    for (const char* payload : {R"({"ledtoggle":1})", R"({"tweak":5,"number":1})", R"({"liveValue":{"id":1}})",
                                R"({"addNode":{"id":1,"type":"constant"}})", R"({"write_firmware":{"file":"x.bin"}})"})
        EXPECT_TRUE(queuedFor(payload).empty()) << payload;
    EXPECT_TRUE(capture.contains("Could not open port ttyACM0"));
    EXPECT_FALSE(capture.contains("Doing number tweak")) << "a tweak without port logs nothing";
    EXPECT_FALSE(capture.contains("firmwareFile")) << "no firmware write is started without a port";
}

TEST_F(CommandHandlerTest, ACommandThatCannotReachItsBoardIsAnsweredWithTheReason)
{
    struct Case {
        const char* port;
        int openError;
        const char* reason;
        const char* words;
    } cases[] = {
        {"ttyNONE", 0, "not listed", "choose one of the listed ports"},
        {"ttyACM0", EACCES, "permission", "add the relay's user to the dialout group"},
        {"ttyACM0", EBUSY, "busy", "another program holds the port"},
        {"ttyACM0", ENODEV, "gone", "plug it in again"},
        {"ttyACM0", EINVAL, "cannot open", "the port cannot be opened: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        parts.driver.setOpenError("ttyACM0", c.openError);
        parts.takeReplies(parts.editor);
        parts.command(std::string(R"({"port":")") + c.port + R"(","payload":{"getVersion":1}})");
        const std::vector<std::string> replies = parts.takeReplies(parts.editor);
        ASSERT_EQ(replies.size(), 1u);
        const Json::Value reply = conversion_test::parseJson(replies[0]);
        EXPECT_EQ(reply["port"].asString(), c.port);
        EXPECT_EQ(reply["portError"]["reason"].asString(), c.reason);
        EXPECT_NE(reply["portError"]["text"].asString().find(c.words), std::string::npos) << replies[0];
    }
    // A full queue takes no more: the editor hears so instead of a silent drop.
    parts.driver.setOpenError("ttyACM0", 0);
    Relay& relay = parts.bind("ttyACM0", parts.editor);
    relay.outgoing.resize(OutgoingQueue::maxQueuedPerRelay);
    parts.takeReplies(parts.editor);
    parts.command(R"({"port":"ttyACM0","payload":{"looptime":1}})");
    const std::vector<std::string> full = parts.takeReplies(parts.editor);
    ASSERT_EQ(full.size(), 1u);
    EXPECT_EQ(conversion_test::parseJson(full[0])["portError"]["reason"].asString(), "queue full");
    relay.outgoing.clear();
}

TEST_F(CommandHandlerTest, CommandsThatChangeTheBoardAreLoggedForTheOperator)
{
    struct Case {
        const char* payload;
        const char* line;
    } cases[] = {
        {R"({"addNode":{"id":5,"type":"constant"}})", "ttyACM0: node 5 (constant) added or replaced by editor "},
        {R"({"setFeature":{"feature":"display"}})", "ttyACM0: feature display set by editor "},
        {R"({"commitConfig":1})", "ttyACM0: configuration committed by editor "},
        {R"({"resetConfig":1})", "ttyACM0: configuration reset by editor "},
        {R"({"request_bootloader":{"bootloaderType":"bootloader"}})", "ttyACM0: switch to the bootloader asked by "},
        {R"({"request_bootloader":{"bootloaderType":"app"}})", "ttyACM0: switch to the application asked by "},
        {R"({"looptime":1})", nullptr},
        {R"({"request_bootloader":{}})", nullptr},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        queuedFor(c.payload);
        if (c.line != nullptr)
            EXPECT_TRUE(capture.contains(c.line)) << c.payload;
        else
            EXPECT_FALSE(capture.contains(" by editor ")) << c.payload;
    }
}

TEST_F(CommandHandlerTest, LedToggleWithoutPortNeverReachesAnotherPortlessRelay)
{
    Relay& portless = parts.relays.bindRelay("ttyOLD", nullptr, parts.editor.id);
    parts.command(R"({"port":"ttyNONE","payload":{"ledtoggle":1}})");
    EXPECT_TRUE(portless.outgoing.empty());
    EXPECT_EQ(parts.relay("ttyNONE"), nullptr);
}

TEST_F(CommandHandlerTest, WriteFirmwareHandsTheFileToTheFlasher)
{
    LogCapture capture;
    parts.command(R"({"port":"ttyACM0","payload":{"write_firmware":{"file":"no such firmware.bin"}}})");
    EXPECT_TRUE(capture.contains("Doing write_firmware request"));
    EXPECT_TRUE(capture.contains("write_firmware file: no such firmware.bin"));
    EXPECT_EQ(parts.replies(parts.editor),
              std::vector<std::string>{R"({"firmwareFileNotFound":"no such firmware.bin","port":"ttyACM0"})"});
    EXPECT_TRUE(parts.queuedTypes("ttyACM0").empty());
}

TEST_F(CommandHandlerTest, WriteFirmwareTakesOnlyFirmwareFilesOfTheWorkingDirectory)
{
    // Each is answered exactly as a missing file, whether or not something exists there.
    const ScopedWorkingDirectory folder;
    const std::string present = "present.bin";
    std::ofstream(present) << "image";
    for (const std::string& file :
         {std::string("../../etc/passwd"), std::string("/etc/passwd"), std::string("./") + present,
          std::string("/etc/passwd\u0000.bin"), std::string("passwd")}) {
        SCOPED_TRACE(file);
        parts.command(R"({"port":"ttyACM0","payload":{"write_firmware":{"file":")" + file + R"("}}})");
        const std::vector<std::string> replies = parts.takeReplies(parts.editor);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].rfind(R"({"firmwareFileNotFound":)", 0), 0u) << replies[0];
        EXPECT_TRUE(parts.queuedTypes("ttyACM0").empty());
    }
    parts.command(R"({"port":"ttyACM0","payload":{"write_firmware":{"file":")" + present + R"("}}})");
    // Its write begins by asking the board its flash size.
    EXPECT_EQ(parts.queuedTypes("ttyACM0"), std::vector<uint16_t>{MT_VERSION})
        << "a firmware file of the working directory is written";
    std::remove(present.c_str());
}

TEST_F(CommandHandlerTest, HostileValuesNeverEndTheHandling)
{
    const std::vector<std::string> commands = {
        R"({"port":["ttyACM0"],"payload":{"ledtoggle":1}})",
        R"({"port":"ttyACM0","payload":{"addNode":{"id":1,"type":"clamp","properties":{"prop_source":[1],"prop_rangeMin":{"a":1},"prop_clamp_type":4294967296}}}})",
        R"({"port":"ttyACM0","payload":{"addNode":{"id":1e300,"type":"constant"}}})",
        R"({"port":"ttyACM0","payload":{"tweak":5,"number":1e300}})",
        R"({"port":"ttyACM0","payload":{"setFeature":{"feature":"nrf24","format":[1,"f",{"type":[1]}],"bindid":-1}}})",
        R"({"port":"ttyACM0","payload":{"setFeature":{"feature":"rgbled","maxindex":18446744073709551615}}})",
        R"({"port":"ttyACM0","payload":{"bl_rom_write_start":{"bytes":4294967296}}})",
        R"({"set_auto_refresh_ports":{"deep":[[[]]]}})",
    };
    for (const std::string& command : commands) {
        SCOPED_TRACE(command);
        EXPECT_NO_THROW(parts.command(command));
    }
    // The handler still works afterwards.
    parts.command(R"({"port":"ttyACM0","payload":{"ledtoggle":1}})");
    EXPECT_EQ(parts.queuedTypes("ttyACM0").back(), MT_LED);
}

TEST_F(CommandHandlerTest, HugeNumbersTakeDefaultsOrSaturate)
{
    // An id beyond the integer range does not convert: default 0, dropped.
    EXPECT_TRUE(queuedFor(R"({"addNode":{"id":1e300,"type":"constant"}})").empty());
    // A number beyond the float range becomes infinity; the largest float printed in short form stays finite.
    EXPECT_EQ(queuedFor(R"({"tweak":5,"number":1e300})"), std::vector<std::string>{"MT_TWEAK 050000000000807F"});
    EXPECT_EQ(queuedFor(R"({"tweak":5,"number":-3.4028235e38})"),
              std::vector<std::string>{"MT_TWEAK 05000000FFFF7FFF"});
}

} // namespace
