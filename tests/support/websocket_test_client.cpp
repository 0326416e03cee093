#include "support/websocket_test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

namespace {

const char* const acceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
// Small enough that a few replies fill it; the kernel raises it to its own minimum.

using SteadyClock = std::chrono::steady_clock;

SteadyClock::time_point deadlineAfter(int timeoutMs)
{
    return SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
}

std::string randomBytes(size_t count)
{
    static std::mt19937 generator{std::random_device{}()};
    std::string bytes(count, '\0');
    for (char& byte : bytes)
        byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

std::string base64(const unsigned char* data, size_t length)
{
    std::string text(4 * ((length + 2) / 3) + 1, '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]), data, static_cast<int>(length));
    text.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return text;
}

std::string acceptFor(const std::string& key)
{
    const std::string joined = key + acceptGuid;
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(joined.data()), joined.size(), digest);
    return base64(digest, sizeof digest);
}

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    const size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool isControl(WebSocketTestClient::Opcode opcode) { return (static_cast<uint8_t>(opcode) & 0x8) != 0; }

} // namespace

WebSocketTestClient::~WebSocketTestClient() { disconnect(); }

bool WebSocketTestClient::fail(const std::string& why)
{
    error = why;
    std::fprintf(stderr, "websocket test client: %s\n", why.c_str());
    return false;
}

bool WebSocketTestClient::startConnect(int port, const std::string& subProtocol)
{
    if (started)
        return fail("a client connects once; use a new one");
    started = true;

    socketFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (socketFd < 0)
        return fail(std::string("socket: ") + std::strerror(errno));
    // Small messages go out at once, as an editor's do; without this a second message waits for an ack.
    const int noDelay = 1;
    ::setsockopt(socketFd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);

    if (!sourceAddress.empty()) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        if (::inet_pton(AF_INET, sourceAddress.c_str(), &source.sin_addr) != 1 ||
            ::bind(socketFd, reinterpret_cast<const sockaddr*>(&source), sizeof source) != 0) {
            const std::string why = "bind to " + sourceAddress + ": " + std::strerror(errno);
            disconnect();
            return fail(why);
        }
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(socketFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
        const std::string why = std::string("connect: ") + std::strerror(errno);
        disconnect();
        return fail(why);
    }
    connecting = true;

    const std::string rawKey = randomBytes(16);
    const std::string key = base64(reinterpret_cast<const unsigned char*>(rawKey.data()), rawKey.size());
    expectedAccept = acceptFor(key);
    requestedProtocol = subProtocol;
    std::string request = "GET / HTTP/1.1\r\n"
                          "Host: localhost:" +
                          std::to_string(port) +
                          "\r\n"
                          "Upgrade: websocket\r\n"
                          "Connection: Upgrade\r\n"
                          "Sec-WebSocket-Key: " +
                          key +
                          "\r\n"
                          "Sec-WebSocket-Version: 13\r\n";
    if (!subProtocol.empty())
        request += "Sec-WebSocket-Protocol: " + subProtocol + "\r\n";
    request += "\r\n";
    output += request;
    return true;
}

bool WebSocketTestClient::connectionEstablished()
{
    if (!connecting)
        return socketFd >= 0;
    pollfd entry{socketFd, POLLOUT, 0};
    if (::poll(&entry, 1, 0) <= 0)
        return false;
    int socketError = 0;
    socklen_t size = sizeof socketError;
    if (::getsockopt(socketFd, SOL_SOCKET, SO_ERROR, &socketError, &size) != 0 || socketError != 0) {
        streamEnded = true;
        return fail(std::string("connect: ") + std::strerror(socketError != 0 ? socketError : errno));
    }
    connecting = false;
    return true;
}

bool WebSocketTestClient::finishConnect(const Pump& pump, int timeoutMs)
{
    if (socketFd < 0)
        return fail("finishConnect without startConnect");
    const auto deadline = deadlineAfter(timeoutMs);
    for (;;) {
        if (connectionEstablished()) {
            if (!writePending())
                return false;
            readAvailable();
            if (upgraded)
                return true;
            if (!error.empty())
                return false;
        }
        if (streamEnded)
            return fail("connection ended before the upgrade was answered");
        if (SteadyClock::now() >= deadline)
            return fail("no upgrade response within " + std::to_string(timeoutMs) + " ms");
        pump();
    }
}

bool WebSocketTestClient::connect(int port, const std::string& subProtocol, const Pump& pump, int timeoutMs)
{
    return startConnect(port, subProtocol) && finishConnect(pump, timeoutMs);
}

bool WebSocketTestClient::parseUpgradeResponse()
{
    const size_t end = input.find("\r\n\r\n");
    if (end == std::string::npos)
        return false;
    const std::string head = input.substr(0, end);
    input.erase(0, end + 4);

    size_t lineEnd = head.find("\r\n");
    const std::string statusLine = head.substr(0, lineEnd);
    if (statusLine.compare(0, 13, "HTTP/1.1 101 ") != 0 && statusLine != "HTTP/1.1 101")
        return fail("upgrade refused: " + statusLine);

    std::string upgrade;
    std::string accept;
    while (lineEnd != std::string::npos) {
        const size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string line = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string name = lowerCase(trimmed(line.substr(0, colon)));
        const std::string value = trimmed(line.substr(colon + 1));
        if (name == "upgrade")
            upgrade = lowerCase(value);
        else if (name == "sec-websocket-accept")
            accept = value;
        else if (name == "sec-websocket-protocol")
            protocol = value;
    }
    if (upgrade != "websocket")
        return fail("upgrade response without 'Upgrade: websocket'");
    if (accept != expectedAccept)
        return fail("Sec-WebSocket-Accept is '" + accept + "', expected '" + expectedAccept + "'");
    if (protocol != requestedProtocol)
        return fail("sub-protocol '" + protocol + "' accepted, '" + requestedProtocol + "' requested");
    upgraded = true;
    return true;
}

std::string WebSocketTestClient::encodeFrame(Opcode opcode, const std::string& payload, bool final)
{
    std::string frame;
    frame += static_cast<char>((final ? 0x80 : 0x00) | static_cast<uint8_t>(opcode));
    const uint64_t length = payload.size();
    if (length < 126) {
        frame += static_cast<char>(0x80 | length);
    } else if (length < 65536) {
        frame += static_cast<char>(0x80 | 126);
        frame += static_cast<char>((length >> 8) & 0xFF);
        frame += static_cast<char>(length & 0xFF);
    } else {
        frame += static_cast<char>(0x80 | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            frame += static_cast<char>((length >> shift) & 0xFF);
    }
    const std::string mask = randomBytes(4);
    frame += mask;
    for (size_t i = 0; i < payload.size(); ++i)
        frame += static_cast<char>(payload[i] ^ mask[i % 4]);
    return frame;
}

bool WebSocketTestClient::queueOutput(const std::string& bytes)
{
    if (socketFd < 0)
        return fail("send on a client that is not connected");
    output += bytes;
    return connecting || writePending();
}

bool WebSocketTestClient::sendFrame(Opcode opcode, const std::string& payload, bool final)
{
    if (opcode == Opcode::CLOSE)
        closeSent = true;
    return queueOutput(encodeFrame(opcode, payload, final));
}

bool WebSocketTestClient::sendText(const std::string& text) { return sendFrame(Opcode::TEXT, text, true); }

bool WebSocketTestClient::sendFragmented(const std::vector<std::string>& pieces)
{
    if (pieces.empty())
        return fail("a fragmented message needs at least one piece");
    std::string frames;
    for (size_t i = 0; i < pieces.size(); ++i)
        frames += encodeFrame(i == 0 ? Opcode::TEXT : Opcode::CONTINUATION, pieces[i], i + 1 == pieces.size());
    return queueOutput(frames);
}

bool WebSocketTestClient::sendRaw(const std::string& bytes) { return queueOutput(bytes); }

bool WebSocketTestClient::writePending()
{
    while (!output.empty() && socketFd >= 0) {
        const ssize_t written = ::send(socketFd, output.data(), output.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written > 0) {
            output.erase(0, static_cast<size_t>(written));
        } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            return true;
        } else {
            streamEnded = true;
            return fail(std::string("send: ") + std::strerror(errno));
        }
    }
    return socketFd >= 0;
}

bool WebSocketTestClient::flush(const Pump& pump, int timeoutMs)
{
    const auto deadline = deadlineAfter(timeoutMs);
    for (;;) {
        if (connectionEstablished()) {
            if (!writePending())
                return false;
            if (output.empty())
                return true;
        }
        if (streamEnded)
            return fail("connection ended with bytes still to send");
        if (SteadyClock::now() >= deadline)
            return fail(std::to_string(output.size()) + " bytes still unsent after " + std::to_string(timeoutMs) +
                        " ms");
        pump();
    }
}

void WebSocketTestClient::readAvailable()
{
    if (socketFd < 0 || connecting || readingStopped)
        return;
    char chunk[65536];
    for (;;) {
        const ssize_t received = ::recv(socketFd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (received > 0) {
            input.append(chunk, static_cast<size_t>(received));
            continue;
        }
        if (received == 0) {
            streamEnded = true;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            streamEnded = true;
            fail(std::string("recv: ") + std::strerror(errno));
        }
        break;
    }
    if (!upgraded && !parseUpgradeResponse())
        return;
    parseFrames();
}

void WebSocketTestClient::parseFrames()
{
    for (;;) {
        if (input.size() < 2)
            return;
        const auto first = static_cast<uint8_t>(input[0]);
        const auto second = static_cast<uint8_t>(input[1]);
        size_t headerSize = 2;
        uint64_t length = second & 0x7F;
        if (length == 126) {
            if (input.size() < 4)
                return;
            length = (static_cast<uint64_t>(static_cast<uint8_t>(input[2])) << 8) | static_cast<uint8_t>(input[3]);
            headerSize = 4;
        } else if (length == 127) {
            if (input.size() < 10)
                return;
            length = 0;
            for (size_t i = 2; i < 10; ++i)
                length = (length << 8) | static_cast<uint8_t>(input[i]);
            headerSize = 10;
        }
        const bool masked = (second & 0x80) != 0;
        const size_t maskOffset = headerSize;
        if (masked)
            headerSize += 4;
        if (input.size() < headerSize || input.size() - headerSize < length)
            return;

        std::string payload = input.substr(headerSize, static_cast<size_t>(length));
        if (masked) {
            fail("the server sent a masked frame");
            for (size_t i = 0; i < payload.size(); ++i)
                payload[i] = static_cast<char>(payload[i] ^ input[maskOffset + i % 4]);
        }
        if ((first & 0x70) != 0)
            fail("the server set reserved bits in a frame header");
        input.erase(0, headerSize + static_cast<size_t>(length));
        handleFrame(static_cast<Opcode>(first & 0x0F), (first & 0x80) != 0, std::move(payload));
    }
}

void WebSocketTestClient::handleFrame(Opcode opcode, bool final, std::string payload)
{
    if (isControl(opcode) && (!final || payload.size() > 125))
        fail("the server sent a fragmented or oversized control frame");

    switch (opcode) {
    case Opcode::PING:
        if (!closeSent)
            sendFrame(Opcode::PONG, payload, true);
        return;
    case Opcode::PONG: return;
    case Opcode::CLOSE:
        peerClosed = true;
        closeCode =
            payload.size() >= 2 ? (static_cast<uint8_t>(payload[0]) << 8) | static_cast<uint8_t>(payload[1]) : 1005;
        if (!closeSent)
            sendFrame(Opcode::CLOSE, payload.substr(0, 2), true);
        return;
    case Opcode::TEXT:
    case Opcode::BINARY:
        if (messageInProgress)
            fail("the server began a new message inside a fragmented one");
        messageInProgress = true;
        messageOpcode = opcode;
        messageText = std::move(payload);
        break;
    case Opcode::CONTINUATION:
        if (!messageInProgress) {
            fail("the server sent a continuation frame outside a message");
            return;
        }
        messageText += payload;
        break;
    default: fail("the server sent an unknown opcode " + std::to_string(static_cast<int>(opcode))); return;
    }
    if (!final)
        return;
    messageInProgress = false;
    if (messageOpcode == Opcode::TEXT)
        messages.push_back(std::move(messageText));
    else
        fail("the server sent a binary message");
    messageText.clear();
}

bool WebSocketTestClient::receiveText(std::string& out, const Pump& pump, int timeoutMs)
{
    if (readingStopped)
        return fail("receiveText while reading is stopped");
    const auto deadline = deadlineAfter(timeoutMs);
    for (;;) {
        if (connectionEstablished())
            writePending();
        readAvailable();
        if (!messages.empty()) {
            out = std::move(messages.front());
            messages.pop_front();
            return true;
        }
        if (peerClosed || streamEnded || socketFd < 0)
            return fail("connection closed while waiting for a message");
        if (SteadyClock::now() >= deadline)
            return fail("no text message within " + std::to_string(timeoutMs) + " ms");
        pump();
    }
}

std::vector<std::string> WebSocketTestClient::poll()
{
    if (connectionEstablished())
        writePending();
    readAvailable();
    std::vector<std::string> arrived(std::make_move_iterator(messages.begin()),
                                     std::make_move_iterator(messages.end()));
    messages.clear();
    return arrived;
}

void WebSocketTestClient::stopReading()
{
    // The kernel's receive window does not grow while nothing is read, so the server's output backs up.
    readingStopped = true;
}

void WebSocketTestClient::resumeReading() { readingStopped = false; }

bool WebSocketTestClient::close(const Pump& pump, int timeoutMs)
{
    if (socketFd < 0)
        return fail("close on a client that is not connected");
    if (!closeSent && !peerClosed && upgraded) {
        const std::string normalClosure("\x03\xE8", 2);
        sendFrame(Opcode::CLOSE, normalClosure, true);
    }
    readingStopped = false;
    const auto deadline = deadlineAfter(timeoutMs);
    bool closedCleanly = false;
    for (;;) {
        writePending();
        readAvailable();
        if (peerClosed || streamEnded) {
            closedCleanly = true;
            break;
        }
        if (SteadyClock::now() >= deadline) {
            fail("the server did not close within " + std::to_string(timeoutMs) + " ms");
            break;
        }
        pump();
    }
    disconnect();
    return closedCleanly;
}

void WebSocketTestClient::disconnect()
{
    if (socketFd >= 0)
        ::close(socketFd);
    socketFd = -1;
    connecting = false;
}
