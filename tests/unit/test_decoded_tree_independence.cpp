#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "conversion/feature_conversion.h"
#include "conversion/node_conversion.h"
#include "core/little_endian.h"
#include "device/serial_message.h"
#include "support/log_capture.h"
#include "json/compact_json_writer.h"

// Decoders write straight into the editor's reply tree: they keep a reference to its "properties" member while
// they add others, and they hand the tree their key texts without copying them. What a decoder produces must
// therefore not depend on what the target held before, and a copy of the tree must stand on its own.

namespace {

// A full record of the type whose bytes follow a simple pattern, so every optional field is present and varied.
std::vector<uint8_t> patternRecord(int messageType, uint32_t seed)
{
    std::vector<uint8_t> bytes(SerialMessage::size);
    uint32_t state = seed * 2654435761u + 1u;
    for (uint8_t& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    writeU16(bytes.data(), static_cast<uint16_t>(messageType));
    writeU16(bytes.data() + 2, static_cast<uint16_t>(bytes.size()));
    return bytes;
}

std::string text(const Json::Value& value) { return CompactJsonWriter().write(value); }

TEST(DecodedTreeIndependence, NodeDecodedIntoAUsedValueEqualsOneDecodedIntoAFreshValue)
{
    NodeConversionRegistry nodes;
    nodes.registerNodeConversions();
    LogCapture quiet(LOG_THRESHOLD_OFF);
    const auto& list = nodes.conversions();
    ASSERT_FALSE(list.empty());
    for (size_t i = 0; i < list.size(); ++i) {
        const NodeConversion& conversion = *list[i];
        // The previous tree is the next node type's, so it has members of other names and other kinds.
        const NodeConversion& other = *list[(i + 1) % list.size()];
        for (uint32_t seed = 0; seed < 4; ++seed) {
            SCOPED_TRACE(conversion.name + " seed " + std::to_string(seed));
            const std::vector<uint8_t> record = patternRecord(conversion.messageType, seed);
            const std::vector<uint8_t> otherRecord = patternRecord(other.messageType, seed + 100);

            Json::Value fresh;
            conversion.decodeToJson(fresh, record.data(), record.size());
            Json::Value reused;
            other.decodeToJson(reused, otherRecord.data(), otherRecord.size());
            reused["properties"]["left_behind"] = 1;
            conversion.decodeToJson(reused, record.data(), record.size());

            // Compared as text: random bytes make NaN values, which never equal themselves as values.
            EXPECT_EQ(text(reused), text(fresh));
            EXPECT_FALSE(reused["properties"].isMember("left_behind"));
            EXPECT_EQ(fresh["type"].asString(), conversion.name);
        }
    }
}

TEST(DecodedTreeIndependence, CopyOfADecodedTreeOutlivesTheOriginal)
{
    NodeConversionRegistry nodes;
    nodes.registerNodeConversions();
    FeatureConversionRegistry features;
    features.registerFeatureConversions();
    LogCapture quiet(LOG_THRESHOLD_OFF);

    std::vector<std::string> expected;
    std::vector<Json::Value> copies;
    for (const auto& conversion : nodes.conversions()) {
        const std::vector<uint8_t> record = patternRecord(conversion->messageType, 7);
        auto original = std::make_unique<Json::Value>();
        conversion->decodeToJson(*original, record.data(), record.size());
        expected.push_back(text(*original));
        copies.push_back(*original);
    }
    for (const auto& conversion : features.conversions()) {
        const std::vector<uint8_t> record = patternRecord(conversion->messageType, 7);
        auto original = std::make_unique<Json::Value>();
        conversion->decodeToJson(*original, record.data(), record.size());
        expected.push_back(text(*original));
        copies.push_back(*original);
    }
    // The converters are gone too: nothing in the copies may point into them.
    nodes.clearNodeConversions();
    features.clearFeatureConversions();
    ASSERT_EQ(copies.size(), expected.size());
    for (size_t i = 0; i < copies.size(); ++i) {
        EXPECT_EQ(text(copies[i]), expected[i]) << i;
        EXPECT_TRUE(copies[i].isMember("properties") || copies[i].isMember("feature")) << expected[i];
    }
}

} // namespace
