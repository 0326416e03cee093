#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <json/value.h>

#include "web/connection.h"
#include "web/received_text_scanner.h"

struct lws;
struct lws_context;

// What the sessions tell the rest of the relay.
class SessionEvents {
public:
    virtual ~SessionEvents() = default;
    virtual void onConnectionEstablished(Connection& connection) = 0;
    virtual void onConnectionClosed(Connection& connection) = 0;
    virtual void onWebCommand(Connection& connection, const Json::Value& command) = 0;
    // The binary message the connection was expected to send has come: whole is false when it was longer than
    // announced and dropped (bytes then empty).
    virtual void onBinaryMessage(Connection& connection, std::vector<uint8_t> bytes, bool whole) = 0;
};

// Where the replies of a connection without a socket go (the commands of such a connection come through the
// broker).
class ReplySink {
public:
    virtual ~ReplySink() = default;
    // An expendable reply is a progress or live-value reply (see Sessions::isExpendable).
    virtual void deliverReply(EditorId editor, std::string text, bool expendable) = 0;
};

// The editor connections: their list, the text they send until it forms a JSON command, and the replies queued
// for them. Replies leave in the order in which they were queued for their connection; a connection that does not
// read holds back only its own replies, within a budget of its own. Created once by the relay core; lives for the
// whole run.
class Sessions {
public:
    // Received text held beyond this that still is no JSON command is discarded.
    static constexpr size_t maxAccumulatedText = 1 << 20;
    // The longest reply sent (a configuration dump of a full board is far longer than one socket write); a longer
    // one is refused.
    static constexpr size_t maxReplyBytes = maxAccumulatedText;
    // What may wait for one connection. A reply that would pass either limit first pushes out the connection's
    // oldest progress and live-value replies until a quarter of both is free; when that cannot be freed, the editor
    // is not reading and its connection is closed.
    static constexpr size_t maxQueuedReplies = 16384;
    static constexpr size_t maxQueuedReplyBytes = 16 << 20;
    // How long, and up to how many, progress and live values wait for company before they leave.
    static constexpr std::chrono::milliseconds holdTime{5};
    static constexpr size_t maxHeldReplies = 64;
    // The most one binary message (a firmware image an editor sends) may hold: more flash than any board the relay
    // may meet has. Binary messages are never taken for text; only one that was announced is kept.
    static constexpr size_t maxBinaryMessageBytes = 16 << 20;
    // What one write of a connection's socket carries at most, unless a single reply is longer: about what the
    // library hands the socket at once.
    static constexpr size_t maxBatchBytes = 60000;

    explicit Sessions(SessionEvents& events);

    void established(Connection& connection, lws* wsi);
    void closed(Connection& connection);
    // A connection without a socket: an identity like an editor's, under the same ownership rules, whose replies go
    // to the sink as they are queued. It gets no greeting and no port lists, and is not among the connections (the
    // editors). The sessions own it until closeDetached.
    Connection& openDetached(const std::string& peerName, ReplySink& sink);
    void closeDetached(EditorId id);
    // One received piece; isFinal marks the last piece of a WebSocket message, isBinary a binary message.
    void received(Connection& connection, const char* data, size_t length, bool isFinal, bool isBinary = false);
    // The connection's next binary message is kept, if it holds at most this many bytes (capped at
    // maxBinaryMessageBytes), and handed to onBinaryMessage; any other binary message is dropped. 0 awaits none.
    void expectBinaryMessage(Connection& connection, size_t bytes);
    // An announced binary message has not come yet.
    bool awaitsBinaryMessage(const Connection& connection) const;
    void writable(Connection& connection);
    // Writes the replies queued since the last call for connections that had nothing waiting, without a poll to
    // say they are writable: such a socket almost always has room, and when it has none the library keeps the
    // bytes and writes them once the socket takes more. A connection whose replies already wait stays with the
    // poll.
    // Replies held for company whose time has come go first.
    void sendFreshReplies(lws_context* context);
    // Milliseconds until a held reply is due (rounded up), or max when none is held: the wait between passes ends
    // then.
    uint64_t msUntilHeldRepliesDue() const;
    // The socket of every open editor connection with its editor's id (a new connection is a new id even where its
    // descriptor's number comes back), for a wait beside the library's; false when a connection waits for room to
    // write, which only the library's own wait watches.
    bool socketsToWatch(std::vector<std::pair<int, uint64_t>>& sockets) const;

    void queueResponse(Connection* connection, std::string text);
    // A progress reply of a write (expendable), given in two pieces: its text takes the room of a reply already
    // sent, so that the two replies of every chunk allocate nothing.
    void queueProgress(Connection* connection, std::string_view head, std::string_view tail);
    void revokeOutgoingResponsesForRelay(Connection* connection);
    void releaseLastMessage()
    {
        lastMessage.clear();
        lastMessage.shrink_to_fit();
    }

