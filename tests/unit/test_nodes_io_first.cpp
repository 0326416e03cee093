#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "conversion/node_conversion.h"
#include "device/message_type.h"
#include "test_node_conversion_support.h"

using namespace conversion_test;

namespace {

using NodesIoFirst = RegisteredNodes;

const NodeTypeCase ioFirstCases[] = {
    {MT_NODE_ANALOG_INPUT, 25,
     R"({"prop_pin": 300, "prop_analogin_mode": 2, "prop_calib_min": 0.5, "prop_calib_mid": 1.5,
         "prop_calib_max": 3.25})",
     "2C 02 0000003F 0000C03F 00005040", "00 00 00000000 000080BF 0000803F",
     R"({"prop_analogin_mode":2,"prop_calib_max":3.25,"prop_calib_mid":1.5,"prop_calib_min":0.5,"prop_pin":44})",
     R"({"prop_analogin_mode":0,"prop_calib_max":1,"prop_calib_min":0.0,"prop_pin":0})"},
    {MT_NODE_DIGITAL_INPUT, 13, R"({"prop_pin": 7, "prop_digitalinput_pull": 2})", "07 02", "00 00",
     R"({"prop_digitalinput_pull":2,"prop_pin":7})", R"({"prop_pin":0})"},
    {MT_NODE_BARO_INPUT, 16,
     R"({"prop_baro_field": 3, "prop_baro_address": 1, "prop_baro_distanceunit": 2, "prop_baro_pressureunit": 4,
         "prop_baro_temperatureunit": 5})",
     "03 01 02 04 05", "00 00 00 00 00",
     R"({"prop_baro_address":1,"prop_baro_distanceunit":2,"prop_baro_field":3,"prop_baro_pressureunit":4,)"
     R"("prop_baro_temperatureunit":5})",
     R"({"prop_baro_field":0})"},
    {MT_NODE_GPS_INPUT, 15,
     R"({"prop_gps_field": 4, "prop_gps_distanceunit": 2, "prop_gps_timeunit": 3, "prop_gps_uart": 1})", "04 02 03 01",
     "01 00 00 00", R"({"prop_gps_distanceunit":2,"prop_gps_field":4,"prop_gps_timeunit":3,"prop_gps_uart":1})",
     R"({"prop_gps_field":1})"},
    {MT_NODE_HX711_INPUT, 26,
     R"({"prop_hx711_clockpin": 5, "prop_hx711_datapin": 6, "prop_hx711_calibreading1": -100000,
         "prop_hx711_calibreading2": 2147483647, "prop_hx711_calibload": 12.5, "prop_hx711_gain": 128})",
     "05 06 6079FEFF FFFFFF7F 00004841 80", "00 00 00000000 00000000 00000000 00",
     R"({"prop_hx711_calibload":12.50,"prop_hx711_calibreading1":-100000,"prop_hx711_calibreading2":2147483647,)"
     R"("prop_hx711_clockpin":5,"prop_hx711_datapin":6,"prop_hx711_gain":128})",
     R"({"prop_hx711_calibload":0.0,"prop_hx711_calibreading1":0,"prop_hx711_calibreading2":0,)"
     R"("prop_hx711_clockpin":0,"prop_hx711_datapin":0,"prop_hx711_gain":0})"},
    {MT_NODE_HX711_INPUT, 26,
     R"({"prop_hx711_clockpin": 5, "prop_hx711_datapin": 6, "prop_hx711_calibreading1": 100000,
         "prop_hx711_calibreading2": -100000, "prop_hx711_calibload": 12.5, "prop_hx711_gain": 128})",
     "05 06 A0860100 6079FEFF 00004841 80", "00 00 00000000 00000000 00000000 00",
     R"({"prop_hx711_calibload":12.50,"prop_hx711_calibreading1":100000,"prop_hx711_calibreading2":-100000,)"
     R"("prop_hx711_clockpin":5,"prop_hx711_datapin":6,"prop_hx711_gain":128})",
     R"({"prop_hx711_calibload":0.0,"prop_hx711_calibreading1":0,"prop_hx711_calibreading2":0,)"
     R"("prop_hx711_clockpin":0,"prop_hx711_datapin":0,"prop_hx711_gain":0})"},
    {MT_NODE_IMU_INPUT, 13, R"({"prop_imu_field": 3, "prop_imu_device": 1})", "03 01", "00 00",
     R"({"prop_imu_device":1,"prop_imu_field":3})", R"({"prop_imu_field":0})"},
    {MT_NODE_MAG_INPUT, 13, R"({"prop_mag_field": 2, "prop_mag_address": 1})", "02 01", "00 00",
     R"({"prop_mag_address":1,"prop_mag_field":2})", R"({"prop_mag_address":0,"prop_mag_field":0})"},
    {MT_NODE_LOG_INPUT, 14, R"({"prop_loginput_valuetype": 2, "prop_log_field": 3, "prop_log_uart": 1})", "02 03 01",
     "00 01 00", R"({"prop_log_field":3,"prop_log_uart":1,"prop_loginput_valuetype":2})",
     R"({"prop_log_field":1,"prop_loginput_valuetype":0})"},
    {MT_NODE_MIDI_INPUT, 15,
     R"({"prop_midi_valuetype": 1, "prop_midi_channel": 3, "prop_midi_index": 64, "prop_midi_uart": 2})", "01 03 40 02",
     "00 FF 00 00", R"({"prop_midi_channel":3,"prop_midi_index":64,"prop_midi_uart":2,"prop_midi_valuetype":1})",
     R"({"prop_midi_index":0,"prop_midi_valuetype":0})"},
    {MT_NODE_DIGITAL_OUTPUT, 22, R"({"prop_source": "#12", "prop_pin": 13, "prop_active": 0})",
     "01 0C000000  0D  00 00000000", "00 00000000  00  00 0000803F",
     R"({"prop_active":0.0,"prop_pin":13,"prop_source":"#12"})", R"({"prop_pin":0,"prop_source":0.0})"},
    // A reference's payload bytes read as f32 are tiny, so an "active" reference is always shown.
    {MT_NODE_DUTY_PWM_OUTPUT, 22, R"({"prop_source": 0.25, "prop_pin": 300, "prop_active": "#7"})",
     "00 0000803E  2C  01 07000000", "00 00000000  00  00 0000803F",
     R"({"prop_active":"#7","prop_pin":44,"prop_source":0.25})", R"({"prop_pin":0,"prop_source":0.0})"},
    {MT_NODE_DISPLAY_OUTPUT, 59,
     R"({"prop_source": "#5", "prop_color": "#FF8000", "prop_bgcolor": "#000080", "prop_active": 0.25,
         "prop_display_row": 2, "prop_display_col": 3, "prop_display_label": "Speed",
         "prop_display_minwholeplaces": 2, "prop_display_maxdecimalplaces": 3})",
     "01 05000000  02 FF800000  02 00008000  00 0000803E  02 03  5370656564" + zeroHex(19) + "02 03",
     "00 00000000  00 00000000  00 00000000  00 0000803F  01 01" + zeroHex(24) + "00 09",
     R"({"prop_active":0.25,"prop_bgcolor":"#000080","prop_color":"#FF8000","prop_display_col":3,)"
     R"("prop_display_label":"Speed","prop_display_maxdecimalplaces":3,"prop_display_minwholeplaces":2,)"
     R"("prop_display_row":2,"prop_source":"#5"})",
     R"({"prop_bgcolor":0.0,"prop_color":0.0,"prop_display_label":"","prop_display_row":1,"prop_source":0.0})"},
    {MT_NODE_DS3502_OUTPUT, 18, R"({"prop_source": "#3", "prop_ds3502out_initval": 0.5, "prop_ds3502out_address": 2})",
     "01 03000000  3F  02", "00 00000000  00  00",
     R"({"prop_ds3502out_address":2,"prop_ds3502out_initval":0.4960629940032959,"prop_source":"#3"})",
     R"({"prop_ds3502out_initval":0.0,"prop_source":0.0})"},
    {MT_NODE_GAMEPAD_OUTPUT, 18,
     R"({"prop_source": -2.5, "prop_gamepad_control_type": 1, "prop_gamepad_control_index": 5})", "00 000020C0  01  05",
     "00 00000000  00  00", R"({"prop_gamepad_control_index":5,"prop_gamepad_control_type":1,"prop_source":-2.5})",
     R"({"prop_gamepad_control_index":0,"prop_gamepad_control_type":0,"prop_source":0.0})"},
    {MT_NODE_LOG_OUTPUT, 18, R"({"prop_source": "#9", "prop_log_field": 2, "prop_log_uart": 1})", "01 09000000  02  01",
     "00 00000000  01  00", R"({"prop_log_field":2,"prop_log_uart":1,"prop_source":"#9"})",
     R"({"prop_log_field":1,"prop_source":0.0})"},
    {MT_NODE_MIDI_OUTPUT, 24,
     R"({"prop_midi_valuetype": 2, "prop_midi_channel": 10, "prop_midi_index": "#4", "prop_midi_payload": 100,
         "prop_midi_uart": 3})",
     "02 0A  01 04000000  00 0000C842  03", "00 01  00 00000000  00 00000000  00",
     R"({"prop_midi_channel":10,"prop_midi_index":"#4","prop_midi_payload":100.0,"prop_midi_uart":3,)"
     R"("prop_midi_valuetype":2})",
     R"({"prop_midi_channel":1,"prop_midi_index":0.0,"prop_midi_payload":0.0,"prop_midi_valuetype":0})"},
};

