#include "broker/broker_link.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>

#include <json/reader.h>
#include <mosquitto.h>

#include "core/clock.h"
#include "core/logger.h"
#include "web/command_handler.h"
#include "web/host_names.h"
#include "web/status_pages.h"
#include "json/compact_json_writer.h"

namespace {

BrokerLink& linkOf(void* self) { return *static_cast<BrokerLink*>(self); }

} // namespace

BrokerLink::BrokerLink(Sessions& sessions, CommandHandler& commands, const RelayFigureSource& figures, Clock& clock)
    : sessions(sessions), commands(commands), figures(figures), clock(clock), editors(sessions, *this)
{}

BrokerLink::~BrokerLink() { stop(); }

bool BrokerLink::start(const BrokerSettings& settings)
{
    std::string mistake;
    if (!parseBrokerUrl(settings.url, address, mistake)) {
        logger.log(LogLevel::FATAL, "-m %s: %s", logName(settings.url).c_str(), mistake.c_str());
        return false;
    }
    name = settings.relayName.empty() ? machineHostName() : settings.relayName;
    if (!isTopicLevel(name)) {
        logger.log(LogLevel::FATAL,
                   "The relay's name in topics '%s' cannot be one level of a topic: give -r with 1 to 64 characters "
                   "without '/', '+', '#' or blanks",
                   logName(name).c_str());
        return false;
    }
    std::string password;
    if (!settings.passwordFile.empty() && !readBrokerPassword(settings.passwordFile, password)) {
        logger.log(LogLevel::FATAL, "Cannot read the broker password file '%s' (VANTREL_MQTT_PASSWORD_FILE)",
                   logName(settings.passwordFile).c_str());
        return false;
    }
    commandsAllowed = settings.commands;
    watch.setCommandsTaken(commandsAllowed);

    mosquitto_lib_init();
    const std::string clientId = "vantrel-relay-" + name;
    client = mosquitto_new(clientId.c_str(), true, this);
    if (client == nullptr) {
        logger.log(LogLevel::FATAL, "The broker link cannot be made (out of memory?)");
        mosquitto_lib_cleanup();
        return false;
    }
    // Version 5, so that the broker says when it refuses a message (its ACL) instead of dropping it in silence.
    mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(client, onConnect);
    mosquitto_disconnect_v5_callback_set(client, onDisconnect);
    mosquitto_publish_v5_callback_set(client, onPublish);
    mosquitto_subscribe_v5_callback_set(client, onSubscribe);
    mosquitto_message_v5_callback_set(client, onMessage);
    const std::string status = topic("status");
    mosquitto_will_set_v5(client, status.c_str(), 7, "offline", 1, true, nullptr);
    if (!address.user.empty())
        mosquitto_username_pw_set(client, address.user.c_str(),
                                  settings.passwordFile.empty() ? nullptr : password.c_str());
    if (address.tls) {
        const int tls = settings.caFile.empty()
                            ? mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                            : mosquitto_tls_set(client, settings.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (tls != MOSQ_ERR_SUCCESS) {
            logger.log(LogLevel::FATAL, "TLS for the broker cannot be set up%s%s: %s",
                       settings.caFile.empty() ? "" : " with the CA file ", logName(settings.caFile).c_str(),
                       mosquitto_strerror(tls));
            return false;
        }
    } else if (!settings.caFile.empty()) {
        logger.log(LogLevel::WARNING, "-A takes effect only with an mqtts:// broker; connecting without TLS");
    }
    logger.log(LogLevel::INFO,
               "Broker link to %s as relay '%s' (topics vantrel/%s/...); commands through the broker "
               "%s",
               describeBroker(address).c_str(), name.c_str(), name.c_str(),
               commandsAllowed ? "taken (-M)" : "not taken (-M takes them)");
    nextLookMs = clock.nowMs();
    look();
    connect();
    return true;
}

void BrokerLink::connect()
{
    ++generation;
    state = State::connecting;
    // Without waiting: the socket connects while the loop goes on, and the pass that finds it ready goes on with it.
    const int result = generation == 1
                           ? mosquitto_connect_async(client, address.host.c_str(), address.port, keepAliveSeconds)
                           : mosquitto_reconnect_async(client);
    if (result != MOSQ_ERR_SUCCESS)
        connectionLost(result == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(result));
}

void BrokerLink::connectionLost(const char* why)
{
    if (state == State::stopped)
        return;
    const bool wasOnline = state == State::online;
    state = State::waiting;
    if (wasOnline)
        retryDelayMs = firstRetryMs;
    retryAtMs = clock.nowMs() + retryDelayMs;
    if (wasOnline || !troubleLogged)
        logger.log(LogLevel::WARNING,
                   "Broker link %s: %s; trying again in %llu s, then with a growing wait up to %llu s (what happens "
                   "meanwhile waits, up to %zu messages)",
                   wasOnline ? "lost" : "not up", why, static_cast<unsigned long long>(retryDelayMs / 1000),
                   static_cast<unsigned long long>(lastRetryMs / 1000), BrokerOutbox::maxWaiting);
    else
        logger.log(LogLevel::DEBUG, "Broker link still down: %s; next try in %llu ms", why,
                   static_cast<unsigned long long>(retryDelayMs));
    troubleLogged = true;
    retryDelayMs = std::min(retryDelayMs * 2, lastRetryMs);
}

void BrokerLink::onConnect(mosquitto*, void* self, int reason, int, const mosquitto_property*)
{
    BrokerLink& link = linkOf(self);
    if (reason != 0) {
        // The library ends the connection next; this says why.
        logger.log(LogLevel::WARNING,
                   "The broker refused the relay: %s (check the user, the password file and the "
                   "broker's ACL)",
                   mosquitto_reason_string(reason));
        return;
    }
    link.state = State::online;
    link.retryDelayMs = firstRetryMs;
    link.troubleLogged = false;
    logger.log(LogLevel::INFO, "Broker link %s: %s as relay '%s'", link.everOnline ? "back" : "up",
               describeBroker(link.address).c_str(), link.name.c_str());
    link.everOnline = true;
    // Presence first, then the current board list (a broker that lost its retained messages gets them again).
    link.publishNow(link.topic("status"), "online", true);
    link.waiting.push({link.topic("boards"), link.boardsNow, Publication::Kind::state, true, ""}, link.clock.nowMs());
    if (link.commandsAllowed) {
        for (const char* leaf : {"command", "image/+"}) {
            const std::string subscribed = link.topic(leaf);
            mosquitto_subscribe_v5(link.client, nullptr, subscribed.c_str(), 1, 0, nullptr);
        }
    }
}

void BrokerLink::onDisconnect(mosquitto*, void* self, int reason, const mosquitto_property*)
{
    BrokerLink& link = linkOf(self);
    link.connectionLost(reason == MOSQ_ERR_SUCCESS     ? "the broker closed the connection"
                        : reason == MOSQ_ERR_KEEPALIVE ? "the broker did not answer within the keep-alive"
                                                       : mosquitto_strerror(reason));
}

void BrokerLink::onPublish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*)
{
    BrokerLink& link = linkOf(self);
    const auto found = link.inFlight.find(mid);
    if (reason >= 0x80)
        logger.log(LogLevel::WARNING,
                   "The broker refused the relay's message on %s: %s; its ACL must let the relay's user write "
                   "vantrel/%s/#",
                   found != link.inFlight.end() ? logName(found->second).c_str() : "a topic",
                   mosquitto_reason_string(reason), link.name.c_str());
    if (found != link.inFlight.end())
        link.inFlight.erase(found);
}

