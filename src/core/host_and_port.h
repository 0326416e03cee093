#pragma once

#include <string>

// A host and port as a Host header, an HTTP/2 :authority or an origin names them: the host in lower case, without
// the brackets of an IPv6 literal and without a trailing dot; port 0 when none is given.
struct HostAndPort {
    std::string host;
    int port = 0;
};

// Splits "name", "name:port", "[v6]" or "[v6]:port". False for anything else (an empty name, a bad port, text
// after the brackets).
bool splitHostAndPort(const std::string& text, HostAndPort& parsed);

// Splits a browser's origin, "http://host[:port]" or "https://host[:port]", with the scheme's own port when none is
// given. False for any other scheme, for "null" and for an origin with a path.
bool splitOrigin(const std::string& origin, std::string& scheme, HostAndPort& parsed);

bool isIpAddressLiteral(const std::string& host);
// The text in ASCII lower case, as host names compare.
std::string lowerCaseAscii(std::string text);
