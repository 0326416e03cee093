#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "core/little_endian.h"
#include "device/message_type.h"
#include "support/log_capture.h"
#include "support/relay_harness.h"
#include "support/relay_parts.h"
#include "support/scoped_working_directory.h"

namespace {

std::string boardCommand(const std::string& payload) { return R"({"port":"ttyACM0","payload":)" + payload + "}"; }

std::string describe(const BoardMessage& message)
{
    return std::string(messageTypeName(message.type)) + " " +
           hexOfBytes(message.payload.data(), message.payload.size());
}

// An editor on a relay server with one simulated board on ttyACM0.
class CommandsEndToEnd : public ::testing::Test {
protected:
    CommandsEndToEnd() : board(relay.driver.addBoard("ttyACM0", "vantrel board")), editor(relay.connectEditor()) {}

    // Passes until the board has received count messages in all.
    bool boardReceives(size_t count)
    {
        for (int i = 0; i < 5000 && board->received().size() < count; ++i)
            relay.pass(1);
        return board->received().size() >= count;
    }

    // What the board received from the index on, described.
    std::vector<std::string> boardSaw(size_t from = 0) const
    {
        std::vector<std::string> seen;
        for (size_t i = from; i < board->received().size(); ++i)
            seen.push_back(describe(board->received()[i]));
        return seen;
    }

    // The next count replies of the editor; fewer when they do not arrive in time.
    std::vector<std::string> replies(size_t count, WebSocketTestClient* from = nullptr)
    {
        WebSocketTestClient& client = from != nullptr ? *from : *editor;
        std::vector<std::string> received;
        std::string text;
        while (received.size() < count && client.receiveText(text, relay.pump(), RelayHarness::timeoutMs))
            received.push_back(text);
        return received;
    }

    // Sends the payload, then a led toggle as a marker, and returns what the board received up to the marker.
    std::vector<std::string> boardSawBeforeMarker(const std::string& payload)
    {
        const size_t start = board->received().size();
        const size_t markers = board->countReceived(MT_LED);
        editor->sendText(boardCommand(payload));
        editor->sendText(boardCommand(R"({"ledtoggle":1})"));
        for (int i = 0; i < 5000 && board->countReceived(MT_LED) == markers; ++i)
            relay.pass(1);
        std::vector<std::string> seen = boardSaw(start);
        EXPECT_FALSE(seen.empty());
        if (!seen.empty())
            seen.pop_back();
        return seen;
    }

    RelayHarness relay;
    SimulatedBoard* board;
    std::unique_ptr<WebSocketTestClient> editor;
};

TEST_F(CommandsEndToEnd, GetVersionAsksThreeQuestionsOneAtATime)
{
    board->setSilent(true);
    ASSERT_TRUE(editor->sendText(boardCommand(R"({"getVersion":1})")));
    ASSERT_TRUE(boardReceives(1));
    relay.pass(50);
    EXPECT_EQ(boardSaw(), std::vector<std::string>{"MT_VERSION " + std::string(46, '0')})
        << "the next question waits for the answer";

    // The board answers now; each answer lets the next question go.
    board->setSilent(false);
    const SimulatedBoard::Identity& id = board->identity();
    std::vector<uint8_t> version = {id.versionMajor, id.versionMinor, id.versionPatch, 0};
    for (uint32_t word : {id.idcode, id.serial[0], id.serial[1], id.serial[2]}) {
        version.resize(version.size() + 4);
        writeU32(version.data() + version.size() - 4, word);
    }
    version.insert(version.end(),
                   {static_cast<uint8_t>(id.flashSizeKiB), static_cast<uint8_t>(id.flashSizeKiB >> 8), 0});
    board->sendMessage(MT_VERSION, version);

    const std::vector<std::string> answers = replies(3);
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[0], R"({"flags":0,"flashsize":128,"idcode":268526640,"portName":"ttyACM0",)"
                          R"("serial":"003600213338510937363531","versionMajor":1,"versionMinor":4,"versionPatch":2})");
    Json::Value capabilities;
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    ASSERT_TRUE(reader->parse(answers[1].data(), answers[1].data() + answers[1].size(), &capabilities, nullptr));
    const Json::Value& known = capabilities["capabilities"]["knownNodes"];
    ASSERT_EQ(known.size(), 53u);
    EXPECT_EQ(known[0].asString(), "digitalin");
    EXPECT_EQ(known[52].asString(), "ds3502out");
    EXPECT_EQ(capabilities["capabilities"]["usableNodes"], known);
    EXPECT_EQ(capabilities["portName"].asString(), "ttyACM0");
    EXPECT_EQ(answers[2], R"({"port":"ttyACM0","requestBootloaderStatus":0,"requestUSBConfigStatus":1})");

