#include "client/restore_translation.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "client/field_tables.h"

namespace {

// A 32-bit field the relay reads as a signed integer, so values above 2^31 - 1 travel in two's complement.
Json::Value asInt32(uint32_t bits) { return static_cast<Json::Int>(static_cast<int32_t>(bits)); }

// What the rows of the table say: a key the export left out stands for the row's "omitted" value; a coordinate is
// sent half a step beyond its whole step, so the board's cut toward zero lands on that step whatever the rounding.
void applyFieldRows(const Json::Value& rows, Json::Value& properties)
{
    for (const Json::Value& row : rows) {
        const std::string key = row["key"].asString();
        if (!properties.isMember(key) && row.isMember("omitted"))
            properties[key] = row["omitted"];
        if (!properties.isMember(key))
            continue;
        Json::Value& value = properties[key];
        const bool unsigned32 = row["max"].isIntegral() && row["max"].asLargestInt() == UINT32_MAX;
        if (row.isMember("step") && value.isNumeric()) {
            const double scale = std::round(1.0 / row["step"].asDouble());
            const double steps = std::round(value.asDouble() * scale);
            value = steps == 0 ? 0.0 : (steps + std::copysign(0.5, steps)) / scale;
        } else if (unsigned32 && value.isIntegral() && value.asLargestInt() > INT32_MAX) {
            value = asInt32(static_cast<uint32_t>(value.asLargestUInt()));
        }
    }
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    if (text.empty())
        return parts;
    size_t start = 0;
    while (true) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

double number(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

// The export writes a point list as "y0;x1,y1;...;yn": the first and last pair give only their y, their x travel
// as the mapping's minx and maxx.
Json::Value pointList(const std::string& text, double minX, double maxX)
{
    Json::Value points(Json::arrayValue);
    const std::vector<std::string> items = split(text, ';');
    for (size_t i = 0; i < items.size(); ++i) {
        const size_t comma = items[i].find(',');
        const bool inner = i > 0 && i + 1 < items.size() && comma != std::string::npos;
        points.append(inner ? number(items[i].substr(0, comma)) : (i == 0 ? minX : maxX));
        points.append(number(inner ? items[i].substr(comma + 1) : items[i]));
    }
    return points;
}

// prop_mapping_points ("forward" or "forward/reverse"), minx, maxx, miny, maxy back to points, points_reverse,
// miny and maxy. The export names one x range for both directions: the reverse list takes it too.
void mappingRules(Json::Value& properties)
{
    const std::string text = properties["prop_mapping_points"].asString();
    const double minX = properties["prop_mapping_minx"].isNumeric() ? properties["prop_mapping_minx"].asDouble() : 0.0;
    const double maxX = properties["prop_mapping_maxx"].isNumeric() ? properties["prop_mapping_maxx"].asDouble() : 1.0;
    const size_t slash = text.find('/');
    properties["points"] = pointList(text.substr(0, slash), minX, maxX);
    if (slash != std::string::npos)
        properties["points_reverse"] = pointList(text.substr(slash + 1), minX, maxX);
    // Left out at their defaults, 0 and 1.
    properties["miny"] = properties.isMember("prop_mapping_miny") ? properties["prop_mapping_miny"] : 0.0;
    properties["maxy"] = properties.isMember("prop_mapping_maxy") ? properties["prop_mapping_maxy"] : 1.0;
    for (const char* key :
         {"prop_mapping_points", "prop_mapping_minx", "prop_mapping_maxx", "prop_mapping_miny", "prop_mapping_maxy"})
        properties.removeMember(key);
}

// prop_strobe_pattern, 64 steps of "0" or "1", back to the two 32-bit fields it is read from (first field low).
void strobeRules(Json::Value& properties)
{
    const std::string pattern = properties["prop_strobe_pattern"].asString();
    uint32_t words[2] = {0, 0};
    for (size_t step = 0; step < pattern.size() && step < 64; ++step) {
        if (pattern[step] == '1')
            words[step / 32] |= 1u << (step % 32);
    }
    properties["prop_flags1"] = asInt32(words[0]);
    properties["prop_flags2"] = asInt32(words[1]);
    properties.removeMember("prop_strobe_pattern");
}

// prop_rgbled_indices, runs of LED indices 1 to 128 ("1-3,5"), back to the four 32-bit fields of index bits.
void ledIndexRules(Json::Value& properties)
{
    uint32_t words[4] = {0, 0, 0, 0};
    for (const std::string& run : split(properties["prop_rgbled_indices"].asString(), ',')) {
        const size_t dash = run.find('-');
        const long first = std::strtol(run.c_str(), nullptr, 10);
        const long last = dash == std::string::npos ? first : std::strtol(run.c_str() + dash + 1, nullptr, 10);
        for (long index = std::max(first, 1L); index <= std::min(last, 128L); ++index)
            words[(index - 1) / 32] |= 1u << ((index - 1) % 32);
    }
    for (int word = 0; word < 4; ++word)
        properties["prop_flags" + std::to_string(word + 1)] = asInt32(words[word]);
    properties.removeMember("prop_rgbled_indices");
}

// The export names the rotary encoder's pre-delta prop_rotaryencoderinput and leaves it out at 0.
void rotaryEncoderRules(Json::Value& properties)
{
    properties["prop_rotaryencoder_predelta"] =
        properties.isMember("prop_rotaryencoderinput") ? properties["prop_rotaryencoderinput"] : 0;
    properties.removeMember("prop_rotaryencoderinput");
}

void typeRules(const std::string& type, Json::Value& properties)
{
    if (type == "mapping")
        mappingRules(properties);
    else if (type == "strobe")
        strobeRules(properties);
    else if (type == "rgbledindices")
        ledIndexRules(properties);
    else if (type == "rotaryencoder")
        rotaryEncoderRules(properties);
}

} // namespace

bool addNodePayload(const Json::Value& exported, Json::Value& payload, std::string& error)
{
    const std::string type = exported["type"].asString();
    const Json::Value* rows = FieldTables::builtIn().nodeFields(type);
    if (rows == nullptr) {
        error = "node " + exported["id"].asString() + " has the type '" + type + "', which this vantrel does not know";
        return false;
    }
    Json::Value properties =
        exported["properties"].isObject() ? exported["properties"] : Json::Value(Json::objectValue);
    applyFieldRows(*rows, properties);
    typeRules(type, properties);
    Json::Value node(Json::objectValue);
    node["id"] = exported["id"];
    node["type"] = type;
    node["editorPos"] = exported["pos"].isObject() ? exported["pos"] : Json::Value(Json::objectValue);
    node["properties"] = properties;
    payload = Json::Value(Json::objectValue);
    payload["addNode"] = node;
    return true;
}

bool setFeaturePayload(const Json::Value& exported, Json::Value& payload, std::string& error)
{
    const std::string name = exported["feature"].asString();
    const Json::Value* rows = FieldTables::builtIn().featureFields(name);
    if (rows == nullptr) {
        error = "the feature '" + name + "' is one this vantrel does not know";
        return false;
    }
    Json::Value feature = exported;
    applyFieldRows(*rows, feature);
    payload = Json::Value(Json::objectValue);
    payload["setFeature"] = feature;
    return true;
}
