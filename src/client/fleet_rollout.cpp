#include "client/fleet_rollout.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <set>
#include <tuple>

#include "client/boards_conversation.h"
#include "client/broker_sender.h"
#include "client/flash_conversation.h"
#include "client/flash_views.h"
#include "client/relay_connection.h"

namespace {

// One board of a running stage: its identity through the broker, its write and how that shows. Made when its stage
// starts; lives until the stage has ended.
struct StagedBoard : public FlashListener {
    StagedBoard(BrokerConnection& broker, const FleetBoard& board, const std::string& commandId, size_t stage,
                const ClientOutput& output)
        : board(board), sender(broker, board.relay, commandId), stage(stage), output(output)
    {}

    void stageEntered(const BoardFlash& flash, const std::string& text) override
    {
        if (output.json()) {
            Json::Value event(Json::objectValue);
            event["event"] = "board";
            event["stage"] = Json::UInt64(stage);
            event["relay"] = board.relay;
            event["port"] = board.port;
            event["step"] = flashStageName(flash.stage);
            event["text"] = text;
            output.event(event);
        } else {
            output.line("  " + board.name() + ": " + text);
        }
    }
    void progressed(const BoardFlash&, uint64_t, uint64_t) override {}

    FleetBoard board;
    BrokerSender sender;
    size_t stage;
    const ClientOutput& output;
    std::unique_ptr<FlashConversation> write;
};

std::string commandIdPrefix()
{
    return "fleet-" + std::to_string(getpid()) + "-" + std::to_string(steadyMs() % 100000);
}

// Asks the boards of unknown version their version, one identity per relay, all relays at once.
Outcome askVersions(BrokerConnection& broker, std::vector<FleetBoard>& boards, const std::string& prefix,
                    uint64_t timeoutMs)
{
    std::map<std::string, std::vector<ListedPort>> unknown;
    for (const FleetBoard& board : boards) {
        if (board.version.empty())
            unknown[board.relay].push_back({board.port, board.usbProduct});
    }
    if (unknown.empty())
        return Outcome::success();
    std::vector<std::unique_ptr<BrokerSender>> senders;
    std::vector<std::unique_ptr<BoardsConversation>> asked;
    std::map<std::string, Conversation*> byTopic;
    std::map<std::string, BoardsConversation*> byRelay;
    for (const auto& [relay, ports] : unknown) {
        senders.push_back(std::make_unique<BrokerSender>(broker, relay, prefix + "-version"));
        broker.subscribe(senders.back()->replyTopic());
        asked.push_back(std::make_unique<BoardsConversation>(*senders.back(), ports, timeoutMs));
        byTopic[senders.back()->replyTopic()] = asked.back().get();
        byRelay[relay] = asked.back().get();
    }
    Outcome ran = broker.run(byTopic);
    for (const auto& entry : byTopic)
        broker.unsubscribe(entry.first);
    for (FleetBoard& board : boards) {
        const auto relay = byRelay.find(board.relay);
        if (relay == byRelay.end())
            continue;
        const auto answer = relay->second->answers.find(board.port);
        if (answer != relay->second->answers.end() && answer->second.hasVersion)
            board.version = answer->second.version.firmware;
    }
    return ran;
}

Json::Value namesOf(const std::vector<FleetBoard>& boards)
{
    Json::Value names(Json::arrayValue);
    for (const FleetBoard& board : boards)
        names.append(board.name());
    return names;
}

std::string listText(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
}

std::string boardsText(size_t count) { return std::to_string(count) + (count == 1 ? " board" : " boards"); }

} // namespace

size_t stageSize(size_t matching, double percent, size_t count)
{
    if (count != 0)
        return count;
    const auto share = static_cast<size_t>(std::ceil(static_cast<double>(matching) * percent / 100.0 - 1e-9));
    return std::max<size_t>(share, 1);
}

