#include "conversion/nodes_io_second.h"

#include <cstddef>
#include <string>

#include "core/little_endian.h"
#include "device/message_type.h"

namespace {

using namespace field;

const FieldSpec nrf24InputFields[] = {
    {"prop_nrf24_valuetype", 11, U8, 0, always, "valueType"},
    {"prop_channel", 12, U8, 0, always, "channel"},
};

// Shared by the radio and the PPM output.
const FieldSpec sourceChannelOutputFields[] = {
    {"prop_source", 11, Source, 0, always, "source"},
    {"prop_channel", 16, U8, 0, always, "channel"},
};

// 65535 in the middle calibration field means that there is no middle point.
const FieldSpec ppmInputFields[] = {
    {"prop_channel", 11, U8, 0, always, "channel"},
    {"prop_ppminput_mode", 12, U8, 0, always, "mode"},
    {"prop_calib_min", 13, U16, 1000, always, "calibMin"},
    {"prop_calib_mid", 15, U16, 65535, unlessEqual(65535), "calibMid"},
    {"prop_calib_max", 17, U16, 2000, always, "calibMax"},
};

const FieldSpec servoPWMInputFields[] = {
    {"prop_pin", 11, U8, 0, always, "pinName"},
    {"prop_servopwmin_mode", 12, U8, 0, always, "mode"},
    {"prop_calib_min", 13, U16, 1000, always, "calibMin"},
    {"prop_calib_mid", 15, U16, 65535, unlessEqual(65535), "calibMid"},
    {"prop_calib_max", 17, U16, 2000, always, "calibMax"},
};

const FieldSpec serialrcInputFields[] = {
    {"prop_channel", 11, U8, 0, always, "channel"},
    {"prop_serialrc_mode", 12, U8, 0, always, "mode"},
    {"prop_calib_min", 13, U16, 1000, always, "calibMin"},
    {"prop_calib_mid", 15, U16, 65535, unlessEqual(65535), "calibMid"},
    {"prop_calib_max", 17, U16, 2000, always, "calibMax"},
    {"prop_serialrc_uart", 19, U8, 0, unlessEqual(0), "uart"},
};

const FieldSpec serialrcOutputFields[] = {
    {"prop_source", 11, Source, 0, always, "source"},
    {"prop_serialrcoutput_field", 16, U8, 0, always, "field"},
    {"prop_serialrc_uart", 17, U8, 0, unlessEqual(0), "uart"},
};

// Pulse defaults 0 / 1000, unlike the PWM servo's 1000 / 2000.
const FieldSpec serialServoOutputFields[] = {
    {"prop_source", 11, Source, 0, always, "source"},
    {"prop_serialservo_id", 16, U8, 0, always, "index"},
    {"prop_serialservo_pulse_min", 17, U16, 0, always, "posMin"},
    {"prop_serialservo_pulse_mid", 19, U16, 65535, unlessEqual(65535), "posMid"},
    {"prop_serialservo_pulse_max", 21, U16, 1000, always, "posMax"},
    {"prop_serialservo_uart", 23, U8, 0, unlessEqual(0), "uart"},
    {"prop_active", 24, Source, 1, ifLessThan(0.5), "active"},
};

const FieldSpec servoPWMOutputFields[] = {
    {"prop_source", 11, Source, 0, always, "source"},
    {"prop_pin", 16, U8, 0, always, "pinName"},
    {"prop_servo_pwm_pulse_min", 17, U16, 1000, always, "pwMin"},
    {"prop_servo_pwm_pulse_mid", 19, U16, 65535, unlessEqual(65535), "pwMid"},
    {"prop_servo_pwm_pulse_max", 21, U16, 2000, always, "pwMax"},
    {"prop_active", 23, Source, 1, ifLessThan(0.5), "active"},
};

const FieldSpec rgbRangeOutputFields[] = {
    {"prop_rgbled_color", 11, Source, 0, always, "source"},
    {"prop_rgbled_rangelower", 16, Source, 0, always, "lower"},
    {"prop_rgbled_rangeupper", 21, Source, 0, always, "upper"},
    {"prop_active", 26, Source, 1, ifLessThan(0.5), "active"},
};

constexpr int ledFlagsOffset = 16;
constexpr int ledIndexCount = 128;

bool ledIndexSet(const uint8_t* flags, int index)
{
    const int bit = index - 1;
    return ((readU32(flags + 4 * static_cast<ptrdiff_t>(bit / 32)) >> (bit % 32)) & 1u) != 0;
}

std::string ledRunText(int first, int last)
{
    return first == last ? std::to_string(first) : std::to_string(first) + "-" + std::to_string(last);
}

// Runs of set indices as "s-e" or "i", joined by ","; the empty set gives "".
void writeLedIndices(const uint8_t* record, Json::Value& node)
{
    const uint8_t* flags = record + ledFlagsOffset;
    std::string text;
    int runStart = 0;
    for (int index = 1; index <= ledIndexCount + 1; ++index) {
        const bool set = index <= ledIndexCount && ledIndexSet(flags, index);
        if (set && runStart == 0)
            runStart = index;
        if (!set && runStart != 0) {
            if (!text.empty())
                text += ',';
            text += ledRunText(runStart, index - 1);
            runStart = 0;
        }
    }
    node["properties"]["prop_rgbled_indices"] = text;
}

// The four bit fields are taken one by one; the text is written once all four are there.
const FieldSpec rgbIndicesOutputFields[] = {
    {"prop_rgbled_color", 11, Source, 0, always, "source"},
    {"prop_flags1", 16, U32, 0, takenOnly, "indexFlags1"},
    {"prop_flags2", 20, U32, 0, takenOnly, "indexFlags2"},
    {"prop_flags3", 24, U32, 0, takenOnly, "indexFlags3"},
    {"prop_flags4", 28, U32, 0, takenOnly, "indexFlags4", writeLedIndices},
    {"prop_active", 32, Source, 1, ifLessThan(0.5), "active"},
};

constexpr int predeltaOffset = 11;

void writePredelta(const uint8_t* record, Json::Value& node)
{
    if (record[predeltaOffset] != 0)
        node["properties"]["prop_rotaryencoderinput"] = Json::UInt(record[predeltaOffset]);
}

const FieldSpec rotaryencoderInputFields[] = {
    {"prop_rotaryencoder_predelta", predeltaOffset, U8, 0, takenOnly, "predelta", writePredelta},
};

const FieldSpec xgzpInputFields[] = {
    {"prop_xgzp_scale", 11, F32, 1.0, unlessEqual(0), "scale"},
};

} // namespace

