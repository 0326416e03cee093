#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "client/boards_conversation.h"
#include "client/client_output.h"
#include "client/commands.h"
#include "client/relay_connection.h"
#include "client/relay_messages.h"

namespace {

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
        std::vector<std::vector<std::string>> cells;
        for (const BoardAnswer* answer : rows) {
            if (answer->hasVersion)
                cells.push_back({answer->listed.name, answer->listed.usbProduct, answer->version.firmware,
                                 answer->version.mode(), answer->version.serial,
                                 std::to_string(answer->version.flashSizeKiB) + " KiB"});
            else
                cells.push_back({answer->listed.name, answer->listed.usbProduct, "-", "-", "-", answer->failure});
        }
        for (const std::string& line : tableLines({"PORT", "PRODUCT", "FIRMWARE", "MODE", "SERIAL", "FLASH"}, cells))
            context.output.line(line);
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
