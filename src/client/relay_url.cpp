#include "client/relay_url.h"

#include <cstdlib>

namespace {

bool takeScheme(std::string& rest, RelayUrl& url)
{
    static const struct {
        const char* prefix;
        bool secure;
    } schemes[] = {{"ws://", false}, {"wss://", true}, {"http://", false}, {"https://", true}};
    for (const auto& scheme : schemes) {
        const std::string prefix = scheme.prefix;
        if (rest.compare(0, prefix.size(), prefix) == 0) {
            rest.erase(0, prefix.size());
            url.secure = scheme.secure;
            return true;
        }
    }
    return false;
}

// Takes "token=..." out of the query, keeping the other parameters.
void takeToken(RelayUrl& url)
{
    const size_t query = url.path.find('?');
    if (query == std::string::npos)
        return;
    std::string kept;
    size_t start = query + 1;
    while (start <= url.path.size()) {
        size_t end = url.path.find('&', start);
        if (end == std::string::npos)
            end = url.path.size();
        const std::string parameter = url.path.substr(start, end - start);
        if (parameter.compare(0, 6, "token=") == 0)
            url.token = parameter.substr(6);
        else if (!parameter.empty())
            kept += (kept.empty() ? "" : "&") + parameter;
        start = end + 1;
    }
    url.path = url.path.substr(0, query) + (kept.empty() ? "" : "?" + kept);
}

} // namespace

std::string RelayUrl::hostHeader() const
{
    const std::string name = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return name + ":" + std::to_string(port);
}

std::string RelayUrl::text() const { return std::string(secure ? "wss://" : "ws://") + hostHeader() + path; }

bool parseRelayUrl(const std::string& text, RelayUrl& url, std::string& error)
{
    url = RelayUrl();
    std::string rest = text;
    if (!takeScheme(rest, url)) {
        error = "'" + text + "' is no relay address: give it as ws://host:port/ (for example ws://localhost:7681/)";
        return false;
    }
    const size_t slash = rest.find_first_of("/?");
    std::string authority = rest.substr(0, slash);
    url.path = slash == std::string::npos ? "/" : rest.substr(slash);
    if (url.path[0] == '?')
        url.path = "/" + url.path;
    std::string portText;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos) {
            error = "'" + text + "' opens an IPv6 address with '[' but never closes it";
            return false;
        }
        url.host = authority.substr(1, close - 1);
        if (close + 1 < authority.size() && authority[close + 1] == ':')
            portText = authority.substr(close + 2);
    } else {
        const size_t colon = authority.rfind(':');
        url.host = authority.substr(0, colon);
        if (colon != std::string::npos)
            portText = authority.substr(colon + 1);
    }
    if (url.host.empty()) {
        error = "'" + text + "' names no host: give it as ws://host:port/";
        return false;
    }
    if (!portText.empty()) {
        char* end = nullptr;
        const long port = std::strtol(portText.c_str(), &end, 10);
        if (*end != '\0' || port < 1 || port > 65535) {
            error = "'" + text + "' has no usable port: give a number from 1 to 65535";
            return false;
        }
        url.port = static_cast<int>(port);
    }
    takeToken(url);
    return true;
}
