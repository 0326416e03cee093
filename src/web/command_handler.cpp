#include "web/command_handler.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <utility>

#include "conversion/feature_conversion.h"
#include "conversion/node_conversion.h"
#include "core/little_endian.h"
#include "core/logger.h"
#include "device/board_link.h"
#include "device/board_payloads.h"
#include "device/message_type.h"
#include "firmware/firmware_file_list.h"
#include "firmware/firmware_flasher.h"
#include "web/sessions.h"
#include "json/compact_json_writer.h"
#include "json/lenient_readers.h"

namespace {

uint8_t bootloaderCode(const std::string& bootloaderType)
{
    if (bootloaderType == "bootloader")
        return 1;
    if (bootloaderType == "app")
        return 0;
    return 0xFF;
}

// USB configurations are bit sets: cdc 1, gp 2, midi 4.
uint8_t usbConfigCode(const std::string& usbConfigType)
{
    static const struct {
        const char* name;
        uint8_t code;
    } codes[] = {{"cdc", 1}, {"gp", 2}, {"cdc_gp", 3}, {"midi", 4}, {"cdc_midi", 5}};
    for (const auto& entry : codes) {
        if (usbConfigType == entry.name)
            return entry.code;
    }
    return 0xFF;
}

// What a command that changes the board did, for the operator's INFO line; empty for a command that changes
// nothing on the board.
std::string changeOfBoard(const std::string& command, const Json::Value& member)
{
    if (command == "addNode")
        return "node " + std::to_string(memberTruncatedToInt(member, "id", 0)) + " (" +
               logName(getStringProperty(member, "type", "")) + ") added or replaced";
    if (command == "setFeature")
        return "feature " + logName(memberConvertedToText(member, "feature", "")) + " set";
    if (command == "commitConfig")
        return "configuration committed";
    if (command == "resetConfig")
        return "configuration reset";
    if (command == "request_bootloader") {
        const uint8_t code = bootloaderCode(getStringProperty(member, "bootloaderType", ""));
        return code == 1 ? "switch to the bootloader asked" : code == 0 ? "switch to the application asked" : "";
    }
    return "";
}

} // namespace

const CommandHandler::BoardCommandRow CommandHandler::boardCommands[] = {
    {"addNode", "Adding node", PortUse::Open, &CommandHandler::addNode},
    {"setFeature", "Setting feature", PortUse::Open, &CommandHandler::setFeature},
    // Only the port opened for this command: a relay without port must not receive the toggle of another.
    {"ledtoggle", "Doing led toggle", PortUse::ArrivalPort, &CommandHandler::ledToggle},
    {"getVersion", "Doing version request", PortUse::Open, &CommandHandler::getVersion},
    {"tweak", nullptr, PortUse::ArrivalPort, &CommandHandler::tweak},
    {"resetConfig", "Doing config reset request", PortUse::Open, &CommandHandler::resetConfig},
    {"commitConfig", "Doing config commit request", PortUse::Open, &CommandHandler::commitConfig},
    {"configDump", "Doing config dump request", PortUse::Open, &CommandHandler::configDump},
    {"exportConfig", "Doing config export request", PortUse::Open, &CommandHandler::exportConfig},
    {"looptime", "Doing looptime request", PortUse::Open, &CommandHandler::looptime},
    {"pause", "Doing pause request", PortUse::Open, &CommandHandler::pause},
    {"singleStep", "Doing single step request", PortUse::Open, &CommandHandler::singleStep},
    {"liveValue", "Doing liveValue request", PortUse::Open, &CommandHandler::liveValue},
    {"request_bootloader", "Doing request_bootloader", PortUse::Open, &CommandHandler::requestBootloader},
    {"bl_rom_write_start", "Doing bl_rom_write_start request", PortUse::Open, &CommandHandler::romWriteStart},
    {"bl_rom_write_finish", "Doing bl_rom_write_finish request", PortUse::Open, &CommandHandler::romWriteFinish},
    {"write_firmware", "Doing write_firmware request", PortUse::Open, &CommandHandler::writeFirmware},
    {"cancel_firmware", "Doing cancel_firmware request", PortUse::Open, &CommandHandler::cancelFirmware},
    {"write_firmware_image", "Doing write_firmware_image request", PortUse::Open, &CommandHandler::writeFirmwareImage},
};

