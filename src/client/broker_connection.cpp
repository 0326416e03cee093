#include "client/broker_connection.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "client/client_output.h"
#include "client/relay_connection.h"
#include "client/relay_messages.h"

namespace {

BrokerConnection& connectionOf(void* self) { return *static_cast<BrokerConnection*>(self); }

// The loop is woken this often at least, so that Ctrl+C is seen soon.
constexpr uint64_t longestWaitMs = 100;

} // namespace

BrokerConnection::BrokerConnection(std::string url, std::string passwordFile, std::string caFile, uint64_t timeoutMs)
    : url(std::move(url)), passwordFile(std::move(passwordFile)), caFile(std::move(caFile)), timeoutMs(timeoutMs)
{}

BrokerConnection::~BrokerConnection()
{
    if (client == nullptr)
        return;
    if (connected) {
        mosquitto_disconnect_v5(client, 0, nullptr);
        mosquitto_loop(client, 10, 1);
    }
    mosquitto_destroy(client);
    mosquitto_lib_cleanup();
}

Outcome BrokerConnection::open()
{
    std::string mistake;
    if (!parseBrokerUrl(url, address, mistake))
        return Outcome::failure(ExitStatus::usage, "--broker " + url + ": " + mistake);
    std::string password;
    if (!passwordFile.empty() && !readBrokerPassword(passwordFile, password))
        return Outcome::failure(ExitStatus::usage, "cannot read the broker password file " + passwordFile +
                                                       " (VANTREL_MQTT_PASSWORD_FILE): name a file this user may read");
    mosquitto_lib_init();
    clientId = "vantrel-fleet-" + std::to_string(getpid()) + "-" + std::to_string(steadyMs() % 100000);
    client = mosquitto_new(clientId.c_str(), true, this);
    if (client == nullptr) {
        mosquitto_lib_cleanup();
        return Outcome::failure(ExitStatus::relayUnreachable, "the broker connection cannot be made (out of memory?)");
    }
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(client, onConnect);
    mosquitto_disconnect_v5_callback_set(client, onDisconnect);
    mosquitto_message_v5_callback_set(client, onMessage);
    if (!address.user.empty())
        mosquitto_username_pw_set(client, address.user.c_str(), passwordFile.empty() ? nullptr : password.c_str());
    if (address.tls) {
        const int tls = caFile.empty() ? mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                                       : mosquitto_tls_set(client, caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (tls != MOSQ_ERR_SUCCESS)
            return Outcome::failure(ExitStatus::usage, "TLS for the broker cannot be set up" +
                                                           (caFile.empty() ? "" : " with --ca " + caFile) + ": " +
                                                           mosquitto_strerror(tls));
    }
    const std::string where = describeBroker(address);
    const int started = mosquitto_connect_async(client, address.host.c_str(), address.port, 30);
    const uint64_t deadline = steadyMs() + timeoutMs;
    if (started == MOSQ_ERR_SUCCESS) {
        while (!connected && refusal.empty() && lostText.empty() && !interrupted() && steadyMs() < deadline)
            service(deadline - steadyMs());
    }
    if (connected)
        return Outcome::success();
    std::string why = started != MOSQ_ERR_SUCCESS
                          ? (started == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(started))
                      : !refusal.empty()  ? refusal
                      : !lostText.empty() ? lostText
                      : interrupted()     ? "interrupted"
                                          : "no answer within " + durationText(timeoutMs);
    return Outcome::failure(ExitStatus::relayUnreachable,
                            "cannot reach the broker at " + where + ": " + why +
                                (refusal.empty()
                                     ? " (is it running, and is --broker right?)"
                                     : " (check the user, VANTREL_MQTT_PASSWORD_FILE and the broker's ACL)"));
}

void BrokerConnection::onConnect(mosquitto*, void* self, int reason, int, const mosquitto_property*)
{
    BrokerConnection& connection = connectionOf(self);
    if (reason == 0)
        connection.connected = true;
    else
        connection.refusal = std::string("the broker refused the connection: ") + mosquitto_reason_string(reason);
}

void BrokerConnection::onDisconnect(mosquitto*, void* self, int reason, const mosquitto_property*)
{
    BrokerConnection& connection = connectionOf(self);
    connection.connected = false;
    connection.lostText = reason == MOSQ_ERR_SUCCESS ? "the broker closed the connection"
                          : reason == MOSQ_ERR_ERRNO ? std::strerror(errno)
                                                     : mosquitto_strerror(reason);
}

void BrokerConnection::onMessage(mosquitto*, void* self, const mosquitto_message* message, const mosquitto_property*)
{
    if (message == nullptr || message->topic == nullptr)
        return;
    BrokerConnection& connection = connectionOf(self);
    const char* bytes = static_cast<const char*>(message->payload);
    connection.arrived.push_back(
        {message->topic,
         bytes == nullptr ? std::string() : std::string(bytes, static_cast<size_t>(message->payloadlen)),
         message->retain});
    connection.lastMessageMs = steadyMs();
}

Outcome BrokerConnection::lostOutcome() const
{
    return Outcome::failure(ExitStatus::relayUnreachable,
                            "lost the broker at " + describeBroker(address) + ": " + lostText + "; try again");
}

void BrokerConnection::subscribe(const std::string& topic)
{
    mosquitto_subscribe_v5(client, nullptr, topic.c_str(), 1, 0, nullptr);
}

void BrokerConnection::unsubscribe(const std::string& topic)
{
    mosquitto_unsubscribe_v5(client, nullptr, topic.c_str(), nullptr);
}

void BrokerConnection::publish(const std::string& topic, const void* data, size_t size)
{
    mosquitto_publish_v5(client, nullptr, topic.c_str(), static_cast<int>(size), data, 1, false, nullptr);
}

void BrokerConnection::service(uint64_t waitMs)
{
    if (client == nullptr || !lostText.empty())
        return;
    const int result = mosquitto_loop(client, static_cast<int>(std::min(waitMs, longestWaitMs)), 1);
    if (result != MOSQ_ERR_SUCCESS && lostText.empty() && result != MOSQ_ERR_NO_CONN)
        lostText = result == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(result);
    else if (result == MOSQ_ERR_NO_CONN && lostText.empty() && connected)
        lostText = "the connection ended";
}

void BrokerConnection::awaitRetained(uint64_t deadlineMs)
{
    const std::string marker = "vantrel-client/" + clientId + "/retained";
    subscribe(marker);
    publish(marker, "1", 1);
    lastMessageMs = steadyMs();
    bool seen = false;
    while (!seen && !lost() && !interrupted() && steadyMs() < deadlineMs && steadyMs() < lastMessageMs + settleMs) {
        service(std::min(deadlineMs, lastMessageMs + settleMs) - steadyMs());
        seen = std::any_of(arrived.begin(), arrived.end(),
                           [&marker](const BrokerMessage& message) { return message.topic == marker; });
    }
    arrived.erase(std::remove_if(arrived.begin(), arrived.end(),
                                 [&marker](const BrokerMessage& message) { return message.topic == marker; }),
                  arrived.end());
    unsubscribe(marker);
}

Outcome BrokerConnection::run(const std::map<std::string, Conversation*>& byTopic)
{
    bool told = false;
    const auto allFinished = [&byTopic] {
        return std::all_of(byTopic.begin(), byTopic.end(), [](const auto& entry) { return entry.second->finished(); });
    };
    while (!allFinished() && !lost()) {
        uint64_t now = steadyMs();
        if (interrupted() && !told) {
            told = true;
            for (const auto& entry : byTopic)
                entry.second->onInterrupt(now);
            continue;
        }
        uint64_t next = UINT64_MAX;
        for (const auto& entry : byTopic)
            next = std::min(next, entry.second->finished() ? UINT64_MAX : entry.second->nextTimeMs());
        service(next > now ? next - now : 0);
        while (!arrived.empty()) {
            const BrokerMessage message = std::move(arrived.front());
            arrived.pop_front();
            const auto found = byTopic.find(message.topic);
            Json::Value value;
            if (found != byTopic.end() && !found->second->finished() && readRelayJson(message.payload, value))
                found->second->onMessage(value, steadyMs());
        }
        now = steadyMs();
        for (const auto& entry : byTopic) {
            if (!entry.second->finished() && now >= entry.second->nextTimeMs())
                entry.second->onTime(now);
        }
    }
    flush();
    return lost() ? lostOutcome() : Outcome::success();
}

void BrokerConnection::flush()
{
    const uint64_t until = steadyMs() + 1000;
    while (client != nullptr && !lost() && mosquitto_want_write(client) && steadyMs() < until)
        service(10);
}
