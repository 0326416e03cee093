#pragma once

#include <string>

// Where the relay listens, from the --relay address. ws:// and wss:// are the WebSocket's own schemes; http:// and
// https:// are taken as well, so the console address the relay logs ("http://robot:7681/?token=...") can be
// pasted as it is, token included. Made by main from --relay; lives for the whole run.
struct RelayUrl {
    bool secure = false;
    // Without the brackets of an IPv6 literal.
    std::string host = "localhost";
    int port = 7681;
    // Path and query as sent in the upgrade request, the token's query parameter taken out.
    std::string path = "/";
    // A token given in the address's query ("?token=..."); empty when none.
    std::string token;

    // host:port as the Host header names it, an IPv6 literal in brackets.
    std::string hostHeader() const;
    std::string text() const;
};

// False, with why, for anything that is no ws, wss, http or https address.
bool parseRelayUrl(const std::string& text, RelayUrl& url, std::string& error);