CommandHandler::CommandHandler(Sessions& sessions, BoardLink& boards, const NodeConversionRegistry& nodeConversions,
                               const FeatureConversionRegistry& featureConversions, FirmwareFlasher& flasher,
                               Clock& clock)
    : sessions(sessions), boards(boards), nodeConversions(nodeConversions), featureConversions(featureConversions),
      flasher(flasher), refreshes(clock)
{}

void CommandHandler::sendFirmwareFileList(Connection& connection)
{
    sessions.queueResponse(&connection, firmwareFiles.text());
}

void CommandHandler::sendHeldFirmwareFileLists()
{
    for (EditorId editor : refreshes.takeDue()) {
        if (Connection* connection = sessions.findConnection(editor))
            sendFirmwareFileList(*connection);
    }
}

void CommandHandler::onConnectionClosed(const Connection& connection)
{
    refreshes.forget(connection.id);
    awaitedImages.erase(connection.id);
}

void CommandHandler::handleWebCommand(Connection& connection, const Json::Value& command)
{
    try {
        if (hasMember(command, "firmware_file_list_refresh")) {
            logger.log(LogLevel::DEBUG, "Doing firmware_file_list_refresh request");
            // Four lists a second at most: an editor that asks sooner gets one, the latest, when its interval ends.
            if (refreshes.admit(connection.id))
                sendFirmwareFileList(connection);
            else
                logger.log(LogLevel::DEBUG, "Firmware file list of editor #%llu held back: asked again within %llu ms",
                           static_cast<unsigned long long>(connection.id),
                           static_cast<unsigned long long>(RefreshLimiter::intervalMs));
        } else if (hasMember(command, "set_auto_refresh_ports")) {
            logger.log(LogLevel::DEBUG, "Doing auto refresh ports request");
            PortManager& ports = boards.ports();
            ports.autoRefreshPorts = memberTruthy(command, "set_auto_refresh_ports", true);
            Json::Value reply(Json::objectValue);
            reply["autoRefreshPorts"] = ports.autoRefreshPorts;
            sessions.queueResponse(&connection, CompactJsonWriter().write(reply));
        } else if (hasMember(command, "port")) {
            handleBoardCommand(connection, command);
        }
    } catch (const std::exception& e) {
        // One editor message that cannot be carried out must not end the relay.
        logger.log(LogLevel::ERROR, "Dropping command that could not be carried out (%s): %s", e.what(),
                   logName(CompactJsonWriter().write(command)).c_str());
    }
}

void CommandHandler::handleBoardCommand(Connection& connection, const Json::Value& command)
{
    const std::string portName = memberConvertedToText(command, "port", "");
    PortProblem problem;
    SerialPortHandle* port = boards.ports().openPort(portName, &problem);
    // A name whose port cannot be opened gets no relay of its own: it could carry nothing. An existing relay
    // of that name is still moved to this connection.
    RelayList& relays = boards.relays();
    const Relay* existing = relays.findRelayByName(portName);
    if (existing != nullptr && existing->editor != connection.id && sessions.findConnection(existing->editor))
        logger.log(LogLevel::INFO, "%s: taken over by editor %s #%llu from editor #%llu; its replies go there now",
                   portName.c_str(), sessions.peerNameOf(connection).c_str(),
                   static_cast<unsigned long long>(connection.id), static_cast<unsigned long long>(existing->editor));
    if (port != nullptr || existing != nullptr)
        relays.bindRelay(portName, port, connection.id);
    dispatchPayload(connection, portName, port, problem, memberOrNull(command, "payload"));
}

void CommandHandler::sendPortError(Connection& connection, const std::string& portName, const PortProblem& problem)
{
    Json::Value reply(Json::objectValue);
    reply["port"] = portName;
    Json::Value& error = reply["portError"] = Json::Value(Json::objectValue);
    error["reason"] = problem.reason;
    error["text"] = problem.text;
    sessions.queueResponse(&connection, CompactJsonWriter().write(reply));
}

