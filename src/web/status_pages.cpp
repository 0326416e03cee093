#include "web/status_pages.h"

#include <cstring>
#include <vector>

#include <json/value.h>

#include "core/logger.h"
#include "json/compact_json_writer.h"

namespace {

Json::Value count(uint64_t value) { return Json::Value(static_cast<Json::UInt64>(value)); }

// One metric with its help and type lines; labelled samples follow as "name{label} value" lines.
void metric(std::string& text, const char* name, const char* type, const char* help,
            const std::vector<std::pair<std::string, uint64_t>>& samples)
{
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    for (const auto& [labels, value] : samples)
        text += name + labels + " " + std::to_string(value) + "\n";
}

// The page a request asks for, by its path; nullptr for none.
const char* pageOf(lws* wsi)
{
    char uri[64] = {};
    if (lws_hdr_copy(wsi, uri, sizeof uri, WSI_TOKEN_GET_URI) <= 0)
        return nullptr;
    if (std::strcmp(uri, "/health") == 0)
        return "health";
    if (std::strcmp(uri, "/metrics") == 0)
        return "metrics";
    return nullptr;
}

int answer(lws* wsi, unsigned status, const char* contentType, const std::string& body)
{
    std::vector<unsigned char> buffer(LWS_PRE + 1024 + body.size());
    unsigned char* start = buffer.data() + LWS_PRE;
    unsigned char* position = start;
    unsigned char* end = buffer.data() + buffer.size();
    static const char noStore[] = "no-store";
    if (lws_add_http_common_headers(wsi, status, contentType, body.size(), &position, end) != 0 ||
        lws_add_http_header_by_token(wsi, WSI_TOKEN_HTTP_CACHE_CONTROL, reinterpret_cast<const unsigned char*>(noStore),
                                     sizeof noStore - 1, &position, end) != 0 ||
        lws_finalize_http_header(wsi, &position, end) != 0)
        return -1;
    std::memcpy(position, body.data(), body.size());
    position += body.size();
    if (lws_write(wsi, start, static_cast<size_t>(position - start), LWS_WRITE_HTTP_FINAL) < 0)
        return -1;
    return lws_http_transaction_completed(wsi) != 0 ? -1 : 0;
}

} // namespace

Json::Value boardJson(const BoardStatus& board, const char* versionKey)
{
    Json::Value entry(Json::objectValue);
    entry["port"] = board.port;
    entry["usbProduct"] = board.usbProduct;
    entry["state"] = board.state;
    entry["mode"] = board.mode;
    if (!board.firmwareVersion.empty()) {
        entry[versionKey] = board.firmwareVersion;
        entry["serial"] = board.serial;
        entry["flashSizeKiB"] = board.flashSizeKiB;
    }
    return entry;
}

std::string healthJson(const RelayFigures& figures)
{
    Json::Value health(Json::objectValue);
    health["version"] = figures.version;
    health["uptimeSeconds"] = count(figures.uptimeSeconds);
    health["editors"] = count(figures.editors);
    Json::Value& boards = health["boards"] = Json::Value(Json::arrayValue);
    for (const BoardStatus& board : figures.boards) {
        Json::Value entry = boardJson(board, "firmwareVersion");
        if (board.bytesTotal > 0) {
            Json::Value& write = entry["write"] = Json::Value(Json::objectValue);
            write["file"] = board.file;
            write["bytesVerified"] = count(board.bytesVerified);
            write["bytesTotal"] = count(board.bytesTotal);
        }
        boards.append(entry);
    }
    if (figures.lastError.empty()) {
        health["lastError"] = Json::Value(Json::nullValue);
    } else {
        Json::Value& error = health["lastError"] = Json::Value(Json::objectValue);
        error["text"] = figures.lastError;
        error["secondsAgo"] = count(figures.lastErrorAgeSeconds);
    }
    return CompactJsonWriter().write(health);
}

std::string metricsText(const RelayFigures& figures)
{
    std::string text;
    metric(text, "vantrel_uptime_seconds", "gauge", "Seconds since the relay started.", {{"", figures.uptimeSeconds}});
    metric(text, "vantrel_boards", "gauge", "Boards the relay lists.", {{"", figures.boards.size()}});
    metric(text, "vantrel_editors", "gauge", "Editor connections open.", {{"", figures.editors}});
    metric(text, "vantrel_messages_sent_total", "counter", "Messages written to boards.", {{"", figures.messagesSent}});
    metric(text, "vantrel_messages_received_total", "counter", "Messages received from boards.",
           {{"", figures.messagesReceived}});
    metric(text, "vantrel_acknowledgement_timeouts_total", "counter",
           "Messages whose acknowledgement did not come in time.", {{"", figures.acknowledgementTimeouts}});
    metric(text, "vantrel_firmware_writes_total", "counter", "Firmware writes ended, by their outcome.",
           {{"{result=\"completed\"}", figures.writesCompleted},
            {"{result=\"failed\"}", figures.writesFailed},
            {"{result=\"cancelled\"}", figures.writesCancelled}});
    metric(text, "vantrel_firmware_bytes_verified_total", "counter", "Firmware bytes whose echo matched the image.",
           {{"", figures.bytesVerified}});
    metric(text, "vantrel_replies_dropped_total", "counter", "Replies dropped because their editor did not read them.",
           {{"", figures.repliesDropped}});
    metric(text, "vantrel_log_lines_suppressed_total", "counter", "Log lines held back as repeats.",
           {{"", figures.logLinesSuppressed}});
    return text;
}

int StatusPages::callback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t length)
{
    if (reason != LWS_CALLBACK_HTTP)
        return lws_callback_http_dummy(wsi, reason, user, in, length);
    const lws_protocols* protocol = lws_get_protocol(wsi);
    const auto* source = protocol != nullptr ? static_cast<const RelayFigureSource*>(protocol->user) : nullptr;
    const char* page = pageOf(wsi);
    if (source == nullptr || page == nullptr)
        return answer(wsi, HTTP_STATUS_NOT_FOUND, "text/plain", "Not found\n");
    logger.log(LogLevel::DEBUG, "Serving /%s", page);
    const RelayFigures figures = source->figures();
    if (std::strcmp(page, "health") == 0)
        return answer(wsi, HTTP_STATUS_OK, "application/json", healthJson(figures));
    return answer(wsi, HTTP_STATUS_OK, "text/plain; version=0.0.4", metricsText(figures));
}
