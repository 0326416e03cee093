#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include <libwebsockets.h>

#include "web/access_token.h"
#include "web/host_names.h"

// A log line that may repeat at an attacker's pace: at most a few per second. Once the second is over, the last
// line left out is printed with the count of those left out. Owned by the connection gate; lives as long as it.
class RateLimitedLog {
public:
    static constexpr unsigned linesPerSecond = 5;
    void info(const std::string& line);
    // Prints the count of lines left out once their second is over; cheap enough for every pass.
    void flush();

private:
    std::chrono::steady_clock::time_point windowStart{};
    unsigned linesInWindow = 0;
    unsigned leftOut = 0;
    std::string lastLeftOut;
};

// What the gate looks at in one request, read from its headers before anything is served or upgraded.
struct RequestFacts {
    // The peer's address as the relay names it (see peerAddress).
    std::string peer;
    // The Host header, or the :authority of an HTTP/2 request, which has no Host header.
    std::string host;
    bool originPresent = false;
    std::string origin;
    // From "Authorization: Bearer …" or the token cookie.
    std::string presentedToken;
    // From a "token" query parameter.
    bool queryTokenPresent = false;
    std::string queryToken;
};

// What the operator decided: who may drive the relay. Made by the relay server from the command line; kept by the
// gate for as long as it lives.
struct GateRules {
    HostNames hostNames{std::string(), {}};
    // -o: origins of other pages that may open the WebSocket besides the relay's own.
    std::vector<std::string> allowedOrigins;
    // The port the relay listens on: the relay's own page has it in its origin.
    int ownPort = 7681;
    // Needed from every peer that is not on this machine; empty while the relay listens on loopback only.
    AccessToken token;
};

// Decides, before any session exists, who may fetch the console and open the WebSocket: requests must name this
// relay as their host (no rebound name); peers beyond loopback must present the access token; a browser page must
// be the relay's own or of an allowed origin; and connections are capped in all and per peer address. Made once by
// the relay server; lives as long as its WebSocket context. Everything behind it trusts its verdict.
class ConnectionGate {
public:
    static constexpr size_t maxConnections = 256;
    static constexpr size_t maxConnectionsPerPeer = 32;

    enum class Verdict {
        admit,
        // A valid token came as a query parameter: it is handed to the browser as a cookie.
        admitAndSetCookie,
        foreignHost,
        tokenMissing,
        foreignOrigin,
        tooManyConnections,
        tooManyFromPeer,
    };

    explicit ConnectionGate(GateRules rules);

    // A plain HTTP request (the console's files). Logs a refusal (rate-limited).
    Verdict checkRequest(const RequestFacts& request);
    // A WebSocket upgrade. Logs a refusal (rate-limited).
    Verdict checkUpgrade(const RequestFacts& request);
    // The connection was accepted, and now counts against the caps until it closes.
    void opened(lws* wsi);
    void closed(lws* wsi);

    // Once per pass: reports the refusals the rate limit left out.
    void tick() { refusals.flush(); }

    size_t openConnections() const { return peerOf.size(); }
    const GateRules& rules() const { return gateRules; }
    // The start-up line that says who may open the WebSocket.
    std::string describeOrigins() const;

    // The headers of a request as the gate reads them.
    RequestFacts factsOf(lws* wsi) const;
    static unsigned httpStatus(Verdict verdict);

    // The callback of the "http" protocol: requests and WebSocket upgrades pass the gate (refusals get their HTTP
    // status); everything else is the library's own file serving. The protocol's user pointer is the gate.
    static int httpCallback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t length);

    // The protocol that takes what a relay without TLS cannot read as HTTP; its user pointer is the gate.
    static constexpr const char* unreadableProtocolName = "vantrel-unreadable";
    // Names a client that speaks TLS to a relay without -s (rate-limited), and closes what no relay can read.
    static int unreadableCallback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t length);

private:
    // Host and token, which every request must pass; admit when both do.
    Verdict checkHostAndToken(const RequestFacts& request);
    bool originAllowed(const RequestFacts& request) const;

    GateRules gateRules;
    std::unordered_map<const lws*, std::string> peerOf;
    std::unordered_map<std::string, size_t> perPeer;
    RateLimitedLog refusals;
};

// The peer's address as the relay names it: IPv4 peers of the dual-stack listener without the "::ffff:" prefix.
std::string peerAddress(lws* wsi);
