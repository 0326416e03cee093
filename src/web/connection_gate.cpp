#include "web/connection_gate.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>

#include "core/logger.h"

namespace {

std::string lowerWithoutTrailingSlash(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!text.empty() && text.back() == '/')
        text.pop_back();
    return text;
}

// A header's value, or the empty text when it is absent (or too long to be a sane origin or host).
std::string header(lws* wsi, lws_token_indexes token)
{
    const int length = lws_hdr_total_length(wsi, token);
    if (length <= 0 || length > 1024)
        return std::string();
    std::string value(static_cast<size_t>(length) + 1, '\0');
    const int copied = lws_hdr_copy(wsi, &value[0], length + 1, token);
    value.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
    return value;
}

bool headerPresent(lws* wsi, lws_token_indexes token) { return lws_hdr_total_length(wsi, token) > 0; }

} // namespace

bool originAllowed(const std::string& origin, const std::string& host, const std::vector<std::string>& allowed)
{
    if (origin.empty() || allowed.empty())
        return true;
    const std::string wanted = lowerWithoutTrailingSlash(origin);
    const std::string ownHost = lowerWithoutTrailingSlash(host);
    if (!ownHost.empty() && (wanted == "http://" + ownHost || wanted == "https://" + ownHost))
        return true;
    return std::any_of(allowed.begin(), allowed.end(),
                       [&](const std::string& one) { return lowerWithoutTrailingSlash(one) == wanted; });
}

void RateLimitedLog::info(const std::string& line)
{
    flush();
    if (linesInWindow == 0)
        windowStart = std::chrono::steady_clock::now();
    if (linesInWindow >= linesPerSecond) {
        ++leftOut;
        lastLeftOut = line;
        return;
    }
    ++linesInWindow;
    logger.log(LogLevel::INFO, "%s", line.c_str());
}

void RateLimitedLog::flush()
{
    if (linesInWindow == 0 || std::chrono::steady_clock::now() - windowStart < std::chrono::seconds(1))
        return;
    linesInWindow = 0;
    if (leftOut == 0)
        return;
    // This line opens the next second's allowance, so a steady attack still prints at most a few a second.
    windowStart = std::chrono::steady_clock::now();
    linesInWindow = 1;
    logger.log(LogLevel::INFO, "%s (and %u similar lines left out)", lastLeftOut.c_str(), leftOut);
    leftOut = 0;
    lastLeftOut.clear();
}

std::string peerAddress(lws* wsi)
{
    char address[128] = {};
    lws_get_peer_simple(wsi, address, sizeof address);
    std::string name = address;
    static const std::string mappedPrefix = "::ffff:";
    if (name.compare(0, mappedPrefix.size(), mappedPrefix) == 0)
        name.erase(0, mappedPrefix.size());
    return name;
}

ConnectionGate::ConnectionGate(std::vector<std::string> allowedOrigins) : allowedOrigins(std::move(allowedOrigins)) {}

ConnectionGate::Verdict ConnectionGate::check(lws* wsi)
{
    const std::string peer = peerAddress(wsi);
    // Present but empty is a foreign origin too, not the no-Origin case of programs.
    const std::string origin = headerPresent(wsi, WSI_TOKEN_ORIGIN) ? header(wsi, WSI_TOKEN_ORIGIN) : std::string();
    if (!allowedOrigins.empty() && headerPresent(wsi, WSI_TOKEN_ORIGIN) &&
        (origin.empty() || !originAllowed(origin, header(wsi, WSI_TOKEN_HOST), allowedOrigins))) {
        refusals.info("Refused a WebSocket connection from " + peer + ": origin " + logName(origin) +
                      " is not allowed (-o)");
        return Verdict::foreignOrigin;
    }
    if (peerOf.size() >= maxConnections) {
        refusals.info("Refused a WebSocket connection from " + peer + ": " + std::to_string(peerOf.size()) +
                      " connections are open, the most the relay takes");
        return Verdict::tooManyConnections;
    }
    const auto fromPeer = perPeer.find(peer);
    if (fromPeer != perPeer.end() && fromPeer->second >= maxConnectionsPerPeer) {
        refusals.info("Refused a WebSocket connection from " + peer + ": " + std::to_string(fromPeer->second) +
                      " connections from that address are open, the most one " + "address may have");
        return Verdict::tooManyFromPeer;
    }
    return Verdict::admit;
}

void ConnectionGate::opened(lws* wsi)
{
    if (peerOf.count(wsi) != 0)
        return;
    const std::string peer = peerAddress(wsi);
    peerOf.emplace(wsi, peer);
    ++perPeer[peer];
}

void ConnectionGate::closed(lws* wsi)
{
    const auto found = peerOf.find(wsi);
    if (found == peerOf.end())
        return;
    const auto count = perPeer.find(found->second);
    if (count != perPeer.end() && --count->second == 0)
        perPeer.erase(count);
    peerOf.erase(found);
}

int ConnectionGate::httpCallback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t length)
{
    if (reason == LWS_CALLBACK_HTTP_CONFIRM_UPGRADE) {
        const lws_protocols* protocol = lws_get_protocol(wsi);
        auto* gate = protocol != nullptr ? static_cast<ConnectionGate*>(protocol->user) : nullptr;
        // Only WebSocket is spoken here; another upgrade (h2c) would be a way around the gate.
        const bool websocket = in != nullptr && strcasecmp(static_cast<const char*>(in), "websocket") == 0;
        const Verdict verdict = !websocket        ? Verdict::foreignOrigin
                                : gate != nullptr ? gate->check(wsi)
                                                  : Verdict::admit;
        if (verdict == Verdict::admit)
            return 0;
        const unsigned status =
            verdict == Verdict::foreignOrigin ? HTTP_STATUS_FORBIDDEN : HTTP_STATUS_SERVICE_UNAVAILABLE;
        // Above zero: the reply is written, the library ends the transaction instead of upgrading.
        if (lws_return_http_status(wsi, status, nullptr) != 0)
            return -1;
        return 1;
    }
    return lws_callback_http_dummy(wsi, reason, user, in, length);
}
