#include "app/relay_core.h"

#include <algorithm>
#include <utility>

#include "core/clock.h"

#include "app/relay_version.h"
#include "core/logger.h"
#include "device/board_payloads.h"
#include "device/message_type.h"
#include "json/compact_json_writer.h"

RelayCore::RelayCore(SerialDriver& driver, Clock& clock)
    : sessionList(*this), flasher(boardLink, *this, clock), boardLink(driver, clock, *this, flasher),
      commands(sessionList, boardLink, nodeRegistry, featureRegistry, flasher, clock),
      translator(nodeRegistry, featureRegistry), clock(clock)
{}

std::string RelayCore::versionText()
{
    return std::to_string(relayVersionMajor) + "." + std::to_string(relayVersionMinor) + "." +
           std::to_string(relayVersionPatch);
}

void RelayCore::start()
{
    startedAt = std::chrono::steady_clock::now();
    boardLink.ports().refreshPorts(true);
    lastActivityMs = clock.nowMs();
    nodeRegistry.registerNodeConversions();
    featureRegistry.registerFeatureConversions();
}

RelayFigures RelayCore::figures() const
{
    RelayFigures figures;
    figures.version = versionText();
    figures.uptimeSeconds = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - startedAt).count());
    const BoardLink& link = boardLink;
    for (const PortInfo& port : link.ports().portList()) {
        BoardStatus board;
        board.port = port.name;
        board.usbProduct = port.usbProduct;
        board.state = "closed";
        const auto identity = identities.find(port.name);
        BoardMode mode = BoardMode::unknown;
        if (identity != identities.end()) {
            board.firmwareVersion = identity->second.version;
            board.serial = identity->second.serial;
            board.flashSizeKiB = identity->second.flashSizeKiB;
            mode = identity->second.mode;
        }
        for (const Relay* relay : link.relays().snapshot()) {
            if (relay->portName != port.name)
                continue;
            mode = relay->mode;
            const FlashSession* write = flasher.session(*relay);
            board.state = write != nullptr                        ? "writing"
                          : relay->mode == BoardMode::bootloader  ? "bootloader"
                          : relay->mode == BoardMode::application ? "application"
                                                                  : "open";
            if (write != nullptr) {
                board.file = write->file;
                board.bytesTotal = write->size;
                board.bytesVerified =
                    static_cast<uint64_t>(std::count(write->verified.begin(), write->verified.end(), true)) *
                    FirmwareFlasher::chunkSize;
                board.bytesVerified = std::min(board.bytesVerified, board.bytesTotal);
            }
        }
        board.mode = mode == BoardMode::bootloader    ? "bootloader"
                     : mode == BoardMode::application ? "application"
                                                      : "unknown";
        figures.boards.push_back(board);
    }
    figures.recentWrites.assign(flasher.recentEnds().begin(), flasher.recentEnds().end());
    figures.editors = sessionList.connections().size();
    figures.messagesSent = link.queue().messagesSent();
    figures.messagesReceived = link.messagesReceived();
    figures.acknowledgementTimeouts = link.queue().acknowledgementTimeouts();
    const FirmwareFlasher::Counts& writes = flasher.counts();
    figures.writesCompleted = writes.completed;
    figures.writesFailed = writes.failed;
    figures.writesCancelled = writes.cancelled;
    figures.bytesVerified = writes.bytesVerified;
    figures.repliesDropped = sessionList.repliesDropped();
    figures.logLinesSuppressed = logger.suppressedTotal();
    figures.lastError = logger.lastError();
    if (!figures.lastError.empty())
        figures.lastErrorAgeSeconds = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - logger.lastErrorAt())
                .count());
    return figures;
}

void RelayCore::readBoards()
{
    const PortCheck check = boardLink.readPorts();
    if (check.portListChanged)
        informWebsocketsOfPortAvailability();
    if (check.portsRemoved)
        lastActivityMs = clock.nowMs();
    if (boardLink.answerBoardMessages())
        lastActivityMs = clock.nowMs();
    commands.sendHeldFirmwareFileLists();
}

