#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "conversion/node_conversion.h"
#include "core/little_endian.h"
#include "device/message_type.h"
#include "test_node_conversion_support.h"

using namespace conversion_test;

namespace {

class NodesMathSecond : public RegisteredNodes {
protected:
    // The properties decoded from the record that the given properties encode to.
    std::string roundTrip(int messageType, const char* properties, int length) const
    {
        const NodeConversion& node = conversion(messageType);
        return compact(decodeNode(node, encodeNode(node, parseJson(properties)), length)["properties"]);
    }
};

const char* const allZeroPattern = "0000000000000000000000000000000000000000000000000000000000000000";

const NodeTypeCase mathSecondCases[] = {
    {MT_NODE_MIX, 35,
     R"({"prop_mix_source1": "#7", "prop_mix_source2": 2.5, "prop_mix_weight1": "#102030",
         "prop_mix_weight2": "0.75", "prop_mix_scale_center": -1})",
     "01 07000000  00 00002040  02 10203000  00 0000403F  000080BF",
     "00 00000000  00 00000000  00 00000000  00 00000000  00000000",
     R"({"prop_mix_scale_center":-1,"prop_mix_source1":"#7","prop_mix_source2":2.5,)"
     R"("prop_mix_weight1":"#102030","prop_mix_weight2":0.75})",
     R"({"prop_mix_scale_center":0.0,"prop_mix_source1":0.0,"prop_mix_source2":0.0,)"
     R"("prop_mix_weight1":0.0,"prop_mix_weight2":0.0})"},
    {MT_NODE_NOISE, 24,
     R"({"prop_noise_low": -0.5, "prop_noise_high": 4, "prop_noise_interval": 0.25, "prop_noise_interpolate": 2})",
     "000000BF  00008040  0000803E  02", "00000000  0000803F  0000803F  00",
     R"({"prop_noise_high":4,"prop_noise_interpolate":2,"prop_noise_interval":0.25,"prop_noise_low":-0.5})",
     R"({"prop_noise_high":1,"prop_noise_interpolate":0,"prop_noise_interval":1,"prop_noise_low":0.0})"},
    {MT_NODE_PID, 49,
     R"({"prop_pid_setpoint": "#5", "prop_pid_input": "#6", "prop_pid_gainP": 1.5, "prop_pid_gainI": 0.1,
         "prop_pid_gainD": true, "prop_pid_enabled": 1, "prop_pid_output_min": -100, "prop_pid_output_max": 100})",
     "01 05000000  01 06000000  00 0000C03F  00 CDCCCC3D  00 0000803F  00 0000803F  0000C8C2  0000C842",
     "00 00000000  00 00000000  00 00000000  00 00000000  00 00000000  00 00000000  FFFF7FFF  FFFF7F7F",
     R"({"prop_pid_enabled":1,"prop_pid_gainD":1,"prop_pid_gainI":0.1,"prop_pid_gainP":1.5,"prop_pid_input":"#6",)"
     R"("prop_pid_output_max":100.0,"prop_pid_output_min":-100.0,"prop_pid_setpoint":"#5"})",
     R"({"prop_pid_enabled":0.0,"prop_pid_gainD":0.0,"prop_pid_gainI":0.0,"prop_pid_gainP":0.0,)"
     R"("prop_pid_input":0.0,"prop_pid_output_max":3.402823466385289e+38,)"
     R"("prop_pid_output_min":-3.402823466385289e+38,"prop_pid_setpoint":0.0})"},
    {MT_NODE_SCALE, 25, R"({"prop_source": "#300", "prop_center": 0.5, "prop_scale": "#ABCDEF"})",
     "01 2C010000  0000003F  02 ABCDEF00", "00 00000000  00000000  00 00000000",
     R"({"prop_center":0.5,"prop_scale":"#ABCDEF","prop_source":"#300"})",
     R"({"prop_center":0.0,"prop_scale":0.0,"prop_source":0.0})"},
    {MT_NODE_SELECTOR, 26, R"({"prop_selector_test": "#1", "prop_selector_pass": 10, "prop_selector_fail": -2.5})",
     "01 01000000  00 00002041  00 000020C0", "00 00000000  00 00000000  00 00000000",
     R"({"prop_selector_fail":-2.5,"prop_selector_pass":10,"prop_selector_test":"#1"})",
     R"({"prop_selector_fail":0.0,"prop_selector_pass":0.0,"prop_selector_test":0.0})"},
    {MT_NODE_SLEW, 25,
     R"({"prop_source": 3, "prop_slew_style": 2, "prop_slew_rate_asc": 0.5, "prop_slew_rate_desc": -0.5})",
     "00 00004040  02  0000003F  000000BF", "00 00000000  00  0000803F  000080BF",
     R"({"prop_slew_rate_asc":0.5,"prop_slew_rate_desc":-0.5,"prop_slew_style":2,"prop_source":3})",
     R"({"prop_slew_rate_asc":1,"prop_source":0.0})"},
    {MT_NODE_SNAPTO, 28,
     R"({"prop_source": "#2", "prop_snapto_anchor": 0, "prop_snapto_range": 0.1, "prop_snapto_spacing": 5})",
     "01 02000000  00000000  CDCCCC3D  0000A040", "00 00000000  0000003F  CDCCCC3C  0000803F",
     R"({"prop_snapto_anchor":0.0,"prop_snapto_range":0.1,"prop_snapto_spacing":5,"prop_source":"#2"})",
     R"({"prop_snapto_anchor":0.5,"prop_snapto_range":0.02500000037252903,"prop_snapto_spacing":1,)"
     R"("prop_source":0.0})"},
    {MT_NODE_STORE, 36,
     R"({"prop_source": "#4", "prop_store_relative": 1, "prop_store_enabled": "#9", "prop_store_min": -10,
         "prop_store_max": 10, "prop_store_eeprom_index": 3})",
     "01 04000000  00 0000803F  01 09000000  000020C1  00002041  0300",
     "00 00000000  00 00000000  00 00000000  FFFF7FFF  FFFF7F7F  FFFF",
     R"({"prop_source":"#4","prop_store_eeprom_index":3,"prop_store_enabled":"#9","prop_store_max":10,)"
     R"("prop_store_min":-10,"prop_store_relative":1})",
     R"({"prop_source":0.0,"prop_store_enabled":0.0})"},
    {MT_NODE_STROBE, 37,
     R"({"prop_source": "#3", "prop_flags1": 5, "prop_flags2": -2147483648, "prop_strobe_timescale": 2,
         "prop_strobe_interval": 0.5, "prop_strobe_count": 10, "prop_strobe_repetitions": 3,
         "prop_strobe_reset": "#8"})",
     "01 03000000  05000000  00000080  02  00 0000003F  0A  03  01 08000000",
     "00 00000000  00000000  00000000  01  00 00000000  32  00  00 00000000",
     R"({"prop_source":"#3","prop_strobe_count":10,"prop_strobe_interval":0.5,)"
     R"("prop_strobe_pattern":"1010000000000000000000000000000000000000000000000000000000000001",)"
     R"("prop_strobe_repetitions":3,"prop_strobe_reset":"#8","prop_strobe_timescale":2})",
     R"({"prop_source":0.0,"prop_strobe_interval":0.0,)"
     R"("prop_strobe_pattern":"0000000000000000000000000000000000000000000000000000000000000000",)"
     R"("prop_strobe_reset":0.0})"},
    {MT_NODE_STRUCT, 51,
     R"({"prop_struct_val1": 1, "prop_struct_val2": "#2", "prop_struct_val3": 3, "prop_struct_val4": "#040506",
         "prop_struct_val5": -1, "prop_struct_val6": true, "prop_struct_val7": null, "prop_struct_val8": "7.5"})",
     "00 0000803F  01 02000000  00 00004040  02 04050600  00 000080BF  00 0000803F  00 00000000  00 0000F040",
     "00 00000000  00 00000000  00 00000000  00 00000000  00 00000000  00 00000000  00 00000000  00 00000000",
     R"({"prop_struct_val1":1,"prop_struct_val2":"#2","prop_struct_val3":3,"prop_struct_val4":"#040506",)"
     R"("prop_struct_val5":-1,"prop_struct_val6":1,"prop_struct_val7":0.0,"prop_struct_val8":7.5})",
     R"({"prop_struct_val1":0.0,"prop_struct_val2":0.0,"prop_struct_val3":0.0,"prop_struct_val4":0.0,)"
     R"("prop_struct_val5":0.0,"prop_struct_val6":0.0,"prop_struct_val7":0.0,"prop_struct_val8":0.0})"},
    {MT_NODE_STRUCTMEMBER, 17, R"({"prop_source": "#12", "prop_member_index": 3})", "01 0C000000  02",
     "00 00000000  FF", R"({"prop_member_index":3,"prop_source":"#12"})",
     R"({"prop_member_index":256,"prop_source":0.0})"},
    {MT_NODE_TIMER, 37,
     R"({"prop_timer_duration": 2, "prop_timer_valuetype": 1, "prop_timer_wraptype": 2,
         "prop_timer_step_size": 0.25, "prop_active": "#4", "prop_timer_reset": "#5", "prop_timer_interval": 0.5})",
     "00 00000040  01  02  0000803E  01 04000000  01 05000000  00 0000003F",
     "00 00000000  00  00  00000000  00 0000803F  00 00000000  00 00000000",
     R"({"prop_active":"#4","prop_timer_duration":2,"prop_timer_interval":0.5,"prop_timer_reset":"#5",)"
     R"("prop_timer_step_size":0.25,"prop_timer_valuetype":1,"prop_timer_wraptype":2})",
     R"({"prop_timer_duration":0.0,"prop_timer_valuetype":0,"prop_timer_wraptype":0})"},
    {MT_NODE_UNARYOP, 18, R"({"prop_source": "#-1", "prop_unaryop_type": 70000})", "01 FFFFFFFF  7011",
     "00 00000000  0000", R"({"prop_source":"#-1","prop_unaryop_type":4464})",
     R"({"prop_source":0.0,"prop_unaryop_type":0})"},
};