    EXPECT_EQ(boardSaw(), (std::vector<std::string>{"MT_VERSION " + std::string(46, '0'), "MT_CAPABILITIES 00",
                                                    "MT_REQUEST_BOOTLOADER FFFF"}));
    EXPECT_EQ(relay.server.relays().findRelayByName("ttyACM0")->flashSizeKiB, 128);
}

TEST_F(CommandsEndToEnd, CommandsReachTheBoardAsTheirBytes)
{
    struct Case {
        const char* payload;
        const char* received;
    };
    const std::vector<Case> cases = {
        {R"({"tweak":5,"index":2,"number":1.5})", "MT_TWEAK 050002000000C03F"},
        {R"({"tweak":5,"index":2,"color":"#FF8000"})", "MT_TWEAK 05000202FF800000"},
        {R"({"request_bootloader":{"bootloaderType":"Bootloader","usbConfigType":"cdc"}})",
         "MT_REQUEST_BOOTLOADER FF01"},
        {R"({"singleStep":true})", "MT_SINGLE_STEP 01"},
        {R"({"singleStep":true,"step":4})", "MT_SINGLE_STEP 04"},
        {R"({"pause":true})", "MT_PAUSE 01"},
        {R"({"pause":false})", "MT_PAUSE 00"},
        {R"({"addNode":{"id":5,"type":"constant","properties":{"prop_value":2}}})", "MT_NODE_CONSTANT 00050000000000"
                                                                                    "0000000040"},
        {R"({"setFeature":{"feature":"gps","doinit":1,"initdelay":20}})", "MT_CONFIG_GPS_INPUT 011400"},
        {R"({"resetConfig":1})", "MT_CONFIG_RESET 01"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload);
        EXPECT_EQ(boardSawBeforeMarker(c.payload), std::vector<std::string>{c.received});
    }
}

TEST_F(CommandsEndToEnd, DroppedCommandsSendNothing)
{
    LogCapture capture;
    for (const char* payload : {R"({"tweak":5.0,"index":2,"number":1.5})", R"({"tweak":5,"index":2})",
                                R"({"liveValue":{"id":65536}})", R"({"addNode":{"id":65536,"type":"constant"}})"}) {
        SCOPED_TRACE(payload);
        EXPECT_TRUE(boardSawBeforeMarker(payload).empty());
    }
    EXPECT_TRUE(capture.contains("Ignoring live value request, invalid node id"));
    EXPECT_FALSE(capture.contains("Doing number tweak"));
}

TEST_F(CommandsEndToEnd, OnlyTheFirstCommandOfAPayloadIsCarriedOut)
{
    EXPECT_EQ(boardSawBeforeMarker(R"({"getVersion":1,"addNode":{"id":9,"type":"constant","editorPos":{"x":3}}})"),
              std::vector<std::string>{"MT_NODE_CONSTANT 00090003000000"
                                       "0000000000"});
}

TEST_F(CommandsEndToEnd, LiveValueRequestStreamsValues)
{
    editor->sendText(boardCommand(R"({"liveValue":{"id":258,"flags":1}})"));
    ASSERT_TRUE(boardReceives(1));
    EXPECT_EQ(boardSaw(), std::vector<std::string>{"MT_SET_LIVE_VALUE 020101"});
    // The simulated board reports a triangle wave that starts at 0 at this clock time.
    EXPECT_EQ(replies(1),
              std::vector<std::string>{R"({"liveValue":{"id":258,"type":0,"value":0.0},"port":"ttyACM0"})"});
}

TEST_F(CommandsEndToEnd, FirmwareFileListRefreshIgnoresThePort)
{
    ASSERT_TRUE(editor->sendText(R"({"firmware_file_list_refresh":1,"port":"ttyACM0","payload":{"ledtoggle":1}})"));
    const std::vector<std::string> answer = replies(1);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].rfind(R"({"firmwareFilesList":[)", 0), 0u) << answer[0];
    relay.pass(20);
    EXPECT_TRUE(board->received().empty());
    EXPECT_EQ(relay.server.relays().size(), 0u);
}

