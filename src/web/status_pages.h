#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>
#include <libwebsockets.h>

#include "firmware/firmware_flasher.h"

// One listed board as an operator sees it.
struct BoardStatus {
    std::string port;
    std::string usbProduct;
    // "closed" (no editor used it yet), "open", "bootloader" or "application" (as its last version reply said),
    // or "writing".
    std::string state;
    // What the board's last version reply said ("application" or "bootloader"; "unknown" before one came), kept
    // while the board is listed.
    std::string mode = "unknown";
    std::string firmwareVersion;
    std::string serial;
    int32_t flashSizeKiB = 0;
    // The running write: its file and how far its echoes are verified.
    std::string file;
    uint64_t bytesVerified = 0;
    uint64_t bytesTotal = 0;
};

// Counts since the relay started, and what is there now. Gathered by the relay core for each request of a status
// page; lives only for that request.
struct RelayFigures {
    std::string version;
    uint64_t uptimeSeconds = 0;
    std::vector<BoardStatus> boards;
    size_t editors = 0;
    // The last ERROR line, and how many seconds ago it was written; empty when there was none.
    std::string lastError;
    uint64_t lastErrorAgeSeconds = 0;
    uint64_t messagesSent = 0;
    uint64_t messagesReceived = 0;
    uint64_t acknowledgementTimeouts = 0;
    uint64_t writesCompleted = 0;
    uint64_t writesFailed = 0;
    uint64_t writesCancelled = 0;
    uint64_t bytesVerified = 0;
    uint64_t repliesDropped = 0;
    uint64_t logLinesSuppressed = 0;
    // The newest write ends, oldest first.
    std::vector<WriteEnd> recentWrites;
};

// Where the status pages take their figures from; the relay core is one.
class RelayFigureSource {
public:
    virtual ~RelayFigureSource() = default;
    virtual RelayFigures figures() const = 0;
};

// A board as /health and the broker's board list show it: port, product, state and mode, and once it answered a
// version request its version (under versionKey), serial and flash size.
Json::Value boardJson(const BoardStatus& board, const char* versionKey);
// GET /health: the figures as JSON, for people and monitoring alike.
std::string healthJson(const RelayFigures& figures);
// GET /metrics: the counters and gauges in the Prometheus text format.
std::string metricsText(const RelayFigures& figures);

// The protocol of the two pages, mounted at /health and /metrics behind the connection gate (so they obey the
// same trust rules as the console); its user pointer is a RelayFigureSource.
class StatusPages {
public:
    static constexpr const char* protocolName = "vantrel-status";
    static int callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t length);
};