struct Identity {
    const char* name;
    int nodeType;
    int messageType;
};

const Identity identities[] = {
    {"mix", 25, MT_NODE_MIX},
    {"noise", 27, MT_NODE_NOISE},
    {"pid", 38, MT_NODE_PID},
    {"scale", 21, MT_NODE_SCALE},
    {"selector", 23, MT_NODE_SELECTOR},
    {"slew", 26, MT_NODE_SLEW},
    {"snapto", 32, MT_NODE_SNAPTO},
    {"store", 33, MT_NODE_STORE},
    {"strobe", 29, MT_NODE_STROBE},
    {"struct", 40, MT_NODE_STRUCT},
    {"structmember", 41, MT_NODE_STRUCTMEMBER},
    {"timer", 22, MT_NODE_TIMER},
    {"unaryop", 16, MT_NODE_UNARYOP},
};

} // namespace

TEST_F(NodesMathSecond, RecordsAndDecodedProperties)
{
    for (const NodeTypeCase& c : mathSecondCases) {
        EXPECT_EQ(getPayloadSizeFromMessageType(static_cast<uint16_t>(c.messageType)) + 4, c.recordBytes)
            << c.messageType;
        checkNodeTypeCase(registry, c);
    }
}

TEST_F(NodesMathSecond, FoundByNameNodeTypeAndMessageType)
{
    for (const Identity& id : identities) {
        SCOPED_TRACE(id.name);
        const NodeConversion* byName = registry.findNodeConversion(id.name, 0, 0);
        ASSERT_NE(byName, nullptr);
        EXPECT_EQ(byName->name, id.name);
        EXPECT_EQ(byName->nodeType, id.nodeType);
        EXPECT_EQ(byName->messageType, id.messageType);
        EXPECT_EQ(registry.findNodeConversion("", id.nodeType, 0), byName);
        EXPECT_EQ(registry.findNodeConversion("", 0, id.messageType), byName);
        EXPECT_EQ(registry.jsNameForNodeType(id.nodeType), id.name);
    }
}

