// End-to-end figures of the relay: an in-process RelayServer with the real WebSocket library on 127.0.0.1, its
// loop (a pass, then the wait for work, as the program runs it) on a thread of its own, editors speaking WebSocket
// to it from the main thread and simulated boards behind descriptors the loop waits on, answering at once or after
// a set delay. The last part runs the real program idle, alone and with as many editors as it admits, and reads
// its cost from /proc.
//
// Usage: end_to_end_benchmark [-f firmwareFolder] [-r relayProgram] [-i idleSeconds] [-s parts]
// parts is a comma-separated choice of flash, chunk, multiboard, roundtrip, stalled, boards, idle, client (default:
// all of them). The client part runs vantrel and vantrelRelaySim from beside the relay program.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
#include "bench/client_benchmark.h"
#include "bench/micro_summary.h"
#include "bench/process_usage.h"
#include "bench/pty_board_driver.h"
#include "bench/pty_floor.h"
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
#include "web/connection_gate.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int connectTimeoutMs = 5000;
constexpr int replyTimeoutMs = 10000;
constexpr size_t firmwareChunk = FirmwareFlasher::chunkSize;
constexpr size_t flashBytes = 256 * 1024;

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

std::string boardCommand(const std::string& port, const std::string& payload)
{
    return R"({"port":")" + port + R"(","payload":)" + payload + "}";
}

bool contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Waits up to 1 ms for the server to write to this editor, as a browser waits for its socket.
WebSocketTestClient::Pump waitFor(const WebSocketTestClient& editor)
{
    return [&editor] {
        pollfd readable{editor.descriptor(), POLLIN, 0};
        poll(&readable, 1, 1);
    };
}

// A connected editor whose greeting has been read; nullptr (after a message) when it could not connect. With a
// source address, it connects from that loopback address.
std::unique_ptr<WebSocketTestClient> connectEditor(int port, const std::string& source = "")
{
    auto editor = std::make_unique<WebSocketTestClient>();
    editor->setSourceAddress(source);
    const WebSocketTestClient::Pump connecting = [] { std::this_thread::sleep_for(std::chrono::microseconds(100)); };
    if (!editor->connect(port, "vantrel-configurator", connecting, connectTimeoutMs)) {
        std::fprintf(stderr, "editor could not connect: %s\n", editor->lastError().c_str());
        return nullptr;
    }
    std::string greeting;
    for (int i = 0; i < 4; ++i) {
        if (!editor->receiveText(greeting, waitFor(*editor), connectTimeoutMs)) {
            std::fprintf(stderr, "no greeting: %s\n", editor->lastError().c_str());
            return nullptr;
        }
    }
    return editor;
}

// Reads replies until one holds part; false (after a message) when none did in time.
bool awaitReply(WebSocketTestClient& editor, const char* part)
{
    std::string reply;
    while (editor.receiveText(reply, waitFor(editor), replyTimeoutMs)) {
        if (contains(reply, part))
            return true;
    }
    std::fprintf(stderr, "no reply with %s: %s\n", part, editor.lastError().c_str());
    return false;
}

// A relay server with simulated boards, its loop running on a thread of its own as the program runs it. The boards
// are the in-process simulated ones, or those of the driver given.
class BenchRelay {
public:
    explicit BenchRelay(SerialDriver* boards = nullptr) : server(boards != nullptr ? *boards : driver, clock) {}
    ~BenchRelay() { stopLoop(); }

    // Boards must be added (and their ports set up through driver) before start, which the loop then owns.
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
        if (port == 0 || !server.start(settings))
            return false;
        loop = std::thread([this] {
            const double before = threadCpuMicroseconds();
            while (!stopRequested) {
                server.runPass();
                ++passes;
                server.waitForWork();
            }
            relayCpuMicroseconds = threadCpuMicroseconds() - before;
        });
        pthread_getcpuclockid(loop.native_handle(), &loopCpuClock);
        return true;
    }

    // CPU time of the loop's thread so far, while it runs.
    double loopCpuMicroseconds() const
    {
        timespec now{};
        clock_gettime(loopCpuClock, &now);
        return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
    }

    // Ends the loop; the boards may be looked at afterwards.
    void stopLoop()
    {
        if (!loop.joinable())
            return;
        stopRequested = true;
        // A connection that comes and goes ends the wait at once.
        const int wake = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (wake >= 0) {
            connect(wake, reinterpret_cast<const sockaddr*>(&address), sizeof address);
            close(wake);
        }
        loop.join();
        server.stop();
    }

    SystemClock clock;
    SimulatedSerialDriver driver{&clock};
    RelayServer server{driver, clock};
    int port = 0;
    std::atomic<long> passes{0};
    // CPU time of the loop's thread, passes and waits, once the loop has ended.
    double relayCpuMicroseconds = 0;

