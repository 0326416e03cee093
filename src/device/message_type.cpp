#include "device/message_type.h"

#include "core/logger.h"

namespace {

struct MessageTypeInfo {
    const char* name;
    int payloadSize; // -1: none
    bool sent;
    bool received;
    bool dynamic;
};

constexpr MessageTypeInfo messageTypes[] = {
    {"MT_NONE", -1, false, false, false},
    {"MT_BOOTLOADER_REQUEST_REBOOT", 1, false, false, false},
    {"MT_BOOTLOADER_ROM_WRITE_START", 4, true, true, false},
    {"MT_BOOTLOADER_ROM_WRITE_DATA", 36, true, true, false},
    {"MT_BOOTLOADER_ROM_WRITE_FINISH", 1, true, true, false},
    {"MT_BOOTLOADER_SPIFLASH_WRITE_START", 4, false, false, false},
    {"MT_BOOTLOADER_SPIFLASH_WRITE_DATA", 1, false, false, false},
    {"MT_BOOTLOADER_SPIFLASH_WRITE_FINISH", 1, false, false, false},
    {"MT_BOOTLOADER_RESERVED1", -1, false, false, false},
    {"MT_BOOTLOADER_RESERVED2", -1, false, false, false},
    {"MT_BOOTLOADER_RESERVED3", -1, false, false, false},
    {"MT_BOOTLOADER_RESERVED4", -1, false, false, false},
    {"MT_BOOTLOADER_RESERVED5", -1, false, false, false},
    {"MT_BOOTLOADER_RESERVED6", -1, false, false, false},
    {"MT_BOOTLOADER_RESERVED7", -1, false, false, false},
    {"MT_REQUEST_BOOTLOADER", 2, true, true, false},
    {"MT_VERSION", 23, true, true, false},
    {"MT_NACK", -1, false, true, false},
    {"MT_ACK", 1, false, true, false},
    {"MT_LED", 1, true, false, false},
    {"MT_CAPABILITIES", 1, true, true, true},
    {"MT_UNUSED_21", -1, false, false, false},
    {"MT_CONFIG_RESET", 1, true, false, false},
    {"MT_CONFIG_COMMIT", 6, true, true, false},
    {"MT_CONFIG_UPLOAD_PROGRESS", -1, false, true, false},
    {"MT_CONFIG_DUMP", 1, true, true, true},
    {"MT_EXPORT_CONFIG", 1, true, true, false},
    {"MT_EXPORT_COMMIT", -1, false, true, false},
    {"MT_LOOPTIME", 8, true, true, false},
    {"MT_PAUSE", 1, true, false, false},
    {"MT_SINGLE_STEP", 1, true, false, false},
    {"MT_TWEAK", 8, true, false, false},
    {"MT_SET_LIVE_VALUE", 3, true, false, false},
    {"MT_LIVE_VALUE", -1, false, true, false},
    {"MT_CONFIG_GPS_INPUT", 3, true, true, false},
    {"MT_CONFIG_DISPLAY_OUTPUT", 1, true, true, false},
    {"MT_CONFIG_DUTY_PWM_OUTPUT", 1, true, true, false},
    {"MT_CONFIG_UARTLOG_OUTPUT", 3, true, true, false},
    {"MT_CONFIG_PPM_INPUT", 1, true, true, false},
    {"MT_CONFIG_PPM_OUTPUT", 1, true, true, false},
    {"MT_CONFIG_NRF24", 15, true, true, false},
    {"MT_CONFIG_UART_PORT", 2, true, true, false},
    {"MT_CONFIG_RGBLED", 1, true, true, false},
    {"MT_CONFIG_MAG_INPUT", 5, true, true, false},
    {"MT_NODE_CONSTANT", 12, true, true, false},
    {"MT_NODE_UNARYOP", 14, true, true, false},
    {"MT_NODE_BINARYOP", 19, true, true, false},
    {"MT_NODE_CLAMP", 21, true, true, false},
    {"MT_NODE_INRANGE", 21, true, true, false},
    {"MT_NODE_SCALE", 21, true, true, false},
    {"MT_NODE_TIMER", 33, true, true, false},
    {"MT_NODE_SELECTOR", 22, true, true, false},
    {"MT_NODE_MIX", 31, true, true, false},
    {"MT_NODE_COLOR", 22, true, true, false},
    {"MT_NODE_SLEW", 21, true, true, false},
    {"MT_NODE_NOISE", 20, true, true, false},
    {"MT_NODE_INVERT", 12, true, true, false},
    {"MT_NODE_STROBE", 33, true, true, false},
    {"MT_NODE_MILLIS", 11, true, true, false},
    {"MT_NODE_GEOCALC", 21, true, true, false},
    {"MT_NODE_SNAPTO", 24, true, true, false},
    {"MT_NODE_STORE", 32, true, true, false},
    {"MT_NODE_MAPPING", 85, true, true, false},
    {"MT_NODE_MAPPING_BIDIRECTIONAL", 150, true, true, false},
    {"MT_NODE_PID", 45, true, true, false},
    {"MT_NODE_DELTA", 12, true, true, false},
    {"MT_NODE_STRUCT", 47, true, true, false},
    {"MT_NODE_STRUCTMEMBER", 13, true, true, false},
    {"MT_NODE_DIGITAL_INPUT", 9, true, true, false},
    {"MT_NODE_ANALOG_INPUT", 21, true, true, false},
    {"MT_NODE_GPS_INPUT", 11, true, true, false},
    {"MT_NODE_IMU_INPUT", 9, true, true, false},
    {"MT_NODE_SERIALRC_INPUT", 16, true, true, false},
    {"MT_NODE_SERVO_PWM_INPUT", 15, true, true, false},
    {"MT_NODE_NRF24_INPUT", 9, true, true, false},
    {"MT_NODE_ROTARYENCODER_INPUT", 8, true, true, false},
    {"MT_NODE_DIGITAL_OUTPUT", 18, true, true, false},
    {"MT_NODE_SERVO_PWM_OUTPUT", 24, true, true, false},
    {"MT_NODE_RGBLED_INDICES_OUTPUT", 33, true, true, false},
    {"MT_NODE_RGBLED_RANGE_OUTPUT", 27, true, true, false},
    {"MT_NODE_DISPLAY_OUTPUT", 55, true, true, false},
    {"MT_NODE_DUTY_PWM_OUTPUT", 18, true, true, false},
    {"MT_NODE_NRF24_OUTPUT", 13, true, true, false},
    {"MT_NODE_PPM_INPUT", 15, true, true, false},
    {"MT_NODE_PPM_OUTPUT", 13, true, true, false},
    {"MT_NODE_BARO_INPUT", 12, true, true, false},
    {"MT_NODE_MAG_INPUT", 9, true, true, false},
    {"MT_NODE_LOG_INPUT", 10, true, true, false},
    {"MT_NODE_LOG_OUTPUT", 14, true, true, false},
    {"MT_NODE_SERIALRC_OUTPUT", 14, true, true, false},
    {"MT_NODE_HX711_INPUT", 22, true, true, false},
    {"MT_NODE_MIDI_INPUT", 11, true, true, false},
    {"MT_NODE_MIDI_OUTPUT", 20, true, true, false},
    {"MT_NODE_SERIALSERVO_OUTPUT", 25, true, true, false},
    {"MT_NODE_GAMEPAD_OUTPUT", 14, true, true, false},
    {"MT_NODE_XGZP_INPUT", 11, true, true, false},
    {"MT_NODE_DS3502_OUTPUT", 14, true, true, false},
    {"MT_MAX", -1, false, false, false},
};

constexpr uint16_t typeCount = sizeof messageTypes / sizeof messageTypes[0];
static_assert(typeCount == MT_MAX + 1, "one entry per message type");

} // namespace

const char* messageTypeName(uint16_t type) { return type < typeCount ? messageTypes[type].name : ""; }

uint16_t getPayloadSizeFromMessageType(uint16_t type)
{
    if (type < typeCount && messageTypes[type].payloadSize >= 0)
        return static_cast<uint16_t>(messageTypes[type].payloadSize);
    logger.log(LogLevel::WARNING, "No payload size is known for message type %d", static_cast<int>(type));
    return 0;
}

bool isReceivedMessageType(uint16_t type) { return type < typeCount && messageTypes[type].received; }

bool isDynamicMessageType(uint16_t type) { return type < typeCount && messageTypes[type].dynamic; }

bool isSentMessageType(uint16_t type) { return type < typeCount && messageTypes[type].sent; }

bool isFirmwareFlashMessageType(uint16_t type)
{
    return type >= MT_BOOTLOADER_REQUEST_REBOOT && type <= MT_BOOTLOADER_ROM_WRITE_FINISH;
}