Outcome runRollout(BrokerConnection& broker, FleetList& fleet, const RolloutSettings& settings,
                   const ClientOutput& output)
{
    const std::string prefix = commandIdPrefix();
    const bool byVersion = std::any_of(settings.where.begin(), settings.where.end(),
                                       [](const BoardFilter& filter) { return filter.namesVersion(); });
    // First what the board lists say, so that only boards that may match are asked their version.
    std::vector<FleetBoard> chosen;
    std::set<std::string> offline;
    std::set<std::string> withoutCommands;
    for (const FleetBoard& board : fleet.boards()) {
        const bool fits = std::all_of(settings.where.begin(), settings.where.end(),
                                      [&board](const BoardFilter& f) { return f.namesVersion() || f.matches(board); });
        if (!fits)
            continue;
        const FleetRelay& relay = fleet.relays().at(board.relay);
        if (relay.status != "online")
            offline.insert(board.relay);
        else if (!relay.takesCommands)
            withoutCommands.insert(board.relay);
        else
            chosen.push_back(board);
    }
    if (!withoutCommands.empty())
        return Outcome::failure(ExitStatus::boardFailure,
                                "relay " + listText({withoutCommands.begin(), withoutCommands.end()}) +
                                    " takes no commands through the broker: start it with -M, or leave its boards out "
                                    "with --where relay!=NAME");
    if (!offline.empty() && output.json()) {
        Json::Value event(Json::objectValue);
        event["event"] = "leftOut";
        event["relays"] = Json::Value(Json::arrayValue);
        for (const std::string& relay : offline)
            event["relays"].append(relay);
        event["reason"] = "offline";
        output.event(event);
    } else if (!offline.empty()) {
        output.line("Left out: the boards of " + listText({offline.begin(), offline.end()}) +
                    " (offline, so not written)");
    }
    if (byVersion) {
        Outcome asked = askVersions(broker, chosen, prefix, settings.timeoutMs);
        if (!asked.succeeded())
            return asked;
        chosen.erase(std::remove_if(chosen.begin(), chosen.end(),
                                    [&settings](const FleetBoard& board) {
                                        return !std::all_of(
                                            settings.where.begin(), settings.where.end(),
                                            [&board](const BoardFilter& f) { return f.matches(board); });
                                    }),
                     chosen.end());
    }
    // An order that does not depend on how the relays list their boards, so that the stages can be foreseen.
    std::sort(chosen.begin(), chosen.end(), [](const FleetBoard& a, const FleetBoard& b) {
        return std::tie(a.relay, a.port) < std::tie(b.relay, b.port);
    });
    const size_t size = stageSize(chosen.size(), settings.stagePercent, settings.stageCount);
    const size_t stages = (chosen.size() + size - 1) / size;
    if (chosen.empty() && !output.json()) {
        output.line("No board of the fleet matches: nothing to write.");
        return Outcome::success();
    }
    const uint64_t startedMs = steadyMs();
    if (output.json()) {
        Json::Value event(Json::objectValue);
        event["event"] = "rollout";
        event["file"] = settings.imageName;
        event["bytes"] = Json::UInt64(settings.image.size());
        event["boards"] = Json::UInt64(chosen.size());
        event["stages"] = Json::UInt64(stages);
        event["stageSize"] = Json::UInt64(size);
        output.event(event);
    } else {
        output.line("Rollout of " + settings.imageName + " (" + kibText(static_cast<double>(settings.image.size())) +
                    " KiB) to " + boardsText(chosen.size()) + " in " + std::to_string(stages) +
                    (stages == 1 ? " stage" : " stages") + " of up to " + std::to_string(size) + ", at most " +
                    std::to_string(settings.maxFailures) + " failed a stage");
    }
    size_t failedBoards = 0;
    std::vector<std::string> failures;
    for (size_t stage = 1; stage <= stages; ++stage) {
        const std::vector<FleetBoard> slice(chosen.begin() + static_cast<std::ptrdiff_t>((stage - 1) * size),
                                            chosen.begin() +
                                                static_cast<std::ptrdiff_t>(std::min(stage * size, chosen.size())));
        if (output.json()) {
            Json::Value event(Json::objectValue);
            event["event"] = "stageStarted";
            event["stage"] = Json::UInt64(stage);
            event["boards"] = namesOf(slice);
            output.event(event);
        } else {
            output.line("Stage " + std::to_string(stage) + " of " + std::to_string(stages) + ": " +
                        boardsText(slice.size()));
        }
        std::vector<std::unique_ptr<StagedBoard>> staged;
        std::map<std::string, Conversation*> byTopic;
        for (size_t index = 0; index < slice.size(); ++index) {
            const std::string commandId = prefix + "-" + std::to_string((stage - 1) * size + index);
            staged.push_back(std::make_unique<StagedBoard>(broker, slice[index], commandId, stage, output));
            StagedBoard& board = *staged.back();
            // Subscribed before the first command leaves, so that no reply comes before the subscription.
            broker.subscribe(board.sender.replyTopic());
            board.write =
                std::make_unique<FlashConversation>(board.sender, std::vector<std::string>{board.board.port},
                                                    settings.imageName, settings.image, settings.timeoutMs, board);
            byTopic[board.sender.replyTopic()] = board.write.get();
        }
        Outcome ran = broker.run(byTopic);
        for (const auto& entry : byTopic)
            broker.unsubscribe(entry.first);
        if (!ran.succeeded())
            return ran;
        Json::Value failed(Json::arrayValue);
        std::vector<std::string> stageFailures;
        for (const auto& board : staged) {
            const BoardFlash& flash = board->write->boards().begin()->second;
            if (flash.stage == FlashStage::done)
                continue;
            stageFailures.push_back(board->board.name() + ": " + flash.failure);
            Json::Value entry(Json::objectValue);
            entry["relay"] = board->board.relay;
            entry["port"] = board->board.port;
            entry["error"] = flash.failure;
            failed.append(entry);
        }
        failedBoards += stageFailures.size();
        failures.insert(failures.end(), stageFailures.begin(), stageFailures.end());
        const bool halted = stageFailures.size() > settings.maxFailures || interrupted();
        if (output.json()) {
            Json::Value event(Json::objectValue);
            event["event"] = "stageEnded";
            event["stage"] = Json::UInt64(stage);
            event["verified"] = Json::UInt64(slice.size() - stageFailures.size());
            event["failed"] = failed;
            event["halted"] = halted;
            output.event(event);
        } else {
            output.line("Stage " + std::to_string(stage) + " of " + std::to_string(stages) +
                        " ended: " + std::to_string(slice.size() - stageFailures.size()) + " written and verified, " +
                        std::to_string(stageFailures.size()) + " failed");
            for (const std::string& failure : stageFailures)
                output.line("  failed: " + failure);
        }
        if (interrupted())
            return Outcome::failure(ExitStatus::boardFailure, "interrupted in stage " + std::to_string(stage) + " of " +
                                                                  std::to_string(stages) +
                                                                  ": no later stage was started");
        if (halted)
            return Outcome::failure(
                ExitStatus::boardFailure,
                "rollout halted after stage " + std::to_string(stage) + " of " + std::to_string(stages) + ": " +
                    std::to_string(stageFailures.size()) + " of its " + boardsText(slice.size()) +
                    " failed, more than --max-failures " + std::to_string(settings.maxFailures) + " allows" +
                    (stage < stages ? "; no later stage was started" : "") + " (" + listText(stageFailures) + ")");
    }
    const double seconds = static_cast<double>(steadyMs() - startedMs) / 1000.0;
    if (output.json()) {
        Json::Value event(Json::objectValue);
        event["event"] = "rolloutEnded";
        event["verified"] = Json::UInt64(chosen.size() - failedBoards);
        event["failed"] = Json::UInt64(failedBoards);
        event["seconds"] = std::round(seconds * 100) / 100;
        output.event(event);
    } else {
        output.line("Rollout ended: " + std::to_string(chosen.size() - failedBoards) + " of " +
                    boardsText(chosen.size()) + " written and verified in " + secondsText(seconds) + " s");
    }
    if (failedBoards != 0)
        return Outcome::failure(ExitStatus::boardFailure, "the rollout went through every stage, but " +
                                                              std::to_string(failedBoards) +
                                                              " boards failed: " + listText(failures));
    return Outcome::success();
}
