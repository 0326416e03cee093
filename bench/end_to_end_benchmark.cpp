// End-to-end figures of the relay: an in-process RelayServer with the real WebSocket library on 127.0.0.1, editors
// speaking WebSocket to it and simulated boards that answer at once, driven like the real main loop (one pass,
// then 1 ms of sleep). The last part runs the real program idle and reads its cost from /proc.
//
// Usage: end_to_end_benchmark [-f firmwareFolder] [-r relayProgram] [-i idleSeconds] [-s parts]
// parts is a comma-separated choice of flash, roundtrip, boards, idle (default: all of them).

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <libwebsockets.h>

#include "app/relay_server.h"
#include "bench/micro_summary.h"
#include "bench/process_usage.h"
#include "bench/result_table.h"
#include "core/clock.h"
#include "core/little_endian.h"
#include "core/logger.h"
#include "device/libserialport_driver.h"
#include "device/message_type.h"
#include "firmware/firmware_flasher.h"
#include "simulation/simulated_serial_driver.h"
#include "support/loopback_port.h"
#include "support/websocket_test_client.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int connectTimeoutMs = 5000;
constexpr size_t firmwareChunk = FirmwareFlasher::chunkSize;

double millisecondsSince(SteadyClock::time_point start)
{
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

double threadCpuMicroseconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// The main loop's sleep between passes.
void sleepOneMillisecond()
{
    timespec rest{0, 1000000};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

std::string boardCommand(const std::string& port, const std::string& payload)
{
    return R"({"port":")" + port + R"(","payload":)" + payload + "}";
}

std::string passesText(long passes) { return std::to_string(passes) + (passes == 1 ? " pass" : " passes"); }

bool contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// A relay server with simulated boards, run pass by pass as the real program runs it.
class BenchRelay {
public:
    // Boards must be added before start so that the first enumeration lists them.
    SimulatedBoard* addBoard(const std::string& name)
    {
        SimulatedBoard::Identity identity;
        // Room for the largest image of the flash figures.
        identity.flashSizeKiB = 4096;
        return driver.addBoard(name, "vantrel board", identity);
    }

    bool start()
    {
        port = freeLoopbackPort();
        RelayServerSettings settings;
        settings.port = port;
        settings.mountOrigin = "/nonexistent";
        return port != 0 && server.start(settings);
    }

    void pass()
    {
        const double before = threadCpuMicroseconds();
        server.runPass();
        relayCpuMicroseconds += threadCpuMicroseconds() - before;
        ++passes;
        sleepOneMillisecond();
    }

    // A connected editor whose greeting has been read; nullptr (after a message) when it could not connect.
    std::unique_ptr<WebSocketTestClient> connectEditor()
    {
        auto editor = std::make_unique<WebSocketTestClient>();
        const WebSocketTestClient::Pump pump = [this] { pass(); };
        if (!editor->connect(port, "vantrel-configurator", pump, connectTimeoutMs)) {
            std::fprintf(stderr, "editor could not connect: %s\n", editor->lastError().c_str());
            return nullptr;
        }
        std::string greeting;
        for (int i = 0; i < 4; ++i) {
            if (!editor->receiveText(greeting, pump, connectTimeoutMs)) {
                std::fprintf(stderr, "no greeting: %s\n", editor->lastError().c_str());
                return nullptr;
            }
        }
        return editor;
    }

    // Passes until a reply holding part arrives, at most maxPasses; false when none did.
    bool awaitReply(WebSocketTestClient& editor, const char* part, long maxPasses)
    {
        for (long i = 0; i < maxPasses; ++i) {
            pass();
            for (const std::string& reply : editor.poll()) {
                if (contains(reply, part))
                    return true;
            }
        }
        std::fprintf(stderr, "no reply with %s within %ld passes\n", part, maxPasses);
        return false;
    }

    SystemClock clock;
    SimulatedSerialDriver driver{&clock};
    RelayServer server{driver, clock};
    int port = 0;
    long passes = 0;
    // CPU time spent inside the passes, the relay's own work.
    double relayCpuMicroseconds = 0;
};

struct FlashFigures {
    bool ok = false;
    size_t chunks = 0;
    double passesPerChunk = 0;
    double seconds = 0;
    long verifyLagPasses = 0;
};

std::vector<uint8_t> firmwareImage(size_t bytes)
{
    std::vector<uint8_t> image(bytes);
    for (size_t i = 0; i < bytes; ++i)
        image[i] = static_cast<uint8_t>((i * 131 + (i >> 8)) & 0xFF);
    return image;
}

// A firmware file that is removed again however the flash ends.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path(std::move(path)) {}
    ~TemporaryFile() { std::remove(path.c_str()); }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool write(const std::vector<uint8_t>& bytes) const
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return static_cast<bool>(file);
    }

    const std::string path;
};