    const std::vector<Connection*>& connections() const { return connectionList; }
    // The open connection of that identity; nullptr when it has closed (or never was).
    Connection* findConnection(EditorId id) const;
    size_t queuedReplies(const Connection* connection) const;
    size_t queuedReplyBytes(const Connection* connection) const;
    // Replies dropped because their editor did not read them, since the start.
    uint64_t repliesDropped() const { return droppedCount; }
    // The replies waiting for the connection, oldest first.
    std::vector<std::string> pendingReplies(const Connection* connection) const;
    static std::string peerName(Connection& connection);
    // A progress or live-value reply: a later one says more, so it is the first to go when a budget is spent.
    static bool isExpendable(const std::string& reply);
    // The peer as its connection was established (for a detached one, the name it was opened with).
    std::string peerNameOf(const Connection& connection) const;

private:
    // Made by queueResponse or queueProgress; lives until it is sent, pushed out or revoked.
    struct QueuedReply {
        std::string text;
        // A progress or live-value reply: a later one says more, so it is the first to go when the budget is spent.
        bool expendable;
    };

    // Made when a connection is established; dropped when it closes.
    struct ConnectionState {
        std::string accumulator;
        // Follows the accumulator, so that a piece costs what the piece holds.
        ReceivedTextScanner scanner;
        // Where the current WebSocket message starts in the accumulator.
        size_t messageStart = 0;
        bool messageInProgress = false;
        std::deque<QueuedReply> replies;
        // The bytes of the texts in replies.
        size_t queuedBytes = 0;
        // The library was asked for a writable callback that has not come yet.
        bool writableAsked = false;
        // Its replies were queued when none waited, since the last sendFreshReplies.
        bool fresh = false;
        // Only progress and live values wait, for company, since heldSince.
        bool held = false;
        std::chrono::steady_clock::time_point heldSince;
        // Set once the relay has asked the library to close the connection: nothing more is queued for it.
        bool closing = false;
        // Set while the rest of an over-long WebSocket message is being dropped.
        bool discardingMessage = false;
        // Taken when the connection is established: the socket may be gone when it closes.
        std::string peerName;
        // The size of the binary message awaited (0: none), and what of it has come.
        size_t binaryExpected = 0;
        std::vector<uint8_t> binary;
        // Set while the rest of a binary message that is not kept is being dropped.
        bool discardingBinary = false;
        // A detached connection's replies go here instead of into replies.
        ReplySink* sink = nullptr;
    };

    // The longest WebSocket frame header: opcode, length marker and a 64-bit length.
    static constexpr size_t maxFrameHeaderBytes = 10;

    // Frames the oldest waiting replies, as many as one write takes, into the send buffer after the library's
    // prefix; returns their bytes and sets count.
    size_t frameReplies(const ConnectionState& state, size_t& count);
    void handleCompleteText(Connection& connection, ConnectionState& state);
    void receivedBinary(Connection& connection, ConnectionState& state, const char* data, size_t length, bool isFinal);
    static void clearText(ConnectionState& state);
    // Pushes out expendable replies, oldest first, until a quarter of both limits is free beside the incoming
    // reply; false when that cannot be reached.
    bool makeRoom(ConnectionState& state, size_t incomingBytes);
    static void releaseReplies(ConnectionState& state);
    void closeUnreadConnection(Connection& connection, ConnectionState& state);
    void askWritable(Connection& connection, ConnectionState& state);
    bool parse(const std::string& text, Json::Value& value, std::string& errors) const;
    void queue(Connection* connection, std::string text, bool expendable);
    // Keeps a sent reply's room for a later progress reply, while fewer than a held batch are kept and the room is
    // small.
    void keepSpareText(std::string& text);

    SessionEvents& events;
    std::vector<Connection*> connectionList;
    // Connections whose replies became fresh since the last sendFreshReplies; one whose state is gone or no longer
    // fresh is passed over.
    std::vector<Connection*> freshConnections;
    // Connections whose replies are held; as above, one no longer held is passed over.
    std::vector<Connection*> heldConnections;
    std::unordered_map<EditorId, Connection*> byId;
    EditorId lastId = 0;
    std::unordered_map<const Connection*, ConnectionState> states;
    std::unordered_map<EditorId, std::unique_ptr<Connection>> detached;
    std::vector<unsigned char> lastMessage;
    uint32_t receivedMessageCount = 0;
    // The library's reserved prefix followed by the framed replies being sent; grows to the longest write so far.
    std::vector<unsigned char> sendBuffer;
    // Emptied texts of sent replies with their room, for the next progress replies.
    std::vector<std::string> spareTexts;
    static constexpr size_t maxSpareTextBytes = 256;
    uint64_t droppedCount = 0;
};
