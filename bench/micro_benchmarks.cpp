// Micro-benchmarks of the relay's hot paths. Comparisons (our writer against the JSON library's, a whole addNode
// command against its parse alone) time both sides in the same iteration, in CPU time of this thread so that
// other work on a busy machine counts against neither; each reports the two per-call times and their ratio.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <time.h>
#include <vector>

#include <benchmark/benchmark.h>
#include <json/json.h>

#include "app/relay_core.h"
#include "conversion/feature_conversion.h"
#include "conversion/node_conversion.h"
#include "conversion/node_record_header.h"
#include "core/clock.h"
#include "core/logger.h"
#include "device/frame.h"
#include "device/frame_parser.h"
#include "device/message_type.h"
#include "device/relay.h"
#include "firmware/firmware_file_list.h"
#include "firmware/firmware_flasher.h"
#include "simulation/simulated_serial_driver.h"
#include "web/connection.h"
#include "web/status_pages.h"
#include "json/compact_json_writer.h"

namespace {

double threadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// Times `rounds` calls of first and of second within one benchmark iteration; reports the mean time of one call of
// each (in ns) and second / first.
template <typename First, typename Second>
void compareInSameRun(benchmark::State& state, int rounds, const char* firstName, First first, const char* secondName,
                      Second second)
{
    double firstNs = 0;
    double secondNs = 0;
    for (auto _ : state) {
        const double t0 = threadCpuNs();
        for (int i = 0; i < rounds; ++i)
            first();
        const double t1 = threadCpuNs();
        for (int i = 0; i < rounds; ++i)
            second();
        const double t2 = threadCpuNs();
        firstNs += t1 - t0;
        secondNs += t2 - t1;
    }
    const double calls = static_cast<double>(state.iterations()) * rounds;
    state.counters[std::string(firstName) + "_ns"] = firstNs / calls;
    state.counters[std::string(secondName) + "_ns"] = secondNs / calls;
    state.counters["ratio"] = firstNs > 0 ? secondNs / firstNs : 0;
}

// --- Serial frames -----------------------------------------------------------------------------------------------

std::vector<uint8_t> frameOf(uint16_t type, uint16_t length, uint8_t fill)
{
    SerialMessage message;
    message.setType(type);
    message.setLength(length);
    for (size_t i = 4; i < length && i < SerialMessage::size; ++i)
        message.bytes[i] = static_cast<uint8_t>(fill + i);
    const FrameChecksum checksum = computeFrameChecksum(message.bytes, length);
    std::vector<uint8_t> frame(framePreamble, framePreamble + 2);
    frame.insert(frame.end(), message.bytes, message.bytes + length);
    frame.push_back(checksum.first);
    frame.push_back(checksum.second);
    return frame;
}

size_t completedMessages(const std::vector<uint8_t>& stream)
{
    FrameParser parser;
    size_t completed = 0;
    for (uint8_t byte : stream)
        completed += processSerialByte(parser, byte) != MT_NONE;
    return completed;
}

// Every received message type once (dynamic ones at a short and a long length), with a few stray bytes between
// frames as after a board reset. Only frames that the parser completes on their own are kept, so the stream is
// known to yield exactly `frames` messages.
struct MixedStream {
    std::vector<uint8_t> bytes;
    size_t frames = 0;
};

MixedStream mixedFrameStream()
{
    MixedStream stream;
    const uint8_t stray[] = {0x00, 0x55, 0x13};
    for (uint16_t type = 1; type < MT_MAX; ++type) {
        if (!isReceivedMessageType(type))
            continue;
        const bool dynamic = isDynamicMessageType(type);
        const uint16_t fixedLength = static_cast<uint16_t>(getPayloadSizeFromMessageType(type) + 4);
        const uint16_t lengths[2] = {dynamic ? static_cast<uint16_t>(4 + 8) : fixedLength,
                                     static_cast<uint16_t>(SerialMessage::size)};
        for (size_t i = 0; i < (dynamic ? 2u : 1u); ++i) {
            const uint16_t length = lengths[i];
            const std::vector<uint8_t> frame = frameOf(type, length, static_cast<uint8_t>(type));
            if (completedMessages(frame) != 1)
                continue;
            stream.bytes.insert(stream.bytes.end(), frame.begin(), frame.end());
            stream.bytes.insert(stream.bytes.end(), stray, stray + (type % 4 == 0 ? sizeof stray : 0));
            ++stream.frames;
        }
    }
    return stream;
}

void benchProcessSerialByte(benchmark::State& state)
{
    const MixedStream stream = mixedFrameStream();
    if (stream.frames == 0 || completedMessages(stream.bytes) != stream.frames) {
        state.SkipWithError("the mixed frame stream does not parse back into its frames");
        return;
    }
    FrameParser parser;
    size_t completed = 0;
    for (auto _ : state) {
        for (uint8_t byte : stream.bytes)
            completed += processSerialByte(parser, byte) != MT_NONE;
        benchmark::DoNotOptimize(completed);
    }
    if (completed != stream.frames * static_cast<size_t>(state.iterations()))
        state.SkipWithError("frames were lost while parsing");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.bytes.size()));
    state.counters["frames"] = static_cast<double>(stream.frames);
}

