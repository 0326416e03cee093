#include "app/relay_core.h"

#include "app/relay_version.h"
#include "core/logger.h"
#include "device/board_payloads.h"
#include "device/message_type.h"
#include "json/compact_json_writer.h"

RelayCore::RelayCore(SerialDriver& driver, Clock& clock)
    : sessionList(*this), boardLink(driver, clock, *this), flasher(boardLink.queue(), *this),
      commands(sessionList, boardLink, nodeRegistry, featureRegistry, flasher),
      translator(nodeRegistry, featureRegistry)
{}

std::string RelayCore::versionText()
{
    return std::to_string(relayVersionMajor) + "." + std::to_string(relayVersionMinor) + "." +
           std::to_string(relayVersionPatch);
}

void RelayCore::start()
{
    boardLink.ports().refreshPorts(true);
    nodeRegistry.registerNodeConversions();
    featureRegistry.registerFeatureConversions();
}

bool RelayCore::readBoards()
{
    const PortCheck check = boardLink.readPorts();
    if (check.portListChanged)
        informWebsocketsOfPortAvailability();
    if (check.portsRemoved)
        idlePasses = 0;
    const bool spoke = boardLink.hasBoardMessages();
    boardLink.answerBoardMessages();
    return check.portsRemoved || spoke;
}

void RelayCore::sendToBoards()
{
    if (boardLink.sendToBoards())
        idlePasses = 0;
    PortManager& ports = boardLink.ports();
    if (!ports.autoRefreshPorts)
        return;
    const int previous = idlePasses++;
    if (previous < idlePassesBeforeRefresh)
        return;
    if (ports.refreshPorts(false)) {
        logger.log(LogLevel::DEBUG, "Doing informWebsocketsOfPortAvailability");
        informWebsocketsOfPortAvailability();
    }
    idlePasses = 0;
}

void RelayCore::closePorts()
{
    boardLink.ports().closeAllPorts();
    boardLink.ports().clearPortList();
}

void RelayCore::release()
{
    sessionList.releaseLastMessage();
    boardLink.relays().destroyAllRelays();
    nodeRegistry.clearNodeConversions();
    featureRegistry.clearFeatureConversions();
}

bool RelayCore::translateBoardMessage(Relay& relay, const ReceivedMessage& message, Json::Value& reply)
{
    // An echo is checked against the board's flash session, which reports what it finds itself.
    if (message.type() == MT_BOOTLOADER_ROM_WRITE_DATA) {
        const RomEchoPayload echo = readRomEchoPayload(message);
        flasher.verifyFirmwareEcho(relay, echo.offset, echo.data, echo.available);
        return true;
    }
    return translator.translate(relay, message, reply);
}

void RelayCore::sendReply(const Relay& relay, const Json::Value& reply)
{
    sessionList.queueResponse(sessionList.findConnection(relay.editor), CompactJsonWriter().write(reply));
}

void RelayCore::onHeadAnswered(Relay& relay, const SerialMessage& head) { flasher.onHeadAnswered(relay, head); }

void RelayCore::onHeadRefused(Relay& relay, const SerialMessage& head) { flasher.onHeadRefused(relay, head); }

void RelayCore::onRelayDestroyed(const Relay& relay) { flasher.forgetRelay(relay); }

void RelayCore::onConnectionEstablished(Connection& connection)
{
    PortManager& ports = boardLink.ports();
    ports.refreshPorts(false);
    CompactJsonWriter writer;
    Json::Value server(Json::objectValue);
    server["server"] = versionText();
    sessionList.queueResponse(&connection, writer.write(server));
    sessionList.queueResponse(&connection, ports.portListJson());
    Json::Value refresh(Json::objectValue);
    refresh["autoRefreshPorts"] = ports.autoRefreshPorts;
    sessionList.queueResponse(&connection, writer.write(refresh));
    commands.sendFirmwareFileList(connection);
}

void RelayCore::onConnectionClosed(Connection& connection) { boardLink.relays().destroyRelaysOfEditor(connection.id); }

void RelayCore::onWebCommand(Connection& connection, const Json::Value& command)
{
    commands.handleWebCommand(connection, command);
}

void RelayCore::informWebsocketsOfPortAvailability()
{
    const std::string list = boardLink.ports().portListJson();
    for (Connection* connection : sessionList.connections())
        sessionList.queueResponse(connection, list);
}