void CommandHandler::dispatchPayload(Connection& connection, const std::string& portName, SerialPortHandle* arrivalPort,
                                     const PortProblem& arrivalProblem, const Json::Value& payload)
{
    for (const BoardCommandRow& row : boardCommands) {
        if (!hasMember(payload, row.member))
            continue;
        if (row.logLine != nullptr)
            logger.log(LogLevel::DEBUG, "%s", row.logLine);
        PortProblem problem = arrivalProblem;
        SerialPortHandle* port =
            row.portUse == PortUse::Open ? boards.ports().openPort(portName, &problem) : arrivalPort;
        if (port == nullptr) {
            sendPortError(connection, portName, problem);
            return;
        }
        const std::vector<SerialMessage> messages =
            (this->*row.build)(BoardCommand{portName, port, payload, payload[row.member]});
        Relay* relay = boards.relays().findRelayByPort(port);
        bool queued = !messages.empty();
        for (const SerialMessage& message : messages) {
            if (relay != nullptr && message.type() != MT_NONE && !boards.queue().enqueue(*relay, message)) {
                sendPortError(connection, portName,
                              {"queue full", "the board's queue is full: wait until it has answered what it was sent"});
                return;
            }
            queued = queued && message.type() != MT_NONE;
        }
        const std::string change = queued ? changeOfBoard(row.member, payload[row.member]) : std::string();
        if (!change.empty())
            logger.log(LogLevel::INFO, "%s: %s by editor %s", portName.c_str(), change.c_str(),
                       sessions.peerNameOf(connection).c_str());
        return;
    }
    logger.log(LogLevel::WARNING, "%s: The command names no board command the relay knows; nothing was sent",
               logName(portName).c_str());
}

std::vector<SerialMessage> CommandHandler::addNode(const BoardCommand& command) const
{
    const Json::Value& node = command.member;
    const int32_t id = memberTruncatedToInt(node, "id", 0);
    if ((id & 0xFFFF) == 0)
        return {};
    const NodeConversion* conversion =
        nodeConversions.findNodeConversion(memberConvertedToText(node, "type", ""), 0, 0);
    if (conversion == nullptr)
        return {};
    const Json::Value& editorPos = memberOrNull(node, "editorPos");
    SerialMessage message;
    NodeRecordHeader header;
    header.id = static_cast<uint16_t>(id);
    header.x = static_cast<int16_t>(static_cast<uint16_t>(memberTruncatedToInt(editorPos, "x", 0)));
    header.y = static_cast<int16_t>(static_cast<uint16_t>(memberTruncatedToInt(editorPos, "y", 0)));
    header.writeTo(message);
    conversion->encodeFromJson(memberOrNull(node, "properties"), message);
    return {message};
}

std::vector<SerialMessage> CommandHandler::setFeature(const BoardCommand& command) const
{
    SerialMessage message;
    const FeatureConversion* conversion =
        featureConversions.findFeatureConversion(memberConvertedToText(command.member, "feature", ""), 0);
    if (conversion != nullptr)
        conversion->encodeFromJson(command.member, message);
    return {message};
}

std::vector<SerialMessage> CommandHandler::ledToggle(const BoardCommand&) const { return {commandMessage(MT_LED)}; }

std::vector<SerialMessage> CommandHandler::getVersion(const BoardCommand&) const
{
    return {commandMessage(MT_VERSION), commandMessage(MT_CAPABILITIES), requestBootloaderCommand(0xFF, 0xFF)};
}

std::vector<SerialMessage> CommandHandler::tweak(const BoardCommand& command) const
{
    const int32_t nodeId = getIntProperty(command.payload, "tweak", 0);
    const int32_t index = getIntProperty(command.payload, "index", 0);
    if (nodeId <= 0 || index < 0)
        return {};
    // The kind byte: 0 a number, 2 a colour.
    uint8_t kind = 0;
    uint32_t value = 0;
    if (hasMember(command.payload, "number")) {
        logger.log(LogLevel::DEBUG, "Doing number tweak");
        uint8_t bytes[4];
        writeF32(bytes, memberRoundedToFloat(command.payload, "number", 0.0f));
        value = readU32(bytes);
    } else if (hasMember(command.payload, "color")) {
        logger.log(LogLevel::DEBUG, "Doing color tweak");
        kind = 2;
        value = parseColorText(memberConvertedToText(command.payload, "color", ""));
    } else {
        return {};
    }
    return {tweakCommand(static_cast<uint16_t>(nodeId), static_cast<uint8_t>(index), kind, value)};
}