// A port that takes every byte at once and keeps only a count, so that writeFrame alone is measured.
class CountingDriver : public SerialDriver {
public:
    size_t bytesWritten = 0;

    bool listPorts(std::vector<SerialPortInfo>&) override { return true; }
    SerialPortHandle* findPort(const std::string&) override { return nullptr; }
    bool open(SerialPortHandle*) override { return true; }
    bool setBaudRate(SerialPortHandle*, int) override { return true; }
    bool disableXonXoff(SerialPortHandle*) override { return true; }
    int inputWaiting(SerialPortHandle*) override { return 0; }
    int readNonBlocking(SerialPortHandle*, uint8_t*, size_t) override { return 0; }
    int waitDescriptor(SerialPortHandle*) override { return -1; }
    int writeNonBlocking(SerialPortHandle*, const uint8_t* data, size_t count) override
    {
        benchmark::DoNotOptimize(data);
        bytesWritten += count;
        return static_cast<int>(count);
    }
    bool close(SerialPortHandle*) override { return true; }
    void freePort(SerialPortHandle*) override {}
    std::string portName(SerialPortHandle*) override { return "counting"; }
    std::string lastError() override { return ""; }
    int lastErrorNumber() override { return 0; }
    std::string libraryVersion() override { return "counting"; }
};

void benchWriteFrame(benchmark::State& state, uint16_t type)
{
    CountingDriver driver;
    // Never dereferenced by writeFrame or by the counting driver; only told apart from "no port".
    alignas(8) static char portToken[8];
    SerialPortHandle* port = reinterpret_cast<SerialPortHandle*>(portToken);
    SerialMessage message;
    message.setType(type);
    std::vector<uint8_t> unsent;
    for (auto _ : state) {
        writeFrame(driver, port, message, unsent);
        benchmark::DoNotOptimize(message.bytes);
    }
    const size_t frameBytes = getPayloadSizeFromMessageType(type) + 4 + 4;
    if (driver.bytesWritten != frameBytes * static_cast<size_t>(state.iterations()))
        state.SkipWithError("writeFrame did not write whole frames");
    state.SetBytesProcessed(static_cast<int64_t>(driver.bytesWritten));
}

// --- Node and feature records ------------------------------------------------------------------------------------

// Encoders leave the length field to writeFrame; a board's answer carries it.
void setReceivedLength(SerialMessage& record)
{
    record.setLength(static_cast<uint16_t>(getPayloadSizeFromMessageType(record.type()) + 4));
}

// A record with every field at the value a freshly placed node has, and the JSON node the board's export of it
// gives: the usual inputs of both directions.
struct NodeSample {
    SerialMessage record;
    Json::Value decoded;
};

