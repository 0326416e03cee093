#include "web/sessions.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include <json/reader.h>
#include <libwebsockets.h>

#include "core/logger.h"

namespace {

unsigned connectionId(const Connection& connection)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(&connection) & 0xFFFFFFFFu);
}

bool isPrefixOf(const std::string& text, const char* word)
{
    return text.size() <= std::strlen(word) && std::strncmp(word, text.c_str(), text.size()) == 0;
}

} // namespace

bool cannotBecomeValidJson(const std::string& text)
{
    const size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos)
        return false;
    const char first = text[start];
    if (first == '/')
        return false; // a comment may precede the value
    if (first != '{' && first != '[') {
        const std::string rest = text.substr(start);
        if (first == '"') {
            // Only an unescaped quote closes the string.
            for (size_t i = 1; i < rest.size(); ++i) {
                if (rest[i] == '\\')
                    ++i;
                else if (rest[i] == '"')
                    return true;
            }
            return false;
        }
        return !(isPrefixOf(rest, "true") || isPrefixOf(rest, "false") || isPrefixOf(rest, "null"));
    }
    // Track nesting outside strings; once the outer value has closed, appending cannot repair it.
    std::string open;
    bool inString = false;
    bool escaped = false;
    for (size_t i = start; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            open.push_back(c);
        } else if (c == '}' || c == ']') {
            if (open.empty() || (c == '}') != (open.back() == '{'))
                return true;
            open.pop_back();
            if (open.empty())
                return true;
        }
    }
    return false;
}

Sessions::Sessions(SessionEvents& events) : events(events), sendBuffer(LWS_PRE + sendBufferSize) {}

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
    ConnectionState state;
    state.peerName = peerName(connection);
    logger.log(LogLevel::INFO, "Established connection with %s", state.peerName.c_str());
    connectionList.push_back(&connection);
    states[&connection] = std::move(state);
    releaseLastMessage();
    events.onConnectionEstablished(connection);
}

void Sessions::closed(Connection& connection)
{
    auto found = states.find(&connection);
    if (found == states.end())
        return;
    logger.log(LogLevel::DEBUG, "LWS_CALLBACK_CLOSED, pss: (%08X)", connectionId(connection));
    logger.log(LogLevel::INFO, "Closed connection with %s", found->second.peerName.c_str());
    connectionList.erase(std::remove(connectionList.begin(), connectionList.end(), &connection), connectionList.end());
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

void Sessions::received(Connection& connection, const char* data, size_t length, bool isFinal)
{
    auto found = states.find(&connection);
    if (found == states.end())
        return;
    ConnectionState& state = found->second;

    lastMessage.assign(data, data + length);
    lastMessage.push_back(0);
    const std::string piece(data, strnlen(data, length));
    logger.log(LogLevel::TRAFFIC, "ser <- web: %s", piece.c_str());

    if (state.discardingMessage) {
        state.discardingMessage = !isFinal;
    } else {
        if (!state.messageInProgress) {
            state.messageStart = state.accumulator.size();
            state.messageInProgress = true;
        }
        state.accumulator += piece;
        if (state.accumulator.size() > maxAccumulatedText) {
            logger.log(LogLevel::WARNING, "Discarding %zu bytes of received text that did not form a JSON command",
                       state.accumulator.size());
            state.accumulator.clear();
            state.messageInProgress = false;
            state.discardingMessage = !isFinal;
        } else if (isFinal) {
            state.messageInProgress = false;
            handleCompleteText(connection, state);
        }
    }
    std::fflush(stdout);
    ++receivedMessageCount;
}

void Sessions::handleCompleteText(Connection& connection, ConnectionState& state)
{
    Json::Value command;
    std::string errors;
    if (parse(state.accumulator, command, errors)) {
        // Earlier unfinished text (an open string, say) can swallow a whole command into a value that is no
        // command at all; the message alone is then what the editor meant.
        Json::Value alone;
        std::string ignored;
        if (!command.isObject() && state.messageStart > 0 &&
            parse(state.accumulator.substr(state.messageStart), alone, ignored) && alone.isObject())
            command = std::move(alone);
        state.accumulator.clear();
        events.onWebCommand(connection, command);
        return;
    }
    logger.log(LogLevel::DEBUG, "Failed to parse JSON : %s", errors.c_str());
    // Earlier text that never completed must not swallow a command that stands on its own.
    if (state.messageStart > 0) {
        const std::string message = state.accumulator.substr(state.messageStart);
        if (parse(message, command, errors)) {
            logger.log(LogLevel::DEBUG, "Dropping %zu bytes of incomplete text before a complete command",
                       state.messageStart);
            state.accumulator.clear();
            events.onWebCommand(connection, command);
            return;
        }
    }
    if (cannotBecomeValidJson(state.accumulator)) {
        logger.log(LogLevel::DEBUG, "Discarding received text that cannot become valid JSON");
        state.accumulator.clear();
    }
}

void Sessions::queueResponse(Connection* connection, const std::string& text)
{
    auto found = states.find(connection);
    if (found == states.end())
        return;
    std::deque<std::string>& replies = found->second.replies;
    if (replies.size() >= maxQueuedReplies) {
        logger.log(LogLevel::WARNING, "Connection (%08X) does not read its replies, dropping the oldest",
                   connectionId(*connection));
        replies.pop_front();
    }
    replies.push_back(text);
    if (connection->wsi != nullptr)
        lws_callback_on_writable(connection->wsi);
}

void Sessions::writable(Connection& connection)
{
    auto found = states.find(&connection);
    if (found == states.end())
        return;
    std::deque<std::string>& replies = found->second.replies;
    // Drain while the connection can take more, so a fast producer (a flash) does not outrun the editor.
    while (!replies.empty()) {
        const std::string& text = replies.front();
        bool connectionEnded = false;
        if (text.size() > sendBufferSize) {
            logger.log(LogLevel::ERROR, "Outgoing response is larger than sendBuffer");
        } else {
            std::memcpy(sendBuffer.data() + LWS_PRE, text.data(), text.size());
            logger.log(LogLevel::TRAFFIC, "ser -> web: %s", text.c_str());
            const int written = lws_write(connection.wsi, sendBuffer.data() + LWS_PRE, text.size(), LWS_WRITE_TEXT);
            if (written < 0) {
                logger.log(LogLevel::ERROR, "lws_write: connection ended!");
                connectionEnded = true;
            } else if (static_cast<size_t>(written) < text.size()) {
                logger.log(LogLevel::ERROR, "lws_write: wrote %d bytes when expecting to write %d", written,
                           static_cast<int>(text.size()));
            }
        }
        replies.pop_front();
        if (connectionEnded || lws_send_pipe_choked(connection.wsi))
            break;
    }
    std::fflush(stdout);
    if (!replies.empty())
        lws_callback_on_writable(connection.wsi);
}

void Sessions::revokeOutgoingResponsesForRelay(Connection* connection)
{
    auto found = states.find(connection);
    if (found == states.end() || found->second.replies.empty())
        return;
    found->second.replies.clear();
    logger.log(LogLevel::DEBUG, "revokeOutgoingResponsesForRelay, pss: (%08X)", connectionId(*connection));
}

size_t Sessions::queuedReplies(const Connection* connection) const
{
    auto found = states.find(connection);
    return found == states.end() ? 0 : found->second.replies.size();
}

std::vector<std::string> Sessions::pendingReplies(const Connection* connection) const
{
    auto found = states.find(connection);
    if (found == states.end())
        return {};
    return std::vector<std::string>(found->second.replies.begin(), found->second.replies.end());
}