TEST_F(CommandsEndToEnd, AutoRefreshPortsFollowsTheEditor)
{
    struct Case {
        const char* value;
        bool on;
    };
    for (const Case& c :
         {Case{"false", false}, Case{"true", true}, Case{"0", false}, Case{"1", true}, Case{"null", false}}) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(relay.command(*editor, std::string(R"({"set_auto_refresh_ports":)") + c.value + "}"),
                  std::string(R"({"autoRefreshPorts":)") + (c.on ? "true" : "false") + "}");
        EXPECT_EQ(relay.server.ports().autoRefreshPorts, c.on);
    }
}

TEST_F(CommandsEndToEnd, RepliesFollowTheEditorThatCommandedThePortLast)
{
    auto second = relay.connectEditor();
    editor->sendText(boardCommand(R"({"looptime":1})"));
    const std::vector<std::string> first = replies(1);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0], R"({"looptime":100,"memorysize":0,"nodecount":0,"port":"ttyACM0"})");

    second->sendText(boardCommand(R"({"looptime":1})"));
    EXPECT_EQ(replies(1, second.get()), first);
    EXPECT_TRUE(relay.repliesWithin(*editor, 20).empty());

    // A name that cannot be opened still moves its relay to the editor that names it.
    const EditorId secondConnection = relay.server.relays().findRelayByName("ttyACM0")->editor;
    Relay& portless = relay.server.relays().bindRelay("ttyGONE", nullptr, secondConnection);
    editor->sendText(R"({"port":"ttyGONE","payload":{"ledtoggle":1}})");
    for (int i = 0; i < 5000 && portless.editor == secondConnection; ++i)
        relay.pass(1);
    EXPECT_NE(portless.editor, secondConnection);
    EXPECT_TRUE(portless.outgoing.empty());
}