NodeSample nodeSample(const NodeConversion& conversion)
{
    NodeSample sample;
    NodeRecordHeader header;
    header.id = 17;
    header.x = 120;
    header.y = -40;
    header.writeTo(sample.record);
    conversion.encodeFromJson(Json::Value(), sample.record);
    setReceivedLength(sample.record);
    conversion.decodeToJson(sample.decoded, sample.record.bytes, SerialMessage::size);
    return sample;
}

void benchNodeEncode(benchmark::State& state, const NodeConversion* conversion)
{
    const NodeSample sample = nodeSample(*conversion);
    // A node whose fields all hold their defaults may decode without properties; the editor then sends none.
    const Json::Value properties = sample.decoded.get("properties", Json::Value(Json::objectValue));
    if (!properties.isObject() || sample.decoded.isMember("missingPropertiesFoundOnly")) {
        state.SkipWithError("the sample record does not decode in full");
        return;
    }
    for (auto _ : state) {
        SerialMessage record;
        conversion->encodeFromJson(properties, record);
        benchmark::DoNotOptimize(record.bytes);
    }
}

void benchNodeDecode(benchmark::State& state, const NodeConversion* conversion)
{
    const NodeSample sample = nodeSample(*conversion);
    Json::Value node;
    for (auto _ : state) {
        conversion->decodeToJson(node, sample.record.bytes, SerialMessage::size);
        benchmark::DoNotOptimize(node);
    }
    if (!node.isMember("type") || node.isMember("missingPropertiesFoundOnly"))
        state.SkipWithError("the record was not decoded in full");
}

struct FeatureSample {
    SerialMessage record;
    Json::Value decoded;
};

FeatureSample featureSample(const FeatureConversion& conversion)
{
    FeatureSample sample;
    Json::Value feature(Json::objectValue);
    feature["feature"] = conversion.name;
    conversion.encodeFromJson(feature, sample.record);
    setReceivedLength(sample.record);
    conversion.decodeToJson(sample.decoded, sample.record.bytes, SerialMessage::size);
    return sample;
}

void benchFeatureEncode(benchmark::State& state, const FeatureConversion* conversion)
{
    const FeatureSample sample = featureSample(*conversion);
    if (sample.decoded.size() < 2) {
        state.SkipWithError("the sample record does not decode into fields");
        return;
    }
    for (auto _ : state) {
        SerialMessage record;
        conversion->encodeFromJson(sample.decoded, record);
        benchmark::DoNotOptimize(record.bytes);
    }
}

void benchFeatureDecode(benchmark::State& state, const FeatureConversion* conversion)
{
    const FeatureSample sample = featureSample(*conversion);
    Json::Value out;
    for (auto _ : state) {
        conversion->decodeToJson(out, sample.record.bytes, SerialMessage::size);
        benchmark::DoNotOptimize(out);
    }
    if (out.size() < 2 || out.isMember("missingPropertiesFoundOnly"))
        state.SkipWithError("the record was not decoded in full");
}

// --- JSON text of replies ----------------------------------------------------------------------------------------

Json::Value parsed(const std::string& text)
{
    Json::Value value;
    Json::CharReaderBuilder builder;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
        std::fprintf(stderr, "bad sample reply %s: %s\n", text.c_str(), errors.c_str());
        std::exit(1);
    }
    return value;
}

// Replies as the editor receives them most often: live values, flash progress, versions, exported nodes.
std::vector<std::pair<const char*, Json::Value>> typicalReplies(const NodeConversionRegistry& nodes)
{
    std::vector<std::pair<const char*, Json::Value>> replies = {
        {"liveValue", parsed(R"({"port":"/dev/ttyACM0","liveValue":{"id":12,"type":2,"value":0.375}})")},
        {"romVerify", parsed(R"({"port":"/dev/ttyACM0","romVerify":41.25})")},
        {"version", parsed(R"({"port":"/dev/ttyACM0","versionMajor":1,"versionMinor":4,"versionPatch":2,)"
                           R"("flags":3,"idcode":1049617,"serial":"3A0027001851373234363837","flashsize":512})")},
    };
    for (const auto& conversion : nodes.conversions()) {
        if (conversion->name == "pid") {
            Json::Value reply(Json::objectValue);
            reply["port"] = "/dev/ttyACM0";
            reply["exportNode"] = nodeSample(*conversion).decoded;
            replies.emplace_back("exportNode_pid", reply);
        }
    }
    return replies;
}

