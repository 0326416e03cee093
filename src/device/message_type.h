#pragma once

#include <cstdint>

// Serial message types of the board protocol. Values are fixed by the board's firmware.
enum MessageType : uint16_t {
    MT_NONE = 0,
    MT_BOOTLOADER_REQUEST_REBOOT = 1,
    MT_BOOTLOADER_ROM_WRITE_START = 2,
    MT_BOOTLOADER_ROM_WRITE_DATA = 3,
    MT_BOOTLOADER_ROM_WRITE_FINISH = 4,
    MT_BOOTLOADER_SPIFLASH_WRITE_START = 5,
    MT_BOOTLOADER_SPIFLASH_WRITE_DATA = 6,
    MT_BOOTLOADER_SPIFLASH_WRITE_FINISH = 7,
    MT_BOOTLOADER_RESERVED1 = 8,
    MT_BOOTLOADER_RESERVED2 = 9,
    MT_BOOTLOADER_RESERVED3 = 10,
    MT_BOOTLOADER_RESERVED4 = 11,
    MT_BOOTLOADER_RESERVED5 = 12,
    MT_BOOTLOADER_RESERVED6 = 13,
    MT_BOOTLOADER_RESERVED7 = 14,
    MT_REQUEST_BOOTLOADER = 15,
    MT_VERSION = 16,
    MT_NACK = 17,
    MT_ACK = 18,
    MT_LED = 19,
    MT_CAPABILITIES = 20,
    MT_UNUSED_21 = 21,
    MT_CONFIG_RESET = 22,
    MT_CONFIG_COMMIT = 23,
    MT_CONFIG_UPLOAD_PROGRESS = 24,
    MT_CONFIG_DUMP = 25,
    MT_EXPORT_CONFIG = 26,
    MT_EXPORT_COMMIT = 27,
    MT_LOOPTIME = 28,
    MT_PAUSE = 29,
    MT_SINGLE_STEP = 30,
    MT_TWEAK = 31,
    MT_SET_LIVE_VALUE = 32,
    MT_LIVE_VALUE = 33,
    MT_CONFIG_GPS_INPUT = 34,
    MT_CONFIG_DISPLAY_OUTPUT = 35,
    MT_CONFIG_DUTY_PWM_OUTPUT = 36,
    MT_CONFIG_UARTLOG_OUTPUT = 37,
    MT_CONFIG_PPM_INPUT = 38,
    MT_CONFIG_PPM_OUTPUT = 39,
    MT_CONFIG_NRF24 = 40,
    MT_CONFIG_UART_PORT = 41,
    MT_CONFIG_RGBLED = 42,
    MT_CONFIG_MAG_INPUT = 43,
    MT_NODE_CONSTANT = 44,
    MT_NODE_UNARYOP = 45,
    MT_NODE_BINARYOP = 46,
    MT_NODE_CLAMP = 47,
    MT_NODE_INRANGE = 48,
    MT_NODE_SCALE = 49,
    MT_NODE_TIMER = 50,
    MT_NODE_SELECTOR = 51,
    MT_NODE_MIX = 52,
    MT_NODE_COLOR = 53,
    MT_NODE_SLEW = 54,
    MT_NODE_NOISE = 55,
    MT_NODE_INVERT = 56,
    MT_NODE_STROBE = 57,
    MT_NODE_MILLIS = 58,
    MT_NODE_GEOCALC = 59,
    MT_NODE_SNAPTO = 60,
    MT_NODE_STORE = 61,
    MT_NODE_MAPPING = 62,
    MT_NODE_MAPPING_BIDIRECTIONAL = 63,
    MT_NODE_PID = 64,
    MT_NODE_DELTA = 65,
    MT_NODE_STRUCT = 66,
    MT_NODE_STRUCTMEMBER = 67,
    MT_NODE_DIGITAL_INPUT = 68,
    MT_NODE_ANALOG_INPUT = 69,
    MT_NODE_GPS_INPUT = 70,
    MT_NODE_IMU_INPUT = 71,
    MT_NODE_SERIALRC_INPUT = 72,
    MT_NODE_SERVO_PWM_INPUT = 73,
    MT_NODE_NRF24_INPUT = 74,
    MT_NODE_ROTARYENCODER_INPUT = 75,
    MT_NODE_DIGITAL_OUTPUT = 76,
    MT_NODE_SERVO_PWM_OUTPUT = 77,
    MT_NODE_RGBLED_INDICES_OUTPUT = 78,
    MT_NODE_RGBLED_RANGE_OUTPUT = 79,
    MT_NODE_DISPLAY_OUTPUT = 80,
    MT_NODE_DUTY_PWM_OUTPUT = 81,
    MT_NODE_NRF24_OUTPUT = 82,
    MT_NODE_PPM_INPUT = 83,
    MT_NODE_PPM_OUTPUT = 84,
    MT_NODE_BARO_INPUT = 85,
    MT_NODE_MAG_INPUT = 86,
    MT_NODE_LOG_INPUT = 87,
    MT_NODE_LOG_OUTPUT = 88,
    MT_NODE_SERIALRC_OUTPUT = 89,
    MT_NODE_HX711_INPUT = 90,
    MT_NODE_MIDI_INPUT = 91,
    MT_NODE_MIDI_OUTPUT = 92,
    MT_NODE_SERIALSERVO_OUTPUT = 93,
    MT_NODE_GAMEPAD_OUTPUT = 94,
    MT_NODE_XGZP_INPUT = 95,
    MT_NODE_DS3502_OUTPUT = 96,
    MT_MAX = 97,
};

// Name of a message type as printed in log lines; "" for a value outside the table.
const char* messageTypeName(uint16_t type);

// Fixed payload size of a type the relay sends; logs a warning and returns 0 for a type without one.
uint16_t getPayloadSizeFromMessageType(uint16_t type);

// Types a board may send and the frame parser accepts.
bool isReceivedMessageType(uint16_t type);

// Received types whose frames may be longer than a SerialMessage; the parser grows its buffer for them.
bool isDynamicMessageType(uint16_t type);

// Types the relay builds and sends.
bool isSentMessageType(uint16_t type);

// The messages of a firmware write through the bootloader (reboot, start, data, finish): the queue culls them
// together, and the flasher takes them when a board sends them.
bool isFirmwareFlashMessageType(uint16_t type);