void BrokerLink::onSubscribe(mosquitto*, void* self, int, int count, const int* granted, const mosquitto_property*)
{
    BrokerLink& link = linkOf(self);
    if (count < 1 || granted == nullptr || granted[0] < 0x80)
        return;
    logger.log(LogLevel::WARNING,
               "The broker refused the relay's subscription to %s: %s; no command can come through the broker until "
               "its ACL lets the relay's user read that topic",
               link.topic("command").c_str(), mosquitto_reason_string(granted[0]));
}

void BrokerLink::onMessage(mosquitto*, void* self, const mosquitto_message* message, const mosquitto_property*)
{
    if (message == nullptr)
        return;
    BrokerLink& link = linkOf(self);
    const std::string images = link.topic("image/");
    if (link.commandsAllowed && message->topic != nullptr &&
        std::strncmp(message->topic, images.c_str(), images.size()) == 0)
        link.takeImage(message->topic + images.size(), *message);
    else
        link.takeCommand(*message);
}

bool BrokerLink::admitted()
{
    const uint64_t now = clock.nowMs();
    commandTokens =
        std::min(commandBurst, commandTokens + static_cast<double>(now - tokensAtMs) / 1000.0 * commandsPerSecond);
    tokensAtMs = now;
    if (commandTokens < 1) {
        logger.log(LogLevel::WARNING,
                   "Refusing broker commands beyond %.0f a second: more are coming than the relay "
                   "takes",
                   commandsPerSecond);
        return false;
    }
    commandTokens -= 1;
    return true;
}

