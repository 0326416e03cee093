#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>

#include "conversion/node_conversion.h"
#include "device/message_type.h"
#include "test_node_conversion_support.h"

using namespace conversion_test;

namespace {

using NodesMathFirst = RegisteredNodes;

const NodeTypeCase mathFirstCases[] = {
    {MT_NODE_BINARYOP, 23, R"({"prop_binaryop_left": 2.5, "prop_binaryop_right": "#12", "prop_binaryop_type": 70000})",
     "00 00002040  01 0C000000  7011", "00 00000000  00 00000000  0000",
     R"({"prop_binaryop_left":2.5,"prop_binaryop_right":"#12","prop_binaryop_type":4464})",
     R"({"prop_binaryop_left":0.0,"prop_binaryop_right":0.0,"prop_binaryop_type":0})"},
    {MT_NODE_CLAMP, 25,
     R"({"prop_source": "#FF8000", "prop_rangeMin": -1.5, "prop_rangeMax": 100, "prop_clamp_type": 3})",
     "02 FF800000  0000C0BF  0000C842  03", "00 00000000  FFFF7FFF  FFFF7F7F  00",
     R"({"prop_clamp_type":3,"prop_rangeMax":100.0,"prop_rangeMin":-1.5,"prop_source":"#FF8000"})",
     R"({"prop_clamp_type":0,"prop_source":0.0})"},
    {MT_NODE_INRANGE, 25,
     R"({"prop_source": 1, "prop_inrange_min": 0.5, "prop_inrange_max": 2, "prop_inrange_type": 300})",
     "00 0000803F  0000003F  00000040  2C", "00 00000000  FFFF7FFF  FFFF7F7F  00",
     R"({"prop_inrange_max":2,"prop_inrange_min":0.5,"prop_inrange_type":44,"prop_source":1})",
     R"({"prop_inrange_type":0,"prop_source":0.0})"},
    {MT_NODE_COLOR, 26,
     R"({"prop_color_red": 1, "prop_color_green": 0.5, "prop_color_blue": 0, "prop_color_value": "123456"})",
     "00 0000803F  00 0000003F  00 00000000", "00 00000000  00 00000000  00 00000000",
     R"({"prop_color_blue":0.0,"prop_color_green":0.5,"prop_color_red":1,"prop_color_value":"FF7F00"})",
     R"({"prop_color_blue":0.0,"prop_color_green":0.0,"prop_color_red":0.0,"prop_color_value":"000000"})"},
    {MT_NODE_CONSTANT, 16, R"({"prop_value": "#FF0000"})", "01 FF000000", "00 00000000", R"({"prop_value":"#FF0000"})",
     R"({"prop_value":0.0})"},
    {MT_NODE_DELTA, 16, R"({"prop_source": "#-3"})", "01 FDFFFFFF", "00 00000000", R"({"prop_source":"#-3"})",
     R"({"prop_source":0.0})"},
    {MT_NODE_INVERT, 16, R"({"prop_source": "#0a0B0c"})", "02 0A0B0C00", "00 00000000", R"({"prop_source":"#0A0B0C"})",
     R"({"prop_source":0.0})"},
    {MT_NODE_MILLIS, 15, R"({"prop_millis_prescale": 0.25})", "0000803E", "0000803F",
     R"({"prop_millis_prescale":0.25})", R"({"prop_millis_prescale":1})"},
    {MT_NODE_GEOCALC, 25,
     R"({"prop_geocalc_uart": 2, "prop_geocalc_type": 513, "prop_geocalc_tolat": 51.5,
         "prop_geocalc_tolon": -0.5, "prop_geocalc_distanceunit": 1})",
     "02  0102  03 C046B21E  03 C0B4B3FF  01", "00  0000  03 00000000  03 00000000  00",
     R"({"prop_geocalc_distanceunit":1,"prop_geocalc_tolat":51.50,"prop_geocalc_tolon":-0.5,)"
     R"("prop_geocalc_type":513,"prop_geocalc_uart":2})",
     R"({"prop_geocalc_distanceunit":0,"prop_geocalc_tolat":0.0,"prop_geocalc_tolon":0.0,"prop_geocalc_type":0})"},
};

} // namespace

TEST_F(NodesMathFirst, RecordsAndDecodedProperties)
{
    for (const NodeTypeCase& c : mathFirstCases)
        checkNodeTypeCase(registry, c);
}

