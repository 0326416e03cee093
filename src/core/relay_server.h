#pragma once

#include <csignal>
#include <memory>
#include <string>

#include <json/value.h>
#include <libwebsockets.h>

#include "conversion/feature_conversion.h"
#include "conversion/node_conversion.h"
#include "device/outgoing_queue.h"
#include "device/port_manager.h"
#include "device/relay.h"
#include "firmware/firmware_flasher.h"
#include "web/command_handler.h"
#include "web/reply_translator.h"
#include "web/sessions.h"

class Clock;
class SerialDriver;


struct RelayServerSettings {
    int port = 7681;
    bool tls = false;
    std::string mountOrigin = "./mount-origin";
};

// The whole relay: the WebSocket context, the editor sessions, the serial ports, the outgoing queues and the
// converters, driven one pass at a time on one thread.
class RelayServer : private SessionEvents {
public:
    static constexpr int versionMajor = 0;
    static constexpr int versionMinor = 1;
    static constexpr int versionPatch = 3;
    // Idle passes after which the port list is enumerated again.
    static constexpr int idlePassesBeforeRefresh = 1000;

    RelayServer(SerialDriver& driver, Clock& clock);
    ~RelayServer() override;
    RelayServer(const RelayServer&) = delete;
    RelayServer& operator=(const RelayServer&) = delete;

    // Logs the banner, creates the WebSocket context, enumerates the ports and builds the converters.
    // False (after the FATAL line) when the context cannot be created.
    bool start(const RelayServerSettings& settings);
    // One pass of the main loop without its sleep.
    void runPass();
    // Passes with a 1 ms sleep each until stopRequested becomes non-zero.
    void run(const volatile std::sig_atomic_t& stopRequested);
    // The orderly stop: ports, port list, context, relays, converters.
    void stop();

    static std::string versionText();

    Sessions& sessions() { return sessionList; }
    PortManager& ports() { return portManager; }
    RelayList& relays() { return relayList; }
    OutgoingQueue& outgoingQueue() { return queue; }
    FirmwareFlasher& firmwareFlasher() { return flasher; }
    CommandHandler& commandHandler() { return commands; }
    const NodeConversionRegistry& nodeConversions() const { return nodeRegistry; }
    const FeatureConversionRegistry& featureConversions() const { return featureRegistry; }

private:
    void onConnectionEstablished(Connection& connection) override;
    void onConnectionClosed(Connection& connection) override;
    void onWebCommand(Connection& connection, const Json::Value& command) override;
    void informWebsocketsOfPortAvailability();
    void sendToRelayConnection(Relay& relay, const Json::Value& reply);

    SerialDriver& driver;
    RelayList relayList;
    Sessions sessionList;
    PortManager portManager;
    OutgoingQueue queue;
    NodeConversionRegistry nodeRegistry;
    FeatureConversionRegistry featureRegistry;
    FirmwareFlasher flasher;
    CommandHandler commands;
    ReplyTranslator translator;
    // The library keeps pointing at the mount and its origin text while the context lives.
    std::string mountOrigin;
    lws_http_mount mount{};
    lws_context* context = nullptr;
    int idlePasses = 0;
    bool stopped = true;
};
