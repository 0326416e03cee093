#pragma once

#include <map>
#include <string>

#include <json/value.h>

#include "client/relay_messages.h"

// A board's configuration as one versioned document ("format": "vantrel-configuration", "version": 1; its shape is
// docs/vantrel-configuration.schema.json): the board's identity and firmware version, every feature and every node
// exactly as the board exports them. Made by a backup or read from a file; lives as long as the command.
struct ConfigurationDocument {
    static constexpr const char* formatName = "vantrel-configuration";
    static constexpr int formatVersion = 1;

    // "firmware", "flashSizeKiB", "idcode", "serial".
    Json::Value board = Json::Value(Json::objectValue);
    // By feature name, each as the board's exportFeature.
    std::map<std::string, Json::Value> features;
    // By node id, each as the board's exportNode.
    std::map<int, Json::Value> nodes;
};

Json::Value boardIdentity(const BoardVersion& version);

// The document's text. The layout is fixed so that two backups of one board are equal byte for byte: the
// members in the order format, version, board, features, nodes; features by name and nodes by id, one a line, each
// written as the relay writes JSON (members in byte order of their keys, the relay's text of numbers).
std::string documentText(const ConfigurationDocument& document);
// Reads a document; false, with why, for a text that is none (of this format version).
bool readDocument(const std::string& text, ConfigurationDocument& document, std::string& error);
