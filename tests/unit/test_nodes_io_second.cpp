#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "conversion/node_conversion.h"
#include "core/little_endian.h"
#include "device/message_type.h"
#include "test_node_conversion_support.h"

using namespace conversion_test;

namespace {

using NodesIoSecond = RegisteredNodes;

const NodeTypeCase ioSecondCases[] = {
    {MT_NODE_NRF24_INPUT, 13, R"({"prop_nrf24_valuetype": 2, "prop_channel": 300})", "02 2C", "00 00",
     R"({"prop_channel":44,"prop_nrf24_valuetype":2})", R"({"prop_channel":0,"prop_nrf24_valuetype":0})"},
    {MT_NODE_NRF24_OUTPUT, 17, R"({"prop_source": "#5", "prop_channel": 3})", "01 05000000 03", "00 00000000 00",
     R"({"prop_channel":3,"prop_source":"#5"})", R"({"prop_channel":0,"prop_source":0.0})"},
    {MT_NODE_PPM_OUTPUT, 17, R"({"prop_source": 0.5, "prop_channel": 7})", "00 0000003F 07", "00 00000000 00",
     R"({"prop_channel":7,"prop_source":0.5})", R"({"prop_channel":0,"prop_source":0.0})"},
    {MT_NODE_PPM_INPUT, 19,
     R"({"prop_channel": 4, "prop_ppminput_mode": 1, "prop_calib_min": 900, "prop_calib_mid": 1500,
         "prop_calib_max": 2100})",
     "04 01 8403 DC05 3408", "00 00 E803 FFFF D007",
     R"({"prop_calib_max":2100,"prop_calib_mid":1500,"prop_calib_min":900,"prop_channel":4,"prop_ppminput_mode":1})",
     R"({"prop_calib_max":2000,"prop_calib_min":1000,"prop_channel":0,"prop_ppminput_mode":0})"},
    {MT_NODE_SERVO_PWM_INPUT, 19,
     R"({"prop_pin": 12, "prop_servopwmin_mode": 2, "prop_calib_min": 1100, "prop_calib_mid": 1520,
         "prop_calib_max": 67436})",
     "0C 02 4C04 F005 6C07", "00 00 E803 FFFF D007",
     R"({"prop_calib_max":1900,"prop_calib_mid":1520,"prop_calib_min":1100,"prop_pin":12,"prop_servopwmin_mode":2})",
     R"({"prop_calib_max":2000,"prop_calib_min":1000,"prop_pin":0,"prop_servopwmin_mode":0})"},
    {MT_NODE_SERIALRC_INPUT, 20,
     R"({"prop_channel": 1, "prop_serialrc_mode": 3, "prop_calib_min": 988, "prop_calib_mid": 1500,
         "prop_calib_max": 2012, "prop_serialrc_uart": 2})",
     "01 03 DC03 DC05 DC07 02", "00 00 E803 FFFF D007 00",
     R"({"prop_calib_max":2012,"prop_calib_mid":1500,"prop_calib_min":988,"prop_channel":1,)"
     R"("prop_serialrc_mode":3,"prop_serialrc_uart":2})",
     R"({"prop_calib_max":2000,"prop_calib_min":1000,"prop_channel":0,"prop_serialrc_mode":0})"},
    {MT_NODE_SERIALRC_OUTPUT, 18,
     R"({"prop_source": "#FF8000", "prop_serialrcoutput_field": 5, "prop_serialrc_uart": 1})", "02 FF800000 05 01",
     "00 00000000 00 00", R"({"prop_serialrc_uart":1,"prop_serialrcoutput_field":5,"prop_source":"#FF8000"})",
     R"({"prop_serialrcoutput_field":0,"prop_source":0.0})"},
    {MT_NODE_SERIALSERVO_OUTPUT, 29,
     R"({"prop_source": -1, "prop_serialservo_id": 9, "prop_serialservo_pulse_min": 100,
         "prop_serialservo_pulse_mid": 500, "prop_serialservo_pulse_max": 900, "prop_serialservo_uart": 3,
         "prop_active": 0})",
     "00 000080BF 09 6400 F401 8403 03 00 00000000", "00 00000000 00 0000 FFFF E803 00 00 0000803F",
     R"({"prop_active":0.0,"prop_serialservo_id":9,"prop_serialservo_pulse_max":900,)"
     R"("prop_serialservo_pulse_mid":500,"prop_serialservo_pulse_min":100,"prop_serialservo_uart":3,)"
     R"("prop_source":-1})",
     R"({"prop_serialservo_id":0,"prop_serialservo_pulse_max":1000,"prop_serialservo_pulse_min":0,)"
     R"("prop_source":0.0})"},
    {MT_NODE_SERVO_PWM_OUTPUT, 28,
     R"({"prop_source": "#3", "prop_pin": 5, "prop_servo_pwm_pulse_min": 1100, "prop_servo_pwm_pulse_mid": 1500,
         "prop_servo_pwm_pulse_max": 1900, "prop_active": 0.25})",
     "01 03000000 05 4C04 DC05 6C07 00 0000803E", "00 00000000 00 E803 FFFF D007 00 0000803F",
     R"({"prop_active":0.25,"prop_pin":5,"prop_servo_pwm_pulse_max":1900,"prop_servo_pwm_pulse_mid":1500,)"
     R"("prop_servo_pwm_pulse_min":1100,"prop_source":"#3"})",
     R"({"prop_pin":0,"prop_servo_pwm_pulse_max":2000,"prop_servo_pwm_pulse_min":1000,"prop_source":0.0})"},
    {MT_NODE_RGBLED_RANGE_OUTPUT, 31,
     R"({"prop_rgbled_color": "#102030", "prop_rgbled_rangelower": 2, "prop_rgbled_rangeupper": "#9",
         "prop_active": "#0"})",
     "02 10203000 00 00000040 01 09000000 01 00000000", "00 00000000 00 00000000 00 00000000 00 0000803F",
     R"({"prop_active":"#0","prop_rgbled_color":"#102030","prop_rgbled_rangelower":2,"prop_rgbled_rangeupper":"#9"})",
     R"({"prop_rgbled_color":0.0,"prop_rgbled_rangelower":0.0,"prop_rgbled_rangeupper":0.0})"},
    {MT_NODE_RGBLED_INDICES_OUTPUT, 37,
     R"({"prop_rgbled_color": "#FF0000", "prop_flags1": 11, "prop_flags2": 0, "prop_flags3": 0,
         "prop_flags4": -2147483648, "prop_active": 0})",
     "02 FF000000 0B000000 00000000 00000000 00000080 00 00000000",
     "00 00000000 00000000 00000000 00000000 00000000 00 0000803F",
     R"({"prop_active":0.0,"prop_rgbled_color":"#FF0000","prop_rgbled_indices":"1-2,4,128"})",
     R"({"prop_rgbled_color":0.0,"prop_rgbled_indices":""})"},
    {MT_NODE_ROTARYENCODER_INPUT, 12, R"({"prop_rotaryencoder_predelta": 3})", "03", "00",
     R"({"prop_rotaryencoderinput":3})", ""},
    {MT_NODE_XGZP_INPUT, 15, R"({"prop_xgzp_scale": 2.5})", "00002040", "0000803F", R"({"prop_xgzp_scale":2.5})",
     R"({"prop_xgzp_scale":1})"},
};

} // namespace

