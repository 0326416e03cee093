#include "conversion/board_features.h"

#include "device/message_type.h"

namespace {

using namespace field;

const FieldSpec displayFields[] = {
    {"driver", 4, U8, 0, always, "type"},
};

const FieldSpec dutypwmFields[] = {
    {"frequency", 4, U8, 0, always, "frequency"},
};

const FieldSpec rgbledFields[] = {
    {"maxindex", 4, U8, 0, always, "maxIndex"},
};

const FieldSpec gpsFields[] = {
    {"doinit", 4, U8, 0, always, "doinit"},
    {"initdelay", 5, U8, 0, always, "initdelay"},
    {"saveconfig", 6, U8, 0, always, "saveconfig"},
};

const FieldSpec ppmFields[] = {
    {"pin", 4, U8, 0, always, "pin"},
};

const FieldSpec uartlogFields[] = {
    {"type", 4, U8, 0, always, "type"},
    {"baud", 5, U8, 0, always, "baud"},
    {"frequency", 6, U8, 5, always, "freq"},
};

const FieldSpec uartportFields[] = {
    {"port", 4, U8, 0, always, "name"},
    {"role", 5, U8, 0, always, "role"},
};

const FieldSpec magFields[] = {
    {"runcalib", 4, U8, 0, always, "runCalib"},   {"tiltcompimu", 5, U8, 0, always, "tiltcompIMU"},
    {"tiltcompx", 6, U8, 0, always, "tiltcompX"}, {"tiltcompy", 7, U8, 0, always, "tiltcompY"},
    {"tiltcompz", 8, U8, 0, always, "tiltcompZ"},
};

} // namespace

FeatureConversion_display::FeatureConversion_display()
    : TableFeatureConversion("display", MT_CONFIG_DISPLAY_OUTPUT, "config_display_output", displayFields)
{}

FeatureConversion_dutypwm::FeatureConversion_dutypwm()
    : TableFeatureConversion("dutypwm", MT_CONFIG_DUTY_PWM_OUTPUT, "config_duty_pwm_output", dutypwmFields)
{}

FeatureConversion_rgbled::FeatureConversion_rgbled()
    : TableFeatureConversion("rgbled", MT_CONFIG_RGBLED, "config_rgbled", rgbledFields)
{}

FeatureConversion_gps::FeatureConversion_gps()
    : TableFeatureConversion("gps", MT_CONFIG_GPS_INPUT, "config_gps_input", gpsFields)
{}

FeatureConversion_ppminput::FeatureConversion_ppminput()
    : TableFeatureConversion("ppminput", MT_CONFIG_PPM_INPUT, "config_ppm_input", ppmFields)
{}

FeatureConversion_ppmoutput::FeatureConversion_ppmoutput()
    : TableFeatureConversion("ppmoutput", MT_CONFIG_PPM_OUTPUT, "config_ppm_output", ppmFields)
{}

FeatureConversion_uartlog::FeatureConversion_uartlog()
    : TableFeatureConversion("uartlog", MT_CONFIG_UARTLOG_OUTPUT, "config_uartlog_output", uartlogFields)
{}

FeatureConversion_uartport::FeatureConversion_uartport()
    : TableFeatureConversion("uartport", MT_CONFIG_UART_PORT, "config_uart_port", uartportFields)
{}

FeatureConversion_mag::FeatureConversion_mag()
    : TableFeatureConversion("mag", MT_CONFIG_MAG_INPUT, "config_mag_input", magFields)
{}
