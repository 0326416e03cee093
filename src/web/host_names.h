#pragma once

#include <string>
#include <vector>

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
// 127.0.0.0/8 and ::1, also as IPv4-mapped IPv6 addresses.
bool isLoopbackAddress(const std::string& address);

// The names under which this relay may be asked for: IP address literals, "localhost", the machine's host name
// and that name under ".local", and the names the operator gave (-a). A request for any other name is a page
// whose name was made to point at this machine. Made once by the relay server; lives as long as its gate.
class HostNames {
public:
    HostNames(const std::string& machineName, const std::vector<std::string>& extraNames);

    // The host of a Host header (or :authority): true when it names this relay, whatever the port.
    bool accepts(const std::string& hostHeader) const;
    // The names as an operator reads them, for the start-up line.
    std::string describe() const;

private:
    std::vector<std::string> names;
};

// The machine's host name, or the empty text when it has none.
std::string machineHostName();
