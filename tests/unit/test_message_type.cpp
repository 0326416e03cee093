#include <gtest/gtest.h>

#include <iterator>
#include <string>

#include "device/message_type.h"
#include "device/serial_message.h"
#include "support/log_capture.h"

TEST(MessageType, NamesCoverTheWholeTableOnly)
{
    EXPECT_STREQ(messageTypeName(MT_NONE), "MT_NONE");
    EXPECT_STREQ(messageTypeName(MT_ACK), "MT_ACK");
    EXPECT_STREQ(messageTypeName(MT_NODE_DS3502_OUTPUT), "MT_NODE_DS3502_OUTPUT");
    EXPECT_STREQ(messageTypeName(MT_MAX), "MT_MAX");
    EXPECT_STREQ(messageTypeName(98), "");
    EXPECT_STREQ(messageTypeName(0xFFFF), "");
}

TEST(MessageType, PayloadSizes)
{
    struct Case {
        uint16_t type;
        uint16_t size;
    } cases[] = {{MT_BOOTLOADER_ROM_WRITE_DATA, 36},
                 {MT_VERSION, 23},
                 {MT_TWEAK, 8},
                 {MT_NODE_MAPPING_BIDIRECTIONAL, 150},
                 {MT_CONFIG_NRF24, 15},
                 {MT_NODE_ROTARYENCODER_INPUT, 8},
                 {MT_NACK, 0},
                 {MT_MAX, 0},
                 {MT_NONE, 0}};
    for (const Case& c : cases)
        EXPECT_EQ(getPayloadSizeFromMessageType(c.type), c.size) << messageTypeName(c.type);
}

TEST(MessageType, ReceivedAndDynamicMarks)
{
    EXPECT_TRUE(isReceivedMessageType(MT_ACK));
    EXPECT_TRUE(isReceivedMessageType(MT_NACK));
    EXPECT_TRUE(isReceivedMessageType(MT_NODE_CONSTANT));
    EXPECT_FALSE(isReceivedMessageType(MT_LED));
    EXPECT_FALSE(isReceivedMessageType(MT_TWEAK));
    EXPECT_FALSE(isReceivedMessageType(MT_MAX));
    EXPECT_TRUE(isDynamicMessageType(MT_CAPABILITIES));
    EXPECT_TRUE(isDynamicMessageType(MT_CONFIG_DUMP));
    EXPECT_FALSE(isDynamicMessageType(MT_VERSION));
}

