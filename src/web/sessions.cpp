#include "web/sessions.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include <malloc.h>

#include <json/reader.h>
#include <libwebsockets.h>

#include "core/logger.h"

namespace {

unsigned connectionId(const Connection& connection)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(&connection) & 0xFFFFFFFFu);
}

} // namespace

// Progress and live-value replies as the compact writer writes them: members in byte order of their keys, so a
// live value's comes first and a progress reply's follows "port". A quote inside a string is escaped, so no port
// name can pass for one of these keys.
bool Sessions::isExpendable(const std::string& reply)
{
    return reply.rfind("{\"liveValue\":", 0) == 0 || reply.find(",\"romWrite\":") != std::string::npos ||
           reply.find(",\"romVerify\":") != std::string::npos;
}

Sessions::Sessions(SessionEvents& events) : events(events), sendBuffer(LWS_PRE + 4096) {}

std::string Sessions::peerName(Connection& connection)
{
    char address[512] = {};
    if (connection.wsi != nullptr)
        lws_get_peer_simple(connection.wsi, address, sizeof address);
    std::string name = address;
    // The listener is dual-stack: IPv4 peers arrive as IPv4-mapped IPv6 addresses.
    static const std::string mappedPrefix = "::ffff:";
    if (name.compare(0, mappedPrefix.size(), mappedPrefix) == 0)
        name.erase(0, mappedPrefix.size());
    if (name == "127.0.0.1")
        name = "127.0.0.1 (localhost)";
    return name;
}

void Sessions::established(Connection& connection, lws* wsi)
{
    logger.log(LogLevel::DEBUG, "LWS_CALLBACK_ESTABLISHED, pss: (%08X)", connectionId(connection));
    connection.wsi = wsi;
    connection.establishedMessageCount = receivedMessageCount;
    connection.id = ++lastId;
    byId[connection.id] = &connection;
    ConnectionState state;
    state.peerName = peerName(connection);
    logger.log(LogLevel::INFO, "Established connection with %s", state.peerName.c_str());
    connectionList.push_back(&connection);
    states[&connection] = std::move(state);
    releaseLastMessage();
    events.onConnectionEstablished(connection);
}

Connection& Sessions::openDetached(const std::string& peerName, ReplySink& sink)
{
    auto connection = std::make_unique<Connection>();
    connection->wsi = nullptr;
    connection->establishedMessageCount = receivedMessageCount;
    connection->id = ++lastId;
    byId[connection->id] = connection.get();
    ConnectionState state;
    state.peerName = peerName;
    state.sink = &sink;
    states[connection.get()] = std::move(state);
    Connection& opened = *connection;
    detached[opened.id] = std::move(connection);
    return opened;
}

void Sessions::closeDetached(EditorId id)
{
    const auto found = detached.find(id);
    if (found == detached.end())
        return;
    closed(*found->second);
    detached.erase(found);
}

std::string Sessions::peerNameOf(const Connection& connection) const
{
    const auto found = states.find(&connection);
    return found == states.end() ? std::string() : found->second.peerName;
}

void Sessions::closed(Connection& connection)
{
    auto found = states.find(&connection);
    if (found == states.end())
        return;
    logger.log(LogLevel::DEBUG, "LWS_CALLBACK_CLOSED, pss: (%08X)", connectionId(connection));
    if (found->second.sink == nullptr)
        logger.log(LogLevel::INFO, "Closed connection with %s", found->second.peerName.c_str());
    connectionList.erase(std::remove(connectionList.begin(), connectionList.end(), &connection), connectionList.end());
    byId.erase(connection.id);
    events.onConnectionClosed(connection);
    revokeOutgoingResponsesForRelay(&connection);
    states.erase(&connection);
}

