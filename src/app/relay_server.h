#pragma once

#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <libwebsockets.h>

#include "app/event_wait.h"
#include "app/relay_core.h"
#include "broker/broker_link.h"
#include "web/connection_gate.h"

class Clock;
class SerialDriver;

// What the relay serves and who may reach it. Made by the program start (or a test) from the command line.
struct RelayServerSettings {
    int port = 7681;
    bool tls = false;
    std::string mountOrigin = "./mount-origin";
    // Origins of other pages that may open the WebSocket besides the relay's own.
    std::vector<std::string> allowedOrigins;
    // Host names the relay answers to besides its addresses, "localhost" and the machine's own name.
    std::vector<std::string> hostNames;
    // The one IPv4 or IPv6 address to listen on; empty listens on loopback (127.0.0.1 and ::1) only.
    std::string listenAddress;
    // Where the access token for peers beyond loopback is kept, relative to the working directory.
    std::string tokenFile = "relay-token";
    // An editor silent this long is pinged, and closed when no pong follows in closeAfterPingSeconds.
    uint16_t pingAfterSilenceSeconds = 20;
    uint16_t closeAfterPingSeconds = 10;
    // PEM files used with tls instead of the built-in pair; both or neither.
    std::string certificateFile;
    std::string keyFile;
    // The broker link; none without a URL.
    BrokerSettings broker;
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
    // nullptr without -m.
    const BrokerLink* brokerLink() const { return broker.get(); }

private:
    SerialDriver& driver;
    Clock& clock;
    RelayCore relayCore;
    EventWait portWait;
    // The library keeps pointing at these while the context lives.
    // Creates the listener of one address; false (after the FATAL lines) when it cannot listen there.
    bool listenOn(const std::string& address, const RelayServerSettings& settings);

    std::string mountOrigin;
    lws_http_mount mount{};
    // /health and /metrics, answered by the status pages.
    lws_http_mount healthMount{};
    lws_http_mount metricsMount{};
    std::vector<std::string> listenAddresses;
    lws_retry_bo_t livenessPolicy{};
    std::string certificatePem;
    std::string keyPem;
    std::unique_ptr<ConnectionGate> gate;
    std::unique_ptr<BrokerLink> broker;
    lws_protocols protocols[6]{};
    lws_context* context = nullptr;
    bool stopped = true;
    // The last wait serviced the library, or found input on ports alone: the pass after it need not service it.
    bool servicedByWait = false;
    // The editors' sockets for the wait, kept so that a wait does not allocate.
    std::vector<std::pair<int, uint64_t>> editorSockets;
};
