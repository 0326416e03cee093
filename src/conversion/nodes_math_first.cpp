#include "conversion/nodes_math_first.h"

#include <cfloat>
#include <cmath>

#include "conversion/number_conversion.h"
#include "core/little_endian.h"
#include "device/message_type.h"

namespace {

using namespace field;

const FieldSpec binaryopFields[] = {
    {"prop_binaryop_left", 11, Source, 0, always, "left"},
    {"prop_binaryop_right", 16, Source, 0, always, "right"},
    {"prop_binaryop_type", 21, U16, 0, always, "type"},
};

const FieldSpec clampFields[] = {
    {"prop_source", 11, Source, 0, always, "source"},
    {"prop_rangeMin", 16, F32, -FLT_MAX, unlessEqual(-FLT_MAX), "lowerLimit"},
    {"prop_rangeMax", 20, F32, FLT_MAX, unlessEqual(FLT_MAX), "upperLimit"},
    {"prop_clamp_type", 24, U8, 0, always, "type"},
};

const FieldSpec inrangeFields[] = {
    {"prop_source", 11, Source, 0, always, "source"},
    {"prop_inrange_min", 16, F32, -FLT_MAX, unlessEqual(-FLT_MAX), "lowerLimit"},
    {"prop_inrange_max", 20, F32, FLT_MAX, unlessEqual(FLT_MAX), "upperLimit"},
    {"prop_inrange_type", 24, U8, 0, always, "type"},
};

// A colour component from a Number input in 0..1: x 255 in f32, truncated, low 8 bits. Values that do not fit
// an int32 (and NaN) give 0.
uint32_t colorComponent(float value)
{
    const float scaled = value * 255.0f;
    if (!(scaled > -2147483649.0f && scaled < 2147483648.0f))
        return 0;
    return static_cast<uint32_t>(static_cast<int32_t>(scaled)) & 0xFFu;
}

void writeColorValue(const uint8_t* record, Json::Value& node)
{
    const uint8_t* red = record + 11;
    const uint8_t* green = record + 16;
    const uint8_t* blue = record + 21;
    const auto number = static_cast<uint8_t>(SourceKind::Number);
    std::string text = formatColorText(192, 192, 192, false);
    if (red[0] == number && green[0] == number && blue[0] == number)
        text = formatColorText(colorComponent(readF32(red + 1)), colorComponent(readF32(green + 1)),
                               colorComponent(readF32(blue + 1)), false);
    node["properties"]["prop_color_value"] = text;
}

const FieldSpec colorFields[] = {
    {"prop_color_red", 11, Source, 0, always, "red"},
    {"prop_color_green", 16, Source, 0, always, "green"},
    {"prop_color_blue", 21, Source, 0, always, "blue", writeColorValue},
};

constexpr uint8_t constantKindNumber = 0;
constexpr uint8_t constantKindColor = 1;

void writeConstantValue(const uint8_t* record, Json::Value& node)
{
    if (record[11] == constantKindColor)
        node["properties"]["prop_value"] = formatColorText(readU32(record + 12), true);
    else
        node["properties"]["prop_value"] = static_cast<double>(readF32(record + 12));
}

const FieldSpec constantFields[] = {
    {"", 11, U8, 0, takenOnly, "type"},
    {"prop_value", 12, F32, 0, takenOnly, "value", writeConstantValue},
};

// Shared by delta and invert.
const FieldSpec singleSourceFields[] = {
    {"prop_source", 11, Source, 0, always, "source"},
};

const FieldSpec millisFields[] = {
    {"prop_millis_prescale", 11, F32, 1.0, always, "prescale"},
};

const FieldSpec geocalcFields[] = {
    {"prop_geocalc_uart", 11, U8, 0, unlessEqual(0), "uart"},
    {"prop_geocalc_type", 12, U16, 0, always, "type"},
    {"prop_geocalc_tolat", 14, Coordinate, 0, always, "tolat"},
    {"prop_geocalc_tolon", 19, Coordinate, 0, always, "tolon"},
    {"prop_geocalc_distanceunit", 24, U8, 0, always, "distanceUnit"},
};

} // namespace

NodeConversion_binaryop::NodeConversion_binaryop()
    : TableNodeConversion("binaryop", 17, MT_NODE_BINARYOP, "node_binaryop", binaryopFields)
{}

NodeConversion_clamp::NodeConversion_clamp()
    : TableNodeConversion("clamp", 19, MT_NODE_CLAMP, "node_clamp", clampFields)
{}

NodeConversion_inrange::NodeConversion_inrange()
    : TableNodeConversion("inrange", 20, MT_NODE_INRANGE, "node_inrange", inrangeFields)
{}

NodeConversion_color::NodeConversion_color()
    : TableNodeConversion("color", 24, MT_NODE_COLOR, "node_color", colorFields)
{}

NodeConversion_constant::NodeConversion_constant()
    : TableNodeConversion("constant", 18, MT_NODE_CONSTANT, "node_constant", constantFields)
{}

void NodeConversion_constant::encodeFromJson(const Json::Value& properties, SerialMessage& record) const
{
    writeMessageType(record);
    const Json::Value* value = findProperty(properties, "prop_value");
    if (value != nullptr && value->isString()) {
        record.bytes[11] = constantKindColor;
        writeU32(record.bytes + 12, parseColorText(value->asString()));
    } else {
        record.bytes[11] = constantKindNumber;
        writeF32(record.bytes + 12, toF32(getFloatProperty(properties, "prop_value", 0.0)));
    }
}

NodeConversion_delta::NodeConversion_delta()
    : TableNodeConversion("delta", 39, MT_NODE_DELTA, "node_delta", singleSourceFields)
{}

NodeConversion_invert::NodeConversion_invert()
    : TableNodeConversion("invert", 28, MT_NODE_INVERT, "node_invert", singleSourceFields)
{}

NodeConversion_millis::NodeConversion_millis()
    : TableNodeConversion("millis", 30, MT_NODE_MILLIS, "node_millis", millisFields)
{}

NodeConversion_geocalc::NodeConversion_geocalc()
    : TableNodeConversion("geocalc", 31, MT_NODE_GEOCALC, "node_geocalc", geocalcFields)
{}