void benchWriterAgainstLibrary(benchmark::State& state, const Json::Value* value)
{
    Json::StreamWriterBuilder library;
    library["indentation"] = "";
    std::string ours;
    std::string theirs;
    compareInSameRun(
        state, 64, "jsoncpp", [&] { theirs = Json::writeString(library, *value); }, "compact",
        [&] { ours = CompactJsonWriter().write(*value); });
    state.counters["bytes"] = static_cast<double>(ours.size());
}

void benchRealAgainstLibrary(benchmark::State& state)
{
    const double reals[] = {0.375, 41.25, -3.14159265358979, 1234.5678, 1e-7, 100.0, -0.01, 6.02214076e23};
    Json::StreamWriterBuilder library;
    library["indentation"] = "";
    std::string text;
    compareInSameRun(
        state, 8, "jsoncpp",
        [&] {
            for (double x : reals)
                text = Json::writeString(library, Json::Value(x));
        },
        "formatJsonReal",
        [&] {
            for (double x : reals)
                text = formatJsonReal(x);
        });
    benchmark::DoNotOptimize(text);
}

// --- A whole editor command --------------------------------------------------------------------------------------

// The relay's command path without sockets: one port that swallows writes (nothing is sent while benchmarking,
// messages only queue), the real sessions, command handler and converters.
class CommandPath {
public:
    CommandPath() : core(driver, clock)
    {
        driver.addPort(SimulatedSerialDriver::boardPortInfo("ttyACM0", "bench"), nullptr);
        core.start();
        core.sessions().established(editor, nullptr);
    }
    ~CommandPath()
    {
        core.sessions().closed(editor);
        core.closePorts();
    }

    void receive(const std::string& text) { core.sessions().received(editor, text.data(), text.size(), true); }
    Sessions& sessions() { return core.sessions(); }
    // Messages queued for the board since the last call.
    size_t takeQueued()
    {
        Relay* relay = core.boards().relays().findRelayByName("ttyACM0");
        if (relay == nullptr)
            return 0;
        const size_t count = relay->outgoing.size();
        relay->outgoing.clear();
        return count;
    }

private:
    SystemClock clock;
    SimulatedSerialDriver driver;
    RelayCore core;
    Connection editor{};
};

