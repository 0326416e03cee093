#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <vector>

#include "conversion/node_conversion.h"
#include "conversion/number_conversion.h"
#include "device/message_type.h"
#include "test_node_conversion_support.h"

using namespace conversion_test;

namespace {

// The board's node table: position order, editor name, node type, message type.
struct TableEntry {
    const char* name;
    int nodeType;
    int messageType;
};

const TableEntry boardNodeTable[] = {
    {"digitalin", 1, 68},    {"analogin", 2, 69},      {"servopwmin", 6, 73},
    {"gps", 3, 70},          {"imu", 4, 71},           {"serialrcin", 5, 72},
    {"nrf24in", 7, 74},      {"ppmin", 34, 83},        {"rotaryencoder", 8, 75},
    {"hx711", 47, 90},       {"baro", 42, 85},         {"mag", 43, 86},
    {"uartlogin", 44, 87},   {"midiin", 48, 91},       {"xgzpin", 52, 95},
    {"digitalout", 9, 76},   {"servopwmout", 10, 77},  {"dutypwmout", 14, 81},
    {"nrf24out", 15, 82},    {"ppmout", 35, 84},       {"rgbledindices", 11, 78},
    {"rgbledrange", 12, 79}, {"display", 13, 80},      {"serialrcout", 46, 89},
    {"uartlogout", 45, 88},  {"midiout", 49, 92},      {"serialservoout", 50, 93},
    {"gamepadout", 51, 94},  {"ds3502out", 53, 96},    {"constant", 18, 44},
    {"clamp", 19, 47},       {"inrange", 20, 48},      {"scale", 21, 49},
    {"unaryop", 16, 45},     {"binaryop", 17, 46},     {"timer", 22, 50},
    {"selector", 23, 51},    {"color", 24, 53},        {"mix", 25, 52},
    {"slew", 26, 54},        {"noise", 27, 55},        {"invert", 28, 56},
    {"strobe", 29, 57},      {"millis", 30, 58},       {"geocalc", 31, 59},
    {"snapto", 32, 60},      {"store", 33, 61},        {"mapping", 36, 62},
    {"mapping", 37, 63},     {"pid", 38, 64},          {"delta", 39, 65},
    {"struct", 40, 66},      {"structmember", 41, 67},
};

class NodeConversionFramework : public ::testing::Test {
protected:
    void SetUp() override { registry.registerNodeConversions(); }
    NodeConversionRegistry registry;
};

// Five SourceOrValue bytes encoded from {"v": <json>}.
std::string sourceHex(const char* json, double defaultNumber = 0.0)
{
    uint8_t out[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    encodeSourceOrValue(parseJson(std::string("{\"v\": ") + json + "}"), "v", defaultNumber, out);
    return hexOfBytes(out, 5);
}

std::string coordinateHex(const char* json)
{
    uint8_t out[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    encodeCoordinate(parseJson(std::string("{\"v\": ") + json + "}"), "v", out);
    return hexOfBytes(out, 5);
}

std::string decodedSource(const char* hex)
{
    Json::Value node;
    decodeSourceOrValue(bytesOfHex(hex).data(), node, "v");
    return compact(node);
}

} // namespace

TEST_F(NodeConversionFramework, RegistryFollowsTheBoardTableOrder)
{
    // Every registered converter appears in the table, in table order (types may still be missing).
    size_t position = 0;
    for (const auto& conversion : registry.conversions()) {
        while (position < std::size(boardNodeTable) &&
               !(conversion->name == boardNodeTable[position].name &&
                 conversion->nodeType == boardNodeTable[position].nodeType &&
                 conversion->messageType == boardNodeTable[position].messageType))
            ++position;
        ASSERT_LT(position, std::size(boardNodeTable)) << conversion->name << " out of order or unknown";
        ++position;
    }
}

TEST_F(NodeConversionFramework, LookupsReturnTheFirstMatch)
{
    EXPECT_EQ(registry.findNodeConversion("mapping", 0, 0)->nodeType, 36);
    EXPECT_EQ(registry.findNodeConversion("", 0, 63)->nodeType, 37);
    EXPECT_EQ(registry.findNodeConversion("", 19, 0)->name, "clamp");
    EXPECT_EQ(registry.findNodeConversion("clamp", 0, 0)->messageType, MT_NODE_CLAMP);
    // Numbers are compared as unsigned 16-bit values.
    EXPECT_EQ(registry.findNodeConversion("", 19 + 65536, 0)->name, "clamp");
    EXPECT_EQ(registry.findNodeConversion("", 0, MT_NODE_CONSTANT - 65536)->name, "constant");
    // Any criterion matches; the first converter in order wins.
    EXPECT_EQ(registry.findNodeConversion("delta", 0, MT_NODE_CONSTANT)->name, "constant");
    EXPECT_EQ(registry.findNodeConversion("", 0, 0), nullptr);
    EXPECT_EQ(registry.findNodeConversion("Clamp", 0, MT_MAX), nullptr);
}

TEST_F(NodeConversionFramework, JsNames)
{
    EXPECT_EQ(registry.jsNameForNodeType(19), "clamp");
    EXPECT_EQ(registry.jsNameForNodeType(37), "mapping");
    EXPECT_EQ(registry.jsNameForNodeType(99), "Don't know JS name for node type: 99");
    EXPECT_EQ(registry.jsNameForNodeType(-1), "Don't know JS name for node type: -1");
    registry.clearNodeConversions();
    EXPECT_TRUE(registry.conversions().empty());
    EXPECT_EQ(registry.jsNameForNodeType(19), "Don't know JS name for node type: 19");
    EXPECT_EQ(registry.findNodeConversion("clamp", 19, MT_NODE_CLAMP), nullptr);
}

TEST_F(NodeConversionFramework, FieldTablesFillTheirRecordsWithoutOverlap)
{
    for (const auto& conversion : registry.conversions()) {
        const auto* table = dynamic_cast<const TableNodeConversion*>(conversion.get());
        if (table == nullptr)
            continue;
        SCOPED_TRACE(conversion->name);
        const int recordBytes = getPayloadSizeFromMessageType(static_cast<uint16_t>(conversion->messageType)) + 4;
        std::vector<int> owner(SerialMessage::size, -1);
        int end = NodeRecordHeader::size;
        int rowIndex = 0;
        for (const FieldSpec& row : table->fields) {
            EXPECT_GE(row.offset, NodeRecordHeader::size) << row.label;
            const int width = field::width(row.kind);
            for (int i = row.offset; i < row.offset + width && i < static_cast<int>(SerialMessage::size); ++i) {
                EXPECT_EQ(owner[i], -1) << row.label << " overlaps at offset " << i;
                owner[i] = rowIndex;
            }
            end = std::max(end, row.offset + width);
            ++rowIndex;
        }
        EXPECT_EQ(end, recordBytes);
    }
}

TEST(PropertyReaders, IntegersOnlyWithinInt32)
{
    struct Case {
        const char* object;
        int32_t expected;
    } cases[] = {
        {R"({"k": 7})", 7},
        {R"({"k": true})", 1},
        {R"({"k": false})", 0},
        {R"({"k": -2147483648})", std::numeric_limits<int32_t>::min()},
        {R"({"k": 2147483647})", 2147483647},
        {R"({"k": 2.0})", -9},
        {R"({"k": "7"})", -9},
        {R"({"k": null})", -9},
        {R"({"k": [7]})", -9},
        {R"({"k": {"k": 7}})", -9},
        {R"({"k": 2147483648})", -9},
        {R"({"k": -2147483649})", -9},
        {R"({"k": 18446744073709551615})", -9},
        {R"({"other": 7})", -9},
        {R"([7])", -9},
        {R"(7)", -9},
        {R"(null)", -9},
    };
    for (const Case& c : cases)
        EXPECT_EQ(getIntProperty(parseJson(c.object), "k", -9), c.expected) << c.object;
}

TEST(PropertyReaders, FloatsStringsAndUnsigned)
{
    EXPECT_EQ(getFloatProperty(parseJson(R"({"k": true})"), "k", 5.0), 1.0);
    EXPECT_EQ(getFloatProperty(parseJson(R"({"k": 2})"), "k", 5.0), 2.0);
    EXPECT_EQ(getFloatProperty(parseJson(R"({"k": -2.5e300})"), "k", 5.0), -2.5e300);
    EXPECT_EQ(getFloatProperty(parseJson(R"({"k": 18446744073709551615})"), "k", 5.0), 18446744073709551615.0);
    EXPECT_EQ(getFloatProperty(parseJson(R"({"k": "2"})"), "k", 5.0), 5.0);
    EXPECT_EQ(getFloatProperty(parseJson(R"({"k": null})"), "k", 5.0), 5.0);
    EXPECT_EQ(getFloatProperty(parseJson(R"({"k": [1]})"), "k", 5.0), 5.0);
    EXPECT_EQ(getFloatProperty(parseJson(R"([1])"), "k", 5.0), 5.0);

    EXPECT_EQ(getStringProperty(parseJson(R"({"k": "x"})"), "k", "d"), "x");
    EXPECT_EQ(getStringProperty(parseJson(R"({"k": 5})"), "k", "d"), "d");
    EXPECT_EQ(getStringProperty(parseJson(R"({"k": true})"), "k", "d"), "d");
    EXPECT_EQ(getStringProperty(parseJson(R"("k")"), "k", "d"), "d");

    // Integers up to 2147483647 give the default, whichever reader parsed them.
    EXPECT_EQ(getUnsignedProperty(parseJson(R"({"k": 1000})"), "k", 3), 3u);
    Json::Reader oldReader;
    Json::Value parsedByOldReader;
    ASSERT_TRUE(oldReader.parse(R"({"small": 1000, "large": 5000000000})", parsedByOldReader));
    EXPECT_EQ(getUnsignedProperty(parsedByOldReader, "small", 3), 3u);
    EXPECT_EQ(getUnsignedProperty(parsedByOldReader, "large", 3), 5000000000u);
    Json::Value unsignedKind(Json::objectValue);
    unsignedKind["k"] = Json::UInt64(7);
    EXPECT_EQ(getUnsignedProperty(unsignedKind, "k", 3), 7u);
    EXPECT_EQ(getUnsignedProperty(parseJson(R"({"k": 2147483647})"), "k", 3), 3u);
    EXPECT_EQ(getUnsignedProperty(parseJson(R"({"k": 2147483648})"), "k", 3), 2147483648u);
    EXPECT_EQ(getUnsignedProperty(parseJson(R"({"k": 18446744073709551615})"), "k", 3), 18446744073709551615u);
    EXPECT_EQ(getUnsignedProperty(parseJson(R"({"k": -1})"), "k", 3), 3u);
    EXPECT_EQ(getUnsignedProperty(parseJson(R"({"k": 5e9})"), "k", 3), 3u);
    EXPECT_EQ(getUnsignedProperty(parseJson(R"({"k": "5000000000"})"), "k", 3), 3u);
}

TEST(SourceOrValue, EncodingOfEditorValues)
{
    struct Case {
        const char* json;
        const char* hex;
    } cases[] = {
        {R"("#12")", "01 0C000000"},
        {R"("#FF8000")", "02 FF800000"},
        {R"("#ff8000")", "02 FF800000"},
        {R"("#12345")", "01 39300000"},
        {R"("#1234567")", "01 87D61200"},
        {R"("# 42")", "01 2A000000"},
        {R"("#-7x")", "01 F9FFFFFF"},
        {R"("#")", "01 00000000"},
        {R"("#x")", "01 00000000"},
        {R"("#99999999999")", "01 FFFFFF7F"},
        {R"("#-99999999999")", "01 00000080"},
        {R"("2.5")", "00 00002040"},
        {R"("  -1.5e1xyz")", "00 000070C1"},
        {R"("1.5x3")", "00 0000C03F"},
        {R"("1.5E3")", "00 0080BB44"},
        {R"(".5")", "00 0000003F"},
        {R"("5.")", "00 0000A040"},
        {R"("1e")", "00 0000803F"},
        {R"("1e+")", "00 0000803F"},
        {R"("abc")", "00 00000000"},
        {R"("inf")", "00 00000000"},
        {R"("nan")", "00 00000000"},
        {R"("0x10")", "00 00000000"},
        {R"("1e400")", "00 0000807F"},
        {R"("-1e400")", "00 000080FF"},
        {R"("1e-400")", "00 00000000"},
        {R"("0.000000000000000000000000000000000000000000000000001e-400")", "00 00000000"},
        {R"("1e99999999999999999999")", "00 0000807F"},
        {R"(2.5)", "00 00002040"},
        {R"(-3)", "00 000040C0"},
        {R"(true)", "00 0000803F"},
        {R"(false)", "00 00000000"},
        {R"(null)", "00 00000000"},
        {R"(1e300)", "00 0000807F"},
        {R"(3.4028235e38)", "00 FFFF7F7F"},
        {R"(-3.4028235677973366e38)", "00 000080FF"},
        {R"(18446744073709551615)", "00 0000805F"},
        {R"([1, 2])", "00 0000E040"},
        {R"({"a": 1})", "00 0000E040"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sourceHex(c.json, 7.0), normalizedHex(c.hex)) << c.json;

    EXPECT_EQ(sourceHex("1", 7.0), normalizedHex("00 0000803F"));
    uint8_t absent[5];
    encodeSourceOrValue(Json::Value(Json::objectValue), "v", 1.0, absent);
    EXPECT_EQ(hexOfBytes(absent, 5), normalizedHex("00 0000803F"));
    encodeSourceOrValue(Json::Value(), "v", 2.0, absent);
    EXPECT_EQ(hexOfBytes(absent, 5), normalizedHex("00 00000040"));
}

TEST(SourceOrValue, EmptyTextIsLoggedAndGivesZero)
{
    LogCapture capture;
    EXPECT_EQ(sourceHex(R"("")", 7.0), normalizedHex("00 00000000"));
    const std::vector<std::string> lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("[ERROR  ]: Could not fill source or value with ref string "), std::string::npos);
}

TEST(SourceOrValue, Coordinates)
{
    struct Case {
        const char* json;
        const char* hex;
    } cases[] = {
        {"51.5", "03 C046B21E"},        {"-0.00000019", "03 FFFFFFFF"}, {"true", "03 80969800"},
        {"214.7483647", "03 FFFFFF7F"}, {"1000", "03 FFFFFF7F"},        {"-1000", "03 00000080"},
        {"1e300", "03 FFFFFF7F"},       {R"("#3")", "03 00000000"},     {R"("51.5")", "03 00000000"},
        {"null", "03 00000000"},        {"[51.5]", "03 00000000"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(coordinateHex(c.json), normalizedHex(c.hex)) << c.json;
}

TEST(SourceOrValue, Decoding)
{
    EXPECT_EQ(decodedSource("02 FF800000"), R"({"properties":{"v":"#FF8000"}})");
    EXPECT_EQ(decodedSource("02 FF8000AB"), R"({"properties":{"v":"#FF8000"}})");
    EXPECT_EQ(decodedSource("03 C046B21E"), R"({"properties":{"v":51.50}})");
    EXPECT_EQ(decodedSource("03 00000080"), R"({"properties":{"v":-214.74836480}})");
    EXPECT_EQ(decodedSource("01 FDFFFFFF"), R"({"properties":{"v":"#-3"}})");
    EXPECT_EQ(decodedSource("01 00000080"), R"({"properties":{"v":"#-2147483648"}})");
    EXPECT_EQ(decodedSource("00 00002040"), R"({"properties":{"v":2.5}})");
    EXPECT_EQ(decodedSource("04 00002040"), R"({"properties":{"v":2.5}})");
    EXPECT_EQ(decodedSource("FF 0000C07F"), R"({"properties":{"v":null}})");

    // f32 payloads are widened, not re-rounded.
    Json::Value node;
    decodeSourceOrValue(bytesOfHex("00 CDCCCC3D").data(), node, "v");
    EXPECT_EQ(node["properties"]["v"].asDouble(), static_cast<double>(0.1f));
}

TEST(ColorText, ParseAndFormat)
{
    EXPECT_EQ(parseColorText("#0a0B0c"), 0x000C0B0Au);
    EXPECT_EQ(parseColorText("X123456"), 0x00563412u);
    EXPECT_EQ(parseColorText("#1G2H3I"), 0x00030201u);
    EXPECT_EQ(parseColorText("#G1zz 9"), 0u);
    EXPECT_EQ(parseColorText("#abc"), 0u);
    EXPECT_EQ(parseColorText("#1234567"), 0u);
    EXPECT_EQ(parseColorText(""), 0u);
    EXPECT_EQ(parseColorText(std::string("#\0FF\0FF", 7)), 0x00FF0F00u);

    EXPECT_EQ(formatColorText(255, 128, 0, true), "#FF8000");
    EXPECT_EQ(formatColorText(0x1FF, 0x100, 0x2AB, false), "FF00AB");
    EXPECT_EQ(formatColorText(static_cast<uint32_t>(-1), 0, 1, false), "FF0001");
    EXPECT_EQ(formatColorText(0x00C0B0A0u, true), "#A0B0C0");
    EXPECT_EQ(formatColorText(0xFF0000FFu, false), "FF0000");
}

TEST(NumberConversion, F32RoundingAndInt32Truncation)
{
    EXPECT_EQ(toF32(FLT_MAX), FLT_MAX);
    EXPECT_EQ(toF32(0x1.fffffefffffffp127), FLT_MAX);
    EXPECT_EQ(toF32(0x1.ffffffp127), std::numeric_limits<float>::infinity());
    EXPECT_EQ(toF32(-1e39), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(toF32(0.1), 0.1f);
    EXPECT_TRUE(std::isnan(toF32(std::nan(""))));

    EXPECT_EQ(truncateToInt32(-2.9), -2);
    EXPECT_EQ(truncateToInt32(2147483647.9), 2147483647);
    EXPECT_EQ(truncateToInt32(-2147483648.9), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(truncateToInt32(std::nan("")), 0);
    EXPECT_EQ(truncateToInt32(-INFINITY), std::numeric_limits<int32_t>::min());
}

TEST(FieldReader, TakeCountsOnlyWhatFits)
{
    FieldReader reader(6);
    EXPECT_TRUE(reader.take(5));
    EXPECT_FALSE(reader.take(2));
    EXPECT_EQ(reader.remaining, 1);
    EXPECT_EQ(reader.found, 1);
    EXPECT_TRUE(reader.take(1));
    EXPECT_TRUE(reader.take(0));
    EXPECT_EQ(reader.found, 3);

    FieldReader negative(-3);
    EXPECT_FALSE(negative.take(0));
    EXPECT_EQ(negative.found, 0);
}

TEST(NodeRecordHeader, WrittenAndDecoded)
{
    SerialMessage record;
    NodeRecordHeader header;
    header.id = 65535;
    header.x = -32768;
    header.y = 32767;
    header.writeTo(record);
    EXPECT_EQ(hexOfBytes(record.bytes, 12), "00000000"
                                            "00"
                                            "FFFF"
                                            "0080"
                                            "FF7F"
                                            "00");
    Json::Value node;
    writeNodeHeaderJson(record.bytes, node);
    EXPECT_EQ(compact(node), R"({"id":65535,"pos":{"x":-32768,"y":32767}})");
}

// A probe type that uses every kind and condition of the generic layer.
namespace {

void writeProbeSum(const uint8_t* record, Json::Value& node) { node["properties"]["sum"] = record[11] + record[12]; }

const FieldSpec probeFields[] = {
    {"u8", 11, field::U8, 5, field::unlessEqual(5), "u8"},
    {"u16", 12, field::U16, 0, field::always, "u16", writeProbeSum},
    {"u32", 14, field::U32, 0, field::always, "u32"},
    {"i32", 18, field::I32, -1, field::always, "i32"},
    {"f32", 22, field::F32, 0.5, field::ifLessThan(0.5), "f32"},
    {"src", 26, field::Source, 1, field::ifAtLeast(0.5), "src"},
    {"geo", 31, field::Coordinate, 0, field::unlessEqual(0), "geo"},
    {"u64", 36, field::U64, 0, field::always, "u64"},
    {"hidden", 44, field::U8, 3, field::takenOnly, "hidden"},
};

class ProbeConversion : public TableNodeConversion {
public:
    ProbeConversion() : TableNodeConversion("probe", 99, 999, "node_probe", probeFields) {}
};

} // namespace

TEST(FieldTable, GenericEncoderAndDecoder)
{
    const ProbeConversion probe;
    const SerialMessage defaults = encodeNode(probe, Json::Value());
    EXPECT_EQ(defaults.type(), 999);
    EXPECT_EQ(hexOfBytes(defaults.bytes + 11, 34),
              normalizedHex("05 0000 00000000 FFFFFFFF 0000003F 00 0000803F 03 00000000 0000000000000000 03"));
    EXPECT_EQ(compact(decodeNode(probe, defaults, 45)),
              nodeText("probe", R"({"i32":-1,"src":1,"sum":5,"u16":0,"u32":0,"u64":0})"));

    const SerialMessage full =
        encodeNode(probe, parseJson(R"({"u8": 260, "u16": -1, "u32": -1, "i32": -2, "f32": 0.25, "src": "#7", "geo": 1,
                             "u64": 9223372036854775808, "hidden": 9})"));
    EXPECT_EQ(hexOfBytes(full.bytes + 11, 34),
              normalizedHex("04 FFFF FFFFFFFF FEFFFFFF 0000803E 01 07000000 03 80969800 0000000000000080 09"));
    EXPECT_EQ(compact(decodeNode(probe, full, 45)),
              nodeText("probe", R"({"f32":0.25,"geo":1,"i32":-2,"sum":259,"u16":65535,"u32":4294967295,)"
                                R"("u64":9223372036854775808,"u8":4})"));
}

TEST(FieldTable, ConditionsOnNaN)
{
    const ProbeConversion probe;
    SerialMessage record = encodeNode(probe, parseJson(R"({"f32": 0.25, "src": 1, "geo": 1})"));
    writeF32(record.bytes + 22, NAN); // f32: "less than" fails
    writeF32(record.bytes + 27, NAN); // src: "at least" fails
    writeF32(record.bytes + 32, NAN); // geo payload as f32: "not equal" passes
    const Json::Value properties = decodeNode(probe, record, 45)["properties"];
    EXPECT_FALSE(properties.isMember("f32"));
    EXPECT_FALSE(properties.isMember("src"));
    EXPECT_TRUE(properties.isMember("geo"));
}

TEST(FieldTable, DecodingReadsOnlyWhatTheRecordHolds)
{
    const ProbeConversion probe;
    SerialMessage record = encodeNode(probe, parseJson(R"({"u8": 1, "u16": 2})"));
    record.setLength(45);
    struct Case {
        size_t available; // bytes handed to the decoder
        const char* expected;
    } cases[] = {
        {13,
         R"({"id":258,"missingPropertiesFoundOnly":1,"pos":{"x":-5,"y":300},"properties":{"u8":1},"type":"probe"})"},
        {4, R"({"id":0,"missingPropertiesFoundOnly":0,"pos":{"x":0,"y":0},"type":"probe"})"},
        {0, R"({"id":0,"missingPropertiesFoundOnly":0,"pos":{"x":0,"y":0},"type":"probe"})"},
    };
    for (const Case& c : cases) {
        // An exact-size heap copy, so that a read past the bytes handed over is caught by the address sanitizer.
        std::vector<uint8_t> bytes(record.bytes, record.bytes + c.available);
        LogCapture capture;
        Json::Value node("not an object");
        probe.decodeToJson(node, bytes.data(), bytes.size());
        EXPECT_EQ(compact(node), c.expected) << c.available;
    }
    Json::Value node(Json::arrayValue);
    probe.decodeToJson(node, nullptr, 0);
    EXPECT_EQ(node["missingPropertiesFoundOnly"].asInt(), 0);
}

TEST(FieldTable, LengthFieldBeyondAFullRecordIsLimitedToIt)
{
    NodeConversionRegistry registry;
    registry.registerNodeConversions();
    const NodeConversion* mapping = registry.findNodeConversion("", 0, MT_NODE_MAPPING_BIDIRECTIONAL);
    std::vector<uint8_t> bytes(300, 0);
    writeU16(bytes.data() + 2, 0xFFFF);
    Json::Value node;
    mapping->decodeToJson(node, bytes.data(), bytes.size());
    EXPECT_FALSE(node.isMember("missingPropertiesFoundOnly"));

    // One byte short of a full bidirectional record.
    LogCapture capture;
    mapping->decodeToJson(node, bytes.data(), 153);
    EXPECT_EQ(node["missingPropertiesFoundOnly"].asInt(), 6);
}
