#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include <mosquitto.h>

#include "client/conversation.h"
#include "client/outcome.h"
#include "core/broker_address.h"

// One message the broker delivered. Made by the connection's callback; kept in its inbox until taken.
struct BrokerMessage {
    std::string topic;
    std::string payload;
    bool retained = false;
};

// The client's connection to the MQTT broker that the relays of a fleet report to, on libmosquitto: it connects
// (the user of the URL, the password of the file VANTREL_MQTT_PASSWORD_FILE names, TLS for mqtts), subscribes and
// publishes with QoS 1, and keeps what arrives in an inbox. Every wait is bounded and ends early on Ctrl+C. Made by a
// fleet command; lives until the command ends.
class BrokerConnection {
public:
    // caFile: the CA certificates that vouch for an mqtts broker instead of the system's; empty for those.
    BrokerConnection(std::string url, std::string passwordFile, std::string caFile, uint64_t timeoutMs);
    ~BrokerConnection();
    BrokerConnection(const BrokerConnection&) = delete;
    BrokerConnection& operator=(const BrokerConnection&) = delete;

    // Connects and waits for the broker's answer: a URL that is no broker's is a usage mistake, a broker that cannot
    // be reached or refuses has the status relayUnreachable; each says what to do.
    Outcome open();
    void subscribe(const std::string& topic);
    void unsubscribe(const std::string& topic);
    void publish(const std::string& topic, const void* data, size_t size);
    // Reads and writes what the socket has, waiting for it at most waitMs (less when Ctrl+C comes).
    void service(uint64_t waitMs);
    // The messages arrived so far, oldest first; the caller takes them.
    std::deque<BrokerMessage>& inbox() { return arrived; }
    // The connection ended; why in words.
    bool lost() const { return !lostText.empty(); }
    Outcome lostOutcome() const;
    // Waits until the broker has delivered the retained messages of the topics just subscribed: it publishes a
    // message to a topic of this client's own and waits for it (the broker delivers a subscriber's messages in order,
    // the retained ones first); a broker that does not let it publish there is given the settle time instead.
    void awaitRetained(uint64_t deadlineMs);
    // Runs the conversations, each reading the messages of its topic, until every one has finished, the connection
    // ends or, after Ctrl+C (each told, to send what it must), their last messages have left.
    Outcome run(const std::map<std::string, Conversation*>& byTopic);
    // Sends what is queued, for at most a second.
    void flush();

    // Time without a message after which the retained ones count as delivered, when the marker cannot show it.
    static constexpr uint64_t settleMs = 500;

private:
    static void onConnect(mosquitto*, void* self, int reason, int flags, const mosquitto_property*);
    static void onDisconnect(mosquitto*, void* self, int reason, const mosquitto_property*);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* message, const mosquitto_property*);

    std::string url;
    std::string passwordFile;
    std::string caFile;
    uint64_t timeoutMs;
    BrokerAddress address;
    std::string clientId;
    mosquitto* client = nullptr;
    bool connected = false;
    // The broker's refusal of the connection, in words; empty while none came.
    std::string refusal;
    std::string lostText;
    std::deque<BrokerMessage> arrived;
    uint64_t lastMessageMs = 0;
};
