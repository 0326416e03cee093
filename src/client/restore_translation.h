#pragma once

#include <string>

#include <json/value.h>

// Turns what a board exported back into the commands that make a board hold it again. An export is not what the
// editor sends: some keys are renamed or packed differently, keys the board holds at certain values are left out,
// and coordinates are kept in whole steps. The rows of the converters' field tables (FieldTables) say which keys
// are left out and what they then stand for; the node types whose records are not one key per field have their
// own rules here.

// The payload {"addNode": ...} for one exported node; false, with why, for a node the client cannot send back.
bool addNodePayload(const Json::Value& exported, Json::Value& payload, std::string& error);
// The payload {"setFeature": ...} for one exported feature; false, with why, when the client cannot send it back.
bool setFeaturePayload(const Json::Value& exported, Json::Value& payload, std::string& error);
