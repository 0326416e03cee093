#include "conversion/nodes_math_second.h"

#include <cfloat>
#include <string>

#include "core/little_endian.h"
#include "device/message_type.h"

namespace {

using namespace field;

const FieldSpec mixFields[] = {
    {"prop_mix_source1", 11, Source, 0, always, "source1"},
    {"prop_mix_source2", 16, Source, 0, always, "source2"},
    {"prop_mix_weight1", 21, Source, 0, always, "weight1"},
    {"prop_mix_weight2", 26, Source, 0, always, "weight2"},
    {"prop_mix_scale_center", 31, F32, 0, always, "scaleCenter"},
};

const FieldSpec noiseFields[] = {
    {"prop_noise_low", 11, F32, 0, always, "lowerLimit"},
    {"prop_noise_high", 15, F32, 1.0, always, "upperLimit"},
    {"prop_noise_interval", 19, F32, 1.0, always, "interval"},
    {"prop_noise_interpolate", 23, U8, 0, always, "interpolateType"},
};

const FieldSpec pidFields[] = {
    {"prop_pid_setpoint", 11, Source, 0, always, "setpoint"},
    {"prop_pid_input", 16, Source, 0, always, "input"},
    {"prop_pid_gainP", 21, Source, 0, always, "gainP"},
    {"prop_pid_gainI", 26, Source, 0, always, "gainI"},
    {"prop_pid_gainD", 31, Source, 0, always, "gainD"},
    {"prop_pid_enabled", 36, Source, 0, always, "enabled"},
    {"prop_pid_output_min", 41, F32, -FLT_MAX, always, "outputMin"},
    {"prop_pid_output_max", 45, F32, FLT_MAX, always, "outputMax"},
};

const FieldSpec scaleFields[] = {
    {"prop_source", 11, Source, 0, always, "source"},
    {"prop_center", 16, F32, 0, always, "center"},
    {"prop_scale", 20, Source, 0, always, "scale"},
};

const FieldSpec selectorFields[] = {
    {"prop_selector_test", 11, Source, 0, always, "test"},
    {"prop_selector_pass", 16, Source, 0, always, "pass"},
    {"prop_selector_fail", 21, Source, 0, always, "fail"},
};

const FieldSpec slewFields[] = {
    {"prop_source", 11, Source, 0, always, "source"},
    {"prop_slew_style", 16, U8, 0, unlessEqual(0), "style"},
    {"prop_slew_rate_asc", 17, F32, 1.0, always, "rate_asc"},
    {"prop_slew_rate_desc", 21, F32, -1.0, unlessEqual(-1.0), "rate_desc"},
};

const FieldSpec snaptoFields[] = {
    {"prop_source", 11, Source, 0, always, "source"},
    {"prop_snapto_anchor", 16, F32, 0.5, always, "anchor"},
    {"prop_snapto_range", 20, F32, 0.025, always, "range"},
    {"prop_snapto_spacing", 24, F32, 1.0, always, "spacing"},
};

const FieldSpec storeFields[] = {
    {"prop_source", 11, Source, 0, always, "source"},
    {"prop_store_relative", 16, Source, 0, ifAtLeast(0.5), "relative"},
    {"prop_store_enabled", 21, Source, 0, always, "enabled"},
    {"prop_store_min", 26, F32, -FLT_MAX, unlessEqual(-FLT_MAX), "lowerLimit"},
    {"prop_store_max", 30, F32, FLT_MAX, unlessEqual(FLT_MAX), "upperLimit"},
    {"prop_store_eeprom_index", 34, U16, 65535, unlessEqual(65535), "eepromIndex"},
};

constexpr int strobePatternOffset = 16;
constexpr int strobePatternSteps = 64;

// Step i of the text is bit i of the two pattern fields read as one 64-bit value (first field low).
void writeStrobePattern(const uint8_t* record, Json::Value& node)
{
    const uint64_t bits = readU64(record + strobePatternOffset);
    std::string pattern(strobePatternSteps, '0');
    for (int step = 0; step < strobePatternSteps; ++step) {
        if ((bits >> step) & 1u)
            pattern[step] = '1';
    }
    node["properties"]["prop_strobe_pattern"] = pattern;
}

const FieldSpec strobeFields[] = {
    {"prop_source", 11, Source, 0, always, "source"},
    {"prop_flags1", 16, U32, 0, takenOnly, "pattern1"},
    {"prop_flags2", 20, U32, 0, takenOnly, "pattern2", writeStrobePattern},
    {"prop_strobe_timescale", 24, U8, 1, unlessEqual(1), "timescale"},
    {"prop_strobe_interval", 25, Source, 0, always, "interval"},
    {"prop_strobe_count", 30, U8, 50, unlessEqual(50), "count"},
    {"prop_strobe_repetitions", 31, U8, 0, unlessEqual(0), "repetitions"},
    {"prop_strobe_reset", 32, Source, 0, always, "reset"},
};

// Encoded row by row; decoded as one block (see NodeConversion_struct::decodeToJson).
const FieldSpec structFields[] = {
    {"prop_struct_val1", 11, Source, 0, always, "vals"}, {"prop_struct_val2", 16, Source, 0, always, "vals"},
    {"prop_struct_val3", 21, Source, 0, always, "vals"}, {"prop_struct_val4", 26, Source, 0, always, "vals"},
    {"prop_struct_val5", 31, Source, 0, always, "vals"}, {"prop_struct_val6", 36, Source, 0, always, "vals"},
    {"prop_struct_val7", 41, Source, 0, always, "vals"}, {"prop_struct_val8", 46, Source, 0, always, "vals"},
};

constexpr int32_t structValueBytes = 8 * sourceOrValueSize;

constexpr int memberIndexOffset = 16;

void writeMemberIndex(const uint8_t* record, Json::Value& node)
{
    node["properties"]["prop_member_index"] = Json::UInt(record[memberIndexOffset] + 1u);
}

// The index row's default is the editor's; the encoder stores it minus one.
const FieldSpec structmemberFields[] = {
    {"prop_source", 11, Source, 0, always, "source"},
    {"prop_member_index", memberIndexOffset, U8, 0, takenOnly, "index", writeMemberIndex},
};

const FieldSpec timerFields[] = {
    {"prop_timer_duration", 11, Source, 0, always, "duration"},
    {"prop_timer_valuetype", 16, U8, 0, always, "valueType"},
    {"prop_timer_wraptype", 17, U8, 0, always, "wrapType"},
    {"prop_timer_step_size", 18, F32, 0, unlessEqual(0), "stepSize"},
    {"prop_active", 22, Source, 1.0, unlessEqual(1.0), "active"},
    {"prop_timer_reset", 27, Source, 0, unlessEqual(0), "reset"},
    {"prop_timer_interval", 32, Source, 0, unlessEqual(0), "interval"},
};

const FieldSpec unaryopFields[] = {
    {"prop_source", 11, Source, 0, always, "source"},
    {"prop_unaryop_type", 16, U16, 0, always, "type"},
};

} // namespace