TEST_F(NodesIoSecond, RecordsAndDecodedProperties)
{
    for (const NodeTypeCase& c : ioSecondCases)
        checkNodeTypeCase(registry, c);
}

TEST_F(NodesIoSecond, FoundByNameNodeTypeAndMessageType)
{
    struct Case {
        const char* name;
        int nodeType;
        int messageType;
    } cases[] = {
        {"nrf24in", 7, 74},      {"nrf24out", 15, 82},    {"ppmout", 35, 84},        {"ppmin", 34, 83},
        {"servopwmin", 6, 73},   {"serialrcin", 5, 72},   {"serialrcout", 46, 89},   {"serialservoout", 50, 93},
        {"servopwmout", 10, 77}, {"rgbledrange", 12, 79}, {"rgbledindices", 11, 78}, {"rotaryencoder", 8, 75},
        {"xgzpin", 52, 95},
    };
    for (const Case& c : cases) {
        const NodeConversion* byName = registry.findNodeConversion(c.name, 0, 0);
        ASSERT_NE(byName, nullptr) << c.name;
        EXPECT_EQ(registry.findNodeConversion("", c.nodeType, 0), byName) << c.name;
        EXPECT_EQ(registry.findNodeConversion("", 0, c.messageType), byName) << c.name;
        EXPECT_EQ(byName->nodeType, c.nodeType) << c.name;
        EXPECT_EQ(byName->messageType, c.messageType) << c.name;
        EXPECT_EQ(registry.jsNameForNodeType(c.nodeType), c.name);
    }
}

