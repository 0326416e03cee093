#include "conversion/nodes_mapping.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>

#include "conversion/number_conversion.h"
#include "core/little_endian.h"
#include "device/message_type.h"

namespace {

constexpr int sourceOffset = 11;
constexpr int minYOffset = 16;
constexpr int maxYOffset = 20;
constexpr int pointsOffset = 24; // count byte, then 8 pairs of f32 x, y
constexpr int reversePointsOffset = 89; // the same for the reverse direction
constexpr int maxPairs = 8;
constexpr int pairAreaBytes = maxPairs * 8;

// A point coordinate as a number property would be read; null and anything that holds no number give 0.
float pointCoordinate(const Json::Value& value)
{
    switch (value.type()) {
    case Json::booleanValue:
    case Json::intValue:
    case Json::uintValue:
    case Json::realValue: return toF32(value.asDouble());
    default: return 0.0f;
    }
}

// Count byte and pairs at out; a trailing odd element and pairs beyond 8 are dropped.
void encodePoints(const Json::Value& properties, const char* key, uint8_t* out)
{
    const Json::Value* list = findProperty(properties, key);
    if (list == nullptr || !list->isArray())
        return;
    const Json::ArrayIndex pairs = std::min<Json::ArrayIndex>(list->size() / 2, maxPairs);
    out[0] = static_cast<uint8_t>(pairs);
    for (Json::ArrayIndex i = 0; i < pairs; ++i) {
        const size_t at = 8 * static_cast<size_t>(i);
        writeF32(out + 1 + at, pointCoordinate((*list)[2 * i]));
        writeF32(out + 5 + at, pointCoordinate((*list)[2 * i + 1]));
    }
}

struct PointList {
    const uint8_t* pairs;
    int count;

    float x(int i) const { return readF32(pairs + 8 * static_cast<ptrdiff_t>(i)); }
    float y(int i) const { return readF32(pairs + 8 * static_cast<ptrdiff_t>(i) + 4); }
};

// A count above what the area holds is limited to the area.
PointList pointListAt(const uint8_t* record, int offset)
{
    return {record + offset + 1, std::min<int>(record[offset], maxPairs)};
}

std::string formatReal(float value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%f", static_cast<double>(value));
    return text;
}

// The first pair gives only its y, middle pairs "x,y", the last pair only its y; their x travel as minx / maxx.
std::string pointsText(const PointList& list)
{
    std::string text;
    for (int i = 0; i < list.count; ++i) {
        if (i > 0)
            text += ';';
        if (i > 0 && i < list.count - 1)
            text += formatReal(list.x(i)) + ",";
        text += formatReal(list.y(i));
    }
    return text;
}

void writeXRange(Json::Value& properties, const PointList& first, const PointList& second)
{
    const PointList& used = first.count > 0 ? first : second;
    double minX = 0.0;
    double maxX = 1.0;
    if (used.count > 0) {
        minX = used.x(0);
        maxX = used.x(used.count - 1);
    }
    properties["prop_mapping_minx"] = minX;
    properties["prop_mapping_maxx"] = maxX;
}

// Source, then minimum and maximum taken together. False once a field is reported missing.
bool decodeSourceAndRange(const uint8_t* record, FieldReader& reader, Json::Value& node, const char* structName)
{
    if (!reader.take(sourceOrValueSize)) {
        reportMissingField(node, structName, "source", reader);
        return false;
    }
    decodeSourceOrValue(record + sourceOffset, node, "prop_source");
    for (const char* label : {"miny", "maxy"}) {
        if (!reader.take(4)) {
            reportMissingField(node, structName, label, reader);
            return false;
        }
    }
    const float minY = readF32(record + minYOffset);
    const float maxY = readF32(record + maxYOffset);
    const float limitedMin = std::isnan(minY) ? FLT_MAX : std::min(minY, FLT_MAX);
    const float limitedMax = std::isnan(maxY) ? -FLT_MAX : std::max(maxY, -FLT_MAX);
    if (limitedMin != 0.0f)
        node["properties"]["prop_mapping_miny"] = static_cast<double>(limitedMin);
    if (limitedMax != 1.0f)
        node["properties"]["prop_mapping_maxy"] = static_cast<double>(limitedMax);
    return true;
}

struct Take {
    int width;
    const char* label;
};

template <size_t N>
bool takeAll(FieldReader& reader, const Take (&takes)[N], Json::Value& node, const char* structName)
{
    for (const Take& take : takes) {
        if (!reader.take(take.width)) {
            reportMissingField(node, structName, take.label, reader);
            return false;
        }
    }
    return true;
}

} // namespace