void BrokerLink::takeImage(const std::string& commandId, const mosquitto_message& message)
{
    if (!admitted())
        return;
    const size_t length = message.payloadlen > 0 ? static_cast<size_t>(message.payloadlen) : 0;
    const std::string what = "the image on " + logName(topic("image/") + commandId);
    if (!isTopicLevel(commandId) || length == 0 || length > Sessions::maxBinaryMessageBytes) {
        logger.log(LogLevel::WARNING, "Refusing %s: %s", what.c_str(),
                   !isTopicLevel(commandId) ? "its last topic level is no command id"
                   : length == 0            ? "it is empty"
                                            : "it is larger than the 16 MiB any write takes");
        return;
    }
    const auto* bytes = static_cast<const uint8_t*>(message.payload);
    Connection* editor = editors.find(commandId);
    if (editor != nullptr && sessions.awaitsBinaryMessage(*editor)) {
        sessions.received(*editor, reinterpret_cast<const char*>(bytes), length, true, true);
        return;
    }
    const auto held = earlyImages.find(commandId);
    const size_t heldBefore = held == earlyImages.end() ? 0 : held->second.bytes.size();
    if (earlyImageBytes - heldBefore + length > maxEarlyImageBytes) {
        logger.log(LogLevel::WARNING,
                   "Refusing %s: no write_firmware_image command of that id awaits it, and images that came before "
                   "their commands already hold %zu bytes",
                   what.c_str(), earlyImageBytes);
        return;
    }
    logger.log(LogLevel::DEBUG, "Holding %s until the write_firmware_image command of that id comes", what.c_str());
    earlyImageBytes = earlyImageBytes - heldBefore + length;
    EarlyImage& early = earlyImages[commandId];
    early.bytes.assign(bytes, bytes + length);
    early.untilMs = clock.nowMs() + earlyImageWaitMs;
}

void BrokerLink::deliverEarlyImage(const std::string& commandId)
{
    const auto held = earlyImages.find(commandId);
    Connection* editor = editors.find(commandId);
    if (held == earlyImages.end() || editor == nullptr || !sessions.awaitsBinaryMessage(*editor))
        return;
    const std::vector<uint8_t> bytes = std::move(held->second.bytes);
    earlyImageBytes -= bytes.size();
    earlyImages.erase(held);
    sessions.received(*editor, reinterpret_cast<const char*>(bytes.data()), bytes.size(), true, true);
}

void BrokerLink::dropLateImages(uint64_t nowMs)
{
    for (auto held = earlyImages.begin(); held != earlyImages.end();) {
        if (nowMs < held->second.untilMs) {
            ++held;
            continue;
        }
        logger.log(LogLevel::WARNING,
                   "Dropping the image on %s: no write_firmware_image command of that id came within %llu s",
                   logName(topic("image/") + held->first).c_str(),
                   static_cast<unsigned long long>(earlyImageWaitMs / 1000));
        earlyImageBytes -= held->second.bytes.size();
        held = earlyImages.erase(held);
    }
}

void BrokerLink::takeCommand(const mosquitto_message& message)
{
    const std::string topicName = message.topic != nullptr ? message.topic : "";
    if (!commandsAllowed || topicName != topic("command")) {
        logger.log(LogLevel::WARNING, "Ignoring a broker message on %s: the relay reads only %s",
                   logName(topicName).c_str(), commandsAllowed ? topic("command").c_str() : "nothing (no -M)");
        return;
    }
    if (!admitted())
        return;
    const size_t length = message.payloadlen > 0 ? static_cast<size_t>(message.payloadlen) : 0;
    if (length > maxCommandBytes) {
        logger.log(LogLevel::WARNING, "Refusing a broker command of %zu bytes: the relay takes at most %zu", length,
                   maxCommandBytes);
        return;
    }
    const char* text = static_cast<const char*>(message.payload);
    Json::Value command;
    Json::CharReaderBuilder builder;
    builder["stackLimit"] = 64;
    std::string errors;
    bool parsed = false;
    try {
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        parsed = text != nullptr && reader->parse(text, text + length, &command, &errors);
    } catch (const std::exception& e) {
        errors = e.what();
    }
    const Json::Value& id = parsed && command.isObject() ? command["id"] : Json::Value::nullSingleton();
    const std::string commandId = id.isString() ? id.asString() : "";
    if (!parsed || !command.isObject()) {
        logger.log(LogLevel::WARNING, "Refusing a broker command that is no JSON object: %s",
                   logName(std::string(text != nullptr ? text : "", length)).c_str());
        return;
    }
    if (!isTopicLevel(commandId)) {
        logger.log(LogLevel::WARNING,
                   "Refusing a broker command whose \"id\" is no text of 1 to 64 characters "
                   "without '/', '+', '#' or blanks: %s",
                   logName(std::string(text, length)).c_str());
        return;
    }
    commands.handleWebCommand(editors.editorFor(commandId), command);
    deliverEarlyImage(commandId);
}

