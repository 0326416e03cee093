#include "conversion/nodes_io_first.h"

#include <algorithm>

#include "conversion/number_conversion.h"
#include "device/message_type.h"

namespace {

using namespace field;

const FieldSpec analogInputFields[] = {
    {"prop_pin", 11, U8, 0, always, "pinName"},
    {"prop_analogin_mode", 12, U8, 0, always, "mode"},
    {"prop_calib_min", 13, F32, 0.0, always, "calibMin"},
    {"prop_calib_mid", 17, F32, -1.0, unlessEqual(-1.0), "calibMid"},
    {"prop_calib_max", 21, F32, 1.0, always, "calibMax"},
};

const FieldSpec digitalInputFields[] = {
    {"prop_pin", 11, U8, 0, always, "pinName"},
    {"prop_digitalinput_pull", 12, U8, 0, unlessEqual(0), "pullType"},
};

const FieldSpec baroInputFields[] = {
    {"prop_baro_field", 11, U8, 0, always, "field"},
    {"prop_baro_address", 12, U8, 0, unlessEqual(0), "deviceIndex"},
    {"prop_baro_distanceunit", 13, U8, 0, unlessEqual(0), "distanceUnit"},
    {"prop_baro_pressureunit", 14, U8, 0, unlessEqual(0), "pressureUnit"},
    {"prop_baro_temperatureunit", 15, U8, 0, unlessEqual(0), "temperatureUnit"},
};

const FieldSpec gpsInputFields[] = {
    {"prop_gps_field", 11, U8, 1, always, "field"},
    {"prop_gps_distanceunit", 12, U8, 0, unlessEqual(0), "distanceUnit"},
    {"prop_gps_timeunit", 13, U8, 0, unlessEqual(0), "timeUnit"},
    {"prop_gps_uart", 14, U8, 0, unlessEqual(0), "uart"},
};

const FieldSpec hx711InputFields[] = {
    {"prop_hx711_clockpin", 11, U8, 0, always, "clockPinName"},
    {"prop_hx711_datapin", 12, U8, 0, always, "dataPinName"},
    {"prop_hx711_calibreading1", 13, I32, 0, always, "calibReading1"},
    {"prop_hx711_calibreading2", 17, I32, 0, always, "calibReading2"},
    {"prop_hx711_calibload", 21, F32, 0.0, always, "calibLoad"},
    {"prop_hx711_gain", 25, U8, 0, always, "gain"},
};

const FieldSpec imuInputFields[] = {
    {"prop_imu_field", 11, U8, 0, always, "field"},
    {"prop_imu_device", 12, U8, 0, unlessEqual(0), "deviceIndex"},
};

const FieldSpec magInputFields[] = {
    {"prop_mag_field", 11, U8, 0, always, "field"},
    {"prop_mag_address", 12, U8, 0, always, "deviceIndex"},
};

const FieldSpec logInputFields[] = {
    {"prop_loginput_valuetype", 11, U8, 0, always, "valueType"},
    {"prop_log_field", 12, U8, 1, always, "field"},
    {"prop_log_uart", 13, U8, 0, unlessEqual(0), "uart"},
};

constexpr int midiInputChannelOffset = 12;
constexpr uint8_t midiAllChannels = 255;

const FieldSpec midiInputFields[] = {
    {"prop_midi_valuetype", 11, U8, 0, always, "valueType"},
    {"prop_midi_channel", midiInputChannelOffset, U8, midiAllChannels, unlessEqual(midiAllChannels), "channel"},
    {"prop_midi_index", 13, U8, 0, always, "index"},
    {"prop_midi_uart", 14, U8, 0, unlessEqual(0), "uart"},
};

// Taken in this order: "active" before the pin, although the pin lies first.
const FieldSpec digitalOutputFields[] = {
    {"prop_source", 11, Source, 0, always, "source"},
    {"prop_active", 17, Source, 1, ifLessThan(0.5), "active"},
    {"prop_pin", 16, U8, 0, always, "pinName"},
};

const FieldSpec dutyPWMOutputFields[] = {
    {"prop_source", 11, Source, 0, always, "source"},
    {"prop_pin", 16, U8, 0, always, "pinName"},
    {"prop_active", 17, Source, 1, ifLessThan(0.5), "active"},
};

constexpr int minWholePlacesOffset = 57;
constexpr int maxDecimalPlacesOffset = 58;
constexpr int minWholePlacesDefault = 0;
constexpr int maxDecimalPlacesDefault = 9;
constexpr int maxPlaces = 9;

const FieldSpec displayOutputFields[] = {
    {"prop_source", 11, Source, 0, always, "source"},
    {"prop_color", 16, Source, 0, always, "color"},
    {"prop_bgcolor", 21, Source, 0, always, "bgcolor"},
    {"prop_active", 26, Source, 1, ifLessThan(0.5), "active"},
    {"prop_display_row", 31, U8, 1, always, "row"},
    {"prop_display_col", 32, U8, 1, unlessEqual(1), "col"},
    {"prop_display_label", 33, Text24, 0, always, "label"},
    {"prop_display_minwholeplaces", minWholePlacesOffset, U8, minWholePlacesDefault, unlessEqual(minWholePlacesDefault),
     "minwholeplaces"},
    {"prop_display_maxdecimalplaces", maxDecimalPlacesOffset, U8, maxDecimalPlacesDefault,
     unlessEqual(maxDecimalPlacesDefault), "maxdecimalplaces"},
};

uint8_t placeCount(const Json::Value& properties, const char* key, int32_t defaultValue)
{
    return static_cast<uint8_t>(std::clamp(getIntProperty(properties, key, defaultValue), 0, maxPlaces));
}

constexpr int ds3502InitialValueOffset = 16;
constexpr float ds3502MaxSteps = 127.0f;

void writeDs3502InitialValue(const uint8_t* record, Json::Value& node)
{
    node["properties"]["prop_ds3502out_initval"] =
        static_cast<double>(static_cast<float>(record[ds3502InitialValueOffset]) / ds3502MaxSteps);
}

// The initial value at offset 16 has no take of its own: it is written as soon as the source fits.
const FieldSpec ds3502OutputFields[] = {
    {"prop_source", 11, Source, 0, always, "source", writeDs3502InitialValue},
    {"prop_ds3502out_address", 17, U8, 0, unlessEqual(0), "deviceIndex"},
};

// A fraction limited to 0..1 (NaN gives 0), in steps of 1/127 rounded down.
uint8_t ds3502Steps(double fraction)
{
    const float limited = fraction > 1.0 ? 1.0f : (fraction > 0.0 ? toF32(fraction) : 0.0f);
    return static_cast<uint8_t>(limited * ds3502MaxSteps);
}

const FieldSpec gamepadOutputFields[] = {
    {"prop_source", 11, Source, 0, always, "source"},
    {"prop_gamepad_control_type", 16, U8, 0, always, "type"},
    {"prop_gamepad_control_index", 17, U8, 0, always, "index"},
};

const FieldSpec logOutputFields[] = {
    {"prop_source", 11, Source, 0, always, "source"},
    {"prop_log_field", 16, U8, 1, always, "field"},
    {"prop_log_uart", 17, U8, 0, unlessEqual(0), "uart"},
};

const FieldSpec midiOutputFields[] = {
    {"prop_midi_valuetype", 11, U8, 0, always, "valueType"}, {"prop_midi_channel", 12, U8, 1, always, "channel"},
    {"prop_midi_index", 13, Source, 0, always, "index"},     {"prop_midi_payload", 18, Source, 0, always, "payload"},
    {"prop_midi_uart", 23, U8, 0, unlessEqual(0), "uart"},
};

} // namespace

