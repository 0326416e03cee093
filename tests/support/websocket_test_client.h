#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

// A small WebSocket client for tests, on plain POSIX sockets, talking to 127.0.0.1.
//
// The relay under test runs in the test's own thread, so the client never blocks on its socket:
// every wait calls `pump` (typically one relay pass) between non-blocking reads and writes, until
// what it waits for has arrived or the time-out has passed. Failures return false and leave their
// reason in lastError().
class WebSocketTestClient {
public:
    using Pump = std::function<void()>;

    enum class Opcode : uint8_t {
        CONTINUATION = 0x0,
        TEXT = 0x1,
        BINARY = 0x2,
        CLOSE = 0x8,
        PING = 0x9,
        PONG = 0xA,
    };

    WebSocketTestClient() = default;
    ~WebSocketTestClient();
    WebSocketTestClient(const WebSocketTestClient&) = delete;
    WebSocketTestClient& operator=(const WebSocketTestClient&) = delete;

    // Connects from this loopback address (such as 127.0.0.2) instead of the system's choice.
    void setSourceAddress(const std::string& ipv4) { sourceAddress = ipv4; }
    // Opens a non-blocking connection to 127.0.0.1:port and queues the upgrade request. A client
    // connects once.
    bool startConnect(int port, const std::string& subProtocol);
    // Pumps until the server has answered the upgrade with 101, the right Sec-WebSocket-Accept
    // and the requested sub-protocol.
    bool finishConnect(const Pump& pump, int timeoutMs);
    bool connect(int port, const std::string& subProtocol, const Pump& pump, int timeoutMs);

    // One masked, final text frame holding the whole message.
    bool sendText(const std::string& text);
    // One text message as several frames: a non-final text frame, continuation frames, the last one final.
    bool sendFragmented(const std::vector<std::string>& pieces);
    bool sendFrame(Opcode opcode, const std::string& payload, bool final);
    // Bytes exactly as given, for frames split across writes or deliberately broken ones.
    bool sendRaw(const std::string& bytes);
    // A masked client frame, for tests that send it in pieces with sendRaw.
    static std::string encodeFrame(Opcode opcode, const std::string& payload, bool final);
    // Pumps until every queued byte has gone into the socket (the server may be slow to read).
    bool flush(const Pump& pump, int timeoutMs);

    // The next whole text message, however it was fragmented.
    bool receiveText(std::string& out, const Pump& pump, int timeoutMs);
    // The text messages completed so far, without waiting and without pumping.
    std::vector<std::string> poll();
    // The socket, for a caller that waits for the server's answer with poll(); -1 when not connected.
    int descriptor() const { return socketFd; }

    // Leaves the socket unread, so that the server's output to this
    // client backs up while other clients keep receiving. resumeReading() reads again.
    void stopReading();
    void resumeReading();

    // Sends a close frame and pumps until the server closes too (close frame or end of stream),
    // then releases the socket.
    bool close(const Pump& pump, int timeoutMs);
    // Drops the TCP connection without a closing handshake.
    void disconnect();

    bool isOpen() const { return socketFd >= 0 && upgraded && !peerClosed && !streamEnded; }
    // True once the server sent a close frame or ended the stream.
    bool closedByPeer() const { return peerClosed || streamEnded; }
    // Status code of the server's close frame; 1005 when it carried none, 0 before any.
    int peerCloseCode() const { return closeCode; }
    const std::string& acceptedProtocol() const { return protocol; }
    const std::string& lastError() const { return error; }

private:
    bool fail(const std::string& why);
    bool queueOutput(const std::string& bytes);
    bool writePending();
    void readAvailable();
    bool parseUpgradeResponse();
    void parseFrames();
    void handleFrame(Opcode opcode, bool final, std::string payload);
    bool connectionEstablished();

    int socketFd = -1;
    std::string sourceAddress;
    bool started = false;
    bool connecting = false;
    bool upgraded = false;
    bool readingStopped = false;
    bool closeSent = false;
    bool peerClosed = false;
    bool streamEnded = false;
    int closeCode = 0;
    std::string requestedProtocol;
    std::string expectedAccept;
    std::string protocol;
    std::string error;
    std::string output;
    std::string input;
    bool messageInProgress = false;
    Opcode messageOpcode = Opcode::TEXT;
    std::string messageText;
    std::deque<std::string> messages;
};
