#include "client/relay_connection.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <utility>

#include <libwebsockets.h>

#include "client/client_output.h"
#include "client/relay_messages.h"

uint64_t steadyMs()
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

namespace {

const char* const protocolName = "vantrel-configurator";
// A binary message leaves in pieces of this size, so a large image is not copied whole into the library's buffer.
constexpr size_t binaryPieceBytes = size_t{64} * 1024;

volatile std::sig_atomic_t interruptRequested = 0;
// The context whose loop a signal must wake; only the signal handler and the connection touch it.
std::atomic<lws_context*> wakeContext{nullptr};

void onInterruptSignal(int)
{
    interruptRequested = 1;
    if (lws_context* context = wakeContext.load())
        lws_cancel_service(context);
}

// The library's last error line, for the message when a connection cannot be made; nothing is printed.
std::string lastLibraryError;

void keepLibraryError(int level, const char* line)
{
    if (level == LLL_ERR && line != nullptr)
        lastLibraryError = oneLine(line);
}

int callback(lws* wsi, lws_callback_reasons reason, void*, void* in, size_t length)
{
    auto* connection = static_cast<RelayConnection*>(lws_context_user(lws_get_context(wsi)));
    return connection == nullptr ? 0 : connection->onCallback(wsi, static_cast<int>(reason), in, length);
}

const lws_protocols protocols[] = {
    {protocolName, callback, 0, 0, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

void wake(lws_sorted_usec_list_t*) {}

} // namespace

void catchInterrupts()
{
    struct sigaction action {};
    action.sa_handler = onInterruptSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A relay that goes away mid-write must end the connection, not the program.
    std::signal(SIGPIPE, SIG_IGN);
}

RelayConnection::RelayConnection(RelayUrl url, std::string token, uint64_t timeoutMs, std::string caFile)
    : url(std::move(url)), token(std::move(token)), timeoutMs(timeoutMs), caFile(std::move(caFile)),
      writeBuffer(LWS_PRE + binaryPieceBytes)
{}

RelayConnection::~RelayConnection()
{
    if (context != nullptr) {
        leave();
        wakeContext.store(nullptr);
        lws_context_destroy(context);
    }
}

bool interrupted() { return interruptRequested != 0; }

bool RelayConnection::wasInterrupted() const { return interrupted(); }

bool RelayConnection::isListed(const std::string& port) const
{
    for (const ListedPort& listed : portList) {
        if (listed.name == port)
            return true;
    }
    return false;
}

Outcome RelayConnection::checkListed(const std::string& port) const
{
    if (isListed(port))
        return Outcome::success();
    return Outcome::failure(ExitStatus::boardFailure, port + " is not among the boards the relay lists (" +
                                                          listedNames() + "): see 'vantrel boards'");
}

std::string RelayConnection::listedNames() const
{
    std::string names;
    for (const ListedPort& listed : portList)
        names += (names.empty() ? "" : ", ") + listed.name;
    return names.empty() ? "none" : names;
}

Outcome RelayConnection::open()
{
    lws_set_log_level(LLL_ERR, keepLibraryError);
    lws_context_creation_info info{};
    info.port = CONTEXT_PORT_NO_LISTEN;
    info.protocols = protocols;
    info.user = this;
    info.gid = -1;
    info.uid = -1;
    // One connection: the library need not make room for every descriptor the process may open.
    info.fd_limit_per_thread = 16;
    if (url.secure)
        info.options |= LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
    if (!caFile.empty())
        info.client_ssl_ca_filepath = caFile.c_str();
    context = lws_create_context(&info);
    if (context == nullptr)
        return Outcome::failure(ExitStatus::relayUnreachable,
                                "cannot start the WebSocket library (" + lastLibraryError + ")");
    wakeContext.store(context);

    const std::string host = url.hostHeader();
    lws_client_connect_info connect{};
    connect.context = context;
    connect.address = url.host.c_str();
    connect.port = url.port;
    connect.path = url.path.c_str();
    connect.host = host.c_str();
    // A program sends no Origin: the relay lets such clients in.
    connect.origin = nullptr;
    connect.protocol = protocolName;
    connect.ssl_connection = url.secure ? LCCSCF_USE_SSL : 0;
    connect.pwsi = &wsi;
    // Without a connection under way (a name that does not resolve, say) there is nothing to wait for.
    if (lws_client_connect_via_info(&connect) == nullptr) {
        closed = true;
        wsi = nullptr;
        if (connectError.empty())
            connectError = lastLibraryError.empty() ? "its name or address cannot be used" : lastLibraryError;
    }

    // The greeting ends with the firmware file list.
    const uint64_t deadline = steadyMs() + timeoutMs;
    bool greeted = false;
    while (!greeted && !closed && !wasInterrupted() && steadyMs() < deadline) {
        serviceUntil(deadline);
        while (!inbox.empty()) {
            greeted = greeted || inbox.front().isMember("firmwareFilesList");
            inbox.pop_front();
        }
    }
    if (greeted)
        return Outcome::success();
    if (wasInterrupted())
        return Outcome::failure(ExitStatus::boardFailure, "interrupted before the relay answered");
    return Outcome::failure(ExitStatus::relayUnreachable, connectionFailureText());
}

std::string RelayConnection::connectionFailureText() const
{
    const std::string where = "the relay at " + url.text();
    if (refusedStatus == 401)
        return where + " wants its access token: give it with --token or VANTREL_TOKEN (the file relay-token in the "
                       "relay's working directory holds it)";
    if (refusedStatus == 403)
        return where + " refused the connection (HTTP 403): it does not answer to the name " + url.host +
               "; use a name it answers to, or start it with -a " + url.host;
    if (refusedStatus == 503)
        return where + " has no room for another connection (HTTP 503): try again once other clients have left";
    if (refusedStatus != 0)
        return where + " refused the connection (HTTP " + std::to_string(refusedStatus) + ")";
    if (established)
        return where + " did not greet within " + durationText(timeoutMs) +
               ": is it a vantrel relay? (a longer --timeout may help)";
    const std::string why = connectError.empty() ? lastLibraryError : connectError;
    if (url.secure && why.find("SSL") != std::string::npos)
        return "cannot reach " + where + " over TLS (" + why + "): is its certificate one this machine trusts? Give " +
               "the relay's own with --ca (relay-tls.crt in its working directory)";
    return "cannot reach " + where + (why.empty() ? "" : " (" + why + ")") +
           ": start the relay (vantrelRelay, or the vantrel-relay service) or give its address with --relay";
}

void RelayConnection::send(const Json::Value& message)
{
    const std::string text = relayCommandText(message);
    if (traffic)
        traffic(true, text);
    outgoing.push_back({false, text, 0});
    if (wsi != nullptr)
        lws_callback_on_writable(wsi);
}

void RelayConnection::sendBinary(std::vector<uint8_t> bytes)
{
    outgoing.push_back({true, std::string(bytes.begin(), bytes.end()), 0});
    if (wsi != nullptr)
        lws_callback_on_writable(wsi);
}

void RelayConnection::writeNext()
{
    if (outgoing.empty() || wsi == nullptr)
        return;
    OutgoingFrame& frame = outgoing.front();
    const size_t piece =
        frame.binary ? std::min(binaryPieceBytes, frame.bytes.size() - frame.sent) : frame.bytes.size();
    if (writeBuffer.size() < LWS_PRE + piece)
        writeBuffer.resize(LWS_PRE + piece);
    std::memcpy(writeBuffer.data() + LWS_PRE, frame.bytes.data() + frame.sent, piece);
    const bool first = frame.sent == 0;
    const bool last = frame.sent + piece == frame.bytes.size();
    const int flags = lws_write_ws_flags(frame.binary ? LWS_WRITE_BINARY : LWS_WRITE_TEXT, first, last);
    const int written = lws_write(wsi, writeBuffer.data() + LWS_PRE, piece, static_cast<lws_write_protocol>(flags));
    if (written < static_cast<int>(piece)) {
        // The library closes the connection after a failed write; the loop sees it end.
        outgoing.clear();
        return;
    }
    frame.sent += piece;
    if (last)
        outgoing.pop_front();
    if (!outgoing.empty())
        lws_callback_on_writable(wsi);
}

void RelayConnection::take(const std::string& text)
{
    if (traffic)
        traffic(false, text);
    Json::Value message;
    if (!readRelayJson(text, message))
        return;
    const Json::Value& read = message;
    if (read["ports"].isArray()) {
        portList.clear();
        for (const Json::Value& port : read["ports"]) {
            if (port.isObject() && port["name"].isString())
                portList.push_back(
                    {port["name"].asString(), port["usbProduct"].isString() ? port["usbProduct"].asString() : ""});
        }
    }
    if (read["server"].isString())
        server = read["server"].asString();
    inbox.push_back(std::move(message));
}

int RelayConnection::onCallback(lws* from, int reason, void* in, size_t length)
{
    switch (reason) {
    case LWS_CALLBACK_CLIENT_APPEND_HANDSHAKE_HEADER: {
        if (token.empty())
            break;
        auto** position = static_cast<unsigned char**>(in);
        const std::string value = "Bearer " + token;
        if (lws_add_http_header_by_token(from, WSI_TOKEN_HTTP_AUTHORIZATION,
                                         reinterpret_cast<const unsigned char*>(value.c_str()),
                                         static_cast<int>(value.size()), position, *position + length) != 0)
            return -1;
        break;
    }
    case LWS_CALLBACK_CLIENT_ESTABLISHED: established = true; break;
    case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
        connectError = in != nullptr ? oneLine(static_cast<const char*>(in)) : "";
        refusedStatus = static_cast<int>(lws_http_client_http_response(from));
        closed = true;
        wsi = nullptr;
        break;
    case LWS_CALLBACK_CLIENT_RECEIVE:
        // The relay sends no binary messages; a piece of one would only corrupt the text.
        if (lws_frame_is_binary(from))
            break;
        incoming.append(static_cast<const char*>(in), length);
        if (lws_is_final_fragment(from) && lws_remaining_packet_payload(from) == 0) {
            take(incoming);
            incoming.clear();
        }
        break;
    case LWS_CALLBACK_CLIENT_WRITEABLE:
        if (leaving) {
            lws_close_reason(from, LWS_CLOSE_STATUS_NORMAL, nullptr, 0);
            return -1;
        }
        writeNext();
        break;
    case LWS_CALLBACK_CLIENT_CLOSED:
        closed = true;
        wsi = nullptr;
        break;
    default: break;
    }
    return 0;
}

void RelayConnection::serviceUntil(uint64_t deadlineMs)
{
    lws_sorted_usec_list_t timer{};
    const uint64_t now = steadyMs();
    // Woken at least this often all the same, so that no wait depends on a wake-up alone.
    constexpr uint64_t longestWaitMs = 1000;
    const uint64_t waitMs = deadlineMs > now ? std::min(deadlineMs - now, longestWaitMs) : 0;
    lws_sul_schedule(context, 0, &timer, wake, static_cast<lws_usec_t>(waitMs) * LWS_US_PER_MS);
    // With the timer scheduled, the library's wait ends by the deadline at the latest.
    lws_service(context, 0);
    lws_sul_cancel(&timer);
}

void RelayConnection::leave()
{
    if (wsi == nullptr || closed)
        return;
    flush();
    leaving = true;
    lws_callback_on_writable(wsi);
    const uint64_t deadline = steadyMs() + 1000;
    while (!closed && steadyMs() < deadline)
        serviceUntil(deadline);
}

void RelayConnection::flush()
{
    const uint64_t deadline = steadyMs() + 1000;
    while (!outgoing.empty() && !closed && steadyMs() < deadline)
        serviceUntil(deadline);
}

Outcome RelayConnection::run(Conversation& conversation)
{
    bool toldOfInterrupt = false;
    while (true) {
        while (!inbox.empty() && !conversation.finished()) {
            const Json::Value message = std::move(inbox.front());
            inbox.pop_front();
            conversation.onMessage(message, steadyMs());
        }
        if (conversation.finished()) {
            flush();
            return Outcome::success();
        }
        if (closed)
            return Outcome::failure(ExitStatus::relayUnreachable,
                                    "the relay at " + url.text() + " closed the connection: is it still running?");
        const uint64_t now = steadyMs();
        if (wasInterrupted()) {
            if (toldOfInterrupt) {
                flush();
                return Outcome::failure(ExitStatus::boardFailure, "interrupted");
            }
            toldOfInterrupt = true;
            conversation.onInterrupt(now);
            continue;
        }
        if (conversation.nextTimeMs() <= now) {
            conversation.onTime(now);
            continue;
        }
        serviceUntil(conversation.nextTimeMs());
    }
}