TEST_F(NodesMathSecond, ShortRecordsStopAtTheFirstMissingField)
{
    struct Case {
        int messageType;
        int length;
        const char* properties;
        const char* label;
        int found;
    } cases[] = {
        {MT_NODE_MIX, 34,
         R"({"prop_mix_source1":"#7","prop_mix_source2":2.5,"prop_mix_weight1":"#102030","prop_mix_weight2":0.75})",
         "node_mix.scaleCenter", 4},
        {MT_NODE_NOISE, 23, R"({"prop_noise_high":4,"prop_noise_interval":0.25,"prop_noise_low":-0.5})",
         "node_noise.interpolateType", 3},
        {MT_NODE_PID, 48,
         R"({"prop_pid_enabled":1,"prop_pid_gainD":1,"prop_pid_gainI":0.1,"prop_pid_gainP":1.5,)"
         R"("prop_pid_input":"#6","prop_pid_output_min":-100.0,"prop_pid_setpoint":"#5"})",
         "node_pid.outputMax", 7},
        {MT_NODE_SCALE, 24, R"({"prop_center":0.5,"prop_source":"#300"})", "node_scale.scale", 2},
        {MT_NODE_SELECTOR, 20, R"({"prop_selector_test":"#1"})", "node_selector.pass", 1},
        {MT_NODE_SLEW, 24, R"({"prop_slew_rate_asc":0.5,"prop_slew_style":2,"prop_source":3})", "node_slew.rate_desc",
         3},
        {MT_NODE_SNAPTO, 27, R"({"prop_snapto_anchor":0.0,"prop_snapto_range":0.1,"prop_source":"#2"})",
         "node_snapto.spacing", 3},
        {MT_NODE_STORE, 35,
         R"({"prop_source":"#4","prop_store_enabled":"#9","prop_store_max":10,"prop_store_min":-10,)"
         R"("prop_store_relative":1})",
         "node_store.eepromIndex", 5},
        // The pattern text needs both fields: with the second one short nothing of it is written.
        {MT_NODE_STROBE, 22, R"({"prop_source":"#3"})", "node_strobe.pattern2", 2},
        {MT_NODE_STROBE, 19, R"({"prop_source":"#3"})", "node_strobe.pattern1", 1},
        {MT_NODE_STROBE, 36,
         R"({"prop_source":"#3","prop_strobe_count":10,"prop_strobe_interval":0.5,)"
         R"("prop_strobe_pattern":"1010000000000000000000000000000000000000000000000000000000000001",)"
         R"("prop_strobe_repetitions":3,"prop_strobe_timescale":2})",
         "node_strobe.reset", 7},
        // One block of 40 bytes: one byte short writes none of the eight values.
        {MT_NODE_STRUCT, 50, "", "node_struct.vals", 0},
        {MT_NODE_STRUCTMEMBER, 16, R"({"prop_source":"#12"})", "node_structmember.index", 1},
        {MT_NODE_TIMER, 36,
         R"({"prop_active":"#4","prop_timer_duration":2,"prop_timer_reset":"#5","prop_timer_step_size":0.25,)"
         R"("prop_timer_valuetype":1,"prop_timer_wraptype":2})",
         "node_timer.interval", 6},
        {MT_NODE_UNARYOP, 17, R"({"prop_source":"#-1"})", "node_unaryop.type", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const NodeTypeCase* full = nullptr;
        for (const NodeTypeCase& typeCase : mathSecondCases) {
            if (typeCase.messageType == c.messageType)
                full = &typeCase;
        }
        ASSERT_NE(full, nullptr);
        LogCapture capture;
        const NodeConversion& node = conversion(c.messageType);
        const Json::Value decoded = decodeNode(node, encodeNode(node, parseJson(full->properties)), c.length);
        EXPECT_EQ(compact(decoded), nodeText(node.name, c.properties, c.found));
        EXPECT_EQ(capture.texts(), std::vector<std::string>{std::string("Missing fields in message: ") + c.label});
    }
}

TEST_F(NodesMathSecond, StructmemberIndexCountsFromOne)
{
    struct Case {
        const char* properties;
        uint8_t stored;
        unsigned decoded;
    } cases[] = {
        {"{}", 0xFF, 256},
        {R"({"prop_member_index": 1})", 0x00, 1},
        {R"({"prop_member_index": 256})", 0xFF, 256},
        {R"({"prop_member_index": 257})", 0x00, 1},
        {R"({"prop_member_index": 0})", 0xFF, 256},
        {R"({"prop_member_index": true})", 0x00, 1},
        {R"({"prop_member_index": 2.0})", 0xFF, 256},
        {R"({"prop_member_index": -2147483648})", 0xFF, 256},
        {R"({"prop_member_index": 2147483647})", 0xFE, 255},
        {R"({"prop_member_index": 4294967296})", 0xFF, 256},
    };
    const NodeConversion& member = conversion(MT_NODE_STRUCTMEMBER);
    for (const Case& c : cases) {
        const SerialMessage record = encodeNode(member, parseJson(c.properties));
        EXPECT_EQ(record.bytes[16], c.stored) << c.properties;
        EXPECT_EQ(decodeNode(member, record, 17)["properties"]["prop_member_index"].asUInt(), c.decoded)
            << c.properties;
    }
}

TEST_F(NodesMathSecond, StrobePatternBitsInStepOrder)
{
    const std::string ones(32, '1');
    const std::string zeros(32, '0');
    struct Case {
        const char* properties;
        std::string pattern;
    } cases[] = {
        {R"({"prop_flags1": 5, "prop_flags2": 0})", "1010" + std::string(60, '0')},
        {R"({"prop_flags1": -1})", ones + zeros},
        {R"({"prop_flags2": -1})", zeros + ones},
        {R"({"prop_flags1": -2147483648, "prop_flags2": 1})", std::string(31, '0') + "11" + std::string(31, '0')},
        // Reals and values beyond the signed 32-bit range are not integers to the reader: pattern 0.
        {R"({"prop_flags1": 5.0, "prop_flags2": 4294967295})", zeros + zeros},
    };
    const NodeConversion& strobe = conversion(MT_NODE_STROBE);
    for (const Case& c : cases) {
        const Json::Value properties =
            decodeNode(strobe, encodeNode(strobe, parseJson(c.properties)), 37)["properties"];
        EXPECT_EQ(properties["prop_strobe_pattern"].asString(), c.pattern) << c.properties;
        EXPECT_FALSE(properties.isMember("prop_flags1"));
        EXPECT_FALSE(properties.isMember("prop_flags2"));
    }
    EXPECT_EQ(roundTrip(MT_NODE_STROBE, R"({"prop_strobe_timescale": 1, "prop_strobe_count": 50})", 37),
              std::string(R"({"prop_source":0.0,"prop_strobe_interval":0.0,"prop_strobe_pattern":")") + allZeroPattern +
                  R"(","prop_strobe_reset":0.0})");
}

// Each case names the one key whose presence is checked after a round trip.
TEST_F(NodesMathSecond, ConditionalKeys)
{
    struct Case {
        int messageType;
        int length;
        const char* properties;
        const char* key;
        bool written;
    } cases[] = {
        {MT_NODE_SLEW, 25, R"({"prop_slew_rate_desc": -1})", "prop_slew_rate_desc", false},
        {MT_NODE_SLEW, 25, R"({"prop_slew_rate_desc": -0.5})", "prop_slew_rate_desc", true},
        {MT_NODE_SLEW, 25, R"({"prop_slew_style": 256})", "prop_slew_style", false},
        {MT_NODE_STORE, 36, R"({"prop_store_relative": 0.5})", "prop_store_relative", true},
        {MT_NODE_STORE, 36, R"({"prop_store_relative": 0.49})", "prop_store_relative", false},
        {MT_NODE_STORE, 36, R"({"prop_store_relative": "#1"})", "prop_store_relative", false},
        // A colour payload read as a float: 0x00FFFFFF is far below 0.5.
        {MT_NODE_STORE, 36, R"({"prop_store_relative": "#FFFFFF"})", "prop_store_relative", false},
        {MT_NODE_STORE, 36, R"({"prop_store_eeprom_index": 65535})", "prop_store_eeprom_index", false},
        {MT_NODE_STORE, 36, R"({"prop_store_eeprom_index": -1})", "prop_store_eeprom_index", false},
        {MT_NODE_STORE, 36, R"({"prop_store_eeprom_index": 0})", "prop_store_eeprom_index", true},
        {MT_NODE_STORE, 36, R"({"prop_store_min": -3.4028234663852886e38})", "prop_store_min", false},
        {MT_NODE_STORE, 36, R"({"prop_store_max": 3.4e38})", "prop_store_max", true},
        {MT_NODE_TIMER, 37, R"({"prop_active": 1})", "prop_active", false},
        {MT_NODE_TIMER, 37, R"({"prop_active": 0})", "prop_active", true},
        // A node reference whose id has the bits of 1.0f reads as 1 and is left out, whatever the kind.
        {MT_NODE_TIMER, 37, R"({"prop_active": "#1065353216"})", "prop_active", false},
        {MT_NODE_TIMER, 37, R"({"prop_timer_reset": "#0"})", "prop_timer_reset", false},
        {MT_NODE_TIMER, 37, R"({"prop_timer_interval": "#000000"})", "prop_timer_interval", false},
        {MT_NODE_TIMER, 37, R"({"prop_timer_interval": "#000001"})", "prop_timer_interval", true},
        {MT_NODE_TIMER, 37, R"({"prop_timer_step_size": -0.0})", "prop_timer_step_size", false},
        {MT_NODE_STROBE, 37, R"({"prop_strobe_timescale": 0})", "prop_strobe_timescale", true},
        {MT_NODE_STROBE, 37, R"({"prop_strobe_count": 306})", "prop_strobe_count", false},
        {MT_NODE_STROBE, 37, R"({"prop_strobe_repetitions": 1})", "prop_strobe_repetitions", true},
    };
    for (const Case& c : cases) {
        const NodeConversion& node = conversion(c.messageType);
        const Json::Value decoded = decodeNode(node, encodeNode(node, parseJson(c.properties)), c.length);
        EXPECT_EQ(decoded["properties"].isMember(c.key), c.written) << node.name << " " << c.properties;
    }
}

TEST_F(NodesMathSecond, NotANumberFromTheBoard)
{
    struct Case {
        int messageType;
        int length;
        int offset; // of the f32 (for a SourceOrValue: of its payload)
        const char* key;
        bool written;
    } cases[] = {
        {MT_NODE_SLEW, 25, 21, "prop_slew_rate_desc", true},   {MT_NODE_STORE, 36, 26, "prop_store_min", true},
        {MT_NODE_STORE, 36, 30, "prop_store_max", true},       {MT_NODE_STORE, 36, 17, "prop_store_relative", false},
        {MT_NODE_TIMER, 37, 18, "prop_timer_step_size", true}, {MT_NODE_TIMER, 37, 23, "prop_active", true},
        {MT_NODE_TIMER, 37, 28, "prop_timer_reset", true},     {MT_NODE_TIMER, 37, 33, "prop_timer_interval", true},
        {MT_NODE_PID, 49, 41, "prop_pid_output_min", true},
    };
    for (const Case& c : cases) {
        const NodeConversion& node = conversion(c.messageType);
        SerialMessage record = encodeNode(node, Json::Value());
        writeF32(record.bytes + c.offset, NAN);
        const Json::Value decoded = decodeNode(node, record, c.length);
        EXPECT_EQ(decoded["properties"].isMember(c.key), c.written) << c.key;
    }
}

TEST_F(NodesMathSecond, UnaryopTypeKeepsTheLow16Bits)
{
    const NodeConversion& unaryop = conversion(MT_NODE_UNARYOP);
    struct Case {
        const char* properties;
        const char* stored;
    } cases[] = {
        {R"({"prop_unaryop_type": 70000})", "7011"}, {R"({"prop_unaryop_type": 65535})", "FFFF"},
        {R"({"prop_unaryop_type": -1})", "FFFF"},    {R"({"prop_unaryop_type": 3.0})", "0000"},
        {R"({"prop_unaryop_type": "3"})", "0000"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(hexOfBytes(encodeNode(unaryop, parseJson(c.properties)).bytes + 16, 2), c.stored) << c.properties;
}

// Values of every kind under every key: nothing throws, and kinds that hold no number give the defaults.
TEST_F(NodesMathSecond, EditorValuesOfAnyKind)
{
    const char* const values[] = {
        "[1, 2]", R"({"a": 1})",        "1e300", "-1e300", "-2147483649", "18446744073709551615", R"("")",
        R"("#")", R"("# 99999999999")", "null",  "false"};
    for (const Identity& id : identities) {
        const NodeConversion& node = conversion(id.messageType);
        const auto* table = dynamic_cast<const TableNodeConversion*>(&node);
        ASSERT_NE(table, nullptr) << id.name;
        const SerialMessage defaults = encodeNode(node, Json::Value(Json::objectValue));
        for (const char* value : values) {
            SCOPED_TRACE(std::string(id.name) + " " + value);
            Json::Value properties(Json::objectValue);
            for (const FieldSpec& row : table->fields)
                properties[row.key] = parseJson(value);
            LogCapture capture;
            SerialMessage record;
            EXPECT_NO_THROW(record = encodeNode(node, properties));
            if (value[0] == '[' || value[0] == '{') {
                EXPECT_EQ(hexOfBytes(record.bytes, SerialMessage::size),
                          hexOfBytes(defaults.bytes, SerialMessage::size));
            }
            Json::Value decoded;
            EXPECT_NO_THROW(decoded = decodeNode(node, record, 154));
            EXPECT_FALSE(decoded.isMember("missingPropertiesFoundOnly"));
        }
    }
}
