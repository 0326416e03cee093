#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "json/compact_json_writer.h"

namespace {

// Short text of k / 100 derived independently of the writer: "%.2f", then trailing zeros and a bare point cut.
std::string expectedHundredths(int k)
{
    char text[16];
    std::snprintf(text, sizeof text, "%.2f", k / 100.0);
    std::string s = text;
    while (s.back() == '0')
        s.pop_back();
    if (s.back() == '.')
        s.pop_back();
    return s;
}

std::string bytes(const char* text, size_t size) { return std::string(text, size); }

} // namespace

TEST(FormatJsonReal, EveryTableEntryAndItsFloatGiveTheShortText)
{
    for (int k = -1000; k <= 1000; ++k) {
        if (k == 0)
            continue;
        const std::string expected = expectedHundredths(k);
        EXPECT_EQ(formatJsonReal(k / 100.0), expected) << k;
        // A board sends f32 values; widened they differ from k / 100 by up to about 5e-7.
        EXPECT_EQ(formatJsonReal(static_cast<double>(static_cast<float>(k / 100.0))), expected) << k;
    }
}

TEST(FormatJsonReal, NumberTexts)
{
    struct Case {
        double value;
        const char* text;
    } cases[] = {
        {0.10000000149011612, "0.1"},
        {0.30000001192092896, "0.3"},
        {0.5, "0.5"},
        {7.0, "7"},
        {-10.0, "-10"},
        {0.25, "0.25"},
        {9.99, "9.99"},
        {-0.01, "-0.01"},
        {0.0099995, "0.01"},
        {0.0100009, "0.01"},
        {10.0000009, "10"},
        {-10.0000009, "-10"},
        {0.0100011, "0.01000110"},
        {10.0000011, "10.00000110"},
        {0.005, "0.0050"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {10.01, "10.010"},
        {12.5, "12.50"},
        {51.5, "51.50"},
        {100.0, "100.0"},
        {100000000000.5, "100000000000.50"},
        {123456.789, "123456.7890"},
        {0.12300000339746475, "0.1230000033974648"},
        {3.4028234663852886e+38, "3.402823466385289e+38"},
        {-3.4028234663852886e+38, "-3.402823466385289e+38"},
        {1e+20, "1.000000000000000e+20"},
        {1e-07, "1.000000000000000e-07"},
        {-1.23e-05, "-1.230000000000000e-05"},
        {1e+15, "1000000000000000."},
        {1e+14, "100000000000000.0"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(formatJsonReal(c.value), c.text) << c.text;
}

TEST(FormatJsonReal, NonFiniteRealsStayValidJson)
{
    EXPECT_EQ(formatJsonReal(std::numeric_limits<double>::quiet_NaN()), "null");
    EXPECT_EQ(formatJsonReal(-std::numeric_limits<double>::quiet_NaN()), "null");
    EXPECT_EQ(formatJsonReal(std::numeric_limits<double>::infinity()), "1e+9999");
    EXPECT_EQ(formatJsonReal(-std::numeric_limits<double>::infinity()), "-1e+9999");
}

TEST(FormatJsonReal, WithoutTheTableEveryRealTakesTheLongForm)
{
    twoDecimalReals = false;
    EXPECT_EQ(formatJsonReal(0.5), "0.50");
    EXPECT_EQ(formatJsonReal(7.0), "7.0");
    EXPECT_EQ(formatJsonReal(0.10000000149011612), "0.1000000014901161");
    // The long form is printf's 16 digits with the point kept and trailing zeros cut to one; the digits are made
    // without printf, so they are held against it: every progress figure of a 256 KiB and a 70-byte image, every
    // power of ten with its neighbours, exact ties, and random reals of every size.
    std::vector<double> reals;
    for (const uint32_t size : {262144u, 70u})
        for (uint32_t offset = 0; offset < size; offset += 32)
            reals.push_back(std::min(100.0f, static_cast<float>(offset + 32) / static_cast<float>(size) * 100.0f));
    for (int exponent = -310; exponent <= 308; ++exponent)
        for (const double m : {1.0, 9.999999999999999, 9.9999999999999995, 5.0000000000000005})
            reals.push_back(m * std::pow(10.0, exponent));
    std::mt19937_64 random(28);
    for (int i = 0; i < 100000; ++i) {
        reals.push_back(static_cast<double>(random() % 4000000000000000ULL) + 0.5);
        reals.push_back(std::pow(10.0, std::uniform_real_distribution<double>(-6.0, 18.0)(random)));
        const uint64_t bits = random();
        double any = 0;
        std::memcpy(&any, &bits, sizeof any);
        reals.push_back(any);
    }
    for (const double x : {std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min(), 1e15, 1e16}) {
        reals.push_back(x);
        reals.push_back(-x);
    }
    size_t differing = 0;
    for (const double x : reals) {
        if (!std::isfinite(x))
            continue;
        char text[40];
        std::snprintf(text, sizeof text, "%#.16g", x);
        if (std::isinf(std::strtod(text, nullptr)))
            std::snprintf(text, sizeof text, "%#.17g", x);
        std::string expected = text;
        // A run of trailing zeros after the point is cut to one ("51.50").
        if (expected.find('e') == std::string::npos && expected.find('.') != std::string::npos) {
            while (expected.size() >= 2 && expected.back() == '0' && expected[expected.size() - 2] == '0')
                expected.pop_back();
        }
        if (formatJsonReal(x) != expected && ++differing <= 5)
            ADD_FAILURE() << expected << " written as " << formatJsonReal(x);
    }
    EXPECT_EQ(differing, 0u);
    twoDecimalReals = true;
    EXPECT_EQ(formatJsonReal(0.5), "0.5");
}

TEST(CompactJsonWriter, ScalarsByKind)
{
    CompactJsonWriter writer;
    struct Case {
        Json::Value value;
        const char* text;
    } cases[] = {
        {Json::Value(), "null"},
        {Json::Value(true), "true"},
        {Json::Value(false), "false"},
        {Json::Value(10), "10"},
        {Json::Value(0), "0"},
        {Json::Value(-42), "-42"},
        {Json::Value(0u), "0"},
        {Json::Value(Json::Value::minInt64), "-9223372036854775808"},
        {Json::Value(Json::Value::maxUInt64), "18446744073709551615"},
        {Json::Value(0.0), "0.0"},
        {Json::Value(10.0), "10"},
        {Json::Value(std::numeric_limits<double>::quiet_NaN()), "null"},
        {Json::Value(Json::arrayValue), "[]"},
        {Json::Value(Json::objectValue), "{}"},
        {Json::Value(""), "\"\""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(writer.write(c.value), c.text) << c.text;
}

TEST(CompactJsonWriter, ObjectMembersSortedWithoutWhitespace)
{
    Json::Value array(Json::arrayValue);
    array.append(true);
    array.append(Json::Value());
    array.append("a\tb");
    Json::Value object;
    object["b"] = 1;
    object["a"] = array;
    EXPECT_EQ(CompactJsonWriter().write(object), "{\"a\":[true,null,\"a\\tb\"],\"b\":1}");
}

TEST(CompactJsonWriter, KeysInAscendingByteOrderAndEscaped)
{
    Json::Value object;
    object["port"] = "ttyACM0";
    object["Z"] = 1;
    object["\xC3\xA9"] = 2;
    object["p"] = 3;
    object["k\"\n"] = 4;
    Json::Value nested;
    nested["y"] = 0.25;
    nested["x"] = Json::Value(Json::arrayValue);
    object["portName"] = nested;
    EXPECT_EQ(CompactJsonWriter().write(object),
              "{\"Z\":1,\"k\\\"\\n\":4,\"p\":3,\"port\":\"ttyACM0\",\"portName\":{\"x\":[],\"y\":0.25},"
              "\"\xC3\xA9\":2}");
}

TEST(CompactJsonWriter, StringEscapes)
{
    struct Case {
        std::string input;
        const char* text;
    } cases[] = {
        {"say \"hi\"", "\"say \\\"hi\\\"\""}, {"C:\\dir", "\"C:\\\\dir\""},       {"\b\f\n\r\t", "\"\\b\\f\\n\\r\\t\""},
        {"\x1B[0m", "\"\\u001B[0m\""},        {"\x01\x1F", "\"\\u0001\\u001F\""}, {"a/b\x7F", "\"a/b\x7F\""},
        {bytes("ab\0cd", 5), "\"ab\""},
    };
    CompactJsonWriter writer;
    for (const Case& c : cases)
        EXPECT_EQ(writer.write(Json::Value(c.input)), c.text) << c.text;
}

TEST(CompactJsonWriter, ValidUtf8IsCopiedAndEachInvalidSequenceReplaced)
{
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case {
        std::string input;
        std::string expected;
    } cases[] = {
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF", "\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF"},
        {"\xEF\xBF\xBD", fffd},
        // The last 64 two-byte and the first 64 three-byte code points.
        {"\xDF\x80\xDF\xBF\xE0\xA0\x80\xE0\xA0\xBF", "\xDF\x80\xDF\xBF\xE0\xA0\x80\xE0\xA0\xBF"},
        {"\xC1\xBF", fffd + fffd},
        {"\xE0\x9F\xBF", fffd + fffd + fffd},
        {"a\xFFz", "a" + fffd + "z"},
        {"\x80", fffd},
        {"\xF5\x80", fffd + fffd},
        {"\xC3", fffd},
        {"\xC3(", fffd + "("},
        {"\xE2\x82", fffd},
        {"\xE2\x82"
         "A",
         fffd + "A"},
        {"\xF0\x9F\x98\"", fffd + "\\\""},
        {"\xC0\xAF", fffd + fffd},
        {"\xE0\x80\xAF", fffd + fffd + fffd},
        {"\xED\xA0\x80", fffd + fffd + fffd},
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {bytes("\xE2\x82\0\xC3\xA9", 5), fffd},
    };
    CompactJsonWriter writer;
    for (const Case& c : cases)
        EXPECT_EQ(writer.write(Json::Value(c.input)), "\"" + c.expected + "\"") << c.expected;
}

TEST(CompactJsonWriter, RandomTextsReadBackUnchanged)
{
    const char* pieces[] = {"a",
                            "Z",
                            " ",
                            "\"",
                            "\\",
                            "/",
                            "\n",
                            "\t",
                            "\x01",
                            "\x1F",
                            "\x7F",
                            "\xC3\xA9",
                            "\xE2\x82\xAC",
                            "\xF0\x9F\x98\x80",
                            "{",
                            "}",
                            "\xC2\x80"};
    std::mt19937 random(7);
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    CompactJsonWriter writer;
    for (int round = 0; round < 500; ++round) {
        Json::Value original;
        std::string text;
        const int count = static_cast<int>(random() % 20);
        for (int i = 0; i < count; ++i)
            text += pieces[random() % (sizeof pieces / sizeof pieces[0])];
        original[text] = text;
        original["n"] = static_cast<int>(random());

        const std::string written = writer.write(original);
        Json::Value parsed;
        std::string errors;
        ASSERT_TRUE(reader->parse(written.data(), written.data() + written.size(), &parsed, &errors)) << written;
        EXPECT_EQ(parsed, original) << written;
    }
}
