#include <gtest/gtest.h>

#include "web/received_text_scanner.h"

TEST(ReceivedText, TellsTextThatMayStillCompleteFromTextThatCannot)
{
    struct Case {
        const char* text;
        bool hopeless;
        // Whether a parse may succeed now.
        bool mayParse;
    } cases[] = {
        {"", false, false},
        {"   ", false, false},
        {"{\"port\":", false, false},
        {"{\"a\":[1,{\"b\":\"}]\"", false, false},
        {"[", false, false},
        {"tru", false, true},
        {"\"unterminated", false, false},
        {"/* comment */", false, false},
        {"/* { */ {\"a\":1}", false, true},
        {"{\"a\":1,}", true, true},
        {"{\"a\" 1}", true, true},
        {"[1,2]]", true, true},
        {"{]", true, true},
        {"}", true, true},
        {"hello", true, true},
        {"\"closed\" x", true, true},
        {"{\"a\":\"\\\"}\"", false, false},
        {"{\"a\":\"}\"}", true, true},
        {"{\"a\":\"\\\\\"} x", true, true},
        {"{\"a\":\"\\q\"}", true, true},
        {"\"a\\\"b", false, false},
        {"\"a\\\"b\" x", true, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cannotBecomeValidJson(c.text), c.hopeless) << c.text;
        // Fed in two pieces at every split, the verdict is the one on the whole text.
        const std::string text = c.text;
        for (size_t split = 0; split <= text.size(); ++split) {
            ReceivedTextScanner scanner;
            scanner.feed(text.data(), split);
            scanner.feed(text.data() + split, text.size() - split);
            EXPECT_EQ(scanner.hopeless(), c.hopeless) << text << " split at " << split;
            EXPECT_EQ(scanner.mayParse(), c.mayParse) << text << " split at " << split;
        }
    }
}
