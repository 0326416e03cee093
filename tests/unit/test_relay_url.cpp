#include <gtest/gtest.h>

#include <string>

#include "client/relay_url.h"

namespace {

struct UrlCase {
    const char* text;
    bool valid;
    // The address as the client connects to it, the Host header and the token taken from it.
    const char* connects;
    const char* host;
    const char* token;
};

TEST(RelayUrlTest, Addresses)
{
    const UrlCase cases[] = {
        {"ws://localhost:7681/", true, "ws://localhost:7681/", "localhost:7681", ""},
        {"ws://robot", true, "ws://robot:7681/", "robot:7681", ""},
        {"wss://[::1]:9000/x", true, "wss://[::1]:9000/x", "[::1]:9000", ""},
        // The console address the relay logs, pasted as it is.
        {"http://robot:7681/?token=5f0c", true, "ws://robot:7681/", "robot:7681", "5f0c"},
        {"https://robot/?a=1&token=t&b=2", true, "wss://robot:7681/?a=1&b=2", "robot:7681", "t"},
        {"ws://robot:7681?token=t", true, "ws://robot:7681/", "robot:7681", "t"},
        {"ftp://robot/", false, "", "", ""},
        {"robot:7681", false, "", "", ""},
        {"ws://:7681/", false, "", "", ""},
        {"ws://robot:0/", false, "", "", ""},
        {"ws://robot:65536/", false, "", "", ""},
        {"ws://robot:80x/", false, "", "", ""},
        {"ws://[::1/", false, "", "", ""},
    };
    for (const UrlCase& row : cases) {
        RelayUrl url;
        std::string error;
        ASSERT_EQ(parseRelayUrl(row.text, url, error), row.valid) << row.text;
        if (!row.valid) {
            EXPECT_NE(error.find(row.text), std::string::npos) << "the mistake names the address: " << error;
            continue;
        }
        EXPECT_EQ(url.text(), row.connects) << row.text;
        EXPECT_EQ(url.hostHeader(), row.host) << row.text;
        EXPECT_EQ(url.token, row.token) << row.text;
    }
}

} // namespace