void BrokerLink::deliverReply(EditorId editor, std::string text, bool progress)
{
    const std::string* commandId = editors.commandIdOf(editor);
    if (commandId == nullptr)
        return;
    const std::string replyTopic = topic("reply/") + *commandId;
    waiting.push(
        {replyTopic, std::move(text), progress ? Publication::Kind::progress : Publication::Kind::other, false, ""},
        clock.nowMs());
}

void BrokerLink::look()
{
    const uint64_t now = clock.nowMs();
    if (now < nextLookMs)
        return;
    nextLookMs = now + lookIntervalMs;
    const RelayFigures current = figures.figures();
    bool boardsChanged = false;
    const std::vector<FleetWatch::Event> events = watch.look(current, boardsChanged);
    const std::string eventsTopic = topic("events");
    for (const FleetWatch::Event& event : events)
        waiting.push({eventsTopic, event.payload, event.kind, false, eventsTopic + "/" + event.port}, now);
    writesRunning = std::any_of(current.boards.begin(), current.boards.end(),
                                [](const BoardStatus& board) { return board.state == "writing"; });
    if (boardsChanged) {
        boardsNow = FleetWatch::boardsPayload(current, commandsAllowed);
        waiting.push({topic("boards"), boardsNow, Publication::Kind::state, true, ""}, now);
    }
}

void BrokerLink::publishNow(const std::string& topicName, const std::string& payload, bool retain)
{
    int mid = 0;
    const int result = mosquitto_publish_v5(client, &mid, topicName.c_str(), static_cast<int>(payload.size()),
                                            payload.data(), 1, retain, nullptr);
    if (result == MOSQ_ERR_SUCCESS)
        inFlight[mid] = topicName;
    else
        logger.log(LogLevel::ERROR, "A message on %s cannot be sent to the broker: %s", logName(topicName).c_str(),
                   mosquitto_strerror(result));
}

void BrokerLink::flush()
{
    while (state == State::online && !waiting.empty() && inFlight.size() < maxInFlight) {
        const Publication& next = waiting.front();
        publishNow(next.topic, next.payload, next.retain);
        waiting.pop();
    }
}

void BrokerLink::service(bool readable)
{
    if (client == nullptr || state == State::stopped)
        return;
    const uint64_t now = clock.nowMs();
    if (readable && socket() >= 0)
        checked(mosquitto_loop_read(client, 1));
    if (now >= nextMiscMs) {
        // Keep-alive pings, and giving up a connection that stays silent.
        mosquitto_loop_misc(client);
        nextMiscMs = now + 1000;
    }
    if (state == State::waiting && now >= retryAtMs)
        connect();
    look();
    dropLateImages(now);
    waiting.releaseDue(now);
    flush();
    if (socket() >= 0 && mosquitto_want_write(client))
        checked(mosquitto_loop_write(client, 1));
}

void BrokerLink::checked(int result)
{
    // Most failures end the connection through the library's callback; a failed TLS handshake does not, and its
    // socket would stay readable: it is left alone until the next try closes it.
    if (result == MOSQ_ERR_SUCCESS || (state != State::connecting && state != State::online))
        return;
    connectionLost(result == MOSQ_ERR_TLS ? "TLS failed (does the broker's certificate name this host, and does the "
                                            "system's store or the -A file vouch for it?)"
                                          : mosquitto_strerror(result));
}

int BrokerLink::socket() const
{
    const bool connected = state == State::connecting || state == State::online;
    return client != nullptr && connected ? mosquitto_socket(client) : -1;
}

bool BrokerLink::wantsWrite() const { return client != nullptr && mosquitto_want_write(client); }

uint64_t BrokerLink::nextDueMs() const
{
    if (client == nullptr || state == State::stopped)
        return UINT64_MAX;
    uint64_t due = waiting.nextDueMs();
    if (state == State::waiting)
        due = std::min(due, retryAtMs);
    if (writesRunning)
        due = std::min(due, nextLookMs);
    for (const auto& held : earlyImages)
        due = std::min(due, held.second.untilMs);
    return due;
}

void BrokerLink::stop()
{
    if (client == nullptr || state == State::stopped)
        return;
    editors.closeAll();
    const bool wasOnline = state == State::online;
    state = State::stopped;
    if (wasOnline) {
        // A clean disconnect sends no last will: the relay says it is going itself.
        publishNow(topic("status"), "offline", true);
        mosquitto_disconnect_v5(client, 0, nullptr);
        const uint64_t until = clock.nowMs() + 1000;
        while (mosquitto_socket(client) >= 0 && mosquitto_want_write(client) && clock.nowMs() < until) {
            pollfd ready{mosquitto_socket(client), POLLOUT, 0};
            poll(&ready, 1, 100);
            mosquitto_loop_write(client, 1);
        }
    }
    mosquitto_destroy(client);
    client = nullptr;
    mosquitto_lib_cleanup();
}
