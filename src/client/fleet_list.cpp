#include "client/fleet_list.h"

#include "client/relay_messages.h"

namespace {

std::string textOf(const Json::Value& object, const char* key)
{
    const Json::Value& value = object[key];
    return value.isString() ? value.asString() : "";
}

} // namespace

std::string relayOfTopic(const std::string& topic, const std::string& leaf)
{
    const std::string prefix = "vantrel/";
    const std::string suffix = "/" + leaf;
    if (topic.size() <= prefix.size() + suffix.size() || topic.compare(0, prefix.size(), prefix) != 0 ||
        topic.compare(topic.size() - suffix.size(), suffix.size(), suffix) != 0)
        return "";
    const std::string relay = topic.substr(prefix.size(), topic.size() - prefix.size() - suffix.size());
    return relay.find('/') == std::string::npos ? relay : "";
}

bool FleetList::take(const std::string& topic, const std::string& payload)
{
    const std::string statusOf = relayOfTopic(topic, "status");
    if (!statusOf.empty()) {
        FleetRelay& relay = byName[statusOf];
        relay.name = statusOf;
        relay.status = payload == "online" || payload == "offline" ? payload : "unknown";
        return true;
    }
    const std::string listOf = relayOfTopic(topic, "boards");
    Json::Value list;
    if (listOf.empty() || !readRelayJson(payload, list) || !list["boards"].isArray())
        return false;
    FleetRelay& relay = byName[listOf];
    relay.name = listOf;
    relay.takesCommands = list["commands"].isBool() && list["commands"].asBool();
    relay.version = textOf(list, "version");
    relay.boards.clear();
    for (const Json::Value& entry : list["boards"]) {
        if (!entry.isObject())
            continue;
        FleetBoard board;
        board.relay = listOf;
        board.port = textOf(entry, "port");
        board.usbProduct = textOf(entry, "usbProduct");
        board.state = textOf(entry, "state");
        board.mode = textOf(entry, "mode");
        board.version = textOf(entry, "version");
        board.serial = textOf(entry, "serial");
        board.flashSizeKiB = entry["flashSizeKiB"].isIntegral() ? entry["flashSizeKiB"].asInt() : 0;
        relay.boards.push_back(board);
    }
    return true;
}

std::vector<FleetBoard> FleetList::boards() const
{
    std::vector<FleetBoard> all;
    for (const auto& entry : byName)
        all.insert(all.end(), entry.second.boards.begin(), entry.second.boards.end());
    return all;
}

Json::Value FleetList::document() const
{
    Json::Value document(Json::objectValue);
    Json::Value& relays = document["relays"] = Json::Value(Json::arrayValue);
    for (const auto& [name, relay] : byName) {
        Json::Value entry(Json::objectValue);
        entry["relay"] = name;
        entry["status"] = relay.status;
        entry["commands"] = relay.takesCommands;
        entry["version"] = relay.version;
        Json::Value& boards = entry["boards"] = Json::Value(Json::arrayValue);
        for (const FleetBoard& board : relay.boards) {
            Json::Value row(Json::objectValue);
            row["port"] = board.port;
            row["usbProduct"] = board.usbProduct;
            row["state"] = board.state;
            row["mode"] = board.mode;
            if (!board.version.empty()) {
                row["version"] = board.version;
                row["serial"] = board.serial;
                row["flashSizeKiB"] = board.flashSizeKiB;
            }
            boards.append(row);
        }
        relays.append(entry);
    }
    return document;
}
