#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "conversion/feature_conversion.h"
#include "device/message_type.h"
#include "test_node_conversion_support.h"

using namespace conversion_test;

namespace {

class FeatureConversions : public ::testing::Test {
protected:
    void SetUp() override { registry.registerFeatureConversions(); }

    const FeatureConversion& byName(const std::string& name) const
    {
        const FeatureConversion* found = registry.findFeatureConversion(name, 0);
        EXPECT_NE(found, nullptr) << name;
        return *found;
    }

    SerialMessage encode(const char* featureJson) const
    {
        const Json::Value feature = parseJson(featureJson);
        SerialMessage record;
        byName(feature["feature"].asString()).encodeFromJson(feature, record);
        return record;
    }

    // Decodes record as the board would send it, with the given length field.
    std::string decode(SerialMessage record, int length) const
    {
        record.setLength(static_cast<uint16_t>(length));
        const FeatureConversion* conversion = registry.findFeatureConversion("", record.type());
        EXPECT_NE(conversion, nullptr);
        Json::Value out;
        conversion->decodeToJson(out, record.bytes, sizeof record.bytes);
        return compact(out);
    }

    FeatureConversionRegistry registry;
};

struct FeatureCase {
    const char* name;
    int messageType;
    const char* feature; // every member given
    const char* payload; // hex of the encoded payload
    const char* defaults; // hex of the payload encoded from {"feature": name}
    const char* decoded; // compact text decoded from the full record
    const char* decodedDefaults;
};

const FeatureCase featureCases[] = {
    {"display", MT_CONFIG_DISPLAY_OUTPUT, R"({"feature": "display", "driver": 3})", "03", "00",
     R"({"driver":3,"feature":"display"})", R"({"driver":0,"feature":"display"})"},
    {"dutypwm", MT_CONFIG_DUTY_PWM_OUTPUT, R"({"feature": "dutypwm", "frequency": 200})", "C8", "00",
     R"({"feature":"dutypwm","frequency":200})", R"({"feature":"dutypwm","frequency":0})"},
    {"rgbled", MT_CONFIG_RGBLED, R"({"feature": "rgbled", "maxindex": 300})", "2C", "00",
     R"({"feature":"rgbled","maxindex":44})", R"({"feature":"rgbled","maxindex":0})"},
    {"gps", MT_CONFIG_GPS_INPUT, R"({"feature": "gps", "doinit": 1, "initdelay": 2, "saveconfig": 3})", "010203",
     "000000", R"({"doinit":1,"feature":"gps","initdelay":2,"saveconfig":3})",
     R"({"doinit":0,"feature":"gps","initdelay":0,"saveconfig":0})"},
    {"ppminput", MT_CONFIG_PPM_INPUT, R"({"feature": "ppminput", "pin": 5})", "05", "00",
     R"({"feature":"ppminput","pin":5})", R"({"feature":"ppminput","pin":0})"},
    {"ppmoutput", MT_CONFIG_PPM_OUTPUT, R"({"feature": "ppmoutput", "pin": -1})", "FF", "00",
     R"({"feature":"ppmoutput","pin":255})", R"({"feature":"ppmoutput","pin":0})"},
    {"uartlog", MT_CONFIG_UARTLOG_OUTPUT, R"({"feature": "uartlog", "type": 1, "baud": 2, "frequency": 10})", "01020A",
     "000005", R"({"baud":2,"feature":"uartlog","frequency":10,"type":1})",
     R"({"baud":0,"feature":"uartlog","frequency":5,"type":0})"},
    {"uartport", MT_CONFIG_UART_PORT, R"({"feature": "uartport", "port": 1, "role": 2})", "0102", "0000",
     R"({"feature":"uartport","port":1,"role":2})", R"({"feature":"uartport","port":0,"role":0})"},
    {"nrf24", MT_CONFIG_NRF24,
     R"({"feature": "nrf24", "role": 1, "format": [{"type": "f"}, {"type": "b"}, {"type": "b"}],
         "bindid": 5000000000, "frequency": 76})",
     "01 31000000 06 00F2052A01000000 4C", "00 00000000 00 0000000000000000 00",
     R"({"bindid":5000000000,"feature":"nrf24","format":[{"type":"f"},{"type":"b"},{"type":"b"}],"frequency":76,)"
     R"("role":1})",
     R"({"bindid":0,"feature":"nrf24","format":[],"frequency":0,"role":0})"},
    {"mag", MT_CONFIG_MAG_INPUT,
     R"({"feature": "mag", "runcalib": 1, "tiltcompimu": 2, "tiltcompx": 3, "tiltcompy": 4, "tiltcompz": 5})",
     "0102030405", "0000000000",
     R"({"feature":"mag","runcalib":1,"tiltcompimu":2,"tiltcompx":3,"tiltcompy":4,"tiltcompz":5})",
     R"({"feature":"mag","runcalib":0,"tiltcompimu":0,"tiltcompx":0,"tiltcompy":0,"tiltcompz":0})"},
};

} // namespace