NodeConversion_analogInput::NodeConversion_analogInput()
    : TableNodeConversion("analogin", 2, MT_NODE_ANALOG_INPUT, "node_analog_input", analogInputFields)
{}

NodeConversion_digitalInput::NodeConversion_digitalInput()
    : TableNodeConversion("digitalin", 1, MT_NODE_DIGITAL_INPUT, "node_digital_input", digitalInputFields)
{}

NodeConversion_baroInput::NodeConversion_baroInput()
    : TableNodeConversion("baro", 42, MT_NODE_BARO_INPUT, "node_baro_input", baroInputFields)
{}

NodeConversion_gpsInput::NodeConversion_gpsInput()
    : TableNodeConversion("gps", 3, MT_NODE_GPS_INPUT, "node_gps_input", gpsInputFields)
{}

NodeConversion_hx711Input::NodeConversion_hx711Input()
    : TableNodeConversion("hx711", 47, MT_NODE_HX711_INPUT, "node_hx711_input", hx711InputFields)
{}

NodeConversion_imuInput::NodeConversion_imuInput()
    : TableNodeConversion("imu", 4, MT_NODE_IMU_INPUT, "node_imu_input", imuInputFields)
{}

NodeConversion_magInput::NodeConversion_magInput()
    : TableNodeConversion("mag", 43, MT_NODE_MAG_INPUT, "node_mag_input", magInputFields)
{}

