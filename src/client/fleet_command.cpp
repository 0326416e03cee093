#include <cstdlib>
#include <string>
#include <vector>

#include "client/board_filter.h"
#include "client/broker_connection.h"
#include "client/commands.h"
#include "client/firmware_image.h"
#include "client/fleet_list.h"
#include "client/fleet_rollout.h"
#include "client/relay_connection.h"
#include "client/relay_messages.h"

namespace {

void printBoards(const ClientOutput& output, const FleetList& fleet)
{
    if (output.json()) {
        output.event(fleet.document());
        return;
    }
    if (fleet.relays().empty()) {
        output.line("No relay reports to this broker.");
        return;
    }
    std::vector<std::vector<std::string>> rows;
    for (const auto& [name, relay] : fleet.relays()) {
        const std::string status = relay.status + (relay.takesCommands ? "" : " (no commands)");
        if (relay.boards.empty())
            rows.push_back({name, status, "-", "-", "-", "-", "-"});
        for (const FleetBoard& board : relay.boards)
            rows.push_back({name, status, board.port, board.version.empty() ? "-" : board.version, board.mode,
                            board.state, board.usbProduct});
    }
    for (const std::string& line :
         tableLines({"RELAY", "STATUS", "PORT", "FIRMWARE", "MODE", "STATE", "PRODUCT"}, rows))
        output.line(line);
}

// A relay's event in words: "station3/ttyACM0: write of app.bin completed, 256.0 KiB verified in 8.12 s".
std::string eventText(const std::string& relay, const Json::Value& event)
{
    const auto text = [&event](const char* key) { return event[key].isString() ? event[key].asString() : ""; };
    const auto bytes = [&event](const char* key) {
        return kibText(event[key].isNumeric() ? event[key].asDouble() : 0.0) + " KiB";
    };
    const std::string kind = text("event");
    const std::string board = relay + "/" + text("port") + ": ";
    if (kind == "boardAdded")
        return board + "board added (" + text("usbProduct") + ")";
    if (kind == "boardGone")
        return board + "board gone";
    if (kind == "writeStarted")
        return board + "write of " + text("file") + " started (" + bytes("bytesTotal") + ")";
    if (kind == "writeProgress")
        return board + "write of " + text("file") + ": " + bytes("bytesVerified") + " of " + bytes("bytesTotal") +
               " verified";
    if (kind == "writeEnded") {
        std::string line = board + "write of " + text("file") + " " + text("outcome") + ", " + bytes("bytesVerified") +
                           " verified in " +
                           secondsText(event["seconds"].isNumeric() ? event["seconds"].asDouble() : 0.0) + " s";
        // The reason as the relay's reply to the editor has it, in the same words.
        Json::Value reply(Json::objectValue);
        reply[text("reason")] = text("detail");
        std::string words;
        if (!text("reason").empty() && failureText(reply, words))
            line += ": " + words;
        return line;
    }
    return board + oneLine(relayCommandText(event));
}

Outcome watch(const CommandContext& context, BrokerConnection& broker)
{
    broker.subscribe("vantrel/+/events");
    broker.subscribe(FleetList::statusTopics);
    const uint64_t deadline = context.options.timeoutGiven ? steadyMs() + context.options.timeoutMs : UINT64_MAX;
    while (!interrupted() && !broker.lost() && steadyMs() < deadline) {
        broker.service(deadline - steadyMs());
        for (; !broker.inbox().empty(); broker.inbox().pop_front()) {
            const BrokerMessage& message = broker.inbox().front();
            // What a relay said before the watch began is its state, not an event.
            if (message.retained)
                continue;
            const std::string statusOf = relayOfTopic(message.topic, "status");
            const std::string eventsOf = relayOfTopic(message.topic, "events");
            Json::Value event;
            if (!statusOf.empty()) {
                event = Json::Value(Json::objectValue);
                event["event"] = "relay" + std::string(message.payload == "online" ? "Online" : "Offline");
            } else if (eventsOf.empty() || !readRelayJson(message.payload, event)) {
                continue;
            }
            const std::string relay = statusOf.empty() ? eventsOf : statusOf;
            if (context.output.json()) {
                event["relay"] = relay;
                context.output.event(event);
            } else {
                context.output.line(statusOf.empty() ? eventText(relay, event) : relay + ": " + message.payload);
            }
        }
    }
    return broker.lost() ? broker.lostOutcome() : Outcome::success();
}

} // namespace

Outcome runFleet(const CommandContext& context)
{
    const ClientOptions& options = context.options;
    const std::string& what = options.arguments[0];
    RolloutSettings rollout;
    if (what == "rollout") {
        for (const std::string& term : options.where) {
            BoardFilter filter;
            std::string mistake;
            if (!parseBoardFilter(term, filter, mistake))
                return Outcome::failure(ExitStatus::usage,
                                        "vantrel fleet: " + mistake + "; see 'vantrel fleet --help'");
            rollout.where.push_back(filter);
        }
        Outcome read = readFirmwareImage(options.arguments[1], rollout.image);
        if (!read.succeeded())
            return read;
        rollout.imageName = fileBaseName(options.arguments[1]);
        rollout.stagePercent = options.stagePercent;
        rollout.stageCount = options.stageCount;
        rollout.maxFailures = options.maxFailures;
        rollout.timeoutMs = options.timeoutMs;
    }
    const char* passwordFile = std::getenv("VANTREL_MQTT_PASSWORD_FILE");
    BrokerConnection broker(options.broker, passwordFile != nullptr ? passwordFile : "", options.caFile,
                            options.timeoutMs);
    Outcome opened = broker.open();
    if (!opened.succeeded())
        return opened;
    if (what == "watch")
        return watch(context, broker);

    broker.subscribe(FleetList::statusTopics);
    broker.subscribe(FleetList::boardsTopics);
    broker.awaitRetained(steadyMs() + options.timeoutMs);
    if (broker.lost())
        return broker.lostOutcome();
    FleetList fleet;
    for (; !broker.inbox().empty(); broker.inbox().pop_front())
        fleet.take(broker.inbox().front().topic, broker.inbox().front().payload);
    broker.unsubscribe(FleetList::statusTopics);
    broker.unsubscribe(FleetList::boardsTopics);
    if (what == "boards") {
        printBoards(context.output, fleet);
        return Outcome::success();
    }
    return runRollout(broker, fleet, rollout, context.output);
}
