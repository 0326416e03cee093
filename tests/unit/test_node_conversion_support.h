#pragma once

// Helpers shared by the node and feature conversion tests.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "conversion/node_conversion.h"
#include "support/hex_bytes.h"
#include "support/log_capture.h"
#include "json/compact_json_writer.h"

namespace conversion_test {

// Parses editor JSON with the library's reader, so numbers get the kinds the relay will see.
inline Json::Value parseJson(const std::string& text)
{
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << text << ": " << errors;
    return value;
}

inline std::string compact(const Json::Value& value) { return CompactJsonWriter().write(value); }

// Hex text of count zero bytes.
inline std::string zeroHex(size_t count) { return std::string(2 * count, '0'); }

inline std::string normalizedHex(const std::string& text)
{
    const std::vector<uint8_t> bytes = bytesOfHex(text);
    return hexOfBytes(bytes.data(), bytes.size());
}

// The header every node case is encoded with: id 258, x -5, y 300.
inline SerialMessage headerOnlyRecord()
{
    SerialMessage record;
    NodeRecordHeader header;
    header.id = 258;
    header.x = -5;
    header.y = 300;
    header.writeTo(record);
    return record;
}

inline SerialMessage encodeNode(const NodeConversion& conversion, const Json::Value& properties)
{
    SerialMessage record = headerOnlyRecord();
    conversion.encodeFromJson(properties, record);
    return record;
}

inline Json::Value decodeNode(const NodeConversion& conversion, SerialMessage record, int length)
{
    record.setLength(static_cast<uint16_t>(length));
    Json::Value node;
    conversion.decodeToJson(node, record.bytes, sizeof record.bytes);
    return node;
}

// The decoded node text for the test header and the given properties text (empty: no "properties").
inline std::string nodeText(const std::string& type, const std::string& properties, int missingFoundOnly = -1)
{
    std::string text = "{\"id\":258,";
    if (missingFoundOnly >= 0)
        text += "\"missingPropertiesFoundOnly\":" + std::to_string(missingFoundOnly) + ",";
    text += "\"pos\":{\"x\":-5,\"y\":300},";
    if (!properties.empty())
        text += "\"properties\":" + properties + ",";
    return text + "\"type\":\"" + type + "\"}";
}

// One node type's round trip: every key given, then the defaults.
struct NodeTypeCase {
    int messageType;
    int recordBytes; // whole record, header included
    const char* properties; // JSON text with every key the encoder reads
    std::string encodedFields; // hex of the record from offset 11 to its end
    std::string defaultFields; // the same for {} and for null properties
    const char* decoded; // compact "properties" decoded from the full record
    const char* decodedDefaults; // compact "properties" decoded from the default record
};

inline void checkEncoded(const SerialMessage& record, const NodeTypeCase& c, const std::string& expectedFields)
{
    EXPECT_EQ(record.type(), c.messageType);
    EXPECT_EQ(record.length(), 0);
    EXPECT_EQ(hexOfBytes(record.bytes + 4, 7), "000201FBFF2C01") << "header changed";
    EXPECT_EQ(hexOfBytes(record.bytes + 11, c.recordBytes - 11), normalizedHex(expectedFields));
    const std::vector<uint8_t> tail(record.bytes + c.recordBytes, record.bytes + SerialMessage::size);
    EXPECT_EQ(tail, std::vector<uint8_t>(tail.size(), 0)) << "bytes beyond the record";
}

inline void checkNodeTypeCase(const NodeConversionRegistry& registry, const NodeTypeCase& c)
{
    const NodeConversion* conversion = registry.findNodeConversion("", 0, c.messageType);
    ASSERT_NE(conversion, nullptr) << c.messageType;
    SCOPED_TRACE(conversion->name);

    const SerialMessage full = encodeNode(*conversion, parseJson(c.properties));
    {
        SCOPED_TRACE("every key");
        checkEncoded(full, c, c.encodedFields);
    }
    const SerialMessage defaults = encodeNode(*conversion, Json::Value(Json::objectValue));
    {
        SCOPED_TRACE("empty properties");
        checkEncoded(defaults, c, c.defaultFields);
    }
    {
        SCOPED_TRACE("null properties");
        checkEncoded(encodeNode(*conversion, Json::Value()), c, c.defaultFields);
    }
    EXPECT_EQ(compact(decodeNode(*conversion, full, c.recordBytes)), nodeText(conversion->name, c.decoded));
    EXPECT_EQ(compact(decodeNode(*conversion, defaults, c.recordBytes)), nodeText(conversion->name, c.decodedDefaults));
    LogCapture capture;
    EXPECT_EQ(compact(decodeNode(*conversion, full, 11)), nodeText(conversion->name, "", 0));
    EXPECT_TRUE(capture.contains("Missing fields in message: ")) << "short record not reported";
}

// A fixture with every node converter registered, as the relay has them.
class RegisteredNodes : public ::testing::Test {
protected:
    void SetUp() override { registry.registerNodeConversions(); }

    const NodeConversion& conversion(int messageType) const
    {
        const NodeConversion* found = registry.findNodeConversion("", 0, messageType);
        EXPECT_NE(found, nullptr);
        return *found;
    }

    NodeConversionRegistry registry;
};

} // namespace conversion_test
