#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <mosquitto.h>

#include "broker/broker_editors.h"
#include "broker/broker_outbox.h"
#include "broker/fleet_watch.h"
#include "core/broker_address.h"
#include "web/sessions.h"

class Clock;
class CommandHandler;
class RelayFigureSource;

// What the program start makes of -m, -r, -M, -A and the password file. Lives for the whole run.
struct BrokerSettings {
    // Empty: no broker link.
    std::string url;
    // The relay's name in topics; empty takes the machine's host name.
    std::string relayName;
    // -M: commands through the broker.
    bool commands = false;
    // -A: the CA certificates (PEM) that vouch for an mqtts broker instead of the system's.
    std::string caFile;
    // From VANTREL_MQTT_PASSWORD_FILE; empty for none.
    std::string passwordFile;
};

// The relay's link to an MQTT broker, run on the relay's own loop: its socket is one more descriptor of the wait
// between passes, and each pass reads and writes what the socket is ready for without waiting, so a broker that is
// slow or gone never holds a pass. It publishes the relay's presence, its boards and their events, and (with -M)
// takes commands, each under an editor identity of its own, and the images their write_firmware_image commands
// announce. A broker that is gone is tried again with a back-off;
// what happens meanwhile waits in a bounded outbox. Created by the relay server when -m is given; lives until the
// orderly stop.
class BrokerLink : private ReplySink {
public:
    static constexpr int keepAliveSeconds = 30;
    static constexpr uint64_t firstRetryMs = 1000;
    static constexpr uint64_t lastRetryMs = 60000;
    // The longest command the relay takes from the broker.
    static constexpr size_t maxCommandBytes = size_t{64} * 1024;
    // Commands taken at once, and then each second; more are refused.
    static constexpr double commandBurst = 100;
    static constexpr double commandsPerSecond = 50;
    // The figures are looked at this often at most (events are that late at most while a pass runs).
    static constexpr uint64_t lookIntervalMs = 250;
    // Messages handed to the library and not yet acknowledged by the broker; the rest wait in the outbox.
    static constexpr size_t maxInFlight = 32;
    // An image that came before the write_firmware_image command of its id waits this long for it, and such images
    // hold at most this much at once: the broker keeps the order of one topic only, not that of two.
    static constexpr uint64_t earlyImageWaitMs = 10000;
    static constexpr size_t maxEarlyImageBytes = Sessions::maxBinaryMessageBytes;

    BrokerLink(Sessions& sessions, CommandHandler& commands, const RelayFigureSource& figures, Clock& clock);
    ~BrokerLink() override;
    BrokerLink(const BrokerLink&) = delete;
    BrokerLink& operator=(const BrokerLink&) = delete;

    // Reads the settings and starts connecting, without waiting for the broker. False (after the FATAL line) for
    // settings that cannot work: a bad URL or relay name, a password file that cannot be read.
    bool start(const BrokerSettings& settings);
    // One pass: reads what the socket has (readable: it showed input or a hang-up since the last pass, or is not
    // watched), keeps the connection alive or tries again when due, tells the broker what changed and writes what
    // the socket takes.
    void service(bool readable);
    // Tells the broker the relay is going ("offline"), disconnects, and waits at most a second for that to leave.
    void stop();

    // The socket to wait on; -1 while there is none (or it waits for the next try).
    int socket() const;
    // Counts the sockets made: a new one must be watched anew even when its descriptor number is the old one's.
    uint64_t socketGeneration() const { return generation; }
    bool wantsWrite() const;
    // When a pass next has broker work that no socket brings (a retry, held progress, the next look at a write).
    uint64_t nextDueMs() const;

    bool online() const { return state == State::online; }
    const std::string& relayName() const { return name; }
    const BrokerOutbox& outbox() const { return waiting; }

private:
    enum class State { idle, connecting, online, waiting, stopped };

    static void onConnect(mosquitto*, void* self, int reason, int flags, const mosquitto_property*);
    static void onDisconnect(mosquitto*, void* self, int reason, const mosquitto_property*);
    static void onPublish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*);
    static void onSubscribe(mosquitto*, void* self, int mid, int count, const int* granted, const mosquitto_property*);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* message, const mosquitto_property*);

    // ReplySink: the replies for a command's identity go to its reply topic.
    void deliverReply(EditorId editor, std::string text, bool expendable) override;

    void connect();
    // A read or write of the socket failed: the connection counts as lost unless the library said so already.
    void checked(int result);
    // The connection failed or ended: the next try after the back-off, the line only when the state changes.
    void connectionLost(const char* why);
    void takeCommand(const mosquitto_message& message);
    // The bytes of an image for the write a command of that id announces (or is about to announce).
    void takeImage(const std::string& commandId, const mosquitto_message& message);
    // Hands the image that came early to its identity once that awaits it.
    void deliverEarlyImage(const std::string& commandId);
    void dropLateImages(uint64_t nowMs);
    // The rate bound of broker commands and images; false (after the line) when this one comes too fast.
    bool admitted();
    void look();
    // Hands what waits to the library while the broker is there, within the in-flight bound.
    void flush();
    void publishNow(const std::string& topic, const std::string& payload, bool retain);
    std::string topic(const char* leaf) const { return "vantrel/" + name + "/" + leaf; }

    // An image that came before its command: made by takeImage, handed on or dropped within earlyImageWaitMs.
    struct EarlyImage {
        std::vector<uint8_t> bytes;
        uint64_t untilMs = 0;
    };

    Sessions& sessions;
    CommandHandler& commands;
    const RelayFigureSource& figures;
    Clock& clock;
    BrokerEditors editors;
    BrokerOutbox waiting;
    FleetWatch watch;
    BrokerAddress address;
    std::string name;
    bool commandsAllowed = false;
    mosquitto* client = nullptr;
    State state = State::idle;
    // Whether the link was ever up, and whether the current trouble was told: one line per change.
    bool everOnline = false;
    bool troubleLogged = false;
    uint64_t retryDelayMs = firstRetryMs;
    uint64_t retryAtMs = 0;
    uint64_t nextMiscMs = 0;
    uint64_t nextLookMs = 0;
    // A write was running at the last look: its progress is looked at without waiting for a pass to come.
    bool writesRunning = false;
    uint64_t generation = 0;
    // Message ids handed to the library, with their topics, until the broker acknowledged them.
    std::unordered_map<int, std::string> inFlight;
    std::string boardsNow;
    std::unordered_map<std::string, EarlyImage> earlyImages;
    size_t earlyImageBytes = 0;
    double commandTokens = commandBurst;
    uint64_t tokensAtMs = 0;
};
