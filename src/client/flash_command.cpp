#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "client/commands.h"
#include "client/firmware_image.h"
#include "client/flash_conversation.h"
#include "client/flash_views.h"
#include "client/relay_connection.h"

namespace {

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
    Outcome read = readFirmwareImage(path, image);
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
    FlashConversation conversation(relay, ports, fileBaseName(path), std::move(image), context.options.timeoutMs,
                                   *view);
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