void benchAddNodeAgainstParse(benchmark::State& state, const NodeConversion* pid)
{
    // The node as the editor sends it: its properties are those of a freshly placed node.
    Json::Value command(Json::objectValue);
    command["port"] = "ttyACM0";
    Json::Value& node = command["payload"]["addNode"];
    node["id"] = 42;
    node["type"] = pid->name;
    node["editorPos"]["x"] = 310;
    node["editorPos"]["y"] = -85;
    node["properties"] = nodeSample(*pid).decoded["properties"];
    const std::string text = CompactJsonWriter().write(command);
    CommandPath path;
    Json::CharReaderBuilder builder;
    builder["collectComments"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    size_t queued = 0;
    compareInSameRun(
        state, 32, "parse", [&] { reader->parse(text.data(), text.data() + text.size(), &value, &errors); }, "addNode",
        [&] {
            path.receive(text);
            queued += path.takeQueued();
        });
    const double commands = static_cast<double>(state.iterations()) * 32;
    if (static_cast<double>(queued) != commands)
        state.SkipWithError("not every addNode command queued one message for the board");
}

// One received 7-byte message that is no command while about 1 MiB of unfinished text (an open string) is held for
// the same editor, against the same message with nothing held: the held text must not be read again per message.
// The held text grows by every message, so it starts where the fixed number of iterations keeps it below the cap.
constexpr int receivedPieceIterations = 200;
constexpr int receivedPieceRounds = 64;

void benchReceivedPieceWithTextHeld(benchmark::State& state)
{
    const std::string message = "aaaaaaa";
    CommandPath empty;
    CommandPath holding;
    const size_t growth = static_cast<size_t>(receivedPieceIterations) * receivedPieceRounds * message.size();
    std::string unfinished = "{\"held\":\"";
    unfinished.resize(Sessions::maxAccumulatedText - growth - 16, 'x');
    holding.receive(unfinished);
    compareInSameRun(
        state, receivedPieceRounds, "nothing_held", [&] { empty.receive(message); }, "1MiB_held",
        [&] { holding.receive(message); });
    state.counters["held_bytes"] = static_cast<double>(unfinished.size());
}

// --- The firmware file list -------------------------------------------------------------------------------------

constexpr int firmwareFileCount = 20000;

// A temporary folder of 20 000 small firmware files, made once for the benchmarks that list it and removed at exit.
class FirmwareFolder {
public:
    FirmwareFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "vantrel-bench-files-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            return;
        path = pattern;
        for (int i = 0; i < firmwareFileCount; ++i) {
            const int file = open(name(i).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (file < 0 || write(file, "firmware", 8) != 8)
                made = false;
            if (file >= 0)
                close(file);
        }
    }
    ~FirmwareFolder()
    {
        std::error_code error;
        std::filesystem::remove_all(path, error);
    }
    std::string name(int i) const
    {
        char text[32];
        std::snprintf(text, sizeof text, "/firmware-%05d.bin", i);
        return path + text;
    }

    std::string path;
    bool made = true;
};

// Lists the folder as an editor's refresh does: the list kept from before, or kept and updated after one file was
// written since (the write itself not timed), or read whole by a list that has not looked yet; or greets a new
// editor, whose greeting holds the list, and lets it go again.
enum class ListUse { Unchanged, AfterAWrite, FirstRead, Greeting };

// A new editor's greeting, which ends with the list, and the editor's leaving; the greeting is checked untimed.
void greetEditors(benchmark::State& state, size_t listBytes)
{
    CommandPath path;
    for (auto _ : state) {
        Connection editor{};
        path.sessions().established(editor, nullptr);
        state.PauseTiming();
        const std::vector<std::string> greeting = path.sessions().pendingReplies(&editor);
        if (greeting.size() != 4 || greeting[3].size() != listBytes)
            state.SkipWithError("the greeting does not end with the whole list");
        state.ResumeTiming();
        path.sessions().closed(editor);
    }
}

void benchFirmwareFileList(benchmark::State& state, ListUse use)
{
    static const FirmwareFolder folder;
    const std::filesystem::path previous = std::filesystem::current_path();
    if (folder.path.empty() || !folder.made || chdir(folder.path.c_str()) != 0) {
        state.SkipWithError("cannot make the folder of firmware files");
        return;
    }
    auto list = std::make_unique<FirmwareFileList>();
    size_t bytes = list->text().size();
    int written = 0;
    if (use == ListUse::Greeting)
        greetEditors(state, bytes);
    else
        for (auto _ : state) {
            state.PauseTiming();
            if (use == ListUse::AfterAWrite) {
                const int file =
                    open(folder.name(written++ % firmwareFileCount).c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
                if (file >= 0 && write(file, "+", 1) != 1)
                    state.SkipWithError("cannot write a firmware file");
                if (file >= 0)
                    close(file);
            } else if (use == ListUse::FirstRead) {
                list = std::make_unique<FirmwareFileList>();
            }
            state.ResumeTiming();
            bytes = list->text().size();
        }
    benchmark::DoNotOptimize(bytes);
    state.counters["list_bytes"] = static_cast<double>(bytes);
    if (chdir(previous.c_str()) != 0)
        state.SkipWithError("cannot go back to the working directory");
}

// One scrape of /health and /metrics with 16 boards listed and open: what it takes of the loop.
void benchStatusScrape(benchmark::State& state)
{
    SystemClock clock;
    SimulatedSerialDriver driver(&clock);
    for (int index = 0; index < 16; ++index)
        driver.addBoard("simACM" + std::to_string(index), "vantrel board");
    RelayCore core(driver, clock);
    core.start();
    for (int index = 0; index < 16; ++index) {
        const std::string name = "simACM" + std::to_string(index);
        core.boards().relays().bindRelay(name, core.boards().ports().openPort(name), 0);
    }
    size_t bytes = 0;
    for (auto _ : state) {
        const RelayFigures figures = core.figures();
        bytes += healthJson(figures).size() + metricsText(figures).size();
    }
    benchmark::DoNotOptimize(bytes);
}

void registerBenchmarks(const NodeConversionRegistry& nodes, const FeatureConversionRegistry& features,
                        const std::vector<std::pair<const char*, Json::Value>>& replies)
{
    benchmark::RegisterBenchmark("processSerialByte/mixed_frames", benchProcessSerialByte);
    benchmark::RegisterBenchmark("writeFrame/ack", benchWriteFrame, static_cast<uint16_t>(MT_ACK));
    benchmark::RegisterBenchmark("writeFrame/rom_write_data", benchWriteFrame,
                                 static_cast<uint16_t>(MT_BOOTLOADER_ROM_WRITE_DATA));
    benchmark::RegisterBenchmark("formatJsonReal_vs_jsoncpp/8_reals", benchRealAgainstLibrary);
    benchmark::RegisterBenchmark("receivedPiece/1MiB_held_vs_nothing", benchReceivedPieceWithTextHeld)
        ->Iterations(receivedPieceIterations);
    benchmark::RegisterBenchmark("firmwareFileList/20000_files_unchanged", benchFirmwareFileList, ListUse::Unchanged)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("firmwareFileList/20000_files_after_a_write", benchFirmwareFileList,
                                 ListUse::AfterAWrite)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("firmwareFileList/20000_files_first_read", benchFirmwareFileList, ListUse::FirstRead)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("firmwareFileList/20000_files_greeting", benchFirmwareFileList, ListUse::Greeting)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("statusScrape/16_boards", benchStatusScrape)->Unit(benchmark::kMicrosecond);
    for (const auto& reply : replies)
        benchmark::RegisterBenchmark((std::string("CompactJsonWriter_vs_jsoncpp/") + reply.first).c_str(),
                                     benchWriterAgainstLibrary, &reply.second);
    for (const auto& conversion : nodes.conversions()) {
        // Two node types share an editor name, so the node type number completes it.
        const std::string name = conversion->name + "/" + std::to_string(conversion->nodeType);
        benchmark::RegisterBenchmark(("encodeNode/" + name).c_str(), benchNodeEncode, conversion.get());
        benchmark::RegisterBenchmark(("decodeNode/" + name).c_str(), benchNodeDecode, conversion.get());
    }
    for (const auto& conversion : features.conversions()) {
        benchmark::RegisterBenchmark(("encodeFeature/" + conversion->name).c_str(), benchFeatureEncode,
                                     conversion.get());
        benchmark::RegisterBenchmark(("decodeFeature/" + conversion->name).c_str(), benchFeatureDecode,
                                     conversion.get());
    }
    for (const auto& conversion : nodes.conversions()) {
        if (conversion->name == "pid")
            benchmark::RegisterBenchmark("handleWebCommand_vs_parse/addNode_pid", benchAddNodeAgainstParse,
                                         conversion.get());
    }
}

} // namespace

int main(int argc, char** argv)
{
    // Warnings about the benchmark's own inputs would be measured along with the work; errors still show.
    logger.threshold = static_cast<int>(LogLevel::ERROR);
    NodeConversionRegistry nodes;
    nodes.registerNodeConversions();
    FeatureConversionRegistry features;
    features.registerFeatureConversions();
    const std::vector<std::pair<const char*, Json::Value>> replies = typicalReplies(nodes);

    registerBenchmarks(nodes, features, replies);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