// The decoded properties of a record encoded from the given properties, at the given length field.
std::string roundTrip(const NodeConversion& node, const char* properties, int length)
{
    return compact(decodeNode(node, encodeNode(node, parseJson(properties)), length)["properties"]);
}

} // namespace

TEST_F(NodesIoFirst, RecordsAndDecodedProperties)
{
    for (const NodeTypeCase& c : ioFirstCases)
        checkNodeTypeCase(registry, c);
}

TEST_F(NodesIoFirst, FoundByNameNodeTypeAndMessageType)
{
    struct Case {
        const char* name;
        int nodeType;
        int messageType;
    } cases[] = {
        {"digitalin", 1, MT_NODE_DIGITAL_INPUT},
        {"analogin", 2, MT_NODE_ANALOG_INPUT},
        {"gps", 3, MT_NODE_GPS_INPUT},
        {"imu", 4, MT_NODE_IMU_INPUT},
        {"hx711", 47, MT_NODE_HX711_INPUT},
        {"baro", 42, MT_NODE_BARO_INPUT},
        {"mag", 43, MT_NODE_MAG_INPUT},
        {"uartlogin", 44, MT_NODE_LOG_INPUT},
        {"midiin", 48, MT_NODE_MIDI_INPUT},
        {"digitalout", 9, MT_NODE_DIGITAL_OUTPUT},
        {"dutypwmout", 14, MT_NODE_DUTY_PWM_OUTPUT},
        {"display", 13, MT_NODE_DISPLAY_OUTPUT},
        {"uartlogout", 45, MT_NODE_LOG_OUTPUT},
        {"midiout", 49, MT_NODE_MIDI_OUTPUT},
        {"gamepadout", 51, MT_NODE_GAMEPAD_OUTPUT},
        {"ds3502out", 53, MT_NODE_DS3502_OUTPUT},
    };
    for (const Case& c : cases) {
        const NodeConversion* byName = registry.findNodeConversion(c.name, 0, 0);
        ASSERT_NE(byName, nullptr) << c.name;
        EXPECT_EQ(byName->nodeType, c.nodeType) << c.name;
        EXPECT_EQ(byName->messageType, c.messageType) << c.name;
        EXPECT_EQ(registry.findNodeConversion("", c.nodeType, 0), byName) << c.name;
        EXPECT_EQ(registry.findNodeConversion("", 0, c.messageType), byName) << c.name;
        EXPECT_EQ(registry.jsNameForNodeType(c.nodeType), c.name);
    }
}