std::vector<SerialMessage> CommandHandler::resetConfig(const BoardCommand& command) const
{
    return {configResetCommand(static_cast<uint8_t>(getIntProperty(command.payload, "resetConfig", 1)))};
}

std::vector<SerialMessage> CommandHandler::commitConfig(const BoardCommand&) const
{
    return {commandMessage(MT_CONFIG_COMMIT)};
}

std::vector<SerialMessage> CommandHandler::configDump(const BoardCommand&) const
{
    return {commandMessage(MT_CONFIG_DUMP)};
}

std::vector<SerialMessage> CommandHandler::exportConfig(const BoardCommand& command) const
{
    return {exportConfigCommand(static_cast<uint8_t>(getIntProperty(command.payload, "exportConfig", 0)))};
}

std::vector<SerialMessage> CommandHandler::looptime(const BoardCommand&) const { return {commandMessage(MT_LOOPTIME)}; }

std::vector<SerialMessage> CommandHandler::pause(const BoardCommand& command) const
{
    return {pauseCommand(static_cast<uint8_t>(memberTruncatedToUnsigned(command.payload, "pause", 0)))};
}

std::vector<SerialMessage> CommandHandler::singleStep(const BoardCommand& command) const
{
    return {singleStepCommand(static_cast<uint8_t>(memberTruncatedToUnsigned(command.payload, "step", 1)))};
}

std::vector<SerialMessage> CommandHandler::liveValue(const BoardCommand& command) const
{
    const int32_t id = getIntProperty(command.member, "id", 0);
    const int32_t flags = getIntProperty(command.member, "flags", 0);
    if ((id & 0xFFFF) == 0) {
        logger.log(LogLevel::WARNING, "Ignoring live value request, invalid node id");
        return {};
    }
    return {setLiveValueCommand(static_cast<uint16_t>(id), static_cast<uint8_t>(flags))};
}

std::vector<SerialMessage> CommandHandler::requestBootloader(const BoardCommand& command) const
{
    return {requestBootloaderCommand(bootloaderCode(getStringProperty(command.member, "bootloaderType", "")),
                                     usbConfigCode(getStringProperty(command.member, "usbConfigType", "")))};
}

std::vector<SerialMessage> CommandHandler::romWriteStart(const BoardCommand& command) const
{
    return {romWriteStartCommand(static_cast<uint32_t>(getIntProperty(command.member, "bytes", 0)))};
}

std::vector<SerialMessage> CommandHandler::romWriteFinish(const BoardCommand&) const
{
    return {commandMessage(MT_BOOTLOADER_ROM_WRITE_FINISH)};
}

std::vector<SerialMessage> CommandHandler::cancelFirmware(const BoardCommand& command) const
{
    Relay* relay = boards.relays().findRelayByPort(command.port);
    if (relay == nullptr)
        return {};
    // An image announced for the board and not yet come is dropped: its write never starts.
    const auto awaited = std::find_if(awaitedImages.begin(), awaitedImages.end(),
                                      [&](const auto& entry) { return entry.second.port == command.portName; });
    if (awaited == awaitedImages.end()) {
        flasher.cancel(*relay);
        return {};
    }
    const EditorId editor = awaited->first;
    const std::string name = awaited->second.name;
    awaitedImages.erase(awaited);
    logger.log(LogLevel::INFO, "%s: Image %s no longer awaited: cancelled by the editor", command.portName.c_str(),
               logName(name).c_str());
    if (Connection* connection = sessions.findConnection(editor)) {
        sessions.expectBinaryMessage(*connection, 0);
        Json::Value reply(Json::objectValue);
        reply["port"] = command.portName;
        reply["firmwareWriteCancelled"] = "cancelled by the editor before the image came";
        sessions.queueResponse(connection, CompactJsonWriter().write(reply));
    }
    return {};
}

