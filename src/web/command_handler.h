#pragma once

#include <string>

#include <json/value.h>

class FeatureConversionRegistry;
class FirmwareFlasher;
class NodeConversionRegistry;
class OutgoingQueue;
class PortManager;
class RelayList;
class Sessions;
struct Connection;
struct SerialPortHandle;

// Carries out the editor's commands: answers the connection directly, or builds board messages and queues them
// on the named port's relay.
class CommandHandler {
public:
    CommandHandler(Sessions& sessions, PortManager& ports, RelayList& relays, OutgoingQueue& queue,
                   const NodeConversionRegistry& nodeConversions, const FeatureConversionRegistry& featureConversions,
                   FirmwareFlasher& flasher);

    // Never throws: a command that cannot be carried out is logged and dropped.
    void handleWebCommand(Connection& connection, const Json::Value& command);
    void sendFirmwareFileList(Connection& connection);

private:
    void handleBoardCommand(Connection& connection, const Json::Value& command);
    // Carries out the first command member of the payload.
    void dispatchPayload(Connection& connection, SerialPortHandle* port, const Json::Value& payload);

    Sessions& sessions;
    PortManager& ports;
    RelayList& relays;
    OutgoingQueue& queue;
    const NodeConversionRegistry& nodeConversions;
    const FeatureConversionRegistry& featureConversions;
    FirmwareFlasher& flasher;
};
