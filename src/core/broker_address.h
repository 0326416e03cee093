#pragma once

#include <string>

// Where the broker is and who connects there, as `mqtt://user@host:port` names it (the relay's -m, the client's
// --broker). Made once by the program start; lives for the whole run.
struct BrokerAddress {
    bool tls = false;
    std::string host;
    int port = 0;
    // Empty: connects without a user name.
    std::string user;
};

// Reads "mqtt://[user@]host[:port]" or "mqtts://…" (an IPv6 literal in brackets); the port defaults to 1883, or
// 8883 with mqtts. False, with the mistake in words, for anything else: another scheme, a password in the URL
// (it belongs in a file), a path, an empty host or a port outside 1 to 65535.
bool parseBrokerUrl(const std::string& url, BrokerAddress& address, std::string& mistake);

// The address as a log line names it: scheme, user and host, never the password.
std::string describeBroker(const BrokerAddress& address);

// A name usable as one level of a topic: 1 to 64 bytes without '/', '+', '#', control characters or blanks.
bool isTopicLevel(const std::string& name);

// The password as the file named by VANTREL_MQTT_PASSWORD_FILE holds it, without the line end an editor leaves;
// false when it cannot be read.
bool readBrokerPassword(const std::string& path, std::string& password);
