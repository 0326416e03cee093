#include "web/connection_gate.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

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

// Longer origins, hosts or credentials are no sane ones; cookies of every other program served as localhost
// share the header with the relay's.
constexpr int maxHeaderLength = 1024;
constexpr int maxCookieHeaderLength = 8192;

// A header's value, or the empty text when it is absent or longer than maxLength.
std::string header(lws* wsi, lws_token_indexes token, int maxLength = maxHeaderLength)
{
    const int length = lws_hdr_total_length(wsi, token);
    if (length <= 0 || length > maxLength)
        return std::string();
    std::string value(static_cast<size_t>(length) + 1, '\0');
    const int copied = lws_hdr_copy(wsi, &value[0], length + 1, token);
    value.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
    return value;
}

bool headerPresent(lws* wsi, lws_token_indexes token) { return lws_hdr_total_length(wsi, token) > 0; }

// What a person who meets a refusal in the browser reads.
const char* refusalText(ConnectionGate::Verdict verdict)
{
    switch (verdict) {
    case ConnectionGate::Verdict::foreignHost:
        return "This relay does not answer to that host name. Open it by its address or as localhost, or start it "
               "with -a and the name.";
    case ConnectionGate::Verdict::tokenMissing:
        return "This relay answers other machines only with its access token: open the console address the relay "
               "printed when it started (it ends in ?token=...).";
    case ConnectionGate::Verdict::foreignOrigin:
        return "Pages of this origin may not drive the relay (see its -o option).";
    default: return "The relay takes no more connections now.";
    }
}

// Hands the token to the browser as a cookie, then loads the console by a navigation of this page's own, so that
// the cookie goes with it even when the address was opened from another site's link.
void writeTokenPage(lws* wsi, const AccessToken& token)
{
    static const char body[] = "<!doctype html><meta http-equiv=\"refresh\" content=\"0; url=/\">"
                               "<a href=\"/\">Open the console</a>\n";
    std::vector<unsigned char> buffer(LWS_PRE + 2048);
    unsigned char* start = buffer.data() + LWS_PRE;
    unsigned char* position = start;
    unsigned char* end = buffer.data() + buffer.size() - sizeof body;
    const std::string cookie = token.setCookieValue(lws_is_ssl(wsi) != 0);
    static const char noStore[] = "no-store";
    if (lws_add_http_common_headers(wsi, HTTP_STATUS_OK, "text/html", sizeof body - 1, &position, end) != 0 ||
        lws_add_http_header_by_token(wsi, WSI_TOKEN_HTTP_SET_COOKIE,
                                     reinterpret_cast<const unsigned char*>(cookie.c_str()),
                                     static_cast<int>(cookie.size()), &position, end) != 0 ||
        lws_add_http_header_by_token(wsi, WSI_TOKEN_HTTP_CACHE_CONTROL, reinterpret_cast<const unsigned char*>(noStore),
                                     sizeof noStore - 1, &position, end) != 0 ||
        lws_finalize_http_header(wsi, &position, end) != 0) {
        logger.log(LogLevel::ERROR, "Cannot answer the console's address with its access cookie");
        return;
    }
    std::memcpy(position, body, sizeof body - 1);
    position += sizeof body - 1;
    lws_write(wsi, start, static_cast<size_t>(position - start), LWS_WRITE_HTTP);
}

} // namespace

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

ConnectionGate::ConnectionGate(GateRules rules) : gateRules(std::move(rules)) {}

ConnectionGate::Verdict ConnectionGate::checkHostAndToken(const RequestFacts& request)
{
    if (!gateRules.hostNames.accepts(request.host)) {
        refusals.info("Refused a request from " + request.peer + " for host " + logName(request.host) +
                      ": not a name of this relay (name it with -a)");
        return Verdict::foreignHost;
    }
    if (isLoopbackAddress(request.peer) || gateRules.token.matches(request.presentedToken) ||
        (request.queryTokenPresent && gateRules.token.matches(request.queryToken)))
        return Verdict::admit;
    refusals.info("Refused a request from " + request.peer +
                  ": a peer beyond this machine must present the relay's access token");
    return Verdict::tokenMissing;
}

ConnectionGate::Verdict ConnectionGate::checkRequest(const RequestFacts& request)
{
    const Verdict verdict = checkHostAndToken(request);
    if (verdict == Verdict::admit && request.queryTokenPresent && gateRules.token.matches(request.queryToken))
        return Verdict::admitAndSetCookie;
    return verdict;
}

bool ConnectionGate::originAllowed(const RequestFacts& request) const
{
    if (!request.originPresent)
        return true;
    // The relay's own page: its origin names the very host and the port the request was sent to.
    std::string scheme;
    HostAndPort origin;
    HostAndPort host;
    if (splitOrigin(request.origin, scheme, origin) && splitHostAndPort(request.host, host) &&
        origin.host == host.host && origin.port == gateRules.ownPort)
        return true;
    const std::string wanted = lowerWithoutTrailingSlash(request.origin);
    return !wanted.empty() &&
           std::any_of(gateRules.allowedOrigins.begin(), gateRules.allowedOrigins.end(),
                       [&](const std::string& one) { return lowerWithoutTrailingSlash(one) == wanted; });
}

