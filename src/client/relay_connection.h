#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <json/value.h>

#include "client/conversation.h"
#include "client/outcome.h"
#include "client/relay_url.h"

struct lws;
struct lws_context;

// One board the relay lists: made from each port list the relay sends, kept until the next one.
struct ListedPort {
    std::string name;
    std::string usbProduct;
};

// The client's WebSocket connection to the relay, on libwebsockets' client side: it connects (with the access
// token when there is one), reads the greeting, and then runs conversations on the library's own event loop, every
// wait bounded by the conversation's deadlines. Made by a command; lives until the command ends.
class RelayConnection : public MessageSender {
public:
    // caFile: a certificate to trust for TLS beside the system's; empty for none.
    RelayConnection(RelayUrl url, std::string token, uint64_t timeoutMs, std::string caFile);
    ~RelayConnection() override;
    RelayConnection(const RelayConnection&) = delete;
    RelayConnection& operator=(const RelayConnection&) = delete;

    // Connects and waits for the greeting (server version, port list, refresh flag, firmware files); a failure
    // has the status relayUnreachable and says what to do.
    Outcome open();
    void send(const Json::Value& message) override;
    void sendBinary(std::vector<uint8_t> bytes) override;
    // Runs the loop until the conversation has finished (success), the connection ends (relayUnreachable) or the
    // conversation, told of Ctrl+C, has finished. Sends what was queued before it returns.
    Outcome run(Conversation& conversation);

    const std::vector<ListedPort>& ports() const { return portList; }
    bool isListed(const std::string& port) const;
    // Success when the relay lists the port; otherwise a failure that names the ports it lists.
    Outcome checkListed(const std::string& port) const;
    // The listed names, for a message: "simACM0, simACM1" or "none".
    std::string listedNames() const;
    const std::string& serverVersion() const { return server; }
    bool wasInterrupted() const;
    // Called with every text sent (outgoing true) and received, for a traffic view.
    void setTrafficListener(std::function<void(bool outgoing, const std::string& text)> listener)
    {
        traffic = std::move(listener);
    }

    // Library callbacks.
    int onCallback(lws* wsi, int reason, void* in, size_t length);

private:
    // A message waiting to be written (binary ones go out in pieces): made by send, dropped once written whole.
    struct OutgoingFrame {
        bool binary = false;
        std::string bytes;
        size_t sent = 0;
    };

    void writeNext();
    void take(const std::string& text);
    // Waits in the library's loop until something happens or deadlineMs passes.
    void serviceUntil(uint64_t deadlineMs);
    // Sends what is queued, for at most a second.
    void flush();
    // Ends the connection with a close frame, so the relay stops sending, and waits a second at most for its end.
    void leave();
    std::string connectionFailureText() const;

    RelayUrl url;
    std::string token;
    uint64_t timeoutMs;
    std::string caFile;
    lws_context* context = nullptr;
    lws* wsi = nullptr;
    bool established = false;
    bool closed = false;
    // Set when the client leaves: the next writable callback closes the connection with a close frame.
    bool leaving = false;
    // Why the connection could not be made, from the library; and the HTTP status of a refused upgrade.
    std::string connectError;
    int refusedStatus = 0;
    std::string incoming;
    std::deque<Json::Value> inbox;
    std::deque<OutgoingFrame> outgoing;
    std::vector<unsigned char> writeBuffer;
    std::vector<ListedPort> portList;
    std::string server;
    std::function<void(bool, const std::string&)> traffic;
};

// From now on Ctrl+C and SIGTERM end the conversation that runs (it is told, and may send its last messages)
// instead of the program.
void catchInterrupts();
// Ctrl+C or SIGTERM came since catchInterrupts.
bool interrupted();
