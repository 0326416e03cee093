#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "client/client_output.h"
#include "client/commands.h"
#include "client/relay_connection.h"
#include "client/relay_messages.h"

namespace {

// One listed board and what it answered. Made for every listed port; lives as long as the command.
struct BoardAnswer {
    ListedPort listed;
    BoardVersion version;
    bool hasVersion = false;
    // Answered in full (the version conversation ends with the bootloader status) or given up.
    bool settled = false;
    std::string failure;
};

// Asks every board for its version at once and waits for all the answers, each within the time-out.
class BoardsConversation : public Conversation {
public:
    BoardsConversation(MessageSender& sender, const std::vector<ListedPort>& ports, uint64_t timeoutMs)
        : deadlineMs(steadyMs() + timeoutMs), timeoutMs(timeoutMs)
    {
        for (const ListedPort& port : ports) {
            order.push_back(port.name);
            answers[port.name].listed = port;
            sender.send(boardCommand(port.name, commandPayload("getVersion")));
        }
    }

    void onMessage(const Json::Value& message, uint64_t) override
    {
        const auto found = answers.find(replyPort(message));
        if (found == answers.end() || found->second.settled)
            return;
        BoardAnswer& answer = found->second;
        std::string failure;
        if (failureText(message, failure)) {
            answer.failure = failure;
            answer.settled = true;
        } else if (readBoardVersion(message, answer.version)) {
            answer.hasVersion = true;
        } else if (message.isMember("requestBootloaderStatus") && answer.hasVersion) {
            answer.settled = true;
        }
    }

    void onTime(uint64_t) override
    {
        for (auto& entry : answers) {
            BoardAnswer& answer = entry.second;
            if (answer.settled)
                continue;
            answer.settled = true;
            // A version without the rest is an answer all the same.
            if (!answer.hasVersion)
                answer.failure = "no answer within " + durationText(timeoutMs);
        }
    }

    uint64_t nextTimeMs() const override { return deadlineMs; }
    bool finished() const override
    {
        return std::all_of(answers.begin(), answers.end(), [](const auto& entry) { return entry.second.settled; });
    }
    void onInterrupt(uint64_t now) override { onTime(now); }

    std::map<std::string, BoardAnswer> answers;
    // The ports as the relay lists them.
    std::vector<std::string> order;

private:
    uint64_t deadlineMs;
    uint64_t timeoutMs;
};

std::string padded(std::string text, size_t width)
{
    if (text.size() < width)
        text.append(width - text.size(), ' ');
    return text;
}

void printTable(const ClientOutput& output, const std::vector<const BoardAnswer*>& rows)
{
    const std::vector<std::string> headings = {"PORT", "PRODUCT", "FIRMWARE", "MODE", "SERIAL", "FLASH"};
    std::vector<std::vector<std::string>> cells;
    for (const BoardAnswer* answer : rows) {
        if (answer->hasVersion)
            cells.push_back({answer->listed.name, answer->listed.usbProduct, answer->version.firmware,
                             answer->version.mode(), answer->version.serial,
                             std::to_string(answer->version.flashSizeKiB) + " KiB"});
        else
            cells.push_back({answer->listed.name, answer->listed.usbProduct, "-", "-", "-", answer->failure});
    }
    std::vector<size_t> widths;
    widths.reserve(headings.size());
    for (const std::string& heading : headings)
        widths.push_back(heading.size());
    for (const auto& row : cells)
        for (size_t column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], row[column].size());
    const auto format = [&widths](const std::vector<std::string>& row) {
        std::string line;
        for (size_t column = 0; column < row.size(); ++column)
            line += column + 1 < row.size() ? padded(row[column], widths[column] + 2) : row[column];
        return line;
    };
    output.line(format(headings));
    for (const auto& row : cells)
        output.line(format(row));
}

Json::Value boardJson(const BoardAnswer& answer)
{
    Json::Value board(Json::objectValue);
    board["port"] = answer.listed.name;
    board["usbProduct"] = answer.listed.usbProduct;
    if (answer.hasVersion) {
        board["firmware"] = answer.version.firmware;
        board["mode"] = answer.version.mode();
        board["serial"] = answer.version.serial;
        board["flashSizeKiB"] = answer.version.flashSizeKiB;
    } else {
        board["error"] = answer.failure;
    }
    return board;
}

} // namespace

Outcome runBoards(const CommandContext& context)
{
    RelayConnection relay(context.url, context.options.token, context.options.timeoutMs, context.options.caFile);
    Outcome opened = relay.open();
    if (!opened.succeeded())
        return opened;
    BoardsConversation conversation(relay, relay.ports(), context.options.timeoutMs);
    Outcome ran = relay.run(conversation);
    if (!ran.succeeded())
        return ran;
    std::vector<const BoardAnswer*> rows;
    for (const std::string& port : conversation.order)
        rows.push_back(&conversation.answers[port]);
    if (context.output.json()) {
        Json::Value boards(Json::arrayValue);
        for (const BoardAnswer* answer : rows)
            boards.append(boardJson(*answer));
        context.output.event(boards);
    } else if (rows.empty()) {
        context.output.line("The relay lists no boards.");
    } else {
        printTable(context.output, rows);
    }
    std::string failed;
    for (const BoardAnswer* answer : rows) {
        if (!answer->hasVersion)
            failed += (failed.empty() ? "" : ", ") + answer->listed.name + ": " + answer->failure;
    }
    if (!failed.empty())
        return Outcome::failure(ExitStatus::boardFailure, "not every board answered (" + failed + ")");
    return Outcome::success();
}