std::vector<SerialMessage> CommandHandler::writeFirmware(const BoardCommand& command) const
{
    const std::string file = memberConvertedToText(command.member, "file", "");
    logger.log(LogLevel::DEBUG, "write_firmware file: %s", file.c_str());
    Relay* relay = boards.relays().findRelayByPort(command.port);
    if (relay == nullptr)
        return {};
    // Only the firmware files of the working directory: a path elsewhere is answered as a missing file.
    if (!isFirmwareFileName(file))
        flasher.onFirmwareFlashStepFailed(*relay, WriteFailure::FileNotFound, file);
    else
        flasher.writeFirmware(*relay, file);
    return {};
}

std::vector<SerialMessage> CommandHandler::writeFirmwareImage(const BoardCommand& command) const
{
    Relay* relay = boards.relays().findRelayByPort(command.port);
    if (relay == nullptr)
        return {};
    const std::string name = memberConvertedToText(command.member, "name", "image");
    // Any number, so that a huge size is refused as too large rather than read as none.
    const Json::Value& announced = memberOrNull(command.member, "size");
    const double size = announced.isNumeric() ? std::max(0.0, std::trunc(announced.asDouble())) : 0.0;
    Connection* connection = sessions.findConnection(relay->editor);
    if (connection == nullptr)
        return {};
    const bool boardAwaits = std::any_of(awaitedImages.begin(), awaitedImages.end(),
                                         [&](const auto& entry) { return entry.second.port == command.portName; });
    if (boardAwaits || awaitedImages.count(relay->editor) != 0) {
        flasher.onFirmwareFlashStepFailed(*relay, WriteFailure::WriteInProgress, name);
        return {};
    }
    if (size == 0) {
        flasher.onFirmwareFlashStepFailed(*relay, WriteFailure::FileEmpty, name);
        return {};
    }
    // What the board takes when its flash size is known; else the most a binary message may hold, and the flasher
    // checks the board's own limit once the image has come.
    const int64_t limit = relay->flashSizeKiB == 0 ? int64_t{Sessions::maxBinaryMessageBytes}
                                                   : std::min<int64_t>(FirmwareFlasher::sizeLimit(relay->flashSizeKiB),
                                                                       Sessions::maxBinaryMessageBytes);
    if (size > static_cast<double>(limit)) {
        const std::string sizes = logName(name) + " is " + FirmwareFlasher::kibText(static_cast<uint64_t>(size)) +
                                  ", the board takes at most " +
                                  FirmwareFlasher::kibText(static_cast<uint64_t>(std::max<int64_t>(limit, 0)));
        logger.log(LogLevel::WARNING, "%s: Image refused before it was sent: %s", command.portName.c_str(),
                   sizes.c_str());
        flasher.onFirmwareFlashStepFailed(*relay, WriteFailure::FileTooLarge, sizes);
        return {};
    }
    awaitedImages[relay->editor] = AwaitedImage{command.portName, name, static_cast<size_t>(size)};
    sessions.expectBinaryMessage(*connection, static_cast<size_t>(size));
    return {};
}

void CommandHandler::onBinaryMessage(Connection& connection, std::vector<uint8_t> bytes, bool whole)
{
    const auto found = awaitedImages.find(connection.id);
    if (found == awaitedImages.end())
        return;
    const AwaitedImage image = found->second;
    awaitedImages.erase(found);
    Relay* relay = boards.relays().findRelayByName(image.port);
    if (relay == nullptr) {
        logger.log(LogLevel::INFO, "%s: Image %s came after its board went away", logName(image.port).c_str(),
                   logName(image.name).c_str());
        return;
    }
    if (!whole || bytes.size() != image.size) {
        const std::string detail =
            whole ? "the image has " + std::to_string(bytes.size()) + " bytes, not the " + std::to_string(image.size) +
                        " announced"
                  : "the image is longer than the " + std::to_string(image.size) + " bytes announced";
        flasher.onFirmwareFlashStepFailed(*relay, WriteFailure::FileReadError, detail, connection.id);
        return;
    }
    flasher.writeImage(*relay, image.name, std::move(bytes), connection.id);
}