bool Sessions::parse(const std::string& text, Json::Value& value, std::string& errors) const
{
    Json::CharReaderBuilder builder;
    builder["collectComments"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    try {
        return reader->parse(text.data(), text.data() + text.size(), &value, &errors);
    } catch (const std::exception& e) {
        // The reader throws when nesting exceeds its stack limit.
        errors = e.what();
        return false;
    }
}

void Sessions::received(Connection& connection, const char* data, size_t length, bool isFinal, bool isBinary)
{
    auto found = states.find(&connection);
    if (found == states.end())
        return;
    ConnectionState& state = found->second;
    if (isBinary) {
        receivedBinary(connection, state, data, length, isFinal);
        ++receivedMessageCount;
        return;
    }

    lastMessage.assign(data, data + length);
    lastMessage.push_back(0);
    const std::string piece(data, strnlen(data, length));
    logger.log(LogLevel::TRAFFIC, "ser <- web: %s", piece.c_str());

    if (state.discardingMessage) {
        state.discardingMessage = !isFinal;
    } else if (state.accumulator.size() + piece.size() > maxAccumulatedText) {
        logger.log(LogLevel::WARNING,
                   "Discarding %zu bytes of received text from %s: more than %zu bytes held without forming a JSON "
                   "command",
                   state.accumulator.size() + piece.size(), state.peerName.c_str(), maxAccumulatedText);
        clearText(state);
        state.messageInProgress = false;
        state.discardingMessage = !isFinal;
    } else {
        if (!state.messageInProgress) {
            state.messageStart = state.accumulator.size();
            state.messageInProgress = true;
        }
        state.accumulator += piece;
        state.scanner.feed(piece.data(), piece.size());
        if (isFinal) {
            state.messageInProgress = false;
            handleCompleteText(connection, state);
        }
    }
    std::fflush(stdout);
    ++receivedMessageCount;
}

void Sessions::expectBinaryMessage(Connection& connection, size_t bytes)
{
    auto found = states.find(&connection);
    if (found != states.end())
        found->second.binaryExpected = std::min(bytes, maxBinaryMessageBytes);
}

bool Sessions::awaitsBinaryMessage(const Connection& connection) const
{
    const auto found = states.find(&connection);
    return found != states.end() && found->second.binaryExpected != 0;
}

void Sessions::receivedBinary(Connection& connection, ConnectionState& state, const char* data, size_t length,
                              bool isFinal)
{
    const bool first = state.binary.empty() && !state.discardingBinary;
    if (first && state.binaryExpected == 0) {
        logger.log(LogLevel::WARNING,
                   "Dropping a binary message from %s: none was announced (write_firmware_image names its size)",
                   state.peerName.c_str());
        state.discardingBinary = true;
    } else if (!state.discardingBinary && state.binary.size() + length > state.binaryExpected) {
        logger.log(LogLevel::WARNING, "Dropping a binary message from %s: longer than the %zu bytes announced",
                   state.peerName.c_str(), state.binaryExpected);
        std::vector<uint8_t>().swap(state.binary);
        state.binaryExpected = 0;
        state.discardingBinary = true;
        events.onBinaryMessage(connection, {}, false);
    } else if (!state.discardingBinary) {
        if (first)
            state.binary.reserve(state.binaryExpected);
        state.binary.insert(state.binary.end(), data, data + length);
    }
    if (!isFinal)
        return;
    if (state.discardingBinary) {
        state.discardingBinary = false;
        return;
    }
    logger.log(LogLevel::TRAFFIC, "ser <- web: a binary message of %zu bytes", state.binary.size());
    state.binaryExpected = 0;
    std::vector<uint8_t> bytes;
    bytes.swap(state.binary);
    events.onBinaryMessage(connection, std::move(bytes), true);
}

void Sessions::clearText(ConnectionState& state)
{
    // Held text can reach the cap: an idle connection keeps none of it.
    state.accumulator.clear();
    state.accumulator.shrink_to_fit();
    state.scanner.reset();
}

void Sessions::handleCompleteText(Connection& connection, ConnectionState& state)
{
    Json::Value command;
    std::string errors = "the text has not closed yet";
    // Held text is read once, when its verdict is settled; until then only the message alone is, so a piece
    // costs what the piece holds, never what is held before it.
    const bool settled = state.scanner.settled();
    bool parsed = settled && parse(state.accumulator, command, errors);
    if (!parsed)
        logger.log(LogLevel::DEBUG, "Failed to parse JSON : %s", errors.c_str());
    // Earlier text that never completed must not swallow a command that stands on its own, neither by failing nor
    // by reading it into a value that is no command at all (an open string, say).
    if ((!parsed || !command.isObject()) && state.messageStart > 0) {
        Json::Value alone;
        std::string ignored;
        if (parse(state.accumulator.substr(state.messageStart), alone, ignored) && (!parsed || alone.isObject())) {
            if (!parsed)
                logger.log(LogLevel::DEBUG, "Dropping %zu bytes of incomplete text before a complete command",
                           state.messageStart);
            command = std::move(alone);
            parsed = true;
        }
    }
    if (parsed) {
        clearText(state);
        events.onWebCommand(connection, command);
    } else if (settled) {
        logger.log(LogLevel::DEBUG, "Discarding received text that cannot become valid JSON");
        clearText(state);
    }
}

void Sessions::queueResponse(Connection* connection, std::string text)
{
    const bool expendable = isExpendable(text);
    queue(connection, std::move(text), expendable);
}

void Sessions::queueProgress(Connection* connection, std::string_view head, std::string_view tail)
{
    std::string text;
    if (!spareTexts.empty()) {
        text = std::move(spareTexts.back());
        spareTexts.pop_back();
    }
    text.reserve(head.size() + tail.size());
    text.assign(head);
    text.append(tail);
    queue(connection, std::move(text), true);
}

void Sessions::keepSpareText(std::string& text)
{
    if (spareTexts.size() < maxHeldReplies && text.capacity() <= maxSpareTextBytes) {
        text.clear();
        spareTexts.push_back(std::move(text));
    }
}

void Sessions::queue(Connection* connection, std::string text, bool expendable)
{
    auto found = states.find(connection);
    if (found == states.end() || found->second.closing)
        return;
    ConnectionState& state = found->second;
    if (state.sink != nullptr) {
        state.sink->deliverReply(connection->id, std::move(text), expendable);
        return;
    }
    if (text.size() > maxReplyBytes) {
        logger.log(LogLevel::ERROR, "A reply of %zu bytes for %s is longer than the relay sends (1 MiB); it is dropped",
                   text.size(), state.peerName.c_str());
        return;
    }
    if ((state.replies.size() >= maxQueuedReplies || state.queuedBytes + text.size() > maxQueuedReplyBytes) &&
        !makeRoom(state, text.size())) {
        closeUnreadConnection(*connection, state);
        return;
    }
    state.queuedBytes += text.size();
    state.replies.push_back({std::move(text), expendable});
    // Asked once until the connection was writable: a flash queues replies faster than the socket is served.
    if (connection->wsi == nullptr || state.writableAsked)
        return;
    // A write makes two progress replies a chunk, and a socket write with the editor's wake-up costs the loop more
    // than the chunk itself: such replies wait a moment for company and then leave together, in their order.
    if (expendable && state.replies.size() < maxHeldReplies) {
        if (!state.held) {
            state.held = true;
            state.heldSince = std::chrono::steady_clock::now();
            heldConnections.push_back(connection);
        }
        return;
    }
    askWritable(*connection, state);
}

void Sessions::askWritable(Connection& connection, ConnectionState& state)
{
    lws_callback_on_writable(connection.wsi);
    state.writableAsked = true;
    state.held = false;
    state.fresh = true;
    freshConnections.push_back(&connection);
}

bool Sessions::makeRoom(ConnectionState& state, size_t incomingBytes)
{
    const size_t roomyCount = maxQueuedReplies / 4 * 3;
    const size_t roomyBytes = maxQueuedReplyBytes / 4 * 3;
    std::deque<QueuedReply>& replies = state.replies;
    size_t count = replies.size();
    size_t kept = 0;
    for (size_t i = 0; i < replies.size(); ++i) {
        if (replies[i].expendable && (count >= roomyCount || state.queuedBytes + incomingBytes > roomyBytes)) {
            --count;
            state.queuedBytes -= replies[i].text.size();
            continue;
        }
        if (kept != i)
            replies[kept] = std::move(replies[i]);
        ++kept;
    }
    const size_t dropped = replies.size() - kept;
    replies.erase(replies.begin() + static_cast<std::ptrdiff_t>(kept), replies.end());
    droppedCount += dropped;
    if (dropped > 0)
        logger.log(LogLevel::WARNING,
                   "Connection with %s does not read its replies: dropped its %zu oldest progress and live-value "
                   "replies",
                   state.peerName.c_str(), dropped);
    return count < roomyCount && state.queuedBytes + incomingBytes <= roomyBytes;
}

void Sessions::releaseReplies(ConnectionState& state)
{
    const size_t released = state.queuedBytes;
    // A cleared deque keeps its map of blocks: swapped out, the memory goes back at once.
    std::deque<QueuedReply>().swap(state.replies);
    state.queuedBytes = 0;
    // The allocator keeps what is freed for later use; a backlog of megabytes goes back to the system instead.
    if (released >= maxQueuedReplyBytes / 16)
        malloc_trim(0);
}

void Sessions::closeUnreadConnection(Connection& connection, ConnectionState& state)
{
    logger.log(LogLevel::WARNING,
               "Closing the connection with %s: it does not read its replies (%zu waiting, %zu bytes)",
               state.peerName.c_str(), state.replies.size(), state.queuedBytes);
    state.closing = true;
    droppedCount += state.replies.size();
    releaseReplies(state);
    // Closed at the library's next service, outside whatever callback queued the reply.
    if (connection.wsi != nullptr)
        lws_set_timeout(connection.wsi, PENDING_TIMEOUT_CLOSE_SEND, LWS_TO_KILL_ASYNC);
}

Connection* Sessions::findConnection(EditorId id) const
{
    const auto found = byId.find(id);
    return found == byId.end() ? nullptr : found->second;
}

size_t Sessions::frameReplies(const ConnectionState& state, size_t& count)
{
    // Each reply is a WebSocket text message of its own, framed here as the library frames one: a server's frames
    // are not masked, and no extension is ever agreed.
    size_t used = LWS_PRE;
    count = 0;
    for (const QueuedReply& reply : state.replies) {
        const size_t size = reply.text.size();
        if (count > 0 && used - LWS_PRE + size > maxBatchBytes)
            break;
        if (sendBuffer.size() < used + maxFrameHeaderBytes + size)
            sendBuffer.resize(used + maxFrameHeaderBytes + size);
        unsigned char* frame = sendBuffer.data() + used;
        size_t header = 0;
        frame[header++] = 0x81;
        if (size < 126) {
            frame[header++] = static_cast<unsigned char>(size);
        } else if (size < 65536) {
            frame[header++] = 126;
            frame[header++] = static_cast<unsigned char>(size >> 8);
            frame[header++] = static_cast<unsigned char>(size);
        } else {
            frame[header++] = 127;
            for (int shift = 56; shift >= 0; shift -= 8)
                frame[header++] = static_cast<unsigned char>(static_cast<uint64_t>(size) >> shift);
        }
        std::copy(reply.text.begin(), reply.text.end(), frame + header);
        used += header + size;
        ++count;
        if (logger.shows(LogLevel::TRAFFIC))
            logger.log(LogLevel::TRAFFIC, "ser -> web: %s", reply.text.c_str());
    }
    return used - LWS_PRE;
}

void Sessions::writable(Connection& connection)
{
    auto found = states.find(&connection);
    if (found == states.end() || found->second.closing)
        return;
    ConnectionState& state = found->second;
    state.writableAsked = false;
    state.fresh = false;
    state.held = false;
    // Drain while the connection can take more, so a fast producer (a flash) does not outrun the editor. The replies
    // waiting leave together in one write of the socket: a flash makes two for every chunk, and each write costs
    // the loop far more than the bytes it carries.
    while (!state.replies.empty()) {
        size_t count = 0;
        const size_t bytes = frameReplies(state, count);
        // Already framed: the library writes the bytes as they are.
        const int written = lws_write(connection.wsi, sendBuffer.data() + LWS_PRE, bytes, LWS_WRITE_HTTP);
        const bool connectionEnded = written < 0;
        if (connectionEnded) {
            logger.log(LogLevel::ERROR, "The connection with %s ended while a reply was being sent",
                       state.peerName.c_str());
        } else if (static_cast<size_t>(written) < bytes) {
            logger.log(LogLevel::ERROR, "Only %d of the %d bytes of a reply went to %s", written,
                       static_cast<int>(bytes), state.peerName.c_str());
        }
        for (size_t i = 0; i < count; ++i) {
            state.queuedBytes -= state.replies.front().text.size();
            keepSpareText(state.replies.front().text);
            state.replies.pop_front();
        }
        if (connectionEnded || state.replies.empty() || lws_send_pipe_choked(connection.wsi))
            break;
    }
    std::fflush(stdout);
    if (!state.replies.empty()) {
        lws_callback_on_writable(connection.wsi);
        state.writableAsked = true;
    }
}

void Sessions::sendFreshReplies(lws_context* context)
{
    const auto now = std::chrono::steady_clock::now();
    size_t stillHeld = 0;
    for (size_t i = 0; i < heldConnections.size(); ++i) {
        Connection* connection = heldConnections[i];
        const auto found = states.find(connection);
        if (found == states.end() || !found->second.held)
            continue;
        if (now - found->second.heldSince >= holdTime)
            askWritable(*connection, found->second);
        else
            heldConnections[stillHeld++] = connection;
    }
    heldConnections.resize(stillHeld);
    // Taken first: a write may close a connection, and a closed one may queue nothing more.
    std::vector<Connection*> fresh;
    fresh.swap(freshConnections);
    for (Connection* connection : fresh) {
        const auto found = states.find(connection);
        if (found == states.end() || !found->second.fresh || found->second.closing || connection->wsi == nullptr)
            continue;
        found->second.fresh = false;
        lws_pollfd ready{lws_get_socket_fd(connection->wsi), LWS_POLLOUT, LWS_POLLOUT};
        lws_service_fd(context, &ready);
    }
    // Kept for the next pass rather than allocated again, unless the writes made replies fresh meanwhile.
    fresh.clear();
    if (freshConnections.empty())
        fresh.swap(freshConnections);
}

uint64_t Sessions::msUntilHeldRepliesDue() const
{
    const auto now = std::chrono::steady_clock::now();
    uint64_t soonest = UINT64_MAX;
    for (const Connection* connection : heldConnections) {
        const auto found = states.find(connection);
        if (found == states.end() || !found->second.held)
            continue;
        const auto left = found->second.heldSince + holdTime - now;
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        soonest = std::min<uint64_t>(soonest, ms > 0 ? static_cast<uint64_t>(ms) : 0);
    }
    return soonest;
}

bool Sessions::socketsToWatch(std::vector<std::pair<int, uint64_t>>& sockets) const
{
    sockets.clear();
    for (const auto& entry : states) {
        if (entry.second.writableAsked)
            return false;
        if (entry.first->wsi != nullptr && !entry.second.closing)
            sockets.emplace_back(lws_get_socket_fd(entry.first->wsi), entry.first->id);
    }
    return true;
}

void Sessions::revokeOutgoingResponsesForRelay(Connection* connection)
{
    auto found = states.find(connection);
    if (found == states.end() || found->second.replies.empty())
        return;
    releaseReplies(found->second);
    logger.log(LogLevel::DEBUG, "revokeOutgoingResponsesForRelay, pss: (%08X)", connectionId(*connection));
}

size_t Sessions::queuedReplies(const Connection* connection) const
{
    auto found = states.find(connection);
    return found == states.end() ? 0 : found->second.replies.size();
}

size_t Sessions::queuedReplyBytes(const Connection* connection) const
{
    auto found = states.find(connection);
    return found == states.end() ? 0 : found->second.queuedBytes;
}

std::vector<std::string> Sessions::pendingReplies(const Connection* connection) const
{
    auto found = states.find(connection);
    if (found == states.end())
        return {};
    std::vector<std::string> texts;
    for (const QueuedReply& reply : found->second.replies)
        texts.push_back(reply.text);
    return texts;
}
