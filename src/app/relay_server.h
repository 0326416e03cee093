#pragma once

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include <libwebsockets.h>

#include "app/event_wait.h"
#include "app/relay_core.h"
#include "web/connection_gate.h"

class Clock;
class SerialDriver;

struct RelayServerSettings {
    int port = 7681;
    bool tls = false;
    std::string mountOrigin = "./mount-origin";
    // Origins whose pages may open the WebSocket; empty accepts every origin.
    std::vector<std::string> allowedOrigins;
    // The one IPv4 or IPv6 address to listen on; empty listens on every interface.
    std::string listenAddress;
    // PEM files used with tls instead of the built-in pair; both or neither.
    std::string certificateFile;
    std::string keyFile;
};

// The whole relay: the relay core with the WebSocket context on top, driven one pass at a time on one thread.
// Created once by the program start (or a test harness); lives for the whole run.
class RelayServer {
public:
    RelayServer(SerialDriver& driver, Clock& clock);
    ~RelayServer();
    RelayServer(const RelayServer&) = delete;
    RelayServer& operator=(const RelayServer&) = delete;

    // Logs the banner, creates the WebSocket context, enumerates the ports and builds the converters.
    // False (after the FATAL line) when the context cannot be created.
    bool start(const RelayServerSettings& settings);
    // One pass of the main loop without its wait.
    void runPass();
    // Waits until a port or an editor has something for a pass, or the next deadline is due; not at all when a
    // pass has work now.
    void waitForWork();
    // Passes, each followed by its wait, until stopRequested becomes non-zero.
    void run(const volatile std::sig_atomic_t& stopRequested);
    // The orderly stop: ports, port list, context, relays, converters.
    void stop();

    RelayCore& core() { return relayCore; }
    Sessions& sessions() { return relayCore.sessions(); }
    PortManager& ports() { return relayCore.boards().ports(); }
    RelayList& relays() { return relayCore.boards().relays(); }

    const EventWait& eventWait() const { return portWait; }

private:
    SerialDriver& driver;
    Clock& clock;
    RelayCore relayCore;
    EventWait portWait;
    // The library keeps pointing at these while the context lives.
    std::string mountOrigin;
    lws_http_mount mount{};
    std::string listenAddress;
    std::string certificatePem;
    std::string keyPem;
    std::unique_ptr<ConnectionGate> gate;
    lws_protocols protocols[4]{};
    lws_context* context = nullptr;
    bool stopped = true;
};