TEST_F(NodesIoFirst, ShortRecordsStopAtTheFirstMissingField)
{
    struct Case {
        int messageType;
        int length;
        const char* properties; // decoded before the gap, from the default record
        const char* label;
        int found;
    } cases[] = {
        {MT_NODE_ANALOG_INPUT, 20, R"({"prop_analogin_mode":0,"prop_calib_min":0.0,"prop_pin":0})",
         "node_analog_input.calibMid", 3},
        {MT_NODE_ANALOG_INPUT, 21, R"({"prop_analogin_mode":0,"prop_calib_min":0.0,"prop_pin":0})",
         "node_analog_input.calibMax", 4},
        // Same bytes, different take order: the digital output misses "active" before it reaches the pin.
        {MT_NODE_DIGITAL_OUTPUT, 17, R"({"prop_source":0.0})", "node_digitaloutput.active", 1},
        {MT_NODE_DUTY_PWM_OUTPUT, 17, R"({"prop_pin":0,"prop_source":0.0})", "node_dutypwmoutput.active", 2},
        {MT_NODE_DISPLAY_OUTPUT, 56, R"({"prop_bgcolor":0.0,"prop_color":0.0,"prop_display_row":1,"prop_source":0.0})",
         "node_displayoutput.label", 6},
        {MT_NODE_DISPLAY_OUTPUT, 58,
         R"({"prop_bgcolor":0.0,"prop_color":0.0,"prop_display_label":"","prop_display_row":1,"prop_source":0.0})",
         "node_displayoutput.maxdecimalplaces", 8},
        // The initial value has no take of its own: it comes with the source and is counted with nothing.
        {MT_NODE_DS3502_OUTPUT, 16, R"({"prop_ds3502out_initval":0.0,"prop_source":0.0})",
         "node_ds3502_output.deviceIndex", 1},
        {MT_NODE_DS3502_OUTPUT, 15, "", "node_ds3502_output.source", 0},
        {MT_NODE_HX711_INPUT, 24,
         R"({"prop_hx711_calibreading1":0,"prop_hx711_calibreading2":0,"prop_hx711_clockpin":0,)"
         R"("prop_hx711_datapin":0})",
         "node_hx711_input.calibLoad", 4},
        {MT_NODE_MIDI_OUTPUT, 23,
         R"({"prop_midi_channel":1,"prop_midi_index":0.0,"prop_midi_payload":0.0,"prop_midi_valuetype":0})",
         "node_midi_output.uart", 4},
        {MT_NODE_GPS_INPUT, 3, "", "node_gps_input.field", 0},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        const NodeConversion& node = conversion(c.messageType);
        const Json::Value decoded = decodeNode(node, encodeNode(node, Json::Value()), c.length);
        EXPECT_EQ(compact(decoded), nodeText(node.name, c.properties, c.found)) << c.label << " " << c.length;
        EXPECT_TRUE(capture.contains(std::string("Missing fields in message: ") + c.label)) << c.label;
    }
}