ConnectionGate::Verdict ConnectionGate::checkUpgrade(const RequestFacts& request)
{
    const Verdict verdict = checkHostAndToken(request);
    if (verdict != Verdict::admit)
        return verdict;
    const std::string& peer = request.peer;
    if (!originAllowed(request)) {
        const std::string origin = request.origin.empty() ? "(empty, or longer than 1024 characters)" : request.origin;
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
                      " connections from that address are open, the most one address may have");
        return Verdict::tooManyFromPeer;
    }
    return Verdict::admit;
}

std::string ConnectionGate::describeOrigins() const
{
    std::string line = "WebSocket connections are let in from the relay's own page and from programs that send no "
                       "Origin";
    if (gateRules.allowedOrigins.empty())
        return line + "; pages of other origins are refused (let them in with -o)";
    line += ", and from pages of ";
    for (size_t i = 0; i < gateRules.allowedOrigins.size(); ++i)
        line += (i == 0 ? "" : ", ") + gateRules.allowedOrigins[i];
    return line;
}

RequestFacts ConnectionGate::factsOf(lws* wsi) const
{
    RequestFacts facts;
    facts.peer = peerAddress(wsi);
    facts.host =
        headerPresent(wsi, WSI_TOKEN_HOST) ? header(wsi, WSI_TOKEN_HOST) : header(wsi, WSI_TOKEN_HTTP_COLON_AUTHORITY);
    facts.originPresent = headerPresent(wsi, WSI_TOKEN_ORIGIN);
    facts.origin = header(wsi, WSI_TOKEN_ORIGIN);
    facts.presentedToken = gateRules.token.presentedIn(header(wsi, WSI_TOKEN_HTTP_AUTHORIZATION),
                                                       header(wsi, WSI_TOKEN_HTTP_COOKIE, maxCookieHeaderLength));
    char argument[256];
    if (const char* value = lws_get_urlarg_by_name(wsi, "token=", argument, sizeof argument)) {
        facts.queryTokenPresent = true;
        facts.queryToken = value;
    }
    return facts;
}

unsigned ConnectionGate::httpStatus(Verdict verdict)
{
    switch (verdict) {
    case Verdict::admit:
    case Verdict::admitAndSetCookie: return HTTP_STATUS_OK;
    case Verdict::tokenMissing: return HTTP_STATUS_UNAUTHORIZED;
    case Verdict::foreignHost:
    case Verdict::foreignOrigin: return HTTP_STATUS_FORBIDDEN;
    case Verdict::tooManyConnections:
    case Verdict::tooManyFromPeer: return HTTP_STATUS_SERVICE_UNAVAILABLE;
    }
    return HTTP_STATUS_FORBIDDEN;
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
    if (reason != LWS_CALLBACK_HTTP_CONFIRM_UPGRADE && reason != LWS_CALLBACK_FILTER_HTTP_CONNECTION)
        return lws_callback_http_dummy(wsi, reason, user, in, length);
    const lws_protocols* protocol = lws_get_protocol(wsi);
    auto* gate = protocol != nullptr ? static_cast<ConnectionGate*>(protocol->user) : nullptr;
    // No gate, no way in: the relay always makes one.
    Verdict verdict = Verdict::foreignHost;
    if (reason == LWS_CALLBACK_FILTER_HTTP_CONNECTION) {
        if (gate != nullptr)
            verdict = gate->checkRequest(gate->factsOf(wsi));
        if (verdict == Verdict::admit)
            return 0;
        if (verdict == Verdict::admitAndSetCookie)
            writeTokenPage(wsi, gate->gateRules.token);
        else
            lws_return_http_status(wsi, httpStatus(verdict), refusalText(verdict));
        // Non-zero ends the connection once the answer is written: nothing of the mount is served.
        return 1;
    }
    // Only WebSocket is spoken here; another upgrade (h2c) would be a way around the gate.
    const bool websocket = in != nullptr && strcasecmp(static_cast<const char*>(in), "websocket") == 0;
    if (websocket && gate != nullptr)
        verdict = gate->checkUpgrade(gate->factsOf(wsi));
    if (verdict == Verdict::admit)
        return 0;
    // Above zero: the reply is written, the library ends the transaction instead of upgrading.
    if (lws_return_http_status(wsi, httpStatus(verdict), refusalText(verdict)) != 0)
        return -1;
    return 1;
}

int ConnectionGate::unreadableCallback(lws* wsi, lws_callback_reasons reason, void*, void* in, size_t length)
{
    switch (reason) {
    case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION:
        // No editor may ask for this protocol.
        return 1;
    case LWS_CALLBACK_RAW_RX: {
        const lws_protocols* protocol = lws_get_protocol(wsi);
        auto* gate = protocol != nullptr ? static_cast<ConnectionGate*>(protocol->user) : nullptr;
        // A TLS record of the handshake begins with 0x16 and the version's first byte 3.
        const auto* bytes = static_cast<const unsigned char*>(in);
        const bool tls = bytes != nullptr && length >= 2 && bytes[0] == 0x16 && bytes[1] == 0x03;
        if (gate != nullptr && tls)
            gate->refusals.info("A client at " + peerAddress(wsi) +
                                " spoke TLS (https or wss) to this relay, which serves without it: open the console "
                                "with http:// or start the relay with -s");
        else
            logger.log(LogLevel::DEBUG, "Closed a connection from %s that sent no HTTP", peerAddress(wsi).c_str());
        return -1;
    }
    default: return 0;
    }
}
