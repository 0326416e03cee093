#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/relay_program.h"
#include "core/clock.h"
#include "simulation/simulated_serial_driver.h"

namespace {

constexpr int defaultBoardCount = 2;
constexpr int maxBoardCount = 16;
constexpr uint16_t simulatedFlashKiB = 1024;
constexpr long maxAnswerDelayUs = 1000000;

const char* const simulatorUsageText =
    "\n"
    "Usage vantrelRelaySim [-h] [-v] [-n boardCount] [-p port] [-l logThreshold] [-f logFile]\n"
    "\n"
    "  Runs the relay with simulated boards instead of USB serial ports.\n"
    "\n"
    "  -h displays this message and exits.\n"
    "\n"
    "  -v displays version info and exits.\n"
    "\n"
    "  -n number of simulated boards, from 0 to 16 (default is 2)\n"
    "\n"
    "  -p port to listen on (default is 7681)\n"
    "\n"
    "  -s serves https and wss with the built-in certificate\n"
    "\n"
    "  logThreshold is a number from 0 to 6\n"
    "     0 = off\n"
    "     1 = fatal\n"
    "     2 = error\n"
    "     3 = warning\n"
    "     4 = info\n"
    "     5 = traffic\n"
    "     6 = debug\n"
    "\n"
    "  If logFile is not given, output will be directed to stdout.\n"
    "\n";

// The value of a whole-number option: the fallback when absent, -1 when it is not a whole number from 0 to max.
long readWholeNumberOption(int argc, const char* const* argv, const char* option, long fallback, long max)
{
    const char* value = findCommandLineOption(argc, argv, option);
    if (value == nullptr)
        return fallback;
    char* end = nullptr;
    const long number = std::strtol(value, &end, 10);
    if (*value == '\0' || *end != '\0' || number < 0 || number > max)
        return -1;
    return number;
}

// The board indexes of a list such as "0,3": false for anything but whole numbers from 0 to max.
bool readIndexList(const char* text, long max, std::vector<long>& indexes)
{
    const std::string list = text;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos)
            end = list.size();
        const std::string item = list.substr(start, end - start);
        char* stop = nullptr;
        const long index = std::strtol(item.c_str(), &stop, 10);
        if (item.empty() || *stop != '\0' || index < 0 || index > max)
            return false;
        indexes.push_back(index);
        start = end + 1;
    }
    return true;
}

void addBoards(SimulatedSerialDriver& driver, int count, long answerDelayUs)
{
    for (int index = 0; index < count; ++index) {
        SimulatedBoard::Identity identity;
        // Boards must be told apart by their serial numbers as real ones are.
        identity.serial[2] += static_cast<uint32_t>(index);
        // Room for firmware of a realistic size.
        identity.flashSizeKiB = simulatedFlashKiB;
        const std::string name = "simACM" + std::to_string(index);
        const std::string product = "vantrel board (simulated " + std::to_string(index + 1) + ")";
        driver.addBoard(name, product, identity);
        driver.setAnswerDelay(name, std::chrono::microseconds(answerDelayUs));
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<CommandLineOption> options = relayOptions;
    options.push_back({"-n", true});
    options.push_back({"-d", true});
    options.push_back({"-u", true});
    options.push_back({"-w", true});
    const CommandLineSettings settings = readCommandLine(argc, argv, options, "vantrelRelaySim");
    const int status = exitStatusBeforeServing(settings, "vantrelRelaySim", simulatorUsageText, VANTREL_BUILD_TIME);
    if (status >= 0)
        return status;
    const long boardCount = readWholeNumberOption(argc, argv, "-n", defaultBoardCount, maxBoardCount);
    if (boardCount < 0) {
        std::printf("Invalid board count. Try a number from 0 to %d\n", maxBoardCount);
        return 1;
    }

    // Microseconds each board waits before it answers, as a slow board or a slow line does.
    const long answerDelayUs = readWholeNumberOption(argc, argv, "-d", 0, maxAnswerDelayUs);
    if (answerDelayUs < 0) {
        std::printf("Invalid answer delay. Try a number of microseconds from 0 to %ld\n", maxAnswerDelayUs);
        return 1;
    }

    // The index of a board whose port cannot be opened, as when the user may not open the device; -1 for none.
    const long unopenable = readWholeNumberOption(argc, argv, "-u", -1, maxBoardCount - 1);
    if (findCommandLineOption(argc, argv, "-u") != nullptr && unopenable < 0) {
        std::printf("Invalid board index. Try a number from 0 to %d\n", maxBoardCount - 1);
        return 1;
    }

    // Boards whose every firmware write fails its verification (the first chunk comes back changed).
    std::vector<long> failingWrites;
    const char* failing = findCommandLineOption(argc, argv, "-w");
    if (failing != nullptr && !readIndexList(failing, maxBoardCount - 1, failingWrites)) {
        std::printf("Invalid board indexes. Try numbers from 0 to %d, separated by commas (-w 0,3)\n",
                    maxBoardCount - 1);
        return 1;
    }

    SystemClock clock;
    SimulatedSerialDriver driver(&clock);
    addBoards(driver, static_cast<int>(boardCount), answerDelayUs);
    for (const long index : failingWrites) {
        if (SimulatedBoard* board = driver.board("simACM" + std::to_string(index)))
            board->setWrongEcho(0, 0);
    }
    if (unopenable >= 0)
        driver.setOpenError("simACM" + std::to_string(unopenable), EACCES);
    return serveUntilStopped(settings, driver, clock);
}