TEST_F(NodesIoFirst, ActiveInputShownOnlyBelowOneHalf)
{
    struct Case {
        float payload;
        bool shown;
    } cases[] = {{0.0f, true}, {0.4999f, true}, {-3.0f, true}, {0.5f, false}, {1.0f, false}, {NAN, false}};
    const struct {
        int messageType;
        int offset;
        int length;
    } inputs[] = {
        {MT_NODE_DIGITAL_OUTPUT, 17, 22}, {MT_NODE_DUTY_PWM_OUTPUT, 17, 22}, {MT_NODE_DISPLAY_OUTPUT, 26, 59}};
    for (const auto& input : inputs) {
        const NodeConversion& node = conversion(input.messageType);
        for (const Case& c : cases) {
            SerialMessage record = encodeNode(node, Json::Value());
            writeF32(record.bytes + input.offset + 1, c.payload);
            EXPECT_EQ(decodeNode(node, record, input.length)["properties"].isMember("prop_active"), c.shown)
                << node.name << " " << c.payload;
        }
    }
    // The kind byte is not looked at: a colour whose payload reads as a small float is shown.
    const NodeConversion& digital = conversion(MT_NODE_DIGITAL_OUTPUT);
    EXPECT_EQ(roundTrip(digital, R"({"prop_active": "#010000"})", 22),
              R"({"prop_active":"#010000","prop_pin":0,"prop_source":0.0})");
    EXPECT_EQ(roundTrip(digital, R"({"prop_active": 1})", 22), R"({"prop_pin":0,"prop_source":0.0})");
}

TEST_F(NodesIoFirst, DisplayLabel)
{
    const NodeConversion& display = conversion(MT_NODE_DISPLAY_OUTPUT);
    struct Case {
        const char* properties;
        std::string area; // hex of the 24 label bytes
        const char* decoded;
    } cases[] = {
        {R"({"prop_display_label": "abcdefghijklmnopqrstuvwxyz1234"})",
         "6162636465666768696A6B6C6D6E6F707172737475767700", "abcdefghijklmnopqrstuvw"},
        {R"({"prop_display_label": "abcdefghijklmnopqrstuvw"})", "6162636465666768696A6B6C6D6E6F707172737475767700",
         "abcdefghijklmnopqrstuvw"},
        {R"({"prop_display_label": true})", "74727565" + zeroHex(20), "true"},
        {R"({"prop_display_label": false})", "66616C7365" + zeroHex(19), "false"},
        {R"({"prop_display_label": null})", zeroHex(24), ""},
        {R"({"prop_display_label": 42})", zeroHex(24), ""},
        {R"({"prop_display_label": [1, 2]})", zeroHex(24), ""},
        {R"({"prop_display_label": {"a": "b"}})", zeroHex(24), ""},
        // Bytes are copied as they are; the board's text, like the decoder, ends at the first zero byte.
        {R"({"prop_display_label": "a\u0000b"})", "610062" + zeroHex(21), "a"},
    };
    for (const Case& c : cases) {
        const SerialMessage record = encodeNode(display, parseJson(c.properties));
        EXPECT_EQ(hexOfBytes(record.bytes + 33, 24), normalizedHex(c.area)) << c.properties;
        EXPECT_EQ(hexOfBytes(record.bytes + 57, 2), "0009") << "place counts overwritten: " << c.properties;
        EXPECT_EQ(decodeNode(display, record, 59)["properties"]["prop_display_label"].asString(), c.decoded)
            << c.properties;
    }

    // A board record without a zero byte in the label area is read to the end of the area, not into the
    // place counts behind it.
    SerialMessage unterminated = encodeNode(display, parseJson(R"({"prop_display_minwholeplaces": 7})"));
    std::memset(unterminated.bytes + 33, 'x', 24);
    const Json::Value decoded = decodeNode(display, unterminated, 59);
    EXPECT_EQ(decoded["properties"]["prop_display_label"].asString(), std::string(24, 'x'));
    EXPECT_EQ(decoded["properties"]["prop_display_minwholeplaces"].asInt(), 7);
}

TEST_F(NodesIoFirst, DisplayPlaceCountsLimitedToNine)
{
    const NodeConversion& display = conversion(MT_NODE_DISPLAY_OUTPUT);
    struct Case {
        const char* properties;
        const char* bytes; // offsets 57 and 58
        const char* decoded;
    } cases[] = {
        {R"({"prop_display_maxdecimalplaces": 12, "prop_display_minwholeplaces": -3})", "0009", "{}"},
        {R"({"prop_display_maxdecimalplaces": -1, "prop_display_minwholeplaces": 300})", "0900",
         R"({"prop_display_maxdecimalplaces":0,"prop_display_minwholeplaces":9})"},
        {R"({"prop_display_maxdecimalplaces": 2.0, "prop_display_minwholeplaces": "4"})", "0009", "{}"},
        {R"({"prop_display_maxdecimalplaces": 4294967295, "prop_display_minwholeplaces": true})", "0109",
         R"({"prop_display_minwholeplaces":1})"},
    };
    for (const Case& c : cases) {
        const SerialMessage record = encodeNode(display, parseJson(c.properties));
        EXPECT_EQ(hexOfBytes(record.bytes + 57, 2), c.bytes) << c.properties;
        Json::Value properties = decodeNode(display, record, 59)["properties"];
        for (const char* key :
             {"prop_active", "prop_bgcolor", "prop_color", "prop_display_label", "prop_display_row", "prop_source"})
            properties.removeMember(key);
        EXPECT_EQ(compact(properties), c.decoded) << c.properties;
    }
}

TEST_F(NodesIoFirst, PotentiometerInitialValueInSevenBitSteps)
{
    const NodeConversion& ds3502 = conversion(MT_NODE_DS3502_OUTPUT);
    struct Case {
        const char* properties;
        uint8_t steps;
        const char* decoded;
    } cases[] = {
        {R"({"prop_ds3502out_initval": 2.0})", 127, "1"},
        {R"({"prop_ds3502out_initval": 1})", 127, "1"},
        {R"({"prop_ds3502out_initval": -1})", 0, "0.0"},
        {R"({"prop_ds3502out_initval": 0.999})", 126, "0.9921259880065918"},
        {R"({"prop_ds3502out_initval": true})", 127, "1"},
        {R"({"prop_ds3502out_initval": "0.5"})", 0, "0.0"},
        {R"({"prop_ds3502out_initval": 1e300})", 127, "1"},
    };
    for (const Case& c : cases) {
        const SerialMessage record = encodeNode(ds3502, parseJson(c.properties));
        EXPECT_EQ(record.bytes[16], c.steps) << c.properties;
        EXPECT_EQ(compact(decodeNode(ds3502, record, 18)["properties"]["prop_ds3502out_initval"]), c.decoded)
            << c.properties;
    }
    // A step count above 127 from a board is shown as its fraction, not limited.
    SerialMessage record = encodeNode(ds3502, Json::Value());
    record.bytes[16] = 254;
    EXPECT_EQ(compact(decodeNode(ds3502, record, 18)["properties"]["prop_ds3502out_initval"]), "2");
}

TEST_F(NodesIoFirst, MidiInputChannelAbsentTravelsAs255)
{
    const NodeConversion& midi = conversion(MT_NODE_MIDI_INPUT);
    struct Case {
        const char* properties;
        uint8_t channel;
        const char* decoded;
    } cases[] = {
        {"{}", 255, nullptr},
        {R"({"prop_midi_channel": 3})", 3, "3"},
        {R"({"prop_midi_channel": 0})", 0, "0"},
        {R"({"prop_midi_channel": -1})", 255, nullptr},
        {R"({"prop_midi_channel": -5})", 255, nullptr},
        {R"({"prop_midi_channel": -2147483648})", 255, nullptr},
        {R"({"prop_midi_channel": 259})", 3, "3"},
        {R"({"prop_midi_channel": 3.0})", 255, nullptr},
        {R"({"prop_midi_channel": 4294967296})", 255, nullptr},
    };
    for (const Case& c : cases) {
        const SerialMessage record = encodeNode(midi, parseJson(c.properties));
        EXPECT_EQ(record.bytes[12], c.channel) << c.properties;
        const Json::Value properties = decodeNode(midi, record, 15)["properties"];
        if (c.decoded == nullptr)
            EXPECT_FALSE(properties.isMember("prop_midi_channel")) << c.properties;
        else
            EXPECT_EQ(compact(properties["prop_midi_channel"]), c.decoded) << c.properties;
    }
}

TEST_F(NodesIoFirst, DeviceAddressZeroShownOnlyForTheMagnetometer)
{
    struct Case {
        int messageType;
        int length;
        const char* key;
        bool shown;
    } cases[] = {
        {MT_NODE_MAG_INPUT, 13, "prop_mag_address", true},
        {MT_NODE_BARO_INPUT, 16, "prop_baro_address", false},
        {MT_NODE_IMU_INPUT, 13, "prop_imu_device", false},
    };
    for (const Case& c : cases) {
        const NodeConversion& node = conversion(c.messageType);
        const std::string properties = std::string(R"({")") + c.key + R"(": 0})";
        const SerialMessage record = encodeNode(node, parseJson(properties));
        EXPECT_EQ(record.bytes[12], 0) << c.key;
        EXPECT_EQ(decodeNode(node, record, c.length)["properties"].isMember(c.key), c.shown) << c.key;
    }
}

// Editor input of every odd kind under every key, and properties that are not an object at all: the defaults
// apply and nothing is thrown.
TEST_F(NodesIoFirst, OddEditorValuesNeverThrow)
{
    const char* oddValues[] = {"[1, 2]", R"({"a": 1})",          "null",        "\"\"",
                               "\"#\"",  "4294967296",           "-2147483649", "1e300",
                               "-1e300", "18446744073709551615", "true",        "\"#99999999999\""};
    for (const NodeTypeCase& c : ioFirstCases) {
        const auto* table = dynamic_cast<const TableNodeConversion*>(&conversion(c.messageType));
        ASSERT_NE(table, nullptr);
        SCOPED_TRACE(table->name);
        for (const char* value : oddValues) {
            Json::Value properties(Json::objectValue);
            for (const FieldSpec& row : table->fields)
                properties[row.key] = parseJson(value);
            LogCapture capture; // the empty reference text is logged
            EXPECT_NO_THROW(decodeNode(*table, encodeNode(*table, properties), c.recordBytes)) << value;
        }
        for (const char* notAnObject : {"[1]", "\"text\"", "5", "true"})
            EXPECT_NO_THROW(checkEncoded(encodeNode(*table, parseJson(notAnObject)), c, c.defaultFields));
    }
}
