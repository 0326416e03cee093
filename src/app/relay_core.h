#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>

#include <json/value.h>

#include "conversion/feature_conversion.h"
#include "conversion/node_conversion.h"
#include "device/board_link.h"
#include "firmware/firmware_flasher.h"
#include "web/command_handler.h"
#include "web/reply_translator.h"
#include "web/sessions.h"
#include "web/status_pages.h"

class Clock;
class SerialDriver;

// Every part of the relay but the network, each created and wired once here: the board link (ports, relays,
// outgoing queues), the converters, the flasher, the editor sessions, command handling and reply translation. It
// runs the steps of a pass that do not touch the WebSocket library. Created by the relay server, and by the tests,
// fuzzers and benchmarks that drive the relay without a network; lives for the whole run.
class RelayCore : private BoardLinkEvents, private SessionEvents, public RelayFigureSource {
public:
    // Time without activity after which the port list is enumerated again.
    static constexpr uint64_t idleMsBeforeRefresh = 1000;

    RelayCore(SerialDriver& driver, Clock& clock);
    // What one reply may hold; a longer one is refused when it would be sent.
    static constexpr size_t maxReplyBytes = Sessions::maxReplyBytes;
    RelayCore(const RelayCore&) = delete;
    RelayCore& operator=(const RelayCore&) = delete;

    // The first, verbose port enumeration and the converters.
    void start();
    // Reads the boards and answers what they sent, and the editors' firmware list refreshes held back until now.
    void readBoards();
    // Sends the next queued messages and, after a second without activity, enumerates the ports again.
    void sendToBoards();
    // The clock time at which a pass next has work that no port or editor brings (a message to send, an
    // acknowledgement wait or a frame's time to leave running out, the idle refresh, a held firmware list);
    // UINT64_MAX for none.
    uint64_t nextDueMs() const;
    // The first half of the orderly stop: the ports and the port list.
    void closePorts();
    // The second half, once the network is gone: the relays and the converters.
    void release();

    static std::string versionText();
    // What the status pages show now.
    RelayFigures figures() const override;

    Sessions& sessions() { return sessionList; }
    BoardLink& boards() { return boardLink; }
    FirmwareFlasher& firmwareFlasher() { return flasher; }
    CommandHandler& commandHandler() { return commands; }
    const NodeConversionRegistry& nodeConversions() const { return nodeRegistry; }
    const FeatureConversionRegistry& featureConversions() const { return featureRegistry; }

private:
    // BoardLinkEvents
    bool translateBoardMessage(Relay& relay, const ReceivedMessage& message, Json::Value& reply) override;
    void sendReply(const Relay& relay, const Json::Value& reply) override;
    void sendToEditor(EditorId editor, const Json::Value& reply) override;
    void sendProgressToEditor(EditorId editor, std::string_view head, std::string_view tail) override;
    // SessionEvents
    void onConnectionEstablished(Connection& connection) override;
    void onConnectionClosed(Connection& connection) override;
    void onWebCommand(Connection& connection, const Json::Value& command) override;
    void onBinaryMessage(Connection& connection, std::vector<uint8_t> bytes, bool whole) override;

    void informWebsocketsOfPortAvailability();
    // Relays kept past their editor's leaving for a firmware write go once the write has ended.
    void destroyRelaysOfGoneEditors();

    Sessions sessionList;
    // Made before the board link, whose listener of the write's messages it is.
    FirmwareFlasher flasher;
    BoardLink boardLink;
    NodeConversionRegistry nodeRegistry;
    FeatureConversionRegistry featureRegistry;
    CommandHandler commands;
    ReplyTranslator translator;
    Clock& clock;
    uint64_t lastActivityMs = 0;
    std::chrono::steady_clock::time_point startedAt = std::chrono::steady_clock::now();
    // Some relay outlived its editor because its board was being written.
    bool relaysOutliveEditors = false;
    // What a listed board's last version reply said: made by that reply, kept past the board's relay so that the
    // status pages and the broker still show it, dropped when the port leaves the list.
    struct BoardIdentity {
        std::string version;
        std::string serial;
        int32_t flashSizeKiB = 0;
        BoardMode mode = BoardMode::unknown;
    };
    std::unordered_map<std::string, BoardIdentity> identities;
};