TEST_F(NodesIoSecond, RadioAndPpmOutputsShareTheEncoderButNotTheMessageType)
{
    const Json::Value properties = parseJson(R"({"prop_source": "#12", "prop_channel": 9})");
    const SerialMessage ppm = encodeNode(conversion(MT_NODE_PPM_OUTPUT), properties);
    const SerialMessage radio = encodeNode(conversion(MT_NODE_NRF24_OUTPUT), properties);
    EXPECT_EQ(ppm.type(), 84);
    EXPECT_EQ(radio.type(), 82);
    EXPECT_EQ(hexOfBytes(ppm.bytes + 4, 13), hexOfBytes(radio.bytes + 4, 13));

    struct Case {
        int messageType;
        const char* warning;
    } cases[] = {{MT_NODE_PPM_OUTPUT, "node_ppmoutput.channel"}, {MT_NODE_NRF24_OUTPUT, "node_nrf24output.channel"}};
    for (const Case& c : cases) {
        LogCapture capture;
        const NodeConversion& node = conversion(c.messageType);
        EXPECT_EQ(compact(decodeNode(node, ppm, 16)), nodeText(node.name, R"({"prop_source":"#12"})", 1));
        EXPECT_TRUE(capture.contains(std::string("Missing fields in message: ") + c.warning)) << c.warning;
    }
}

TEST_F(NodesIoSecond, LedIndexText)
{
    const NodeConversion& indices = conversion(MT_NODE_RGBLED_INDICES_OUTPUT);
    struct Case {
        uint32_t flags[4];
        const char* text;
    } cases[] = {
        {{11, 0, 0, 0x80000000u}, "1-2,4,128"},
        {{0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu}, "1-128"},
        {{0, 0, 0, 0}, ""},
        {{0x80000000u, 1, 0, 0}, "32-33"},
        {{1, 0, 0, 0}, "1"},
        {{5, 0, 0xFFFFFFFFu, 0x40000000u}, "1,3,65-96,127"},
        {{0, 0, 0, 0xC0000000u}, "127-128"},
    };
    for (const Case& c : cases) {
        SerialMessage record = encodeNode(indices, Json::Value());
        for (int field = 0; field < 4; ++field)
            writeU32(record.bytes + 16 + 4 * field, c.flags[field]);
        EXPECT_EQ(decodeNode(indices, record, 37)["properties"]["prop_rgbled_indices"].asString(), c.text) << c.text;
    }

    // Negative editor values set bit 31; the decoder never writes the flag keys back.
    const Json::Value all = decodeNode(
        indices,
        encodeNode(indices,
                   parseJson(R"({"prop_flags1": -1, "prop_flags2": -1, "prop_flags3": -1, "prop_flags4": -1})")),
        37);
    EXPECT_EQ(compact(all["properties"]), R"({"prop_rgbled_color":0.0,"prop_rgbled_indices":"1-128"})");
}

TEST_F(NodesIoSecond, ShortRecordsStopAtTheFirstMissingField)
{
    struct Case {
        int messageType;
        int length;
        const char* properties;
        const char* label;
        int found;
    } cases[] = {
        {MT_NODE_RGBLED_INDICES_OUTPUT, 26, R"({"prop_rgbled_color":0.0})", "node_rgbledindicesoutput.indexFlags3", 3},
        {MT_NODE_RGBLED_INDICES_OUTPUT, 31, R"({"prop_rgbled_color":0.0})", "node_rgbledindicesoutput.indexFlags4", 4},
        {MT_NODE_RGBLED_INDICES_OUTPUT, 36, R"({"prop_rgbled_color":0.0,"prop_rgbled_indices":""})",
         "node_rgbledindicesoutput.active", 5},
        {MT_NODE_NRF24_INPUT, 12, R"({"prop_nrf24_valuetype":0})", "node_nrf24_input.channel", 1},
        {MT_NODE_PPM_INPUT, 18, R"({"prop_calib_min":1000,"prop_channel":0,"prop_ppminput_mode":0})",
         "node_ppminput.calibMax", 4},
        {MT_NODE_SERVO_PWM_INPUT, 16, R"({"prop_calib_min":1000,"prop_pin":0,"prop_servopwmin_mode":0})",
         "node_servo_pwm_input.calibMid", 3},
        {MT_NODE_SERIALRC_INPUT, 19,
         R"({"prop_calib_max":2000,"prop_calib_min":1000,"prop_channel":0,"prop_serialrc_mode":0})",
         "node_serialrc_input.uart", 5},
        {MT_NODE_SERIALRC_OUTPUT, 17, R"({"prop_serialrcoutput_field":0,"prop_source":0.0})",
         "node_serialrc_output.uart", 2},
        {MT_NODE_SERIALSERVO_OUTPUT, 23,
         R"({"prop_serialservo_id":0,"prop_serialservo_pulse_max":1000,"prop_serialservo_pulse_min":0,)"
         R"("prop_source":0.0})",
         "node_serialservo_output.uart", 5},
        {MT_NODE_SERVO_PWM_OUTPUT, 27,
         R"({"prop_pin":0,"prop_servo_pwm_pulse_max":2000,"prop_servo_pwm_pulse_min":1000,"prop_source":0.0})",
         "node_servopwmoutput.active", 5},
        {MT_NODE_RGBLED_RANGE_OUTPUT, 25, R"({"prop_rgbled_color":0.0,"prop_rgbled_rangelower":0.0})",
         "node_rgbledrangeoutput.upper", 2},
        {MT_NODE_ROTARYENCODER_INPUT, 3, "", "node_rotaryencoderinput.predelta", 0},
        {MT_NODE_XGZP_INPUT, 14, "", "node_xgzp_input.scale", 0},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        const NodeConversion& node = conversion(c.messageType);
        const Json::Value decoded = decodeNode(node, encodeNode(node, Json::Value()), c.length);
        EXPECT_EQ(compact(decoded), nodeText(node.name, c.properties, c.found)) << c.label;
        EXPECT_TRUE(capture.contains(std::string("Missing fields in message: ") + c.label)) << c.label;
    }
}

// "active" is shown only when its payload, read as f32 whatever the kind, is below 0.5.
TEST_F(NodesIoSecond, ActiveInputShownOnlyBelowOneHalf)
{
    struct Case {
        const char* properties;
        const char* active; // decoded text, or nullptr when left out
    } cases[] = {
        {R"({"prop_active": "#7"})", "\"#7\""}, // payload 7 is a tiny f32
        {R"({"prop_active": 0.49})", "0.49"},
        {R"({"prop_active": 0.5})", nullptr},
        {R"({"prop_active": true})", nullptr},
        {R"({"prop_active": "#-1"})", nullptr}, // payload bits of a NaN
        {R"({"prop_active": "#1065353216"})", nullptr}, // payload bits of 1.0
        {R"({"prop_active": "#000000"})", "\"#000000\""},
    };
    const int activeTypes[][2] = {
        {MT_NODE_SERVO_PWM_OUTPUT, 28},
        {MT_NODE_SERIALSERVO_OUTPUT, 29},
        {MT_NODE_RGBLED_RANGE_OUTPUT, 31},
        {MT_NODE_RGBLED_INDICES_OUTPUT, 37},
    };
    for (const auto& type : activeTypes) {
        const NodeConversion& node = conversion(type[0]);
        for (const Case& c : cases) {
            const Json::Value properties =
                decodeNode(node, encodeNode(node, parseJson(c.properties)), type[1])["properties"];
            const std::string shown = properties.isMember("prop_active") ? compact(properties["prop_active"]) : "";
            EXPECT_EQ(shown, c.active == nullptr ? "" : c.active) << node.name << " " << c.properties;
        }
    }
}

TEST_F(NodesIoSecond, LeftOutValues)
{
    struct Case {
        int messageType;
        int recordBytes;
        const char* properties;
        const char* fields;
        const char* decoded;
    } cases[] = {
        {MT_NODE_ROTARYENCODER_INPUT, 12, R"({"prop_rotaryencoder_predelta": 0})", "00", "null"},
        {MT_NODE_ROTARYENCODER_INPUT, 12, R"({"prop_rotaryencoder_predelta": 256})", "00", "null"},
        {MT_NODE_ROTARYENCODER_INPUT, 12, R"({"prop_rotaryencoderinput": 3})", "00", "null"},
        {MT_NODE_XGZP_INPUT, 15, R"({"prop_xgzp_scale": 0})", "00000000", "null"},
        {MT_NODE_XGZP_INPUT, 15, R"({"prop_xgzp_scale": -0.0})", "00000080", "null"},
        {MT_NODE_XGZP_INPUT, 15, R"({"prop_xgzp_scale": "2"})", "0000803F", R"({"prop_xgzp_scale":1})"},
        {MT_NODE_SERIALRC_INPUT, 20, R"({"prop_serialrc_uart": 0, "prop_calib_mid": 65535})", "00 00 E803 FFFF D007 00",
         R"({"prop_calib_max":2000,"prop_calib_min":1000,"prop_channel":0,"prop_serialrc_mode":0})"},
        {MT_NODE_SERIALRC_INPUT, 20, R"({"prop_serialrc_uart": 256, "prop_calib_mid": -2})", "00 00 E803 FEFF D007 00",
         R"({"prop_calib_max":2000,"prop_calib_mid":65534,"prop_calib_min":1000,"prop_channel":0,)"
         R"("prop_serialrc_mode":0})"},
        {MT_NODE_SERIALSERVO_OUTPUT, 29, R"({"prop_serialservo_pulse_mid": 65535, "prop_active": 1})",
         "00 00000000 00 0000 FFFF E803 00 00 0000803F",
         R"({"prop_serialservo_id":0,"prop_serialservo_pulse_max":1000,"prop_serialservo_pulse_min":0,)"
         R"("prop_source":0.0})"},
    };
    for (const Case& c : cases) {
        const NodeConversion& node = conversion(c.messageType);
        const SerialMessage record = encodeNode(node, parseJson(c.properties));
        EXPECT_EQ(hexOfBytes(record.bytes + 11, c.recordBytes - 11), normalizedHex(c.fields)) << c.properties;
        EXPECT_EQ(compact(decodeNode(node, record, c.recordBytes)["properties"]), c.decoded) << c.properties;
    }

    // A NaN scale from the board differs from 0 and is shown.
    const NodeConversion& xgzp = conversion(MT_NODE_XGZP_INPUT);
    SerialMessage nanScale = encodeNode(xgzp, Json::Value());
    writeF32(nanScale.bytes + 11, NAN);
    EXPECT_TRUE(decodeNode(xgzp, nanScale, 15)["properties"].isMember("prop_xgzp_scale"));
}

// Values of kinds that hold no number take the defaults; numbers out of every field's range must not throw.
TEST_F(NodesIoSecond, ForeignValueKindsNeverThrow)
{
    const char* foreignValues[] = {"[1]", R"({"a": 1})", "null", "4294967296", "-3000000000", "1e300", "\"\""};
    for (const NodeTypeCase& c : ioSecondCases) {
        const NodeConversion& node = conversion(c.messageType);
        const Json::Value full = parseJson(c.properties);
        for (const char* foreign : foreignValues) {
            Json::Value properties(Json::objectValue);
            for (const std::string& key : full.getMemberNames())
                properties[key] = parseJson(foreign);
            SCOPED_TRACE(node.name + " " + foreign);
            LogCapture capture;
            SerialMessage record;
            EXPECT_NO_THROW(record = encodeNode(node, properties));
            Json::Value decoded;
            EXPECT_NO_THROW(decoded = decodeNode(node, record, c.recordBytes));
            EXPECT_FALSE(decoded.isMember("missingPropertiesFoundOnly"));
            if (foreign[0] == '[' || foreign[0] == '{') {
                EXPECT_EQ(hexOfBytes(record.bytes + 11, c.recordBytes - 11), normalizedHex(c.defaultFields));
            }
        }
    }
}