NodeConversion_nrf24Input::NodeConversion_nrf24Input()
    : TableNodeConversion("nrf24in", 7, MT_NODE_NRF24_INPUT, "node_nrf24_input", nrf24InputFields)
{}

NodeConversion_nrf24Output::NodeConversion_nrf24Output()
    : TableNodeConversion("nrf24out", 15, MT_NODE_NRF24_OUTPUT, "node_nrf24output", sourceChannelOutputFields)
{}

NodeConversion_ppmOutput::NodeConversion_ppmOutput()
    : TableNodeConversion("ppmout", 35, MT_NODE_PPM_OUTPUT, "node_ppmoutput", sourceChannelOutputFields)
{}

NodeConversion_ppmInput::NodeConversion_ppmInput()
    : TableNodeConversion("ppmin", 34, MT_NODE_PPM_INPUT, "node_ppminput", ppmInputFields)
{}

NodeConversion_servoPWMInput::NodeConversion_servoPWMInput()
    : TableNodeConversion("servopwmin", 6, MT_NODE_SERVO_PWM_INPUT, "node_servo_pwm_input", servoPWMInputFields)
{}

NodeConversion_serialrcInput::NodeConversion_serialrcInput()
    : TableNodeConversion("serialrcin", 5, MT_NODE_SERIALRC_INPUT, "node_serialrc_input", serialrcInputFields)
{}

NodeConversion_serialrcOutput::NodeConversion_serialrcOutput()
    : TableNodeConversion("serialrcout", 46, MT_NODE_SERIALRC_OUTPUT, "node_serialrc_output", serialrcOutputFields)
{}

NodeConversion_serialServoOutput::NodeConversion_serialServoOutput()
    : TableNodeConversion("serialservoout", 50, MT_NODE_SERIALSERVO_OUTPUT, "node_serialservo_output",
                          serialServoOutputFields)
{}

NodeConversion_servoPWMOutput::NodeConversion_servoPWMOutput()
    : TableNodeConversion("servopwmout", 10, MT_NODE_SERVO_PWM_OUTPUT, "node_servopwmoutput", servoPWMOutputFields)
{}

NodeConversion_rgbRangeOutput::NodeConversion_rgbRangeOutput()
    : TableNodeConversion("rgbledrange", 12, MT_NODE_RGBLED_RANGE_OUTPUT, "node_rgbledrangeoutput",
                          rgbRangeOutputFields)
{}

NodeConversion_rgbIndicesOutput::NodeConversion_rgbIndicesOutput()
    : TableNodeConversion("rgbledindices", 11, MT_NODE_RGBLED_INDICES_OUTPUT, "node_rgbledindicesoutput",
                          rgbIndicesOutputFields)
{}

NodeConversion_rotaryencoderInput::NodeConversion_rotaryencoderInput()
    : TableNodeConversion("rotaryencoder", 8, MT_NODE_ROTARYENCODER_INPUT, "node_rotaryencoderinput",
                          rotaryencoderInputFields)
{}

NodeConversion_xgzpInput::NodeConversion_xgzpInput()
    : TableNodeConversion("xgzpin", 52, MT_NODE_XGZP_INPUT, "node_xgzp_input", xgzpInputFields)
{}