TEST_F(NodesMathFirst, ClampLimitsOnlyWhereGiven)
{
    const NodeConversion& clamp = conversion(MT_NODE_CLAMP);
    const SerialMessage onlyMax = encodeNode(clamp, parseJson(R"({"prop_rangeMax": 4})"));
    EXPECT_EQ(hexOfBytes(onlyMax.bytes + 16, 8), "FFFF7FFF00008040");
    EXPECT_EQ(compact(decodeNode(clamp, onlyMax, 25)["properties"]),
              R"({"prop_clamp_type":0,"prop_rangeMax":4,"prop_source":0.0})");

    // A NaN limit from the board differs from every limit and is shown.
    SerialMessage nanMin = onlyMax;
    writeF32(nanMin.bytes + 16, NAN);
    EXPECT_TRUE(decodeNode(clamp, nanMin, 25)["properties"].isMember("prop_rangeMin"));
}

TEST_F(NodesMathFirst, ColourValueFromComponents)
{
    const NodeConversion& color = conversion(MT_NODE_COLOR);
    struct Case {
        const char* properties;
        const char* value;
    } cases[] = {
        {R"({"prop_color_red": "#7", "prop_color_green": 1, "prop_color_blue": 1})", "C0C0C0"},
        {R"({"prop_color_red": 1, "prop_color_green": 1, "prop_color_blue": "#102030"})", "C0C0C0"},
        {R"({"prop_color_red": 2, "prop_color_green": -1, "prop_color_blue": 0.999})", "FE01FE"},
        {R"({"prop_color_red": 1e30, "prop_color_green": 3e38, "prop_color_blue": 1e300})", "000000"},
    };
    for (const Case& c : cases) {
        const Json::Value node = decodeNode(color, encodeNode(color, parseJson(c.properties)), 26);
        EXPECT_EQ(node["properties"]["prop_color_value"].asString(), c.value) << c.properties;
    }

    // Non-finite components from the board give 0 instead of an undefined conversion.
    SerialMessage record = encodeNode(color, parseJson(R"({"prop_color_red": 1, "prop_color_blue": 1})"));
    writeF32(record.bytes + 12, NAN);
    writeF32(record.bytes + 22, -INFINITY);
    EXPECT_EQ(decodeNode(color, record, 26)["properties"]["prop_color_value"].asString(), "000000");
}

TEST_F(NodesMathFirst, ConstantKinds)
{
    const NodeConversion& constant = conversion(MT_NODE_CONSTANT);
    struct Case {
        const char* properties;
        const char* fields;
        const char* decoded;
    } cases[] = {
        {R"({"prop_value": 3})", "00 00004040", R"({"prop_value":3})"},
        {R"({"prop_value": true})", "00 0000803F", R"({"prop_value":1})"},
        {R"({"prop_value": "red"})", "01 00000000", R"({"prop_value":"#000000"})"},
        {R"({"prop_value": "xA0b0C0"})", "01 A0B0C000", R"({"prop_value":"#A0B0C0"})"},
        {R"({"prop_value": [1]})", "00 00000000", R"({"prop_value":0.0})"},
        {R"({"prop_value": 1e300})", "00 0000807F", R"({"prop_value":1e+9999})"},
    };
    for (const Case& c : cases) {
        const SerialMessage record = encodeNode(constant, parseJson(c.properties));
        EXPECT_EQ(hexOfBytes(record.bytes + 11, 5), normalizedHex(c.fields)) << c.properties;
        EXPECT_EQ(compact(decodeNode(constant, record, 16)["properties"]), c.decoded) << c.properties;
    }
    // A kind the encoder never writes is shown as a number.
    SerialMessage other = encodeNode(constant, parseJson(R"({"prop_value": 2})"));
    other.bytes[11] = 7;
    EXPECT_EQ(compact(decodeNode(constant, other, 16)["properties"]), R"({"prop_value":2})");
}

TEST_F(NodesMathFirst, ShortRecordsStopAtTheFirstMissingField)
{
    struct Case {
        int messageType;
        int length;
        const char* properties;
        const char* label;
        int found;
    } cases[] = {
        {MT_NODE_BINARYOP, 22, R"({"prop_binaryop_left":0.0,"prop_binaryop_right":0.0})", "node_binaryop.type", 2},
        {MT_NODE_CLAMP, 20, R"({"prop_source":0.0})", "node_clamp.upperLimit", 2},
        {MT_NODE_COLOR, 25, R"({"prop_color_green":0.0,"prop_color_red":0.0})", "node_color.blue", 2},
        {MT_NODE_CONSTANT, 15, "", "node_constant.value", 1},
        {MT_NODE_GEOCALC, 18, R"({"prop_geocalc_type":0})", "node_geocalc.tolat", 2},
        {MT_NODE_MILLIS, 3, "", "node_millis.prescale", 0},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        const NodeConversion& node = conversion(c.messageType);
        const Json::Value decoded = decodeNode(node, encodeNode(node, Json::Value()), c.length);
        EXPECT_EQ(compact(decoded), nodeText(node.name, c.properties, c.found));
        EXPECT_TRUE(capture.contains(std::string("Missing fields in message: ") + c.label)) << c.label;
    }
}