void RelayCore::sendToBoards()
{
    if (boardLink.sendToBoards())
        lastActivityMs = clock.nowMs();
    if (relaysOutliveEditors)
        destroyRelaysOfGoneEditors();
    PortManager& ports = boardLink.ports();
    if (!ports.autoRefreshPorts)
        return;
    if (clock.nowMs() - lastActivityMs < idleMsBeforeRefresh)
        return;
    if (ports.refreshPorts(false)) {
        logger.log(LogLevel::DEBUG, "Doing informWebsocketsOfPortAvailability");
        informWebsocketsOfPortAvailability();
    }
    lastActivityMs = clock.nowMs();
}

uint64_t RelayCore::nextDueMs() const
{
    const uint64_t due = std::min(boardLink.queue().nextDueMs(), commands.nextDueMs());
    if (!boardLink.ports().autoRefreshPorts)
        return due;
    return std::min(due, lastActivityMs + idleMsBeforeRefresh);
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
    const bool known = translator.translate(relay, message, reply);
    if (known && message.type() == MT_VERSION) {
        // The editor hears the version before what a write that waited for the board's flash size makes of it.
        BoardIdentity& identity = identities[relay.portName];
        identity.version = std::to_string(reply["versionMajor"].asInt()) + "." +
                           std::to_string(reply["versionMinor"].asInt()) + "." +
                           std::to_string(reply["versionPatch"].asInt());
        identity.serial = reply["serial"].asString();
        identity.flashSizeKiB = relay.flashSizeKiB;
        identity.mode = relay.mode;
        sendReply(relay, reply);
        reply = Json::Value();
        flasher.onVersionKnown(relay);
    }
    return known;
}

void RelayCore::sendReply(const Relay& relay, const Json::Value& reply)
{
    sessionList.queueResponse(sessionList.findConnection(relay.editor), CompactJsonWriter().write(reply));
}

void RelayCore::sendToEditor(EditorId editor, const Json::Value& reply)
{
    sessionList.queueResponse(sessionList.findConnection(editor), CompactJsonWriter().write(reply));
}

void RelayCore::sendProgressToEditor(EditorId editor, std::string_view head, std::string_view tail)
{
    sessionList.queueProgress(sessionList.findConnection(editor), head, tail);
}

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

void RelayCore::onConnectionClosed(Connection& connection)
{
    commands.onConnectionClosed(connection);
    // A board being written keeps its relay until the write ends: half a firmware would leave it unusable.
    RelayList& relays = boardLink.relays();
    for (Relay* relay : relays.snapshot()) {
        if (relay->editor != connection.id)
            continue;
        if (flasher.isWriting(*relay)) {
            logger.log(LogLevel::INFO, "%s: Firmware write goes on after its editor left", relay->portName.c_str());
            relaysOutliveEditors = true;
        } else {
            relays.destroyRelay(*relay);
        }
    }
}

void RelayCore::destroyRelaysOfGoneEditors()
{
    relaysOutliveEditors = false;
    RelayList& relays = boardLink.relays();
    for (Relay* relay : relays.snapshot()) {
        if (relay->editor == 0 || sessionList.findConnection(relay->editor) != nullptr)
            continue;
        if (flasher.isWriting(*relay))
            relaysOutliveEditors = true;
        else
            relays.destroyRelay(*relay);
    }
}

void RelayCore::onWebCommand(Connection& connection, const Json::Value& command)
{
    commands.handleWebCommand(connection, command);
}

void RelayCore::onBinaryMessage(Connection& connection, std::vector<uint8_t> bytes, bool whole)
{
    commands.onBinaryMessage(connection, std::move(bytes), whole);
}

void RelayCore::informWebsocketsOfPortAvailability()
{
    for (auto identity = identities.begin(); identity != identities.end();) {
        const std::vector<PortInfo>& listed = boardLink.ports().portList();
        const bool stillListed = std::any_of(listed.begin(), listed.end(),
                                             [&](const PortInfo& port) { return port.name == identity->first; });
        identity = stillListed ? std::next(identity) : identities.erase(identity);
    }
    const std::string list = boardLink.ports().portListJson();
    for (Connection* connection : sessionList.connections())
        sessionList.queueResponse(connection, list);
}
