#include "web/command_handler.h"

#include <exception>

#include "core/logger.h"
#include "device/port_manager.h"
#include "device/relay.h"
#include "firmware/firmware_file_list.h"
#include "json/compact_json_writer.h"
#include "web/lenient_json.h"
#include "web/sessions.h"

CommandHandler::CommandHandler(Sessions& sessions, PortManager& ports, RelayList& relays, OutgoingQueue& queue,
                               const NodeConversionRegistry& nodeConversions,
                               const FeatureConversionRegistry& featureConversions, FirmwareFlasher& flasher)
    : sessions(sessions), ports(ports), relays(relays), queue(queue), nodeConversions(nodeConversions),
      featureConversions(featureConversions), flasher(flasher)
{
}

void CommandHandler::sendFirmwareFileList(Connection& connection)
{
    sessions.queueResponse(&connection, CompactJsonWriter().write(firmwareFileListJson()));
}

void CommandHandler::handleWebCommand(Connection& connection, const Json::Value& command)
{
    try {
        if (hasMember(command, "firmware_file_list_refresh")) {
            logger.log(LogLevel::DEBUG, "Doing firmware_file_list_refresh request");
            sendFirmwareFileList(connection);
        } else if (hasMember(command, "set_auto_refresh_ports")) {
            logger.log(LogLevel::DEBUG, "Doing auto refresh ports request");
            ports.autoRefreshPorts = memberAsBool(command, "set_auto_refresh_ports", true);
            Json::Value reply(Json::objectValue);
            reply["autoRefreshPorts"] = ports.autoRefreshPorts;
            sessions.queueResponse(&connection, CompactJsonWriter().write(reply));
        } else if (hasMember(command, "port")) {
            handleBoardCommand(connection, command);
        }
    } catch (const std::exception& e) {
        // One editor message that cannot be carried out must not end the relay.
        logger.log(LogLevel::ERROR, "Dropping command that could not be carried out (%s): %s", e.what(),
                   CompactJsonWriter().write(command).c_str());
    }
}

void CommandHandler::handleBoardCommand(Connection& connection, const Json::Value& command)
{
    const std::string portName = memberAsText(command, "port", "");
    SerialPortHandle* port = ports.openPort(portName);
    // A name whose port cannot be opened gets no relay of its own: it could carry nothing. An existing relay
    // of that name is still moved to this connection.
    if (port != nullptr || relays.findRelayByName(portName) != nullptr)
        relays.bindRelay(portName, port, &connection);
    dispatchPayload(connection, port, memberOrNull(command, "payload"));
}

void CommandHandler::dispatchPayload(Connection&, SerialPortHandle*, const Json::Value&)
{
    logger.log(LogLevel::WARNING, "********* No command found in JSON payload");
}
