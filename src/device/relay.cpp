#include "device/relay.h"

Relay& RelayList::bindRelay(const std::string& portName, SerialPortHandle* port, Connection* connection)
{
    Relay* relay = findRelayByName(portName);
    if (relay == nullptr) {
        relays.push_back(std::make_unique<Relay>());
        relay = relays.back().get();
        relay->portName = portName;
    }
    relay->port = port;
    relay->connection = connection;
    return *relay;
}

Relay* RelayList::findRelayByName(const std::string& portName)
{
    for (const auto& relay : relays)
        if (relay->portName == portName)
            return relay.get();
    return nullptr;
}

Relay* RelayList::findRelayByPort(SerialPortHandle* port)
{
    for (const auto& relay : relays)
        if (relay->port == port)
            return relay.get();
    return nullptr;
}

void RelayList::destroyRelaysOfPort(SerialPortHandle* port)
{
    relays.remove_if([port](const std::unique_ptr<Relay>& relay) { return relay->port == port; });
}

void RelayList::destroyRelaysOfConnection(Connection* connection)
{
    relays.remove_if([connection](const std::unique_ptr<Relay>& relay) { return relay->connection == connection; });
}

void RelayList::destroyAllRelays() { relays.clear(); }

std::vector<Relay*> RelayList::snapshot() const
{
    std::vector<Relay*> copy;
    copy.reserve(relays.size());
    for (const auto& relay : relays)
        copy.push_back(relay.get());
    return copy;
}