private:
    std::thread loop;
    clockid_t loopCpuClock{};
    std::atomic<bool> stopRequested{false};
};

struct FlashFigures {
    bool ok = false;
    size_t chunks = 0;
    double passesPerChunk = 0;
    double seconds = 0;
    double kilobytesPerSecond = 0;
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

// How the flashed board's neighbours and the board itself behave.
struct FlashSetting {
    std::chrono::microseconds answerDelay{0};
    // Another port that stops reading, whose editor keeps sending to it.
    bool stalledNeighbour = false;
    size_t bytes = flashBytes;
};

// On a serial line at 115200 baud (ten bits a byte) a chunk costs the wire time of its frame to the board (44 bytes)
// and of the board's acknowledgement (9) and echo (44): the board can answer no sooner.
constexpr double lineBytesPerSecond = 115200.0 / 10.0;
constexpr size_t bytesOnTheWirePerChunk = 44 + 9 + 44;
const std::chrono::microseconds pacedChunk(static_cast<long>(1e6 * static_cast<double>(bytesOnTheWirePerChunk) /
                                                             lineBytesPerSecond));
// What such a line carries of the image at best.
constexpr double wireLimitKilobytesPerSecond =
    static_cast<double>(FirmwareFlasher::chunkSize) * lineBytesPerSecond / bytesOnTheWirePerChunk / 1000.0;

// A write (256 KiB unless the setting says otherwise), timed from the write command to the editor's "romFinish",
// with every chunk verified.
FlashFigures flashFirmware(const FlashSetting& setting)
{
    FlashFigures figures;
    const size_t bytes = setting.bytes;
    const std::vector<uint8_t> image = firmwareImage(bytes);
    const TemporaryFile file("bench-" + std::to_string(bytes) + ".bin");
    if (!file.write(image)) {
        std::fprintf(stderr, "cannot write %s\n", file.path.c_str());
        return figures;
    }
    BenchRelay relay;
    SimulatedBoard* board = relay.addBoard("ttyACM0");
    if (board == nullptr || (setting.stalledNeighbour && relay.addBoard("ttyACM1") == nullptr))
        return figures;
    relay.driver.setAnswerDelay("ttyACM0", setting.answerDelay);
    relay.driver.setReading("ttyACM1", !setting.stalledNeighbour);
    std::unique_ptr<WebSocketTestClient> editor;
    std::unique_ptr<WebSocketTestClient> neighbour;
    if (!relay.start() || !(editor = connectEditor(relay.port)))
        return figures;
    if (setting.stalledNeighbour) {
        if (!(neighbour = connectEditor(relay.port)))
            return figures;
        for (int i = 0; i < 100; ++i)
            neighbour->sendText(boardCommand("ttyACM1", R"({"ledtoggle":1})"));
    }
    editor->sendText(boardCommand("ttyACM0", R"({"request_bootloader":{"bootloaderType":"bootloader"}})"));
    if (!awaitReply(*editor, "\"requestBootloaderStatus\":1"))
        return figures;

    figures.chunks = (bytes + firmwareChunk - 1) / firmwareChunk;
    const long startPasses = relay.passes;
    const auto started = SteadyClock::now();
    editor->sendText(boardCommand("ttyACM0", R"({"write_firmware":{"file":")" + file.path + R"("}})"));
    size_t verifies = 0;
    bool finished = false;
    std::string reply;
    while (!finished && editor->receiveText(reply, waitFor(*editor), replyTimeoutMs)) {
        if (contains(reply, "\"romVerify\":"))
            ++verifies;
        else if (contains(reply, "\"romFinish\""))
            finished = true;
        else if (contains(reply, "\"firmwareFile") || contains(reply, "\"firmwareNeeds")) {
            std::fprintf(stderr, "flash failed: %s\n", reply.c_str());
            return figures;
        }
    }
    figures.seconds = millisecondsSince(started) / 1000.0;
    const long passes = relay.passes - startPasses;
    relay.stopLoop();
    if (!finished || verifies != figures.chunks || board->flashImage() != image) {
        std::fprintf(stderr, "flash of %zu bytes did not complete intact (%zu of %zu verified)\n", bytes, verifies,
                     figures.chunks);
        return figures;
    }
    figures.passesPerChunk = static_cast<double>(passes) / static_cast<double>(figures.chunks);
    figures.kilobytesPerSecond = static_cast<double>(bytes) / 1000.0 / figures.seconds;
    figures.ok = true;
    return figures;
}

// Writes of several boards at once, each board on a pseudo-terminal with a thread of its own, each with an editor
// of its own. The CPU times cover the writes only (from the first write command to the last "romFinish").
struct BoardsFlashFigures {
    bool ok = false;
    // Each board's write, from its write command to its "romFinish".
    std::vector<double> seconds;
    double wallSeconds = 0;
    size_t chunks = 0;
    double relayCpuMicroseconds = 0;
    double boardCpuMicroseconds = 0;
    double boardLatenessMicroseconds = 0;
    double editorCpuMicroseconds = 0;
    long passes = 0;

