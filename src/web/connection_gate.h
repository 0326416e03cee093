#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include <libwebsockets.h>

// Whether a page of `origin` may open the WebSocket. No Origin (a program, not a browser) is always let in; so is
// the relay's own page, whose origin names the host and port the request was sent to. Otherwise, with an allowed
// list the origin must be on it (compared without case and without a trailing '/'); an empty list lets every
// origin in.
bool originAllowed(const std::string& origin, const std::string& host, const std::vector<std::string>& allowed);

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

// Decides which WebSocket upgrades are let in: by their page's origin and by how many connections are open, in
// all and from the same peer address. Made once by the relay server; lives as long as its WebSocket context.
class ConnectionGate {
public:
    static constexpr size_t maxConnections = 256;
    static constexpr size_t maxConnectionsPerPeer = 32;

    enum class Verdict { admit, foreignOrigin, tooManyConnections, tooManyFromPeer };

    explicit ConnectionGate(std::vector<std::string> allowedOrigins = {});

    // Looks at an upgrade request before it is accepted; logs a refusal (rate-limited).
    Verdict check(lws* wsi);
    // The connection was accepted, and now counts against the caps until it closes.
    void opened(lws* wsi);
    void closed(lws* wsi);

    // Once per pass: reports the refusals the rate limit left out.
    void tick() { refusals.flush(); }

    size_t openConnections() const { return peerOf.size(); }
    bool acceptsEveryOrigin() const { return allowedOrigins.empty(); }

    // The callback of the "http" protocol: WebSocket upgrades pass the gate (refused ones get HTTP 403 for their
    // origin, 503 over a cap); everything else is the library's own file serving. The protocol's user pointer is
    // the gate.
    static int httpCallback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t length);

private:
    std::vector<std::string> allowedOrigins;
    std::unordered_map<const lws*, std::string> peerOf;
    std::unordered_map<std::string, size_t> perPeer;
    RateLimitedLog refusals;
};

// The peer's address as the relay names it: IPv4 peers of the dual-stack listener without the "::ffff:" prefix.
std::string peerAddress(lws* wsi);
