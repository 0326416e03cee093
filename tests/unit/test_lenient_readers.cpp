#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "json/lenient_readers.h"

namespace {

// {"m": value} parsed by the library's reader, so numbers get the kinds the relay sees.
Json::Value objectWith(const std::string& valueText)
{
    const std::string text = "{\"m\":" + valueText + "}";
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << text << errors;
    return value;
}

constexpr int32_t intDefault = -77;
constexpr uint32_t unsignedDefault = 77;
constexpr float floatDefault = -7.5f;

struct ConversionCase {
    const char* value;
    const char* text;
    bool boolean;
    int32_t integer;
    uint32_t unsignedInteger;
    float real;
};

TEST(LenientJsonTest, MemberConversions)
{
    const float big = 3000000000.0f;
    const std::vector<ConversionCase> cases = {
        // value           text      bool   int          unsigned         float
        {"\"abc\"", "abc", true, intDefault, unsignedDefault, floatDefault},
        {"\"\"", "", false, intDefault, unsignedDefault, floatDefault},
        {"\"12\"", "12", true, intDefault, unsignedDefault, floatDefault},
        {"true", "true", true, 1, 1, 1.0f},
        {"false", "false", false, 0, 0, 0.0f},
        {"null", "", false, 0, 0, 0.0f},
        {"0", "default", false, 0, 0, 0.0f},
        {"7", "default", true, 7, 7, 7.0f},
        {"-7", "default", true, -7, unsignedDefault, -7.0f},
        {"2.9", "default", true, 2, 2, 2.9f},
        {"-2.9", "default", true, -2, unsignedDefault, -2.9f},
        {"-0.5", "default", true, 0, unsignedDefault, -0.5f},
        {"0.0", "default", false, 0, 0, 0.0f},
        {"3000000000", "default", true, intDefault, 3000000000u, big},
        {"4294967295", "default", true, intDefault, 4294967295u, 4294967295.0f},
        {"4294967296", "default", true, intDefault, unsignedDefault, 4294967296.0f},
        {"18446744073709551615", "default", true, intDefault, unsignedDefault, 18446744073709551615.0f},
        {"-2147483648", "default", true, std::numeric_limits<int32_t>::min(), unsignedDefault, -2147483648.0f},
        {"2147483647.5", "default", true, intDefault, 2147483647u, 2147483647.5f},
        {"-2147483648.5", "default", true, intDefault, unsignedDefault, -2147483648.5f},
        {"[]", "default", false, intDefault, unsignedDefault, floatDefault},
        {"[0]", "default", true, intDefault, unsignedDefault, floatDefault},
        {"{}", "default", false, intDefault, unsignedDefault, floatDefault},
        {"{\"a\":1}", "default", true, intDefault, unsignedDefault, floatDefault},
    };
    for (const ConversionCase& c : cases) {
        SCOPED_TRACE(c.value);
        const Json::Value object = objectWith(c.value);
        EXPECT_EQ(memberConvertedToText(object, "m", "default"), c.text);
        EXPECT_EQ(memberTruthy(object, "m", false), c.boolean);
        EXPECT_EQ(memberTruthy(object, "m", true), c.boolean);
        EXPECT_EQ(memberTruncatedToInt(object, "m", intDefault), c.integer);
        EXPECT_EQ(memberTruncatedToUnsigned(object, "m", unsignedDefault), c.unsignedInteger);
        EXPECT_EQ(memberRoundedToFloat(object, "m", floatDefault), c.real);
    }
}

TEST(LenientJsonTest, MissingMembersAndNonObjectsGiveDefaults)
{
    for (const char* holder : {"{\"other\":1}", "null", "[1,2]", "\"m\"", "5", "true"}) {
        SCOPED_TRACE(holder);
        Json::CharReaderBuilder builder;
        std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value value;
        const std::string text = holder;
        ASSERT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, nullptr));
        EXPECT_FALSE(hasMember(value, "m"));
        EXPECT_TRUE(memberOrNull(value, "m").isNull());
        EXPECT_EQ(memberConvertedToText(value, "m", "default"), "default");
        EXPECT_TRUE(memberTruthy(value, "m", true));
        EXPECT_FALSE(memberTruthy(value, "m", false));
        EXPECT_EQ(memberTruncatedToInt(value, "m", intDefault), intDefault);
        EXPECT_EQ(memberTruncatedToUnsigned(value, "m", unsignedDefault), unsignedDefault);
        EXPECT_EQ(memberRoundedToFloat(value, "m", floatDefault), floatDefault);
    }
    EXPECT_TRUE(hasMember(objectWith("null"), "m")) << "a member holding null is present";
}

TEST(LenientJsonTest, FloatsBeyondTheRangeRoundLikeTheHardware)
{
    const float largest = std::numeric_limits<float>::max();
    const float infinity = std::numeric_limits<float>::infinity();
    struct Case {
        const char* value;
        float expected;
    };
    const std::vector<Case> cases = {
        {"3.4028234663852886e38", largest},
        // The largest float as printed with float precision lies just above it and still rounds to it.
        {"3.4028235e38", largest},
        {"-3.4028235e38", -largest},
        {"3.4028235677973366e38", infinity}, // the midpoint to 2^128 rounds to even, which is infinity
        {"1e300", infinity},
        {"-1e300", -infinity},
        {"1e-50", 0.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(memberRoundedToFloat(objectWith(c.value), "m", floatDefault), c.expected);
    }
}

} // namespace
