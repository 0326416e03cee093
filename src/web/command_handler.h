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
struct SerialMessage;
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
    // One board command: the port that was opened for it when it arrived (or none), the payload and the value of
    // the payload member that named the command.
    struct BoardCommand {
        const std::string& portName;
        SerialPortHandle* port;
        const Json::Value& payload;
        const Json::Value& member;
    };
    using BoardCommandStep = void (CommandHandler::*)(const BoardCommand&);

    void handleBoardCommand(Connection& connection, const Json::Value& command);
    // Carries out the first command member of the payload.
    void dispatchPayload(const std::string& portName, SerialPortHandle* port, const Json::Value& payload);
    void handleAddNode(SerialPortHandle* port, const Json::Value& node);
    // Queues a built message on the relay of the port; nothing without a port or a message type.
    void queueOn(SerialPortHandle* port, const SerialMessage& message);

    void addNode(const BoardCommand& command);
    void setFeature(const BoardCommand& command);
    void ledToggle(const BoardCommand& command);
    void getVersion(const BoardCommand& command);
    void tweak(const BoardCommand& command);
    void resetConfig(const BoardCommand& command);
    void commitConfig(const BoardCommand& command);
    void configDump(const BoardCommand& command);
    void exportConfig(const BoardCommand& command);
    void looptime(const BoardCommand& command);
    void pause(const BoardCommand& command);
    void singleStep(const BoardCommand& command);
    void liveValue(const BoardCommand& command);
    void requestBootloader(const BoardCommand& command);
    void romWriteStart(const BoardCommand& command);
    void romWriteFinish(const BoardCommand& command);
    void writeFirmware(const BoardCommand& command);

    Sessions& sessions;
    PortManager& ports;
    RelayList& relays;
    OutgoingQueue& queue;
    const NodeConversionRegistry& nodeConversions;
    const FeatureConversionRegistry& featureConversions;
    FirmwareFlasher& flasher;
};
