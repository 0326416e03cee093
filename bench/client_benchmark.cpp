#include "bench/client_benchmark.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/process_usage.h"
#include "support/loopback_port.h"
#include "support/websocket_test_client.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int waitMs = 20000;
constexpr size_t imageBytes = 256 * 1024;
// The paced write is smaller: at 500 us a chunk, 64 KiB take about a second.
constexpr size_t pacedImageBytes = 64 * 1024;
constexpr int pacedAnswerUs = 500;

double millisecondsSince(SteadyClock::time_point start)
{
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

WebSocketTestClient::Pump waitFor(const WebSocketTestClient& editor)
{
    return [&editor] {
        pollfd readable{editor.descriptor(), POLLIN, 0};
        poll(&readable, 1, 1);
    };
}

bool acceptsConnections(int port)
{
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool accepted = probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (probe >= 0)
        close(probe);
    return accepted;
}

// vantrelRelaySim on a free loopback port with simulated boards, in the folder, for as long as it lives.
class Simulator {
public:
    // Boards that answer at once, or answerDelayUs after each message as a board on USB does.
    Simulator(const std::string& program, int boards, const std::string& folder, int answerDelayUs = 0)
        : port(freeLoopbackPort())
    {
        pid = startProgram(
            program,
            {"-p", std::to_string(port), "-n", std::to_string(boards), "-d", std::to_string(answerDelayUs), "-l", "3"},
            folder);
        const auto started = SteadyClock::now();
        while (pid > 0 && !listening && millisecondsSince(started) < waitMs) {
            listening = acceptsConnections(port);
            if (!listening)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~Simulator()
    {
        if (pid > 0)
            endProgram(pid);
    }
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    std::string relay() const { return "ws://localhost:" + std::to_string(port) + "/"; }

    const int port;
    bool listening = false;

private:
    int pid = -1;
};

// Milliseconds of one vantrel run; negative when it did not succeed.
double timeClient(const std::string& client, const Simulator& simulator, std::vector<std::string> arguments,
                  const std::string& folder)
{
    arguments.insert(arguments.begin(), {"--relay", simulator.relay()});
    const auto started = SteadyClock::now();
    const int status = runProgram(client, arguments, folder);
    const double ms = millisecondsSince(started);
    if (status != 0)
        std::fprintf(stderr, "vantrel %s ended with status %d\n", arguments[2].c_str(), status);
    return status == 0 ? ms : -1;
}

std::string command(const std::string& port, const std::string& payload)
{
    return R"({"port":")" + port + R"(","payload":)" + payload + "}";
}

bool await(WebSocketTestClient& editor, const char* part)
{
    std::string reply;
    while (editor.receiveText(reply, waitFor(editor), waitMs)) {
        if (reply.find(part) != std::string::npos)
            return true;
    }
    return false;
}

// The same write as vantrel flash, driven directly over WebSocket from this process: version, switch to the
// bootloader, version, the image, start of the application, version. Milliseconds; negative when it failed.
double directFlash(const Simulator& simulator, const std::string& image)
{
    const auto started = SteadyClock::now();
    WebSocketTestClient editor;
    if (!editor.connect(
            simulator.port, "vantrel-configurator", [] {}, waitMs) ||
        !await(editor, "firmwareFilesList"))
        return -1;
    const std::string version = command("simACM0", R"({"getVersion":{}})");
    const std::string steps[][2] = {
        {version, "requestBootloaderStatus"},
        {command("simACM0", R"({"request_bootloader":{"bootloaderType":"bootloader","usbConfigType":"cdc"}})"),
         "requestBootloaderStatus"},
        {version, "requestBootloaderStatus"},
        {command("simACM0",
                 R"({"write_firmware_image":{"name":"app.bin","size":)" + std::to_string(image.size()) + "}}"),
         ""},
        {command("simACM0", R"({"request_bootloader":{"bootloaderType":"app","usbConfigType":"cdc"}})"),
         "requestBootloaderStatus"},
        {version, "requestBootloaderStatus"},
    };
    for (const auto& step : steps) {
        if (!editor.sendText(step[0]))
            return -1;
        if (step[1][0] == '\0') {
            if (!editor.sendFrame(WebSocketTestClient::Opcode::BINARY, image, true) ||
                !editor.flush(waitFor(editor), waitMs) || !await(editor, "romFinish"))
                return -1;
        } else if (!await(editor, step[1].c_str())) {
            return -1;
        }
    }
    return millisecondsSince(started);
}

void flashRows(ResultTable& table, const ClientPrograms& programs, const std::string& folder)
{
    std::string image(imageBytes, '\0');
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    const std::string file = folder + "/client-benchmark.bin";
    std::ofstream(file, std::ios::binary) << image;

    const std::string pacedFile = folder + "/client-benchmark-paced.bin";
    std::ofstream(pacedFile, std::ios::binary) << image.substr(0, pacedImageBytes);
    Simulator one(programs.simulator, 1, folder);
    Simulator eight(programs.simulator, 8, folder);
    Simulator paced(programs.simulator, 8, folder, pacedAnswerUs);
    if (!one.listening || !eight.listening || !paced.listening) {
        table.failed("vantrel flash", "the simulator did not start");
        return;
    }
    // Alternated, so that a change in the machine's load touches both alike.
    std::vector<double> client;
    std::vector<double> direct;
    std::vector<double> alone;
    std::vector<double> together;
    const std::vector<std::string> all = {"flash",   "simACM0", "simACM1", "simACM2", "simACM3",
                                          "simACM4", "simACM5", "simACM6", "simACM7", file};
    std::vector<double> pacedAlone;
    std::vector<double> pacedTogether;
    std::vector<std::string> pacedAll = all;
    pacedAll.back() = pacedFile;
    for (int round = 0; round < 5; ++round) {
        client.push_back(timeClient(programs.client, one, {"flash", "simACM0", file}, folder));
        direct.push_back(directFlash(one, image));
        alone.push_back(timeClient(programs.client, eight, {"flash", "simACM0", file}, folder));
        together.push_back(timeClient(programs.client, eight, all, folder));
        pacedAlone.push_back(timeClient(programs.client, paced, {"flash", "simACM0", pacedFile}, folder));
        pacedTogether.push_back(timeClient(programs.client, paced, pacedAll, folder));
    }
    std::remove(file.c_str());
    std::remove(pacedFile.c_str());
    const auto failed = [](const std::vector<double>& times) {
        return std::any_of(times.begin(), times.end(), [](double ms) { return ms < 0; });
    };
    if (failed(client) || failed(direct)) {
        table.failed("vantrel flash 256 KiB / the same write over WebSocket", "a write did not complete");
    } else {
        const double ratio = median(client) / median(direct);
        table.add("vantrel flash 256 KiB / the same write over WebSocket",
                  fixed(median(client), 0) + " ms / " + fixed(median(direct), 0) + " ms (" +
                      fixed((ratio - 1) * 100, 1) + " %, medians of 5)",
                  "<= +10 %", ratio <= 1.10);
    }
    // Boards that answer at once leave nothing to wait for: eight writes are eight times the relay's work on its
    // one loop, shown for what it costs. At a board's own pace the writes overlap, which is what the target asks.
    if (failed(alone) || failed(together)) {
        table.failed("vantrel flash 256 KiB: 8 boards / 1 board, answering at once", "a write did not complete");
    } else {
        table.info("vantrel flash 256 KiB: 8 boards / 1 board, answering at once",
                   fixed(median(together), 0) + " ms / " + fixed(median(alone), 0) + " ms (" +
                       fixed(median(together) / median(alone), 2) + "x, medians of 5; CPU-bound)");
    }
    if (failed(pacedAlone) || failed(pacedTogether)) {
        table.failed("vantrel flash 64 KiB: 8 boards / 1 board, answering after 500 us", "a write did not complete");
    } else {
        const double ratio = median(pacedTogether) / median(pacedAlone);
        table.add("vantrel flash 64 KiB: 8 boards / 1 board, answering after 500 us",
                  fixed(median(pacedTogether), 0) + " ms / " + fixed(median(pacedAlone), 0) + " ms (" +
                      fixed(ratio, 2) + "x, medians of 5)",
                  "<= 1.5x", ratio <= 1.5);
    }
}

// 100 nodes of assorted types, put on simACM0 directly, saved by vantrel backup and restored onto simACM1.
void restoreRows(ResultTable& table, const ClientPrograms& programs, const std::string& folder)
{
    const std::string name = "vantrel restore of 100 nodes";
    Simulator simulator(programs.simulator, 2, folder);
    WebSocketTestClient editor;
    if (!simulator.listening ||
        !editor.connect(
            simulator.port, "vantrel-configurator", [] {}, waitMs) ||
        !await(editor, "firmwareFilesList")) {
        table.failed(name, "the simulator did not start");
        return;
    }
    const char* const types[] = {"constant", "pid", "mix", "timer", "servopwmout", "mapping", "display", "strobe"};
    for (int id = 1; id <= 100; ++id) {
        const std::string source = id > 1 ? R"("prop_source":"#)" + std::to_string(id - 1) + "\"" : "";
        editor.sendText(command("simACM0", R"({"addNode":{"id":)" + std::to_string(id) + R"(,"type":")" +
                                               types[id % 8] + R"(","properties":{)" + source + "}}}"));
    }
    editor.sendText(command("simACM0", R"({"looptime":{}})"));
    const std::string document = folder + "/client-benchmark.json";
    if (!await(editor, "looptime") ||
        timeClient(programs.client, simulator, {"backup", "simACM0", "-o", document}, folder) < 0) {
        table.failed(name, "the configuration could not be saved");
        return;
    }
    std::vector<double> times;
    for (int round = 0; round < 3; ++round)
        times.push_back(timeClient(programs.client, simulator, {"restore", "simACM1", document}, folder));
    std::remove(document.c_str());
    if (std::any_of(times.begin(), times.end(), [](double ms) { return ms < 0; })) {
        table.failed(name, "a restore did not complete");
        return;
    }
    table.add(name, fixed(median(times), 0) + " ms (median of 3)", "< 2000 ms", median(times) < 2000);
}

void boardsRows(ResultTable& table, const ClientPrograms& programs, const std::string& folder)
{
    const std::string name = "vantrel boards, 16 boards";
    Simulator simulator(programs.simulator, 16, folder);
    if (!simulator.listening) {
        table.failed(name, "the simulator did not start");
        return;
    }
    std::vector<double> times;
    for (int round = 0; round < 5; ++round)
        times.push_back(timeClient(programs.client, simulator, {"boards"}, folder));
    if (std::any_of(times.begin(), times.end(), [](double ms) { return ms < 0; })) {
        table.failed(name, "a listing did not complete");
        return;
    }
    table.add(name, fixed(median(times), 0) + " ms (median of 5, the whole program)", "< 200 ms", median(times) < 200);
}

} // namespace

void clientRows(ResultTable& table, const ClientPrograms& programs, const std::string& folder)
{
    std::fprintf(stderr, "the command-line client...\n");
    flashRows(table, programs, folder);
    restoreRows(table, programs, folder);
    boardsRows(table, programs, folder);
}