// Counted from the write command: passes until the board echoed the last chunk, per chunk; seconds until the
// editor saw "romFinish"; passes from the board's last echo to the editor's last "romVerify".
FlashFigures flashFirmware(size_t bytes)
{
    FlashFigures figures;
    const std::vector<uint8_t> image = firmwareImage(bytes);
    const TemporaryFile file("bench-" + std::to_string(bytes) + ".bin");
    if (!file.write(image)) {
        std::fprintf(stderr, "cannot write %s\n", file.path.c_str());
        return figures;
    }
    BenchRelay relay;
    SimulatedBoard* board = relay.addBoard("ttyACM0");
    std::unique_ptr<WebSocketTestClient> editor;
    if (board == nullptr || !relay.start() || !(editor = relay.connectEditor()))
        return figures;
    editor->sendText(boardCommand("ttyACM0", R"({"request_bootloader":{"bootloaderType":"bootloader"}})"));
    if (!relay.awaitReply(*editor, "\"requestBootloaderStatus\":1", 1000))
        return figures;

    figures.chunks = (bytes + firmwareChunk - 1) / firmwareChunk;
    const uint32_t lastOffset = static_cast<uint32_t>((figures.chunks - 1) * firmwareChunk);
    const long start = relay.passes;
    const auto started = SteadyClock::now();
    editor->sendText(boardCommand("ttyACM0", R"({"write_firmware":{"file":")" + file.path + R"("}})"));
    long lastEchoPass = 0;
    long lastVerifyPass = 0;
    size_t verifies = 0;
    bool finished = false;
    const long maxPasses = static_cast<long>(figures.chunks) * 4 + 2000;
    for (long i = 0; i < maxPasses && !finished; ++i) {
        relay.pass();
        // The board answers a chunk as it receives it, so the pass that delivered the last chunk echoed it.
        if (lastEchoPass == 0 && !board->received().empty()) {
            const BoardMessage& last = board->received().back();
            if (last.type == MT_BOOTLOADER_ROM_WRITE_DATA && last.payload.size() >= 4 &&
                readU32(last.payload.data()) == lastOffset)
                lastEchoPass = relay.passes;
        }
        for (const std::string& reply : editor->poll()) {
            if (contains(reply, "\"romVerify\":") && ++verifies == figures.chunks)
                lastVerifyPass = relay.passes;
            else if (contains(reply, "\"romFinish\""))
                finished = true;
            else if (contains(reply, "\"firmwareFile") || contains(reply, "\"firmwareNeeds")) {
                std::fprintf(stderr, "flash failed: %s\n", reply.c_str());
                return figures;
            }
        }
    }
    figures.seconds = millisecondsSince(started) / 1000.0;
    if (!finished || lastEchoPass == 0 || lastVerifyPass == 0 || board->flashImage() != image) {
        std::fprintf(stderr, "flash of %zu bytes did not complete intact (%zu of %zu verified)\n", bytes, verifies,
                     figures.chunks);
        return figures;
    }
    figures.passesPerChunk = static_cast<double>(lastEchoPass - start) / static_cast<double>(figures.chunks);
    figures.verifyLagPasses = lastVerifyPass - lastEchoPass;
    figures.ok = true;
    return figures;
}

struct RoundTripFigures {
    bool ok = false;
    long p50Passes = 0;
    long p99Passes = 0;
    double p50Ms = 0;
    double p99Ms = 0;
};

