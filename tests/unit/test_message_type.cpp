#include <gtest/gtest.h>

#include "device/message_type.h"
#include "device/serial_message.h"

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