TEST_F(FeatureConversions, RegistryOrderAndLookups)
{
    std::vector<std::string> names;
    for (const auto& conversion : registry.conversions())
        names.push_back(conversion->name);
    EXPECT_EQ(names, (std::vector<std::string>{"display", "dutypwm", "rgbled", "gps", "ppminput", "ppmoutput",
                                               "uartlog", "uartport", "nrf24", "mag"}));
    EXPECT_EQ(registry.findFeatureConversion("", MT_CONFIG_PPM_OUTPUT)->name, "ppmoutput");
    EXPECT_EQ(registry.findFeatureConversion("display", MT_CONFIG_MAG_INPUT)->name, "display");
    EXPECT_EQ(registry.findFeatureConversion("", 0), nullptr);
    EXPECT_EQ(registry.findFeatureConversion("Display", MT_NODE_CLAMP), nullptr);
    registry.clearFeatureConversions();
    EXPECT_EQ(registry.findFeatureConversion("display", 0), nullptr);
}

TEST_F(FeatureConversions, RecordsAndDecodedObjects)
{
    for (const FeatureCase& c : featureCases) {
        SCOPED_TRACE(c.name);
        const FeatureConversion& conversion = byName(c.name);
        EXPECT_EQ(conversion.messageType, c.messageType);
        const int payloadBytes = getPayloadSizeFromMessageType(static_cast<uint16_t>(c.messageType));
        if (const auto* table = dynamic_cast<const TableFeatureConversion*>(&conversion)) {
            int end = 4;
            for (const FieldSpec& row : table->fields)
                end = std::max(end, row.offset + field::width(row.kind));
            EXPECT_EQ(end, payloadBytes + 4) << "table does not fill the record";
        }

        const SerialMessage full = encode(c.feature);
        EXPECT_EQ(full.type(), c.messageType);
        EXPECT_EQ(hexOfBytes(full.bytes + 2, payloadBytes + 2), "0000" + normalizedHex(c.payload));
        EXPECT_EQ(hexOfBytes(full.bytes + 4 + payloadBytes, SerialMessage::size - 4 - payloadBytes),
                  zeroHex(SerialMessage::size - 4 - payloadBytes));
        EXPECT_EQ(decode(full, payloadBytes + 4), c.decoded);

        const SerialMessage defaults = encode((std::string(R"({"feature": ")") + c.name + "\"}").c_str());
        EXPECT_EQ(hexOfBytes(defaults.bytes, payloadBytes + 4),
                  hexOfBytes(full.bytes, 2) + "0000" + normalizedHex(c.defaults));
        EXPECT_EQ(decode(defaults, payloadBytes + 4), c.decodedDefaults);

        for (const Json::Value& notAnObject : {Json::Value(), Json::Value(Json::arrayValue), Json::Value("x")}) {
            SerialMessage record;
            conversion.encodeFromJson(notAnObject, record);
            EXPECT_EQ(hexOfBytes(record.bytes, payloadBytes + 4), hexOfBytes(defaults.bytes, payloadBytes + 4));
        }

        LogCapture capture;
        EXPECT_EQ(decode(full, 4), std::string(R"({"feature":")") + c.name + R"(","missingPropertiesFoundOnly":0})");
        EXPECT_TRUE(capture.contains("Missing fields in message: config_"));
    }
}

TEST_F(FeatureConversions, MembersOfTheWrongKindTakeTheirDefault)
{
    struct Case {
        const char* feature;
        const char* payload;
    } cases[] = {
        {R"({"feature": "uartlog", "type": 1})", "010005"},
        {R"({"feature": "uartlog", "type": true, "baud": 2.0, "frequency": "7"})", "010005"},
        {R"({"feature": "uartlog", "type": [1], "baud": {"b": 1}, "frequency": null})", "000005"},
        {R"({"feature": "uartlog", "type": 4294967297, "baud": -2147483649, "frequency": 300})", "00002C"},
        {R"({"feature": "rgbled", "maxindex": 2.5})", "00"},
        {R"({"feature": "rgbled", "maxindex": -1})", "FF"},
    };
    for (const Case& c : cases) {
        const SerialMessage record = encode(c.feature);
        const int payloadBytes = getPayloadSizeFromMessageType(record.type());
        EXPECT_EQ(hexOfBytes(record.bytes + 4, payloadBytes), normalizedHex(c.payload)) << c.feature;
    }
}

TEST_F(FeatureConversions, ShortRecordsReportTheFirstMissingField)
{
    struct Case {
        const char* feature;
        int length;
        const char* decoded;
        const char* warning;
    } cases[] = {
        {R"({"feature": "display", "driver": 3})", 4, R"({"feature":"display","missingPropertiesFoundOnly":0})",
         "config_display_output.type"},
        {R"({"feature": "uartlog", "type": 1, "baud": 2})", 6,
         R"({"baud":2,"feature":"uartlog","missingPropertiesFoundOnly":2,"type":1})", "config_uartlog_output.freq"},
        {R"({"feature": "mag", "runcalib": 1})", 7,
         R"({"feature":"mag","missingPropertiesFoundOnly":3,"runcalib":1,"tiltcompimu":0,"tiltcompx":0})",
         "config_mag_input.tiltcompY"},
        {R"({"feature": "nrf24", "role": 1, "bindid": 5000000000, "format": []})", 13,
         R"({"bindid":5000000000,"feature":"nrf24","missingPropertiesFoundOnly":2,"role":1})",
         "config_nrf24.frequency"},
        {R"({"feature": "nrf24", "role": 1, "format": []})", 12,
         R"({"feature":"nrf24","missingPropertiesFoundOnly":1,"role":1})", "config_nrf24.bindId"},
        {R"({"feature": "nrf24", "frequency": 9, "format": []})", 17,
         R"({"bindid":0,"feature":"nrf24","frequency":9,"missingPropertiesFoundOnly":3,"role":0})",
         "config_nrf24.format"},
        {R"({"feature": "nrf24", "frequency": 9, "format": [{"type": "b"}]})", 18,
         R"({"bindid":0,"feature":"nrf24","frequency":9,"missingPropertiesFoundOnly":4,"role":0})",
         "config_nrf24.numBytes"},
        {R"({"feature": "gps"})", 0, R"({"feature":"gps","missingPropertiesFoundOnly":0})", "config_gps_input.doinit"},
    };
    for (const Case& c : cases) {
        LogCapture capture;
        EXPECT_EQ(decode(encode(c.feature), c.length), c.decoded) << c.feature;
        EXPECT_TRUE(capture.contains(std::string("Missing fields in message: ") + c.warning)) << c.warning;
    }
}

TEST_F(FeatureConversions, Nrf24FormatEncoding)
{
    std::string seventyFloats;
    for (int i = 0; i < 70; ++i)
        seventyFloats += std::string(i ? "," : "") + R"({"type": "f"})";
    struct Case {
        std::string feature;
        const char* payload;
    } cases[] = {
        {R"({"feature": "nrf24", "format": [{"type": "x"}, {"type": "b"}]})", "00 01000000 01 0000000000000000 FF"},
        {R"({"feature": "nrf24", "format": [{"type": "b"}, {"type": "f"}, {"type": "b"}]})",
         "00 23000000 06 0000000000000000 FF"},
        // Elements without a text "type" change nothing.
        {R"({"feature": "nrf24", "format": [5, null, "f", [], {"kind": "f"}, {"type": 4}, {"type": true},
                                              {"type": ["f"]}, {"type": {"f": 1}}, {"type": "F"}, {"type": "b"}]})",
         "00 01000000 01 0000000000000000 FF"},
        {R"({"feature": "nrf24", "format": null, "role": 2, "bindid": 2147483648, "frequency": 7})",
         "02 00000000 00 0000008000000000 07"},
        {R"({"feature": "nrf24", "role": 2, "bindid": 5000000000, "frequency": 7})",
         "00 00000000 00 0000000000000000 00"},
        {R"({"feature": "nrf24", "format": "ff", "role": 2})", "00 00000000 00 0000000000000000 00"},
        {R"({"feature": "nrf24", "format": {"0": {"type": "f"}}, "role": 2})", "00 00000000 00 0000000000000000 00"},
        {R"({"feature": "nrf24", "format": [], "bindid": 1000})", "00 00000000 00 0000000000000000 FF"},
        {R"({"feature": "nrf24", "format": [], "bindid": -5000000000})", "00 00000000 00 0000000000000000 FF"},
        {R"({"feature": "nrf24", "format": [], "bindid": 18446744073709551615})", "00 00000000 00 FFFFFFFFFFFFFFFF FF"},
        // Positions past 32 wrap into the mask, and the byte count wraps at 256 (70 x 4 = 280).
        {R"({"feature": "nrf24", "format": [)" + seventyFloats + "]}", "00 11111111 18 0000000000000000 FF"},
    };
    for (const Case& c : cases) {
        const SerialMessage record = encode(c.feature.c_str());
        EXPECT_EQ(record.type(), MT_CONFIG_NRF24);
        EXPECT_EQ(hexOfBytes(record.bytes + 4, 15), normalizedHex(c.payload)) << c.feature;
    }
}

