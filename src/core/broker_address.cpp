#include "core/broker_address.h"

#include "core/host_and_port.h"
#include "core/whole_file.h"

bool parseBrokerUrl(const std::string& url, BrokerAddress& address, std::string& mistake)
{
    address = BrokerAddress();
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        address.tls = true;
        rest = url.substr(8);
    } else {
        mistake = "the broker's URL begins with mqtt:// or mqtts://";
        return false;
    }
    if (!rest.empty() && rest.back() == '/')
        rest.pop_back();
    if (rest.find('/') != std::string::npos) {
        mistake = "the broker's URL names a host and port only, no path";
        return false;
    }
    const size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        address.user = rest.substr(0, at);
        rest = rest.substr(at + 1);
        if (address.user.find(':') != std::string::npos) {
            mistake = "no password in the URL, where every process can read it: put it in a file named by "
                      "VANTREL_MQTT_PASSWORD_FILE";
            return false;
        }
        if (address.user.empty()) {
            mistake = "the user name before '@' is empty";
            return false;
        }
    }
    HostAndPort hostAndPort;
    if (!splitHostAndPort(rest, hostAndPort) || hostAndPort.host.empty()) {
        mistake = "the broker's URL needs a host, and a port from 1 to 65535 if any";
        return false;
    }
    address.host = hostAndPort.host;
    address.port = hostAndPort.port != 0 ? hostAndPort.port : address.tls ? 8883 : 1883;
    return true;
}

std::string describeBroker(const BrokerAddress& address)
{
    const bool v6 = address.host.find(':') != std::string::npos;
    return std::string(address.tls ? "mqtts://" : "mqtt://") + (address.user.empty() ? "" : address.user + "@") +
           (v6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port);
}

bool isTopicLevel(const std::string& name)
{
    if (name.empty() || name.size() > 64)
        return false;
    for (const char c : name) {
        if (c == '/' || c == '+' || c == '#' || c == ' ' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return false;
    }
    return true;
}

bool readBrokerPassword(const std::string& path, std::string& password)
{
    if (!readWholeFile(path, password))
        return false;
    while (!password.empty() && (password.back() == '\n' || password.back() == '\r'))
        password.pop_back();
    return true;
}
