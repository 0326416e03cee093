#include "device/relay.h"

Relay& RelayList::bindRelay(const std::string& portName, SerialPortHandle* port, EditorId editor)
{
    Relay* relay = findRelayByName(portName);
    if (relay == nullptr) {
        relays.push_back(std::make_unique<Relay>());
        relay = relays.back().get();
        relay->portName = portName;
    }
    relay->port = port;
    relay->editor = editor;
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

template <typename Predicate>
void RelayList::destroyRelaysWhere(Predicate predicate)
{
    for (auto it = relays.begin(); it != relays.end();) {
        if (predicate(**it)) {
            endListener.onRelayDestroyed(**it);
            it = relays.erase(it);
        } else {
            ++it;
        }
    }
}

void RelayList::destroyRelaysOfPort(SerialPortHandle* port)
{
    destroyRelaysWhere([port](const Relay& relay) { return relay.port == port; });
}

void RelayList::destroyRelay(const Relay& relay)
{
    destroyRelaysWhere([&relay](const Relay& listed) { return &listed == &relay; });
}

void RelayList::destroyAllRelays()
{
    destroyRelaysWhere([](const Relay&) { return true; });
}

std::vector<Relay*> RelayList::snapshot() const
{
    std::vector<Relay*> copy;
    copy.reserve(relays.size());
    for (const auto& relay : relays)
        copy.push_back(relay.get());
    return copy;
}
