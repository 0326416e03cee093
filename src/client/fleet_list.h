#pragma once

#include <map>
#include <string>
#include <vector>

#include <json/value.h>

// One board of the fleet as its relay's retained board list tells it. Made from each list; kept as long as the
// command that read it.
struct FleetBoard {
    std::string relay;
    std::string port;
    std::string usbProduct;
    // "closed", "open", "application", "bootloader", "writing"
    std::string state;
    // "application", "bootloader" or "unknown"
    std::string mode;
    // Empty until the board answered a version request.
    std::string version;
    std::string serial;
    int flashSizeKiB = 0;

    // "station3/ttyACM0", as the fleet commands name a board.
    std::string name() const { return relay + "/" + port; }
};

// One relay of the fleet: its presence and its boards, from its retained topics. Made when a message of its topics
// first comes; kept as long as the list.
struct FleetRelay {
    std::string name;
    // "online", "offline", or "unknown" while only its board list came.
    std::string status = "unknown";
    // Whether it takes commands through the broker (-M); false when its list does not say.
    bool takesCommands = false;
    std::string version;
    std::vector<FleetBoard> boards;
};

// Every relay that reports to the broker, from the retained vantrel/<relay>/status and vantrel/<relay>/boards
// messages. Made by a fleet command; lives as long as it.
class FleetList {
public:
    static constexpr const char* statusTopics = "vantrel/+/status";
    static constexpr const char* boardsTopics = "vantrel/+/boards";

    // Takes a message of one of those topics; false for any other (or a list that is no JSON object).
    bool take(const std::string& topic, const std::string& payload);
    // By name.
    const std::map<std::string, FleetRelay>& relays() const { return byName; }
    // Every board of every relay, by relay name and then as the relay lists them.
    std::vector<FleetBoard> boards() const;
    // The whole list as one JSON document: {"relays": [{"relay", "status", "commands", "version", "boards": [...]}]}.
    Json::Value document() const;

private:
    std::map<std::string, FleetRelay> byName;
};

// The relay named by a topic vantrel/<relay>/<leaf>; empty when the topic is of another shape or leaf.
std::string relayOfTopic(const std::string& topic, const std::string& leaf);
