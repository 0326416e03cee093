#include <gtest/gtest.h>

#include "web/sessions.h"

TEST(ReceivedText, TellsTextThatMayStillCompleteFromTextThatCannot)
{
    struct Case {
        const char* text;
        bool hopeless;
    } cases[] = {
        {"", false},
        {"   ", false},
        {"{\"port\":", false},
        {"{\"a\":[1,{\"b\":\"}]\"", false},
        {"[", false},
        {"tru", false},
        {"\"unterminated", false},
        {"/* comment */", false},
        {"{\"a\":1,}", true},
        {"{\"a\" 1}", true},
        {"[1,2]]", true},
        {"{]", true},
        {"}", true},
        {"hello", true},
        {"\"closed\" x", true},
        {"{\"a\":\"\\\"}\"", false},
        {"{\"a\":\"\\\\\"} x", true},
        {"{\"a\":\"\\q\"}", true},
        {"\"a\\\"b", false},
        {"\"a\\\"b\" x", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(cannotBecomeValidJson(c.text), c.hopeless) << c.text;
}
