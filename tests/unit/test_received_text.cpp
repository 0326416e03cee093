#include <gtest/gtest.h>

#include <memory>

#include <json/reader.h>

#include "web/received_text_scanner.h"

TEST(ReceivedText, TellsTextThatMayStillCompleteFromTextWhoseVerdictIsSettled)
{
    struct Case {
        const char* text;
        // Whether a parse now gives the verdict that no appended text can change.
        bool settled;
    } cases[] = {
        {"", false},
        {"   ", false},
        {"{\"port\":", false},
        {"{\"a\":[1,{\"b\":\"}]\"", false},
        {"[", false},
        {"tru", false},
        {"true", true},
        {"\"unterminated", false},
        {"/* comment */", false},
        {"/* { */ {\"a\":1}", true},
        // A comment in front holds nothing back once the value has closed.
        {"/**/[1,x]", true},
        {"/*/ ]", false},
        {"/**/]", true},
        {"// ]", false},
        {"[1 // ]\n", false},
        {"[1 // ]\n]", true},
        {"// c\r{\"a\":1}", true},
        {"[1 /", false},
        {"[1 /x", true},
        {"/x", true},
        {"{\"a\":1,}", true},
        {"{\"a\" 1}", true},
        {"[{}", false},
        {"{\"a\":[1]", false},
        {"[{\"a\":[]}]", true},
        {"[1,2]]", true},
        {"{]", true},
        {"[}", true},
        {"}", true},
        {"hello", true},
        {"\"closed\" x", true},
        {"{\"a\":\"\\\"}\"", false},
        {"{\"a\":\"}\"}", true},
        {"{\"a\":\"\\\\\"} x", true},
        {"{\"a\":\"\\q\"}", true},
        {"\"a\\\"b", false},
        {"\"a\\\"b\" x", true},
    };
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    for (const Case& c : cases) {
        const std::string text = c.text;
        Json::Value value;
        // A text the reader takes must never be held back.
        EXPECT_TRUE(c.settled || !reader->parse(text.data(), text.data() + text.size(), &value, nullptr)) << text;
        // Fed in two pieces at every split, the verdict is the one on the whole text.
        for (size_t split = 0; split <= text.size(); ++split) {
            ReceivedTextScanner scanner;
            scanner.feed(text.data(), split);
            scanner.feed(text.data() + split, text.size() - split);
            EXPECT_EQ(scanner.settled(), c.settled) << text << " split at " << split;
        }
    }
}