template <typename T>
T percentile(std::vector<T> values, double fraction)
{
    std::sort(values.begin(), values.end());
    const size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// Each command is sent when the reply to the previous one has arrived.
RoundTripFigures roundTrips(int count)
{
    RoundTripFigures figures;
    BenchRelay relay;
    std::unique_ptr<WebSocketTestClient> editor;
    if (relay.addBoard("ttyACM0") == nullptr || !relay.start() || !(editor = relay.connectEditor()))
        return figures;
    const std::string command = boardCommand("ttyACM0", R"({"looptime":1})");
    std::vector<long> passes;
    std::vector<double> milliseconds;
    for (int i = 0; i < count; ++i) {
        const long start = relay.passes;
        const auto started = SteadyClock::now();
        if (!editor->sendText(command) || !relay.awaitReply(*editor, "\"looptime\":", 1000))
            return figures;
        passes.push_back(relay.passes - start);
        milliseconds.push_back(millisecondsSince(started));
    }
    figures.p50Passes = percentile(passes, 0.50);
    figures.p99Passes = percentile(passes, 0.99);
    figures.p50Ms = percentile(milliseconds, 0.50);
    figures.p99Ms = percentile(milliseconds, 0.99);
    figures.ok = true;
    return figures;
}

struct ConfigureFigures {
    bool ok = false;
    long passes = 0;
    double milliseconds = 0;
    double relayCpuMilliseconds = 0;
};

// Every board gets nodes addNode commands and an export from an editor of its own, all sent at once; counted
// until every editor has the end of its export (a pass or so later than the relay sent it, as the editors poll).
ConfigureFigures configureBoards(int boardCount, int nodes)
{
    static const char* const types[] = {"constant", "clamp", "scale", "pid", "timer", "mix", "analogin", "digitalout"};
    ConfigureFigures figures;
    BenchRelay relay;
    std::vector<SimulatedBoard*> boards;
    std::vector<std::string> names;
    for (int b = 0; b < boardCount; ++b) {
        names.push_back("ttyACM" + std::to_string(b));
        boards.push_back(relay.addBoard(names.back()));
        if (boards.back() == nullptr)
            return figures;
    }
    if (!relay.start())
        return figures;
    std::vector<std::unique_ptr<WebSocketTestClient>> editors;
    for (int b = 0; b < boardCount; ++b) {
        editors.push_back(relay.connectEditor());
        if (!editors.back())
            return figures;
    }

    const long start = relay.passes;
    const double startCpu = relay.relayCpuMicroseconds;
    const auto started = SteadyClock::now();
    for (int b = 0; b < boardCount; ++b) {
        for (int n = 1; n <= nodes; ++n) {
            const std::string node = R"({"addNode":{"id":)" + std::to_string(n) + R"(,"type":")" +
                                     types[n % (sizeof types / sizeof types[0])] + R"(","editorPos":{"x":)" +
                                     std::to_string(n * 10) + R"(,"y":20}}})";
            editors[b]->sendText(boardCommand(names[b], node));
        }
        editors[b]->sendText(boardCommand(names[b], R"({"exportConfig":0})"));
    }
    // The editors read in a thread of their own, as browsers do in processes of their own, so that the relay's
    // thread does only the relay's work.
    std::vector<int> exported(boardCount, 0);
    std::vector<bool> committed(boardCount, false);
    std::atomic<bool> finished{false};
    std::thread reader([&] {
        const auto deadline = SteadyClock::now() + std::chrono::seconds(60);
        int done = 0;
        while (done < boardCount && SteadyClock::now() < deadline) {
            for (int b = 0; b < boardCount; ++b) {
                for (const std::string& reply : editors[b]->poll()) {
                    if (contains(reply, "\"exportNode\""))
                        ++exported[b];
                    else if (contains(reply, "\"exportCommit\"") && !committed[b]) {
                        committed[b] = true;
                        ++done;
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        finished = true;
    });
    const long maxPasses = 20L * nodes + 5000;
    for (long i = 0; i < maxPasses && !finished; ++i)
        relay.pass();
    reader.join();
    figures.passes = relay.passes - start;
    figures.milliseconds = millisecondsSince(started);
    figures.relayCpuMilliseconds = (relay.relayCpuMicroseconds - startCpu) / 1000.0;
    for (int b = 0; b < boardCount; ++b) {
        if (!committed[b] || exported[b] != nodes || boards[b]->nodes().size() != static_cast<size_t>(nodes)) {
            std::fprintf(stderr, "board %d: %d nodes exported, %zu stored, export %s\n", b, exported[b],
                         boards[b]->nodes().size(), committed[b] ? "ended" : "unfinished");
            return figures;
        }
    }
    figures.ok = true;
    return figures;
}

// CPU time of one idle pass, with no editor and no board (the 1 ms sleep excluded).
double idlePassMicroseconds(int passes)
{
    BenchRelay relay;
    if (!relay.start())
        return -1;
    const double before = threadCpuMicroseconds();
    for (int i = 0; i < passes; ++i)
        relay.server.runPass();
    return (threadCpuMicroseconds() - before) / passes;
}

// CPU time one 1 ms sleep costs its thread: going to sleep and waking up.
double sleepMicroseconds(int sleeps)
{
    const double before = threadCpuMicroseconds();
    for (int i = 0; i < sleeps; ++i)
        sleepOneMillisecond();
    return (threadCpuMicroseconds() - before) / sleeps;
}

// One enumeration of the machine's serial ports by the serial library, CPU and wall time in milliseconds.
void enumerationMilliseconds(int times, double& cpu, double& wall)
{
    LibSerialPortDriver driver;
    std::vector<SerialPortInfo> ports;
    const double before = threadCpuMicroseconds();
    const auto started = SteadyClock::now();
    for (int i = 0; i < times; ++i)
        driver.listPorts(ports);
    cpu = (threadCpuMicroseconds() - before) / 1000.0 / times;
    wall = millisecondsSince(started) / times;
}

std::string programNextToThis()
{
    char path[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return "vantrelRelay";
    std::string self(path, static_cast<size_t>(length));
    return self.substr(0, self.rfind('/') + 1) + "vantrelRelay";
}

struct Options {
    std::string firmwareFolder = "/tmp";
    std::string program;
    int idleSeconds = 10;
    std::string parts = "flash,roundtrip,boards,idle";
    // The micro-benchmarks' JSON results, summarised in the same table when given.
    std::string microResults;

    bool wants(const char* part) const
    {
        return ("," + parts + ",").find(std::string(",") + part + ",") != std::string::npos;
    }
};

bool readOptions(int argc, char** argv, Options& options)
{
    options.program = programNextToThis();
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc)
            return false;
        if (option == "-f")
            options.firmwareFolder = argv[++i];
        else if (option == "-r")
            options.program = argv[++i];
        else if (option == "-i")
            options.idleSeconds = std::atoi(argv[++i]);
        else if (option == "-s")
            options.parts = argv[++i];
        else if (option == "-m")
            options.microResults = argv[++i];
        else
            return false;
    }
    return options.idleSeconds > 0;
}

void addFlashRows(ResultTable& table, const char* label, const FlashFigures& figures)
{
    const std::string name = std::string("flash ") + label;
    if (!figures.ok) {
        table.failed(name, "did not complete");
        return;
    }
    table.add(name + ": passes per 32-byte chunk", fixed(figures.passesPerChunk, 3), "<= 1.05",
              figures.passesPerChunk <= 1.05);
    table.info(name + ": time (" + std::to_string(figures.chunks) + " chunks)", fixed(figures.seconds, 2) + " s");
    table.add(name + ": last romVerify after last echo", passesText(figures.verifyLagPasses), "<= 5 passes",
              figures.verifyLagPasses <= 5);
}

void flashRows(ResultTable& table, const std::string& folder)
{
    // The relay takes firmware files from its working directory only.
    char previous[4096] = {};
    if (getcwd(previous, sizeof previous) == nullptr || chdir(folder.c_str()) != 0) {
        table.failed("flash", "cannot work in " + folder);
        return;
    }
    std::fprintf(stderr, "flashing...\n");
    addFlashRows(table, "100000 B", flashFirmware(100000));
    addFlashRows(table, "1 MiB", flashFirmware(1 << 20));
    if (chdir(previous) != 0)
        std::fprintf(stderr, "cannot return to %s\n", previous);
}

void roundTripRows(ResultTable& table)
{
    std::fprintf(stderr, "round trips...\n");
    const RoundTripFigures trips = roundTrips(2000);
    if (!trips.ok) {
        table.failed("round trip", "did not complete");
        return;
    }
    table.info("round trip p50 (2000 commands)", passesText(trips.p50Passes) + ", " + fixed(trips.p50Ms, 2) + " ms");
    table.add("round trip p99 (2000 commands)", passesText(trips.p99Passes) + ", " + fixed(trips.p99Ms, 2) + " ms",
              "<= 2 passes", trips.p99Passes <= 2);
}

void boardRows(ResultTable& table)
{
    std::fprintf(stderr, "configuring boards...\n");
    const ConfigureFigures one = configureBoards(1, 100);
    const ConfigureFigures eight = configureBoards(8, 100);
    if (!one.ok || !eight.ok) {
        table.failed("8 boards / 1 board", "did not complete");
        return;
    }
    table.info("1 board: 100 addNode + export", passesText(one.passes) + ", " + fixed(one.milliseconds, 0) +
                                                    " ms (relay CPU " + fixed(one.relayCpuMilliseconds, 1) + " ms)");
    table.info("8 boards at once: 100 addNode + export each", passesText(eight.passes) + ", " +
                                                                  fixed(eight.milliseconds, 0) + " ms (relay CPU " +
                                                                  fixed(eight.relayCpuMilliseconds, 1) + " ms)");
    const double ratio = static_cast<double>(eight.passes) / static_cast<double>(one.passes);
    const double timeRatio = eight.milliseconds / one.milliseconds;
    table.add("8 boards / 1 board", fixed(ratio, 2) + "x passes, " + fixed(timeRatio, 2) + "x time", "<= 1.2x",
              ratio <= 1.2 && timeRatio <= 1.2);
}

void idleRows(ResultTable& table, const Options& options)
{
    std::fprintf(stderr, "idle program for %d s...\n", options.idleSeconds);
    const IdleUsage idle = measureIdleProgram(options.program, freeLoopbackPort(), options.idleSeconds);
    if (idle.ok) {
        table.add("idle program: CPU / wall", fixed(idle.cpuPercent, 2) + " % of one core", "<= 2 %",
                  idle.cpuPercent <= 2.0);
        table.add("idle program: resident memory", fixed(static_cast<double>(idle.rssKiB) / 1024.0, 1) + " MiB",
                  "<= 16 MiB", idle.rssKiB <= 16 * 1024);
        table.info("idle program: wake-ups", fixed(idle.wakeupsPerSecond, 0) + " per s");
    } else {
        table.failed("idle program", "could not be measured");
    }
    table.info("idle pass without its sleep (CPU)", fixed(idlePassMicroseconds(20000), 2) + " us");
    table.info("1 ms sleep: going to sleep and waking (CPU)", fixed(sleepMicroseconds(2000), 2) + " us");
    double enumerationCpu = 0;
    double enumerationWall = 0;
    enumerationMilliseconds(50, enumerationCpu, enumerationWall);
    table.info("one port enumeration (CPU, wall)",
               fixed(enumerationCpu, 3) + " ms, " + fixed(enumerationWall, 3) + " ms");
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!readOptions(argc, argv, options)) {
        std::fprintf(
            stderr,
            "Usage: %s [-f firmwareFolder] [-r relayProgram] [-i idleSeconds] [-s parts] [-m microResults.json]\n",
            argv[0]);
        return 2;
    }
    // The relay's own lines would drown the table; only its complaints are shown.
    logger.threshold = static_cast<int>(LogLevel::WARNING);
    lws_set_log_level(LLL_ERR | LLL_WARN, nullptr);
    ResultTable table;

    if (!options.microResults.empty())
        addMicroBenchmarkRows(table, options.microResults);
    if (options.wants("flash"))
        flashRows(table, options.firmwareFolder);
    if (options.wants("roundtrip"))
        roundTripRows(table);
    if (options.wants("boards"))
        boardRows(table);
    if (options.wants("idle"))
        idleRows(table, options);
    table.print(stdout);
    return table.allMet() ? 0 : 1;
}
