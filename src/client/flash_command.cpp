#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "client/commands.h"
#include "client/flash_conversation.h"
#include "client/flash_views.h"
#include "client/relay_connection.h"

namespace {

// No board has more flash than this; a larger file is no firmware image.
constexpr size_t largestImageBytes = 64u << 20;

Outcome readImage(const std::string& path, std::vector<uint8_t>& image)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return Outcome::failure(ExitStatus::usage, "cannot read " + path + ": give the path of a firmware file");
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    if (size < 0)
        return Outcome::failure(ExitStatus::usage, "cannot read " + path + ": give the path of a firmware file");
    if (static_cast<uint64_t>(size) > largestImageBytes)
        return Outcome::failure(ExitStatus::usage, path + " is larger than any board's flash: is it a firmware image?");
    file.seekg(0);
    image.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (image.empty())
        return Outcome::failure(ExitStatus::usage, path + " is empty: give a firmware file with content");
    return Outcome::success();
}

std::string baseName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void printResults(const ClientOutput& output, const std::vector<std::string>& ports,
                  const std::map<std::string, BoardFlash>& boards)
{
    size_t width = 4;
    for (const std::string& port : ports)
        width = std::max(width, port.size());
    if (!output.json())
        output.line(std::string("PORT") + std::string(width - 4 + 2, ' ') + "RESULT  SECONDS");
    for (const std::string& port : ports) {
        const BoardFlash& board = boards.at(port);
        const bool ok = board.stage == FlashStage::done;
        const double seconds = static_cast<double>(board.endedMs - board.startedMs) / 1000.0;
        if (output.json()) {
            Json::Value row(Json::objectValue);
            row["event"] = "result";
            row["port"] = port;
            row["result"] = ok ? "ok" : "failed";
            row["seconds"] = std::round(seconds * 100) / 100;
            if (ok)
                row["firmware"] = board.after.firmware;
            else
                row["error"] = board.failure;
            output.event(row);
        } else {
            std::string line = port + std::string(width - port.size() + 2, ' ') + (ok ? "ok      " : "failed  ") +
                               secondsText(seconds);
            if (!ok)
                line += "  " + board.failure;
            output.line(line);
        }
    }
}

} // namespace

Outcome runFlash(const CommandContext& context)
{
    const std::vector<std::string>& arguments = context.options.arguments;
    const std::string& path = arguments.back();
    std::vector<uint8_t> image;
    Outcome read = readImage(path, image);
    if (!read.succeeded())
        return read;

    RelayConnection relay(context.url, context.options.token, context.options.timeoutMs, context.options.caFile);
    Outcome opened = relay.open();
    if (!opened.succeeded())
        return opened;
    std::vector<std::string> ports;
    if (context.options.all) {
        for (const ListedPort& port : relay.ports())
            ports.push_back(port.name);
        if (ports.empty())
            return Outcome::failure(ExitStatus::boardFailure, "the relay lists no boards: plug one in, or see "
                                                              "'vantrel boards'");
    } else {
        ports.assign(arguments.begin(), arguments.end() - 1);
        for (const std::string& port : ports) {
            Outcome listed = relay.checkListed(port);
            if (!listed.succeeded())
                return listed;
        }
        std::sort(ports.begin(), ports.end());
        ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    }

    const std::unique_ptr<FlashListener> view = makeFlashView(context.output);
    FlashConversation conversation(relay, ports, baseName(path), std::move(image), context.options.timeoutMs, *view);
    Outcome ran = relay.run(conversation);
    if (!ran.succeeded() && ran.status == ExitStatus::relayUnreachable)
        return ran;
    printResults(context.output, ports, conversation.boards());
    size_t failed = 0;
    std::string first;
    for (const std::string& port : ports) {
        const BoardFlash& board = conversation.boards().at(port);
        if (board.stage != FlashStage::done) {
            ++failed;
            if (first.empty())
                first = port + ": " + board.failure;
        }
    }
    if (failed == 0)
        return Outcome::success();
    return Outcome::failure(ExitStatus::boardFailure, ports.size() == 1 ? first
                                                                        : std::to_string(failed) + " of " +
                                                                              std::to_string(ports.size()) +
                                                                              " boards failed, first " + first);
}