NodeConversion_mix::NodeConversion_mix() : TableNodeConversion("mix", 25, MT_NODE_MIX, "node_mix", mixFields) {}

NodeConversion_noise::NodeConversion_noise()
    : TableNodeConversion("noise", 27, MT_NODE_NOISE, "node_noise", noiseFields)
{}

NodeConversion_pid::NodeConversion_pid() : TableNodeConversion("pid", 38, MT_NODE_PID, "node_pid", pidFields) {}

NodeConversion_scale::NodeConversion_scale()
    : TableNodeConversion("scale", 21, MT_NODE_SCALE, "node_scale", scaleFields)
{}

NodeConversion_selector::NodeConversion_selector()
    : TableNodeConversion("selector", 23, MT_NODE_SELECTOR, "node_selector", selectorFields)
{}

NodeConversion_slew::NodeConversion_slew() : TableNodeConversion("slew", 26, MT_NODE_SLEW, "node_slew", slewFields) {}

NodeConversion_snapto::NodeConversion_snapto()
    : TableNodeConversion("snapto", 32, MT_NODE_SNAPTO, "node_snapto", snaptoFields)
{}

NodeConversion_store::NodeConversion_store()
    : TableNodeConversion("store", 33, MT_NODE_STORE, "node_store", storeFields)
{}

NodeConversion_strobe::NodeConversion_strobe()
    : TableNodeConversion("strobe", 29, MT_NODE_STROBE, "node_strobe", strobeFields)
{}

NodeConversion_struct::NodeConversion_struct()
    : TableNodeConversion("struct", 40, MT_NODE_STRUCT, "node_struct", structFields)
{}

Json::Value& NodeConversion_struct::decodeToJson(Json::Value& node, const uint8_t* record, size_t recordSize) const
{
    const ReceivedRecord received(record, recordSize);
    FieldReader reader = beginDecode(node, received);
    if (!reader.take(structValueBytes)) {
        reportMissingField(node, structName, "vals", reader);
        return node;
    }
    for (const FieldSpec& row : fields)
        decodeSourceOrValue(received.bytes() + row.offset, node, row.key);
    return node;
}

NodeConversion_structmember::NodeConversion_structmember()
    : TableNodeConversion("structmember", 41, MT_NODE_STRUCTMEMBER, "node_structmember", structmemberFields)
{}

void NodeConversion_structmember::encodeFromJson(const Json::Value& properties, SerialMessage& record) const
{
    TableNodeConversion::encodeFromJson(properties, record);
    // Unsigned arithmetic: the editor may send the lowest int32, whose signed decrement would overflow.
    const auto index = static_cast<uint32_t>(getIntProperty(properties, "prop_member_index", 0));
    record.bytes[memberIndexOffset] = static_cast<uint8_t>(index - 1u);
}

NodeConversion_timer::NodeConversion_timer()
    : TableNodeConversion("timer", 22, MT_NODE_TIMER, "node_timer", timerFields)
{}

NodeConversion_unaryop::NodeConversion_unaryop()
    : TableNodeConversion("unaryop", 16, MT_NODE_UNARYOP, "node_unaryop", unaryopFields)
{}