TEST_F(FeatureConversions, Nrf24FormatDecoding)
{
    auto formatOf = [this](uint32_t mask, uint8_t count) {
        SerialMessage record;
        record.setType(MT_CONFIG_NRF24);
        writeU32(record.bytes + 5, mask);
        record.bytes[9] = count;
        return compact(parseJson(decode(record, 19))["format"]);
    };
    EXPECT_EQ(formatOf(0x5, 4), R"([{"type":"b"},{"type":"b"}])");
    EXPECT_EQ(formatOf(0x31, 6), R"([{"type":"f"},{"type":"b"},{"type":"b"}])");
    EXPECT_EQ(formatOf(0x31, 0), "[]");
    EXPECT_EQ(formatOf(0, 6), "[]");
    EXPECT_EQ(formatOf(0x2, 5), R"([{"type":"f"}])");
    EXPECT_EQ(formatOf(0x1, 40), R"([{"type":"b"},{"type":"b"}])");

    // 35 starts: only the first 32 are used, the last of them running to the byte count.
    const Json::Value many = parseJson(formatOf(0xFFFFFFFF, 35));
    ASSERT_EQ(many.size(), 32u);
    EXPECT_EQ(many[0]["type"].asString(), "b");
    EXPECT_EQ(many[30]["type"].asString(), "b");
    EXPECT_EQ(many[31]["type"].asString(), "f");
    EXPECT_EQ(parseJson(formatOf(0xFFFFFFFF, 255)).size(), 32u);
}