TEST_F(CommandsEndToEnd, ExportReturnsWhatTheEditorConfigured)
{
    struct RoundTrip {
        const char* sent;
        const char* exported;
    };
    // In the order the board exports them: features by message type, then nodes by id.
    const std::vector<RoundTrip> features = {
        {R"({"feature":"gps","doinit":1,"initdelay":20,"saveconfig":1})",
         R"({"doinit":1,"feature":"gps","initdelay":20,"saveconfig":1})"},
        {R"({"feature":"display","driver":2})", R"({"driver":2,"feature":"display"})"},
        {R"({"feature":"dutypwm","frequency":7})", R"({"feature":"dutypwm","frequency":7})"},
        {R"({"feature":"uartlog","type":1})", R"({"baud":0,"feature":"uartlog","frequency":5,"type":1})"},
        {R"({"feature":"ppminput","pin":3})", R"({"feature":"ppminput","pin":3})"},
        {R"({"feature":"ppmoutput","pin":4})", R"({"feature":"ppmoutput","pin":4})"},
        {R"({"feature":"nrf24","role":1,"bindid":5000000000,"format":[{"type":"f"},{"type":"b"},{"type":"b"}]})",
         R"({"bindid":5000000000,"feature":"nrf24","format":[{"type":"f"},{"type":"b"},{"type":"b"}],)"
         R"("frequency":255,"role":1})"},
        {R"({"feature":"uartport","port":2,"role":1})", R"({"feature":"uartport","port":2,"role":1})"},
        {R"({"feature":"rgbled","maxindex":300})", R"({"feature":"rgbled","maxindex":44})"},
        {R"({"feature":"mag","runcalib":1,"tiltcompx":1,"tiltcompy":2,"tiltcompz":3})",
         R"({"feature":"mag","runcalib":1,"tiltcompimu":0,"tiltcompx":1,"tiltcompy":2,"tiltcompz":3})"},
    };
    const std::vector<RoundTrip> nodes = {
        {R"({"id":1,"type":"constant","editorPos":{"x":10,"y":20},"properties":{"prop_value":"#FF0000"}})",
         R"({"id":1,"pos":{"x":10,"y":20},"properties":{"prop_value":"#FF0000"},"type":"constant"})"},
        {R"({"id":2,"type":"clamp","editorPos":{"x":-30,"y":40},)"
         R"("properties":{"prop_source":"#1","prop_rangeMin":-1.5,"prop_clamp_type":2}})",
         R"({"id":2,"pos":{"x":-30,"y":40},)"
         R"("properties":{"prop_clamp_type":2,"prop_rangeMin":-1.5,"prop_source":"#1"},"type":"clamp"})"},
        {R"({"id":3,"type":"digitalout","properties":{"prop_source":"#2","prop_pin":13,"prop_active":0}})",
         R"({"id":3,"pos":{"x":0,"y":0},)"
         R"("properties":{"prop_active":0.0,"prop_pin":13,"prop_source":"#2"},"type":"digitalout"})"},
        {R"({"id":4,"type":"pid","properties":{"prop_pid_setpoint":"#1","prop_pid_input":"#2","prop_pid_gainP":0.5,)"
         R"("prop_pid_gainI":0.25,"prop_pid_enabled":1,"prop_pid_output_min":-100,"prop_pid_output_max":100}})",
         R"({"id":4,"pos":{"x":0,"y":0},"properties":{"prop_pid_enabled":1,"prop_pid_gainD":0.0,"prop_pid_gainI":0.25,)"
         R"("prop_pid_gainP":0.5,"prop_pid_input":"#2","prop_pid_output_max":100.0,"prop_pid_output_min":-100.0,)"
         R"("prop_pid_setpoint":"#1"},"type":"pid"})"},
        {R"({"id":5,"type":"mix","properties":{"prop_mix_source1":"#1","prop_mix_source2":"#FF8000",)"
         R"("prop_mix_weight1":0.75,"prop_mix_scale_center":0.1}})",
         R"({"id":5,"pos":{"x":0,"y":0},"properties":{"prop_mix_scale_center":0.1,"prop_mix_source1":"#1",)"
         R"("prop_mix_source2":"#FF8000","prop_mix_weight1":0.75,"prop_mix_weight2":0.0},"type":"mix"})"},
        {R"({"id":6,"type":"servopwmout","properties":{"prop_source":"#3","prop_pin":5,"prop_servo_pwm_pulse_mid":1500}})",
         R"({"id":6,"pos":{"x":0,"y":0},"properties":{"prop_pin":5,"prop_servo_pwm_pulse_max":2000,)"
         R"("prop_servo_pwm_pulse_mid":1500,"prop_servo_pwm_pulse_min":1000,"prop_source":"#3"},"type":"servopwmout"})"},
        {R"({"id":7,"type":"rgbledindices",)"
         R"("properties":{"prop_rgbled_color":"#FF8000","prop_flags1":11,"prop_flags4":-2147483648}})",
         R"({"id":7,"pos":{"x":0,"y":0},"properties":{"prop_rgbled_color":"#FF8000","prop_rgbled_indices":"1-2,4,128"},)"
         R"("type":"rgbledindices"})"},
    };
    for (const RoundTrip& feature : features)
        editor->sendText(boardCommand(std::string(R"({"setFeature":)") + feature.sent + "}"));
    for (const RoundTrip& node : nodes)
        editor->sendText(boardCommand(std::string(R"({"addNode":)") + node.sent + "}"));
    ASSERT_TRUE(boardReceives(features.size() + nodes.size()));
    EXPECT_EQ(board->features().size(), features.size()) << "every record was taken";
    EXPECT_EQ(board->nodes().size(), nodes.size()) << "every record was taken";

    editor->sendText(boardCommand(R"({"exportConfig":2})"));
    std::vector<std::string> expected = {R"({"exportConfig":{"flags":2},"portName":"ttyACM0"})"};
    for (const RoundTrip& feature : features)
        expected.push_back(std::string(R"({"exportFeature":)") + feature.exported + R"(,"port":"ttyACM0"})");
    for (const RoundTrip& node : nodes)
        expected.push_back(std::string(R"({"exportNode":)") + node.exported + R"(,"port":"ttyACM0"})");
    expected.push_back(R"({"exportCommit":{"nodeCount":7},"portName":"ttyACM0"})");
    EXPECT_EQ(replies(expected.size()), expected);
}

TEST_F(CommandsEndToEnd, EveryNodeTypeComesBackFromTheBoard)
{
    // The second mapping is the bidirectional record, chosen by its mapping type.
    const std::vector<std::string> types = {
        "digitalin",   "analogin",      "servopwmin",  "gps",         "imu",      "serialrcin",     "nrf24in",
        "ppmin",       "rotaryencoder", "hx711",       "baro",        "mag",      "uartlogin",      "midiin",
        "xgzpin",      "digitalout",    "servopwmout", "dutypwmout",  "nrf24out", "ppmout",         "rgbledindices",
        "rgbledrange", "display",       "serialrcout", "uartlogout",  "midiout",  "serialservoout", "gamepadout",
        "ds3502out",   "constant",      "clamp",       "inrange",     "scale",    "unaryop",        "binaryop",
        "timer",       "selector",      "color",       "mix",         "slew",     "noise",          "invert",
        "strobe",      "millis",        "geocalc",     "snapto",      "store",    "mapping",        "mapping",
        "pid",         "delta",         "struct",      "structmember"};
    std::vector<std::string> expected;
    for (size_t i = 0; i < types.size(); ++i) {
        const std::string id = std::to_string(i + 1);
        const bool bidirectional = i > 0 && types[i] == "mapping" && types[i - 1] == "mapping";
        const char* properties = bidirectional ? R"({"prop_mapping_type":1})" : "{}";
        editor->sendText(boardCommand(R"({"addNode":{"id":)" + id + R"(,"type":")" + types[i] + R"(","properties":)" +
                                      properties + "}}"));
        expected.push_back(id + " " + types[i]);
    }
    ASSERT_TRUE(boardReceives(types.size()));
    ASSERT_EQ(board->nodes().size(), types.size());

    editor->sendText(boardCommand(R"({"exportConfig":2})"));
    std::vector<std::string> exported;
    std::string commit;
    for (const std::string& reply : replies(types.size() + 2)) {
        Json::Value json;
        ASSERT_TRUE(Json::Reader().parse(reply, json)) << reply;
        if (json.isMember("exportNode")) {
            const Json::Value& node = json["exportNode"];
            EXPECT_FALSE(node.isMember("missingPropertiesFoundOnly")) << reply;
            exported.push_back(node["id"].asString() + " " + node["type"].asString());
        } else if (json.isMember("exportCommit")) {
            commit = reply;
        }
    }
    EXPECT_EQ(exported, expected);
    EXPECT_EQ(commit, R"({"exportCommit":{"nodeCount":53},"portName":"ttyACM0"})");
    EXPECT_EQ(board->countReceived(MT_NODE_MAPPING_BIDIRECTIONAL), 1u);
}

TEST_F(CommandsEndToEnd, ConfigurationRepliesOfTheBoard)
{
    editor->sendText(boardCommand(R"({"addNode":{"id":1,"type":"constant"}})"));
    editor->sendText(boardCommand(R"({"addNode":{"id":2,"type":"analogin"}})"));
    editor->sendText(boardCommand(R"({"configDump":1})"));
    editor->sendText(boardCommand(R"({"commitConfig":1})"));
    editor->sendText(boardCommand(R"({"resetConfig":1})"));
    editor->sendText(boardCommand(R"({"configDump":1})"));
    EXPECT_EQ(replies(3),
              (std::vector<std::string>{
                  R"({"configDump":{"nodes":[{"type":"constant"},{"type":"analogin"}]},"portName":"ttyACM0"})",
                  R"({"configCommit":{"memorySize":41,"nodeCount":2},"portName":"ttyACM0"})",
                  R"({"configDump":{"nodes":[]},"portName":"ttyACM0"})"}));
}

class FirmwareWriteEndToEnd : public CommandsEndToEnd {
protected:
    FirmwareWriteEndToEnd()
    {
        // The relay takes firmware files from its working directory only.
        path = "firmware.bin";
        for (size_t i = 0; i < image.size(); ++i)
            image[i] = static_cast<uint8_t>(i * 7 + 3);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    }
    ~FirmwareWriteEndToEnd() override { std::remove(path.c_str()); }

    void enterBootloader()
    {
        EXPECT_EQ(relay.command(*editor, boardCommand(R"({"request_bootloader":{"bootloaderType":"bootloader"}})")),
                  R"({"port":"ttyACM0","requestBootloaderStatus":1,"requestUSBConfigStatus":1})");
    }

    ScopedWorkingDirectory folder;
    std::string path;
    std::vector<uint8_t> image = std::vector<uint8_t>(128);
};

TEST_F(FirmwareWriteEndToEnd, WholeWriteWithProgressAndVerification)
{
    enterBootloader();
    editor->sendText(boardCommand(R"({"write_firmware":{"file":")" + path + R"("}})"));
    // The board's flash size is not known yet: its version is asked before anything is erased.
    const std::vector<std::string> expected = {
        R"({"flags":1,"flashsize":128,"idcode":268526640,"portName":"ttyACM0","serial":"003600213338510937363531",)"
        R"("versionMajor":1,"versionMinor":4,"versionPatch":2})",
        R"({"port":"ttyACM0","romErase":2048})",
        R"({"port":"ttyACM0","romWrite":25.0})",
        R"({"port":"ttyACM0","romVerify":25.0})",
        R"({"port":"ttyACM0","romWrite":50.0})",
        R"({"port":"ttyACM0","romVerify":50.0})",
        R"({"port":"ttyACM0","romWrite":75.0})",
        R"({"port":"ttyACM0","romVerify":75.0})",
        R"({"port":"ttyACM0","romWrite":100.0})",
        R"({"port":"ttyACM0","romVerify":100.0})",
        R"({"port":"ttyACM0","romFinish":1})",
    };
    EXPECT_EQ(replies(expected.size()), expected);
    EXPECT_EQ(board->flashImage(), image);
    EXPECT_TRUE(board->flashFinished());
    EXPECT_TRUE(relay.server.relays().findRelayByName("ttyACM0")->outgoing.empty());
}

// Replies until one satisfies the predicate, within a bounded number of passes; the wall clock moves 10 ms a pass so
// that a board that falls silent is given up on. `during` runs once per pass with the replies so far.
std::vector<std::string> repliesUntil(RelayHarness& relay, WebSocketTestClient& editor,
                                      const std::function<bool(const std::string&)>& done,
                                      const std::function<void(const std::vector<std::string>&)>& during = {})
{
    std::vector<std::string> seen;
    for (int pass = 0; pass < 3000; ++pass) {
        relay.pass(1);
        relay.clock.advance(10);
        for (std::string& reply : editor.poll()) {
            seen.push_back(std::move(reply));
            if (done(seen.back()))
                return seen;
        }
        if (during)
            during(seen);
    }
    return seen;
}

size_t countWith(const std::vector<std::string>& replies, const std::string& piece)
{
    return static_cast<size_t>(std::count_if(replies.begin(), replies.end(), [&](const std::string& reply) {
        return reply.find(piece) != std::string::npos;
    }));
}

// Every fault ends the write with a reason the editor shows; after a failure nothing more of the write reaches the
// board (no finish of a known-bad image) and no more progress reaches the editor.
TEST_F(FirmwareWriteEndToEnd, FaultsEndTheWriteAndTellTheEditor)
{
    enum class Fault { WrongEcho, RefusedChunk, MissingEcho, FallsSilent, Unplugged };
    const struct {
        Fault fault;
        const char* failure;
        size_t chunksReported;
        size_t finishesSent;
    } rows[] = {
        {Fault::WrongEcho, R"({"firmwareFileVerifyError":"","port":"ttyACM0"})", 3, 0},
        {Fault::RefusedChunk,
         R"({"firmwareFileVerifyError":"the board refused the chunk at offset 64","port":"ttyACM0"})", 2, 0},
        {Fault::MissingEcho, R"({"firmwareFileVerifyError":"never echoed by the board: bytes 64-95","port":"ttyACM0"})",
         4, 1},
        {Fault::FallsSilent,
         R"({"firmwareFileVerifyError":"no answer within 1 s to the chunk at offset 96","port":"ttyACM0"})", 3, 0},
        {Fault::Unplugged,
         R"({"firmwareFileVerifyError":"the board went away (unplugged?) with 2 of 4 chunks verified","port":"ttyACM0"})",
         2, 0},
    };
    const std::string command = boardCommand(R"({"write_firmware":{"file":")" + path + R"("}})");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.failure);
        if (&row != &rows[0]) {
            board = relay.driver.addBoard("ttyACM0", "vantrel board");
            relay.server.ports().refreshPorts(false);
        }
        enterBootloader();
        if (row.fault == Fault::WrongEcho)
            board->setWrongEcho(64, 2);
        if (row.fault == Fault::RefusedChunk)
            board->setRefusedChunk(64);
        if (row.fault == Fault::MissingEcho)
            board->setMissingEcho(64);
        editor->sendText(command);
        bool struck = false;
        // An unplugged board is gone with its port: what it received is read before.
        size_t finishesAtUnplug = 0;
        const std::vector<std::string> seen = repliesUntil(
            relay, *editor,
            [](const std::string& reply) { return reply.find("firmwareFileVerifyError") != std::string::npos; },
            [&](const std::vector<std::string>&) {
                // The board stops answering, or is unplugged, once two chunks were verified and the third sent
                // (the editor hears of progress a moment later).
                if (struck || board->countReceived(MT_BOOTLOADER_ROM_WRITE_DATA) < 3)
                    return;
                struck = true;
                if (row.fault == Fault::FallsSilent)
                    board->setSilent(true);
                if (row.fault == Fault::Unplugged) {
                    finishesAtUnplug = board->countReceived(MT_BOOTLOADER_ROM_WRITE_FINISH);
                    relay.driver.removePort("ttyACM0");
                    board = nullptr;
                }
            });
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.back(), row.failure);
        EXPECT_EQ(countWith(seen, "romWrite"), row.chunksReported) << "a refused chunk is no written progress";
        // Nothing follows the failure.
        const std::vector<std::string> after = relay.repliesWithin(*editor, 200);
        EXPECT_EQ(countWith(after, "romWrite") + countWith(after, "romVerify") + countWith(after, "romFinish"), 0u);
        EXPECT_EQ(board != nullptr ? board->countReceived(MT_BOOTLOADER_ROM_WRITE_FINISH) : finishesAtUnplug,
                  row.finishesSent);
        // The next row starts from a fresh board.
        relay.driver.removePort("ttyACM0");
        relay.repliesWithin(*editor, 20);
    }
}

TEST_F(FirmwareWriteEndToEnd, AWriteBelongsToTheEditorThatStartedIt)
{
    enterBootloader();
    auto second = relay.connectEditor();
    const std::string command = boardCommand(R"({"write_firmware":{"file":")" + path + R"("}})");
    editor->sendText(command);
    // A second write of the same board (a double click) is refused; a version request of another editor
    // takes none of the write's progress away.
    second->sendText(command);
    second->sendText(boardCommand(R"({"request_bootloader":{"bootloaderType":"bootloader"}})"));
    const std::vector<std::string> seen = repliesUntil(
        relay, *editor, [](const std::string& reply) { return reply.find("romFinish") != std::string::npos; });
    EXPECT_EQ(countWith(seen, "romVerify"), 4u);
    EXPECT_EQ(seen.back(), R"({"port":"ttyACM0","romFinish":1})");
    const std::vector<std::string> others = relay.repliesWithin(*second, 50);
    EXPECT_EQ(countWith(others, R"("firmwareWriteInProgress")"), 1u);
    EXPECT_EQ(countWith(others, "requestBootloaderStatus"), 1u);
    EXPECT_EQ(countWith(others, "romWrite") + countWith(others, "romVerify"), 0u);
    EXPECT_EQ(board->flashImage(), image);
    EXPECT_EQ(board->countReceived(MT_BOOTLOADER_ROM_WRITE_START), 1u);
}

TEST_F(FirmwareWriteEndToEnd, AWriteOutlivesItsEditorAndCanBeCancelled)
{
    enterBootloader();
    LogCapture capture;
    const std::string command = boardCommand(R"({"write_firmware":{"file":")" + path + R"("}})");
    // Cancelled on purpose after its start: nothing more of it is sent.
    editor->sendText(command);
    editor->sendText(boardCommand(R"({"cancel_firmware":{}})"));
    const std::vector<std::string> cancelled = repliesUntil(relay, *editor, [](const std::string& reply) {
        return reply.find("firmwareWriteCancelled") != std::string::npos;
    });
    ASSERT_FALSE(cancelled.empty());
    EXPECT_EQ(cancelled.back(), R"({"firmwareWriteCancelled":"cancelled by the editor","port":"ttyACM0"})");
    relay.repliesWithin(*editor, 50);
    EXPECT_EQ(board->countReceived(MT_BOOTLOADER_ROM_WRITE_FINISH), 0u);

    // The editor that started a write leaves: the board is still written to the end, then its relay goes.
    board->clearReceived();
    editor->sendText(command);
    for (int i = 0; i < 3000 && board->countReceived(MT_BOOTLOADER_ROM_WRITE_DATA) == 0; ++i)
        relay.pass(1);
    editor.reset();
    for (int i = 0; i < 3000 && relay.server.relays().size() > 0; ++i) {
        relay.pass(1);
        relay.clock.advance(1);
    }
    EXPECT_EQ(board->countReceived(MT_BOOTLOADER_ROM_WRITE_FINISH), 1u);
    EXPECT_EQ(board->flashImage(), image);
    EXPECT_EQ(relay.server.relays().size(), 0u) << "the relay went once the write had ended";
    EXPECT_TRUE(capture.contains("ttyACM0: Firmware write goes on after its editor left"));
    EXPECT_TRUE(capture.contains("ttyACM0: Firmware write of " + path + " completed in "));
}

TEST_F(FirmwareWriteEndToEnd, BoardOutsideItsBootloaderRefusesTheWrite)
{
    editor->sendText(boardCommand(R"({"write_firmware":{"file":")" + path + R"("}})"));
    const std::vector<std::string> answers = replies(2);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_NE(answers[0].find(R"("flashsize":128)"), std::string::npos) << "the version asked first";
    EXPECT_EQ(answers[1], R"({"firmwareNeedsBootloader":"the board runs its application: switch it to its )"
                          R"(bootloader first","port":"ttyACM0"})");
    relay.pass(20);
    EXPECT_EQ(board->countReceived(MT_BOOTLOADER_ROM_WRITE_START), 0u) << "refused before anything is erased";
    EXPECT_TRUE(relay.server.relays().findRelayByName("ttyACM0")->outgoing.empty());
}

} // namespace