// The board protocol's message types as the board firmware defines them. Size -1: the type has no fixed payload
// size. Received 'd': accepted with the length its frame declares, the buffer grown to it.
TEST(MessageType, EveryTypeOfTheProtocol)
{
    struct Row {
        const char* name; // nullptr: a value this system does not use, named only so that the log can print it
        int size;
        bool sent;
        char received; // ' ', 'y' or 'd'
    };
    const Row rows[] = {
        {"MT_NONE", -1, false, ' '},
        {"MT_BOOTLOADER_REQUEST_REBOOT", 1, false, ' '},
        {"MT_BOOTLOADER_ROM_WRITE_START", 4, true, 'y'},
        {"MT_BOOTLOADER_ROM_WRITE_DATA", 36, true, 'y'},
        {"MT_BOOTLOADER_ROM_WRITE_FINISH", 1, true, 'y'},
        {"MT_BOOTLOADER_SPIFLASH_WRITE_START", 4, false, ' '},
        {"MT_BOOTLOADER_SPIFLASH_WRITE_DATA", 1, false, ' '},
        {"MT_BOOTLOADER_SPIFLASH_WRITE_FINISH", 1, false, ' '},
        {"MT_BOOTLOADER_RESERVED1", -1, false, ' '},
        {"MT_BOOTLOADER_RESERVED2", -1, false, ' '},
        {"MT_BOOTLOADER_RESERVED3", -1, false, ' '},
        {"MT_BOOTLOADER_RESERVED4", -1, false, ' '},
        {"MT_BOOTLOADER_RESERVED5", -1, false, ' '},
        {"MT_BOOTLOADER_RESERVED6", -1, false, ' '},
        {"MT_BOOTLOADER_RESERVED7", -1, false, ' '},
        {"MT_REQUEST_BOOTLOADER", 2, true, 'y'},
        {"MT_VERSION", 23, true, 'y'},
        {"MT_NACK", -1, false, 'y'},
        {"MT_ACK", 1, false, 'y'},
        {"MT_LED", 1, true, ' '},
        {"MT_CAPABILITIES", 1, true, 'd'},
        {nullptr, -1, false, ' '},
        {"MT_CONFIG_RESET", 1, true, ' '},
        {"MT_CONFIG_COMMIT", 6, true, 'y'},
        {"MT_CONFIG_UPLOAD_PROGRESS", -1, false, 'y'},
        {"MT_CONFIG_DUMP", 1, true, 'd'},
        {"MT_EXPORT_CONFIG", 1, true, 'y'},
        {"MT_EXPORT_COMMIT", -1, false, 'y'},
        {"MT_LOOPTIME", 8, true, 'y'},
        {"MT_PAUSE", 1, true, ' '},
        {"MT_SINGLE_STEP", 1, true, ' '},
        {"MT_TWEAK", 8, true, ' '},
        {"MT_SET_LIVE_VALUE", 3, true, ' '},
        {"MT_LIVE_VALUE", -1, false, 'y'},
        {"MT_CONFIG_GPS_INPUT", 3, true, 'y'},
        {"MT_CONFIG_DISPLAY_OUTPUT", 1, true, 'y'},
        {"MT_CONFIG_DUTY_PWM_OUTPUT", 1, true, 'y'},
        {"MT_CONFIG_UARTLOG_OUTPUT", 3, true, 'y'},
        {"MT_CONFIG_PPM_INPUT", 1, true, 'y'},
        {"MT_CONFIG_PPM_OUTPUT", 1, true, 'y'},
        {"MT_CONFIG_NRF24", 15, true, 'y'},
        {"MT_CONFIG_UART_PORT", 2, true, 'y'},
        {"MT_CONFIG_RGBLED", 1, true, 'y'},
        {"MT_CONFIG_MAG_INPUT", 5, true, 'y'},
        {"MT_NODE_CONSTANT", 12, true, 'y'},
        {"MT_NODE_UNARYOP", 14, true, 'y'},
        {"MT_NODE_BINARYOP", 19, true, 'y'},
        {"MT_NODE_CLAMP", 21, true, 'y'},
        {"MT_NODE_INRANGE", 21, true, 'y'},
        {"MT_NODE_SCALE", 21, true, 'y'},
        {"MT_NODE_TIMER", 33, true, 'y'},
        {"MT_NODE_SELECTOR", 22, true, 'y'},
        {"MT_NODE_MIX", 31, true, 'y'},
        {"MT_NODE_COLOR", 22, true, 'y'},
        {"MT_NODE_SLEW", 21, true, 'y'},
        {"MT_NODE_NOISE", 20, true, 'y'},
        {"MT_NODE_INVERT", 12, true, 'y'},
        {"MT_NODE_STROBE", 33, true, 'y'},
        {"MT_NODE_MILLIS", 11, true, 'y'},
        {"MT_NODE_GEOCALC", 21, true, 'y'},
        {"MT_NODE_SNAPTO", 24, true, 'y'},
        {"MT_NODE_STORE", 32, true, 'y'},
        {"MT_NODE_MAPPING", 85, true, 'y'},
        {"MT_NODE_MAPPING_BIDIRECTIONAL", 150, true, 'y'},
        {"MT_NODE_PID", 45, true, 'y'},
        {"MT_NODE_DELTA", 12, true, 'y'},
        {"MT_NODE_STRUCT", 47, true, 'y'},
        {"MT_NODE_STRUCTMEMBER", 13, true, 'y'},
        {"MT_NODE_DIGITAL_INPUT", 9, true, 'y'},
        {"MT_NODE_ANALOG_INPUT", 21, true, 'y'},
        {"MT_NODE_GPS_INPUT", 11, true, 'y'},
        {"MT_NODE_IMU_INPUT", 9, true, 'y'},
        {"MT_NODE_SERIALRC_INPUT", 16, true, 'y'},
        {"MT_NODE_SERVO_PWM_INPUT", 15, true, 'y'},
        {"MT_NODE_NRF24_INPUT", 9, true, 'y'},
        {"MT_NODE_ROTARYENCODER_INPUT", 8, true, 'y'},
        {"MT_NODE_DIGITAL_OUTPUT", 18, true, 'y'},
        {"MT_NODE_SERVO_PWM_OUTPUT", 24, true, 'y'},
        {"MT_NODE_RGBLED_INDICES_OUTPUT", 33, true, 'y'},
        {"MT_NODE_RGBLED_RANGE_OUTPUT", 27, true, 'y'},
        {"MT_NODE_DISPLAY_OUTPUT", 55, true, 'y'},
        {"MT_NODE_DUTY_PWM_OUTPUT", 18, true, 'y'},
        {"MT_NODE_NRF24_OUTPUT", 13, true, 'y'},
        {"MT_NODE_PPM_INPUT", 15, true, 'y'},
        {"MT_NODE_PPM_OUTPUT", 13, true, 'y'},
        {"MT_NODE_BARO_INPUT", 12, true, 'y'},
        {"MT_NODE_MAG_INPUT", 9, true, 'y'},
        {"MT_NODE_LOG_INPUT", 10, true, 'y'},
        {"MT_NODE_LOG_OUTPUT", 14, true, 'y'},
        {"MT_NODE_SERIALRC_OUTPUT", 14, true, 'y'},
        {"MT_NODE_HX711_INPUT", 22, true, 'y'},
        {"MT_NODE_MIDI_INPUT", 11, true, 'y'},
        {"MT_NODE_MIDI_OUTPUT", 20, true, 'y'},
        {"MT_NODE_SERIALSERVO_OUTPUT", 25, true, 'y'},
        {"MT_NODE_GAMEPAD_OUTPUT", 14, true, 'y'},
        {"MT_NODE_XGZP_INPUT", 11, true, 'y'},
        {"MT_NODE_DS3502_OUTPUT", 14, true, 'y'},
        {"MT_MAX", -1, false, ' '},
    };
    ASSERT_EQ(std::size(rows), 98u);
    for (uint16_t type = 0; type < std::size(rows); ++type) {
        const Row& row = rows[type];
        SCOPED_TRACE(type);
        if (row.name != nullptr)
            EXPECT_STREQ(messageTypeName(type), row.name);
        else
            EXPECT_STRNE(messageTypeName(type), "");
        LogCapture log;
        EXPECT_EQ(getPayloadSizeFromMessageType(type), row.size < 0 ? 0 : row.size);
        EXPECT_EQ(log.contains("No payload size is known for message type " + std::to_string(type)), row.size < 0);
        EXPECT_EQ(isSentMessageType(type), row.sent);
        EXPECT_EQ(isReceivedMessageType(type), row.received != ' ');
        EXPECT_EQ(isDynamicMessageType(type), row.received == 'd');
    }
}

TEST(SerialMessage, StartsZeroAndAccessorsAreLittleEndian)
{
    SerialMessage m;
    for (uint8_t b : m.bytes)
        EXPECT_EQ(b, 0);
    m.setType(0x1234);
    m.setLength(0x0A0B);
    EXPECT_EQ(m.bytes[0], 0x34);
    EXPECT_EQ(m.bytes[1], 0x12);
    EXPECT_EQ(m.bytes[2], 0x0B);
    EXPECT_EQ(m.type(), 0x1234);
    EXPECT_EQ(m.length(), 0x0A0B);
    EXPECT_EQ(m.payload(), m.bytes + 4);
}
