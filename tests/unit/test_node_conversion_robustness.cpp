#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "conversion/feature_conversion.h"
#include "conversion/node_conversion.h"
#include "test_node_conversion_support.h"

using namespace conversion_test;

// No editor value may make a converter throw, and no board record may make a decoder read outside the bytes it
// was given or run into undefined behaviour (the sanitizer build checks the latter).

namespace {

// Keys read by converters with their own encoding code, besides the keys of the field tables.
const char* const specialKeys[] = {
    "prop_value",
    "prop_mapping_type",
    "miny",
    "maxy",
    "points",
    "points_reverse",
    "prop_source",
    "format",
    "role",
    "bindid",
    "frequency",
    "prop_flags1",
    "prop_flags2",
    "prop_flags3",
    "prop_flags4",
    "prop_display_label",
    "prop_display_minwholeplaces",
    "prop_display_maxdecimalplaces",
    "prop_ds3502out_initval",
    "prop_midi_channel",
    "prop_member_index",
    "prop_rotaryencoder_predelta",
};

const char* const hostileValues[] = {
    "[]",
    "{}",
    R"([1, "a", {}, null, true, [2]])",
    R"({"type": "f"})",
    R"("x")",
    R"("")",
    R"("#")",
    R"("#1234567")",
    R"("#-99999999999")",
    R"("1e999")",
    "1e308",
    "-1e308",
    "18446744073709551615",
    "-9223372036854775808",
    "4294967296",
    "-2147483649",
    "true",
    "null",
    "2.5",
    "-0.0",
};

std::set<std::string> keysOf(const FieldTable& table)
{
    std::set<std::string> keys(std::begin(specialKeys), std::end(specialKeys));
    for (const FieldSpec& row : table)
        keys.insert(row.key);
    return keys;
}

Json::Value objectWith(const std::set<std::string>& keys, const Json::Value& value)
{
    Json::Value object(Json::objectValue);
    for (const std::string& key : keys)
        object[key] = value;
    object["format"] = Json::Value(Json::arrayValue);
    object["format"].append(value);
    object["format"].append(Json::Value(Json::objectValue))["type"] = value;
    return object;
}

// A small deterministic generator, so failures repeat.
struct Lcg {
    uint32_t state = 12345;
    uint32_t next()
    {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    }
};

} // namespace

TEST(ConversionRobustness, HostileEditorValuesNeverThrow)
{
    NodeConversionRegistry nodes;
    nodes.registerNodeConversions();
    FeatureConversionRegistry features;
    features.registerFeatureConversions();

    for (const char* text : hostileValues) {
        const Json::Value value = parseJson(text);
        for (const auto& conversion : nodes.conversions()) {
            const auto* table = dynamic_cast<const TableNodeConversion*>(conversion.get());
            const Json::Value properties = objectWith(keysOf(table ? table->fields : FieldTable()), value);
            for (const Json::Value& input : {properties, value}) {
                SerialMessage record;
                EXPECT_NO_THROW(conversion->encodeFromJson(input, record)) << conversion->name << " " << text;
                EXPECT_LE(record.type(), 97) << conversion->name;
            }
        }
        for (const auto& conversion : features.conversions()) {
            const auto* table = dynamic_cast<const TableFeatureConversion*>(conversion.get());
            Json::Value feature = objectWith(keysOf(table ? table->fields : FieldTable()), value);
            feature["feature"] = conversion->name;
            for (const Json::Value& input : {feature, value}) {
                SerialMessage record;
                EXPECT_NO_THROW(conversion->encodeFromJson(input, record)) << conversion->name << " " << text;
                EXPECT_EQ(record.type(), conversion->messageType);
            }
        }
    }
}

TEST(ConversionRobustness, RandomBoardRecordsDecodeWithinTheirBytes)
{
    NodeConversionRegistry nodes;
    nodes.registerNodeConversions();
    FeatureConversionRegistry features;
    features.registerFeatureConversions();
    LogCapture quiet(LOG_THRESHOLD_OFF);
    Lcg random;

    auto randomRecord = [&random](int messageType) {
        const size_t size = random.next() % 4 == 0 ? SerialMessage::size : random.next() % (SerialMessage::size + 1);
        std::vector<uint8_t> bytes(size);
        for (uint8_t& byte : bytes)
            byte = static_cast<uint8_t>(random.next());
        if (size >= 4) {
            writeU16(bytes.data(), static_cast<uint16_t>(messageType));
            writeU16(bytes.data() + 2, static_cast<uint16_t>(random.next() % 2 ? random.next() % 200 : random.next()));
        }
        return bytes;
    };

    for (int round = 0; round < 300; ++round) {
        for (const auto& conversion : nodes.conversions()) {
            const std::vector<uint8_t> bytes = randomRecord(conversion->messageType);
            Json::Value node;
            EXPECT_NO_THROW(conversion->decodeToJson(node, bytes.data(), bytes.size())) << conversion->name;
            EXPECT_EQ(node["type"].asString(), conversion->name);
            EXPECT_TRUE(node.isMember("pos"));
        }
        for (const auto& conversion : features.conversions()) {
            const std::vector<uint8_t> bytes = randomRecord(conversion->messageType);
            Json::Value out;
            EXPECT_NO_THROW(conversion->decodeToJson(out, bytes.data(), bytes.size())) << conversion->name;
            EXPECT_EQ(out["feature"].asString(), conversion->name);
        }
    }
}