NodeConversion_mapping::NodeConversion_mapping() : NodeConversion("mapping", 36, MT_NODE_MAPPING) {}

void NodeConversion_mapping::encodeFromJson(const Json::Value& properties, SerialMessage& record) const
{
    const bool bidirectional = getIntProperty(properties, "prop_mapping_type", 0) != 0;
    record.setType(bidirectional ? MT_NODE_MAPPING_BIDIRECTIONAL : MT_NODE_MAPPING);
    encodeSourceOrValue(properties, "prop_source", 0.0, record.bytes + sourceOffset);
    writeF32(record.bytes + minYOffset, toF32(getFloatProperty(properties, "miny", 0.0)));
    writeF32(record.bytes + maxYOffset, toF32(getFloatProperty(properties, "maxy", 1.0)));
    encodePoints(properties, "points", record.bytes + pointsOffset);
    if (bidirectional)
        encodePoints(properties, "points_reverse", record.bytes + reversePointsOffset);
}

Json::Value& NodeConversion_mapping::decodeToJson(Json::Value& node, const uint8_t* record, size_t recordSize) const
{
    const ReceivedRecord received(record, recordSize);
    FieldReader reader = beginDecode(node, received);
    const char* structName = "node_mapping";
    const uint8_t* bytes = received.bytes();
    if (!decodeSourceAndRange(bytes, reader, node, structName))
        return node;
    const Take pointTakes[] = {{1, "numPoints"}, {pairAreaBytes, "points"}};
    if (!takeAll(reader, pointTakes, node, structName))
        return node;

    const PointList points = pointListAt(bytes, pointsOffset);
    Json::Value& properties = node["properties"];
    properties["prop_mapping_type"] = 0;
    properties["prop_mapping_points"] = pointsText(points);
    writeXRange(properties, points, points);
    return node;
}

NodeConversion_mappingBidirectional::NodeConversion_mappingBidirectional()
    : NodeConversion("mapping", 37, MT_NODE_MAPPING_BIDIRECTIONAL)
{}

void NodeConversion_mappingBidirectional::encodeFromJson(const Json::Value&, SerialMessage& record) const
{
    writeMessageType(record);
}

Json::Value& NodeConversion_mappingBidirectional::decodeToJson(Json::Value& node, const uint8_t* record,
                                                               size_t recordSize) const
{
    const ReceivedRecord received(record, recordSize);
    FieldReader reader = beginDecode(node, received);
    const char* structName = "node_mapping_bidirectional";
    const uint8_t* bytes = received.bytes();
    if (!decodeSourceAndRange(bytes, reader, node, structName))
        return node;
    const Take pointTakes[] = {
        {1, "numPoints"}, {pairAreaBytes, "points"}, {1, "numPoints_reverse"}, {pairAreaBytes, "points_reverse"}};
    if (!takeAll(reader, pointTakes, node, structName))
        return node;

    const PointList forward = pointListAt(bytes, pointsOffset);
    const PointList reverse = pointListAt(bytes, reversePointsOffset);
    Json::Value& properties = node["properties"];
    properties["prop_mapping_type"] = 1;
    properties["prop_mapping_points"] = pointsText(forward) + "/" + pointsText(reverse);
    writeXRange(properties, forward, reverse);
    return node;
}