    double relayCpuPerChunk() const { return relayCpuMicroseconds / static_cast<double>(chunks); }
};

BoardsFlashFigures flashBoards(int boardCount, size_t bytes, std::chrono::microseconds answerDelay)
{
    BoardsFlashFigures figures;
    const std::vector<uint8_t> image = firmwareImage(bytes);
    const TemporaryFile file("bench-boards-" + std::to_string(bytes) + ".bin");
    if (!file.write(image)) {
        std::fprintf(stderr, "cannot write %s\n", file.path.c_str());
        return figures;
    }
    PtyBoardDriver boards;
    BenchRelay relay(&boards);
    SimulatedBoard::Identity identity;
    identity.flashSizeKiB = 4096;
    std::vector<SimulatedBoard*> written;
    std::vector<std::string> names;
    for (int b = 0; b < boardCount; ++b) {
        names.push_back("ttyPTY" + std::to_string(b));
        written.push_back(boards.addBoard(names.back(), identity, answerDelay));
        if (written.back() == nullptr)
            return figures;
    }
    boards.startBoards();
    if (!relay.start())
        return figures;
    std::vector<std::unique_ptr<WebSocketTestClient>> editors;
    for (int b = 0; b < boardCount; ++b) {
        editors.push_back(connectEditor(relay.port));
        if (!editors.back())
            return figures;
        editors.back()->sendText(boardCommand(names[b], R"({"request_bootloader":{"bootloaderType":"bootloader"}})"));
        if (!awaitReply(*editors.back(), "\"requestBootloaderStatus\":1"))
            return figures;
    }

    const double relayBefore = relay.loopCpuMicroseconds();
    const double boardsBefore = boards.boardCpuMicroseconds();
    const double latenessBefore = boards.answerLatenessMicroseconds();
    const double editorsBefore = threadCpuMicroseconds();
    const long passesBefore = relay.passes;
    const auto started = SteadyClock::now();
    std::vector<SteadyClock::time_point> sent(boardCount);
    for (int b = 0; b < boardCount; ++b) {
        sent[b] = SteadyClock::now();
        editors[b]->sendText(boardCommand(names[b], R"({"write_firmware":{"file":")" + file.path + R"("}})"));
    }
    figures.seconds.assign(boardCount, 0);
    std::vector<size_t> verifies(boardCount, 0);
    std::vector<pollfd> sockets;
    for (const auto& editor : editors)
        sockets.push_back(pollfd{editor->descriptor(), POLLIN, 0});
    int finished = 0;
    while (finished < boardCount && millisecondsSince(started) < 120000) {
        ::poll(sockets.data(), sockets.size(), 10);
        for (int b = 0; b < boardCount; ++b) {
            if ((sockets[b].revents & POLLIN) == 0)
                continue;
            for (const std::string& reply : editors[b]->poll()) {
                if (contains(reply, "\"romVerify\":")) {
                    ++verifies[b];
                } else if (contains(reply, "\"romFinish\"")) {
                    figures.seconds[b] = std::chrono::duration<double>(SteadyClock::now() - sent[b]).count();
                    ++finished;
                } else if (contains(reply, "\"firmwareFile") || contains(reply, "\"firmwareNeeds") ||
                           contains(reply, "\"firmwareWrite")) {
                    std::fprintf(stderr, "%s: write failed: %s\n", names[b].c_str(), reply.c_str());
                    return figures;
                }
            }
        }
    }
    figures.wallSeconds = millisecondsSince(started) / 1000.0;
    figures.relayCpuMicroseconds = relay.loopCpuMicroseconds() - relayBefore;
    figures.boardCpuMicroseconds = boards.boardCpuMicroseconds() - boardsBefore;
    figures.boardLatenessMicroseconds = boards.answerLatenessMicroseconds() - latenessBefore;
    figures.editorCpuMicroseconds = threadCpuMicroseconds() - editorsBefore;
    figures.passes = relay.passes - passesBefore;
    relay.stopLoop();
    boards.stopBoards();
    const size_t chunksPerBoard = (bytes + firmwareChunk - 1) / firmwareChunk;
    for (int b = 0; b < boardCount; ++b) {
        if (figures.seconds[b] <= 0 || verifies[b] != chunksPerBoard || written[b]->flashImage() != image) {
            std::fprintf(stderr, "%s: write of %zu bytes did not complete intact (%zu of %zu verified)\n",
                         names[b].c_str(), bytes, verifies[b], chunksPerBoard);
            return figures;
        }
    }
    figures.chunks = chunksPerBoard * static_cast<size_t>(boardCount);
    figures.ok = true;
    return figures;
}

struct RoundTripFigures {
    bool ok = false;
    double p50Us = 0;
    double p99Us = 0;
};

template <typename T>
T percentile(std::vector<T> values, double fraction)
{
    std::sort(values.begin(), values.end());
    const size_t index = static_cast<size_t>(fraction * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// Each command is sent when the reply to the previous one has arrived. With a stalled neighbour, another port has
// stopped reading while its editor keeps sending to it.
RoundTripFigures roundTrips(int count, bool stalledNeighbour)
{
    RoundTripFigures figures;
    BenchRelay relay;
    if (relay.addBoard("ttyACM0") == nullptr || relay.addBoard("ttyACM1") == nullptr)
        return figures;
    relay.driver.setReading("ttyACM1", !stalledNeighbour);
    std::unique_ptr<WebSocketTestClient> editor;
    std::unique_ptr<WebSocketTestClient> neighbour;
    if (!relay.start() || !(editor = connectEditor(relay.port)) || !(neighbour = connectEditor(relay.port)))
        return figures;
    const std::string command = boardCommand("ttyACM0", R"({"looptime":1})");
    const std::string toNeighbour = boardCommand("ttyACM1", R"({"ledtoggle":1})");
    std::vector<double> microseconds;
    for (int i = 0; i < count; ++i) {
        if (i % 10 == 0) {
            neighbour->sendText(toNeighbour);
            neighbour->poll();
        }
        const auto started = SteadyClock::now();
        if (!editor->sendText(command) || !awaitReply(*editor, "\"looptime\":"))
            return figures;
        microseconds.push_back(millisecondsSince(started) * 1000.0);
    }
    figures.p50Us = percentile(microseconds, 0.50);
    figures.p99Us = percentile(microseconds, 0.99);
    figures.ok = true;
    return figures;
}

struct ConfigureFigures {
    bool ok = false;
    double milliseconds = 0;
    double relayCpuMilliseconds = 0;
};

// Every board gets nodes addNode commands and an export from an editor of its own, all sent at once; timed until
// every editor has the end of its export.
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
        editors.push_back(connectEditor(relay.port));
        if (!editors.back())
            return figures;
    }

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
    std::vector<int> exported(boardCount, 0);
    std::vector<bool> committed(boardCount, false);
    std::vector<pollfd> sockets;
    for (const auto& editor : editors)
        sockets.push_back(pollfd{editor->descriptor(), POLLIN, 0});
    int done = 0;
    while (done < boardCount && millisecondsSince(started) < 60000) {
        poll(sockets.data(), sockets.size(), 1);
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
    }
    figures.milliseconds = millisecondsSince(started);
    relay.stopLoop();
    figures.relayCpuMilliseconds = relay.relayCpuMicroseconds / 1000.0;
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

// CPU time of one idle pass, with no editor and no board (its wait excluded).
double idlePassMicroseconds(int passes)
{
    SystemClock clock;
    SimulatedSerialDriver driver{&clock};
    RelayServer server{driver, clock};
    RelayServerSettings settings;
    settings.port = freeLoopbackPort();
    settings.mountOrigin = "/nonexistent";
    if (settings.port == 0 || !server.start(settings))
        return -1;
    const double before = threadCpuMicroseconds();
    for (int i = 0; i < passes; ++i)
        server.runPass();
    return (threadCpuMicroseconds() - before) / passes;
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

std::string programNextToThis(const std::string& name)
{
    char path[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return name;
    std::string self(path, static_cast<size_t>(length));
    return self.substr(0, self.rfind('/') + 1) + name;
}

struct Options {
    std::string firmwareFolder = "/tmp";
    std::string program;
    int idleSeconds = 10;
    std::string parts = "flash,chunk,multiboard,roundtrip,stalled,boards,idle,client";
    // The micro-benchmarks' JSON results, summarised in the same table when given.
    std::string microResults;

    bool wants(const char* part) const
    {
        return ("," + parts + ",").find(std::string(",") + part + ",") != std::string::npos;
    }
};

bool readOptions(int argc, char** argv, Options& options)
{
    options.program = programNextToThis("vantrelRelay");
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

// Runs body in the firmware folder, where the relay looks for firmware files.
template <typename Body>
void inFolder(ResultTable& table, const std::string& folder, Body body)
{
    char previous[4096] = {};
    if (getcwd(previous, sizeof previous) == nullptr || chdir(folder.c_str()) != 0) {
        table.failed("flash", "cannot work in " + folder);
        return;
    }
    body();
    if (chdir(previous) != 0)
        std::fprintf(stderr, "cannot return to %s\n", previous);
}

void addFlashRow(ResultTable& table, const std::string& label, const FlashFigures& figures, double target)
{
    const std::string name = "flash 256 KiB, " + label;
    if (!figures.ok) {
        table.failed(name, "did not complete");
        return;
    }
    const std::string measured = fixed(figures.kilobytesPerSecond, 0) + " KB/s (" + fixed(figures.seconds, 2) + " s, " +
                                 fixed(figures.passesPerChunk, 2) + " passes per chunk)";
    if (target > 0)
        table.add(name, measured, ">= " + fixed(target, 0) + " KB/s", figures.kilobytesPerSecond >= target);
    else
        table.info(name, measured);
}

void flashRows(ResultTable& table, const std::string& folder)
{
    std::fprintf(stderr, "flashing...\n");
    inFolder(table, folder, [&] {
        addFlashRow(table, "board answers at once", flashFirmware(FlashSetting{}), 300);
        addFlashRow(table, "board answers after 100 us",
                    flashFirmware(FlashSetting{std::chrono::microseconds(100), false}), 100);
        // 16 KiB: on a paced line a chunk takes about 8.4 ms whatever the relay does.
        const FlashFigures paced = flashFirmware(FlashSetting{pacedChunk, false, 16 * 1024});
        const std::string name = "flash 16 KiB, line paced at 115200 baud";
        if (!paced.ok) {
            table.failed(name, "did not complete");
        } else {
            const double share = paced.kilobytesPerSecond / wireLimitKilobytesPerSecond;
            table.add(name,
                      fixed(paced.kilobytesPerSecond, 2) + " of " + fixed(wireLimitKilobytesPerSecond, 2) + " KB/s (" +
                          fixed(100 * share, 1) + " % of the wire limit)",
                      ">= 95 %", share >= 0.95);
        }
    });
}

void roundTripRows(ResultTable& table)
{
    std::fprintf(stderr, "round trips...\n");
    const RoundTripFigures trips = roundTrips(2000, false);
    if (!trips.ok) {
        table.failed("round trip", "did not complete");
        return;
    }
    table.info("round trip p50 (2000 commands)", fixed(trips.p50Us, 0) + " us");
    table.add("round trip p99 (2000 commands)", fixed(trips.p99Us, 0) + " us", "<= 500 us", trips.p99Us <= 500);
}

void stalledRows(ResultTable& table, const std::string& folder)
{
    std::fprintf(stderr, "a port that stops reading...\n");
    // Alternated, so that a change in the machine's load touches both alike.
    std::vector<double> free;
    std::vector<double> stalled;
    for (int round = 0; round < 3; ++round) {
        const RoundTripFigures alone = roundTrips(2000, false);
        const RoundTripFigures beside = roundTrips(2000, true);
        if (!alone.ok || !beside.ok) {
            table.failed("round trip beside a port that stops reading", "did not complete");
            return;
        }
        free.push_back(alone.p99Us);
        stalled.push_back(beside.p99Us);
    }
    const double freeP99 = percentile(free, 0.5);
    const double stalledP99 = percentile(stalled, 0.5);
    const double change = stalledP99 / freeP99 - 1.0;
    table.add("round trip p99 beside a port that stops reading",
              fixed(stalledP99, 0) + " us vs " + fixed(freeP99, 0) + " us (" + (change >= 0 ? "+" : "") +
                  fixed(change * 100.0, 0) + " %, medians of 3)",
              "<= +20 %", change <= 0.2);
    inFolder(table, folder, [&] {
        addFlashRow(table, "beside a port that stops reading",
                    flashFirmware(FlashSetting{std::chrono::microseconds(0), true}), 300);
    });
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
    table.info("1 board: 100 addNode + export",
               fixed(one.milliseconds, 0) + " ms (relay CPU " + fixed(one.relayCpuMilliseconds, 1) + " ms)");
    table.info("8 boards at once: 100 addNode + export each",
               fixed(eight.milliseconds, 0) + " ms (relay CPU " + fixed(eight.relayCpuMilliseconds, 1) + " ms)");
}

std::string boardsCpuText(const BoardsFlashFigures& figures)
{
    const double chunks = static_cast<double>(figures.chunks);
    return "relay " + fixed(figures.relayCpuPerChunk(), 1) + " us, boards " +
           fixed(figures.boardCpuMicroseconds / chunks, 1) + " us, editors " +
           fixed(figures.editorCpuMicroseconds / chunks, 1) + " us of CPU per chunk";
}

// The relay's own CPU for one verified chunk: one board on a thread of its own that answers at once.
void chunkRows(ResultTable& table, const std::string& folder)
{
    std::fprintf(stderr, "relay CPU per chunk...\n");
    inFolder(table, folder, [&] {
        std::vector<double> perChunk;
        BoardsFlashFigures last;
        for (int round = 0; round < 3; ++round) {
            last = flashBoards(1, flashBytes, std::chrono::microseconds(0));
            if (!last.ok) {
                table.failed("relay CPU per verified chunk", "did not complete");
                return;
            }
            perChunk.push_back(last.relayCpuPerChunk());
        }
        const double median = percentile(perChunk, 0.5);
        table.add("relay CPU per verified chunk (256 KiB, board on its own thread answers at once)",
                  fixed(median, 1) + " us (median of 3; last run " +
                      fixed(static_cast<double>(flashBytes) / 1000.0 / last.wallSeconds, 0) + " KB/s, " +
                      fixed(static_cast<double>(last.passes) / static_cast<double>(last.chunks), 2) +
                      " passes per chunk)",
                  "<= 15 us", median <= 15);
        std::vector<double> floor;
        for (int round = 0; round < 3; ++round) {
            floor.push_back(ptyExchangeCpuMicroseconds(8192));
            if (floor.back() < 0) {
                table.failed("the same exchange without the relay", "no pseudo-terminal");
                return;
            }
        }
        const double floorMedian = percentile(floor, 0.5);
        table.info("the same exchange without the relay (frame written, poll, answer read)",
                   fixed(floorMedian, 1) + " us of CPU (median of 3); the relay's cost above it " +
                       fixed(median - floorMedian, 1) + " us");
    });
}

// Sixteen boards written at once, each on a thread of its own: at the boards' pace (500 us before each answer)
// against one board alone, and as fast as they answer.
void multiBoardRows(ResultTable& table, const std::string& folder)
{
    constexpr int boardCount = 16;
    const std::chrono::microseconds slowAnswer(500);
    std::fprintf(stderr, "%d boards at once...\n", boardCount);
    inFolder(table, folder, [&] {
        std::vector<double> alone;
        std::vector<double> slowest;
        BoardsFlashFigures crowd;
        BoardsFlashFigures one;
        for (int round = 0; round < 3; ++round) {
            one = flashBoards(1, 128 * 1024, slowAnswer);
            crowd = flashBoards(boardCount, 128 * 1024, slowAnswer);
            if (!one.ok || !crowd.ok) {
                table.failed("16 boards answering after 500 us", "did not complete");
                return;
            }
            alone.push_back(one.seconds[0]);
            slowest.push_back(*std::max_element(crowd.seconds.begin(), crowd.seconds.end()));
        }
        const double aloneSeconds = percentile(alone, 0.5);
        const double slowestSeconds = percentile(slowest, 0.5);
        const double ratio = slowestSeconds / aloneSeconds;
        table.add("16 boards answering after 500 us, 128 KiB each: slowest / alone",
                  fixed(ratio, 3) + " (" + fixed(slowestSeconds, 2) + " s vs " + fixed(aloneSeconds, 2) +
                      " s, medians of 3)",
                  "<= 1.10", ratio <= 1.10);
        table.info("16 boards answering after 500 us: CPU (last run)", boardsCpuText(crowd));
        table.info("16 boards answering after 500 us: fastest / alone (last run)",
                   fixed(*std::min_element(crowd.seconds.begin(), crowd.seconds.end()) / one.seconds[0], 3));
        // The boards' one thread answers 16 ports in turn: what it is late is the simulation's share of the ratio.
        const auto latePerChunk = [](const BoardsFlashFigures& figures) {
            return figures.boardLatenessMicroseconds / static_cast<double>(figures.chunks);
        };
        table.info("16 boards answering after 500 us: answers late (last run)",
                   fixed(latePerChunk(crowd), 1) + " us a chunk, alone " + fixed(latePerChunk(one), 1) +
                       " us, of a chunk's " + fixed(aloneSeconds * 1e6 / static_cast<double>(one.chunks), 0) +
                       " us alone");
        // The same boards and their thread with a program that does nothing but the exchanges: what sixteen cost
        // on this machine when the relay costs nothing.
        std::vector<double> floorAlone;
        std::vector<double> floorCrowd;
        for (int round = 0; round < 3; ++round) {
            floorAlone.push_back(ptyCrowdSlowestSeconds(1, one.chunks, slowAnswer));
            floorCrowd.push_back(ptyCrowdSlowestSeconds(boardCount, one.chunks, slowAnswer));
            if (floorAlone.back() < 0 || floorCrowd.back() < 0) {
                table.failed("16 boards answering after 500 us without the relay", "did not complete");
                return;
            }
        }
        table.info("16 boards answering after 500 us without the relay: slowest / alone",
                   fixed(percentile(floorCrowd, 0.5) / percentile(floorAlone, 0.5), 3) + " (" +
                       fixed(percentile(floorCrowd, 0.5), 2) + " s vs " + fixed(percentile(floorAlone, 0.5), 2) +
                       " s, medians of 3)");

        std::vector<double> rates;
        BoardsFlashFigures fast;
        for (int round = 0; round < 3; ++round) {
            fast = flashBoards(boardCount, flashBytes, std::chrono::microseconds(0));
            if (!fast.ok) {
                table.failed("16 boards answering at once", "did not complete");
                return;
            }
            rates.push_back(static_cast<double>(flashBytes) * boardCount / 1e6 / fast.wallSeconds);
        }
        const double rate = percentile(rates, 0.5);
        table.add("16 boards answering at once, 256 KiB each: together", fixed(rate, 2) + " MB/s (median of 3)",
                  ">= 1.5 MB/s", rate >= 1.5);
        table.info("16 boards answering at once: CPU (last run)",
                   boardsCpuText(fast) + ", " +
                       fixed(static_cast<double>(fast.passes) / static_cast<double>(fast.chunks), 2) +
                       " passes per chunk");
    });
}

// Connects editors to the relay program and keeps them open while it is measured: as many as its connection caps
// admit, from as many loopback addresses as that takes.
class IdleEditors {
public:
    static constexpr int count = static_cast<int>(ConnectionGate::maxConnections);

    bool connectAll(int port)
    {
        constexpr int perAddress = static_cast<int>(ConnectionGate::maxConnectionsPerPeer);
        for (int i = 0; i < count; ++i) {
            editors.push_back(connectEditor(port, "127.0.0." + std::to_string(2 + i / perAddress)));
            if (!editors.back())
                return false;
        }
        return true;
    }

private:
    std::vector<std::unique_ptr<WebSocketTestClient>> editors;
};

void idleRows(ResultTable& table, const Options& options)
{
    std::fprintf(stderr, "idle program for %d s...\n", options.idleSeconds);
    const IdleUsage idle = measureIdleProgram(options.program, freeLoopbackPort(), options.idleSeconds);
    if (idle.ok) {
        table.add("idle program: CPU / wall", fixed(idle.cpuPercent, 2) + " % of one core", "<= 0.5 %",
                  idle.cpuPercent <= 0.5);
        table.add("idle program: wake-ups", fixed(idle.wakeupsPerSecond, 1) + " per s", "<= 100 per s",
                  idle.wakeupsPerSecond <= 100);
        table.add("idle program: resident memory", fixed(static_cast<double>(idle.rssKiB) / 1024.0, 1) + " MiB",
                  "<= 16 MiB", idle.rssKiB <= 16 * 1024);
    } else {
        table.failed("idle program", "could not be measured");
    }
    const std::string crowd = "idle program, " + std::to_string(IdleEditors::count) + " editors (its cap)";
    std::fprintf(stderr, "%s for %d s...\n", crowd.c_str(), options.idleSeconds);
    IdleEditors editors;
    const IdleUsage crowded = measureIdleProgram(options.program, freeLoopbackPort(), options.idleSeconds,
                                                 [&editors](int port) { return editors.connectAll(port); });
    if (crowded.ok) {
        table.add(crowd + ": CPU / wall", fixed(crowded.cpuPercent, 2) + " % of one core", "<= 3 %",
                  crowded.cpuPercent <= 3.0);
        table.info(crowd + ": wake-ups", fixed(crowded.wakeupsPerSecond, 1) + " per s");
    } else {
        table.failed(crowd, "could not be measured");
    }
    table.info("idle pass without its wait (CPU)", fixed(idlePassMicroseconds(20000), 2) + " us");
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
    if (options.wants("chunk"))
        chunkRows(table, options.firmwareFolder);
    if (options.wants("multiboard"))
        multiBoardRows(table, options.firmwareFolder);
    if (options.wants("roundtrip"))
        roundTripRows(table);
    if (options.wants("stalled"))
        stalledRows(table, options.firmwareFolder);
    if (options.wants("boards"))
        boardRows(table);
    if (options.wants("idle"))
        idleRows(table, options);
    if (options.wants("client")) {
        const std::string folder = options.program.substr(0, options.program.rfind('/') + 1);
        clientRows(table, ClientPrograms{folder + "vantrel", folder + "vantrelRelaySim"}, options.firmwareFolder);
    }
    table.print(stdout);
    return table.allMet() ? 0 : 1;
}
