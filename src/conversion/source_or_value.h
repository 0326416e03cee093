#pragma once

#include <cstdint>

#include <json/json.h>

// Five bytes that let a node input be a constant or a reference to another node: a kind byte and a 4-byte
// little-endian payload.
enum class SourceKind : uint8_t {
    Number = 0, // f32
    NodeRef = 1, // i32 id of the source node; editor text "#<id>"
    Color = 2, // packed colour; editor text "#RRGGBB"
    Coordinate = 3, // i32 degrees x 10000000
};

constexpr int sourceOrValueSize = 5;

// Fills out[0..4] from properties[key]. A text becomes a Number (its leading number), a Color (7 characters
// starting with "#") or a NodeRef (other texts starting with "#"); the empty text is logged and gives Number 0.
// Anything else is a Number: absent, or of a kind that holds no number, gives defaultNumber, null 0,
// booleans 1 / 0.
void encodeSourceOrValue(const Json::Value& properties, const char* key, double defaultNumber, uint8_t* out);

// Fills out[0..4] with a Coordinate from a numeric properties[key] (0 otherwise), saturated to the int32 range.
void encodeCoordinate(const Json::Value& properties, const char* key, uint8_t* out);

// The editor form of five record bytes; unknown kinds are shown as Number.
Json::Value sourceOrValueToJson(const uint8_t* in);

// Writes the editor form of in[0..4] under node["properties"][key]. The tree keeps key without copying it, so it
// must live as long as the tree: a literal or a static table's key.
void decodeSourceOrValue(const uint8_t* in, Json::Value& node, const char* key);