NodeConversion_logInput::NodeConversion_logInput()
    : TableNodeConversion("uartlogin", 44, MT_NODE_LOG_INPUT, "node_log_input", logInputFields)
{}

NodeConversion_midiInput::NodeConversion_midiInput()
    : TableNodeConversion("midiin", 48, MT_NODE_MIDI_INPUT, "node_midi_input", midiInputFields)
{}

void NodeConversion_midiInput::encodeFromJson(const Json::Value& properties, SerialMessage& record) const
{
    TableNodeConversion::encodeFromJson(properties, record);
    const int32_t channel = getIntProperty(properties, "prop_midi_channel", -1);
    record.bytes[midiInputChannelOffset] = channel < 0 ? midiAllChannels : static_cast<uint8_t>(channel);
}

NodeConversion_digitalOutput::NodeConversion_digitalOutput()
    : TableNodeConversion("digitalout", 9, MT_NODE_DIGITAL_OUTPUT, "node_digitaloutput", digitalOutputFields)
{}

NodeConversion_dutyPWMOutput::NodeConversion_dutyPWMOutput()
    : TableNodeConversion("dutypwmout", 14, MT_NODE_DUTY_PWM_OUTPUT, "node_dutypwmoutput", dutyPWMOutputFields)
{}

NodeConversion_displayOutput::NodeConversion_displayOutput()
    : TableNodeConversion("display", 13, MT_NODE_DISPLAY_OUTPUT, "node_displayoutput", displayOutputFields)
{}

void NodeConversion_displayOutput::encodeFromJson(const Json::Value& properties, SerialMessage& record) const
{
    TableNodeConversion::encodeFromJson(properties, record);
    record.bytes[minWholePlacesOffset] = placeCount(properties, "prop_display_minwholeplaces", minWholePlacesDefault);
    record.bytes[maxDecimalPlacesOffset] =
        placeCount(properties, "prop_display_maxdecimalplaces", maxDecimalPlacesDefault);
}

NodeConversion_ds3502Output::NodeConversion_ds3502Output()
    : TableNodeConversion("ds3502out", 53, MT_NODE_DS3502_OUTPUT, "node_ds3502_output", ds3502OutputFields)
{}

void NodeConversion_ds3502Output::encodeFromJson(const Json::Value& properties, SerialMessage& record) const
{
    TableNodeConversion::encodeFromJson(properties, record);
    record.bytes[ds3502InitialValueOffset] = ds3502Steps(getFloatProperty(properties, "prop_ds3502out_initval", 0.0));
}

NodeConversion_gamepadOutput::NodeConversion_gamepadOutput()
    : TableNodeConversion("gamepadout", 51, MT_NODE_GAMEPAD_OUTPUT, "node_gamepad_output", gamepadOutputFields)
{}

NodeConversion_logOutput::NodeConversion_logOutput()
    : TableNodeConversion("uartlogout", 45, MT_NODE_LOG_OUTPUT, "node_log_output", logOutputFields)
{}

NodeConversion_midiOutput::NodeConversion_midiOutput()
    : TableNodeConversion("midiout", 49, MT_NODE_MIDI_OUTPUT, "node_midi_output", midiOutputFields)
{}
