#include "core/host_and_port.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

std::string lowerCaseAscii(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

namespace {

// A name or address a browser could send: no blanks, controls or characters outside host names and literals.
bool plausibleHost(const std::string& host)
{
    return !host.empty() && std::all_of(host.begin(), host.end(), [](unsigned char c) {
        return std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == ':' || c == '%';
    });
}

bool parsePort(const std::string& text, int& port)
{
    if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), ::isdigit))
        return false;
    port = std::atoi(text.c_str());
    return port > 0 && port <= 65535;
}

} // namespace

bool splitHostAndPort(const std::string& text, HostAndPort& parsed)
{
    std::string host;
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos)
            return false;
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':')
                return false;
            port = rest.substr(1);
            if (port.empty())
                return false;
        }
        if (!isIpAddressLiteral(host) || host.find(':') == std::string::npos)
            return false;
    } else {
        const size_t colon = text.find(':');
        host = text.substr(0, colon);
        if (colon != std::string::npos) {
            port = text.substr(colon + 1);
            if (port.empty() || port.find(':') != std::string::npos)
                return false;
        }
    }
    if (!host.empty() && host.back() == '.')
        host.pop_back();
    if (!plausibleHost(host))
        return false;
    parsed.host = lowerCaseAscii(host);
    parsed.port = 0;
    return port.empty() || parsePort(port, parsed.port);
}

bool splitOrigin(const std::string& origin, std::string& scheme, HostAndPort& parsed)
{
    const size_t separator = origin.find("://");
    if (separator == std::string::npos)
        return false;
    scheme = lowerCaseAscii(origin.substr(0, separator));
    if (scheme != "http" && scheme != "https")
        return false;
    std::string rest = origin.substr(separator + 3);
    // A trailing '/' is tolerated, as some clients send one; any other path is no origin.
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    if (rest.find('/') != std::string::npos || !splitHostAndPort(rest, parsed))
        return false;
    if (parsed.port == 0)
        parsed.port = scheme == "https" ? 443 : 80;
    return true;
}

bool isIpAddressLiteral(const std::string& host)
{
    in_addr v4{};
    in6_addr v6{};
    return inet_pton(AF_INET, host.c_str(), &v4) == 1 || inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}
