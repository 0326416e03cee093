#include "web/command_handler.h"

#include <cstdint>
#include <exception>

#include "conversion/feature_conversion.h"
#include "conversion/node_conversion.h"
#include "core/little_endian.h"
#include "core/logger.h"
#include "device/message_type.h"
#include "device/outgoing_queue.h"
#include "device/port_manager.h"
#include "device/relay.h"
#include "firmware/firmware_file_list.h"
#include "firmware/firmware_flasher.h"
#include "json/compact_json_writer.h"
#include "web/lenient_json.h"
#include "web/sessions.h"

namespace {

// A fresh message of this type: every other byte zero.
SerialMessage messageOfType(uint16_t type)
{
    SerialMessage message;
    message.setType(type);
    return message;
}

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

} // namespace

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
    dispatchPayload(portName, port, memberOrNull(command, "payload"));
}

void CommandHandler::dispatchPayload(const std::string& portName, SerialPortHandle* port, const Json::Value& payload)
{
    static const struct {
        const char* member;
        BoardCommandStep step;
    } steps[] = {
        {"addNode", &CommandHandler::addNode},
        {"setFeature", &CommandHandler::setFeature},
        {"ledtoggle", &CommandHandler::ledToggle},
        {"getVersion", &CommandHandler::getVersion},
        {"tweak", &CommandHandler::tweak},
        {"resetConfig", &CommandHandler::resetConfig},
        {"commitConfig", &CommandHandler::commitConfig},
        {"configDump", &CommandHandler::configDump},
        {"exportConfig", &CommandHandler::exportConfig},
        {"looptime", &CommandHandler::looptime},
        {"pause", &CommandHandler::pause},
        {"singleStep", &CommandHandler::singleStep},
        {"liveValue", &CommandHandler::liveValue},
        {"request_bootloader", &CommandHandler::requestBootloader},
        {"bl_rom_write_start", &CommandHandler::romWriteStart},
        {"bl_rom_write_finish", &CommandHandler::romWriteFinish},
        {"write_firmware", &CommandHandler::writeFirmware},
    };
    for (const auto& entry : steps) {
        if (hasMember(payload, entry.member)) {
            (this->*entry.step)(BoardCommand{portName, port, payload, payload[entry.member]});
            return;
        }
    }
    logger.log(LogLevel::WARNING, "********* No command found in JSON payload");
}

void CommandHandler::queueOn(SerialPortHandle* port, const SerialMessage& message)
{
    if (port == nullptr || message.type() == MT_NONE)
        return;
    if (Relay* relay = relays.findRelayByPort(port))
        queue.enqueue(*relay, message);
}

void CommandHandler::handleAddNode(SerialPortHandle* port, const Json::Value& node)
{
    const int32_t id = memberAsInt(node, "id", 0);
    if ((id & 0xFFFF) == 0)
        return;
    SerialMessage message;
    const NodeConversion* conversion = nodeConversions.findNodeConversion(memberAsText(node, "type", ""), 0, 0);
    if (conversion == nullptr)
        return;
    const Json::Value& editorPos = memberOrNull(node, "editorPos");
    NodeRecordHeader header;
    header.id = static_cast<uint16_t>(id);
    header.x = static_cast<int16_t>(static_cast<uint16_t>(memberAsInt(editorPos, "x", 0)));
    header.y = static_cast<int16_t>(static_cast<uint16_t>(memberAsInt(editorPos, "y", 0)));
    header.writeTo(message);
    conversion->encodeFromJson(memberOrNull(node, "properties"), message);
    queueOn(port, message);
}

void CommandHandler::addNode(const BoardCommand& command)
{
    logger.log(LogLevel::DEBUG, "Adding node");
    SerialPortHandle* port = ports.openPort(command.portName);
    if (port != nullptr)
        handleAddNode(port, command.member);
}

void CommandHandler::setFeature(const BoardCommand& command)
{
    logger.log(LogLevel::DEBUG, "Setting feature");
    SerialPortHandle* port = ports.openPort(command.portName);
    if (port == nullptr)
        return;
    SerialMessage message;
    const FeatureConversion* conversion =
        featureConversions.findFeatureConversion(memberAsText(command.member, "feature", ""), 0);
    if (conversion != nullptr)
        conversion->encodeFromJson(command.member, message);
    queueOn(port, message);
}

void CommandHandler::ledToggle(const BoardCommand& command)
{
    logger.log(LogLevel::DEBUG, "Doing led toggle");
    // Only the port opened for this command: a relay without port must not receive the toggle of another.
    queueOn(command.port, messageOfType(MT_LED));
}

void CommandHandler::getVersion(const BoardCommand& command)
{
    logger.log(LogLevel::DEBUG, "Doing version request");
    SerialPortHandle* port = ports.openPort(command.portName);
    queueOn(port, messageOfType(MT_VERSION));
    queueOn(port, messageOfType(MT_CAPABILITIES));
    SerialMessage bootloaderStatus = messageOfType(MT_REQUEST_BOOTLOADER);
    bootloaderStatus.payload()[0] = 0xFF;
    bootloaderStatus.payload()[1] = 0xFF;
    queueOn(port, bootloaderStatus);
}

void CommandHandler::tweak(const BoardCommand& command)
{
    if (command.port == nullptr)
        return;
    const int32_t nodeId = getIntProperty(command.payload, "tweak", 0);
    const int32_t index = getIntProperty(command.payload, "index", 0);
    if (nodeId <= 0 || index < 0)
        return;
    // The kind byte: 0 a number, 2 a colour.
    uint8_t kind = 0;
    uint32_t value = 0;
    if (hasMember(command.payload, "number")) {
        logger.log(LogLevel::DEBUG, "Doing number tweak");
        uint8_t bytes[4];
        writeF32(bytes, memberAsFloat(command.payload, "number", 0.0f));
        value = readU32(bytes);
    } else if (hasMember(command.payload, "color")) {
        logger.log(LogLevel::DEBUG, "Doing color tweak");
        kind = 2;
        value = parseColorText(memberAsText(command.payload, "color", ""));
    } else {
        return;
    }
    SerialMessage message = messageOfType(MT_TWEAK);
    uint8_t* payload = message.payload();
    writeU16(payload, static_cast<uint16_t>(nodeId));
    payload[2] = static_cast<uint8_t>(index);
    payload[3] = kind;
    writeU32(payload + 4, value);
    queueOn(command.port, message);
}

void CommandHandler::resetConfig(const BoardCommand& command)
{
    logger.log(LogLevel::DEBUG, "Doing config reset request");
    SerialMessage message = messageOfType(MT_CONFIG_RESET);
    message.payload()[0] = static_cast<uint8_t>(getIntProperty(command.payload, "resetConfig", 1));
    queueOn(ports.openPort(command.portName), message);
}

void CommandHandler::commitConfig(const BoardCommand& command)
{
    logger.log(LogLevel::DEBUG, "Doing config commit request");
    queueOn(ports.openPort(command.portName), messageOfType(MT_CONFIG_COMMIT));
}

void CommandHandler::configDump(const BoardCommand& command)
{
    logger.log(LogLevel::DEBUG, "Doing config dump request");
    queueOn(ports.openPort(command.portName), messageOfType(MT_CONFIG_DUMP));
}

void CommandHandler::exportConfig(const BoardCommand& command)
{
    logger.log(LogLevel::DEBUG, "Doing config export request");
    SerialMessage message = messageOfType(MT_EXPORT_CONFIG);
    message.payload()[0] = static_cast<uint8_t>(getIntProperty(command.payload, "exportConfig", 0));
    queueOn(ports.openPort(command.portName), message);
}

void CommandHandler::looptime(const BoardCommand& command)
{
    logger.log(LogLevel::DEBUG, "Doing looptime request");
    queueOn(ports.openPort(command.portName), messageOfType(MT_LOOPTIME));
}

void CommandHandler::pause(const BoardCommand& command)
{
    logger.log(LogLevel::DEBUG, "Doing pause request");
    SerialMessage message = messageOfType(MT_PAUSE);
    message.payload()[0] = static_cast<uint8_t>(memberAsUnsigned(command.payload, "pause", 0));
    queueOn(ports.openPort(command.portName), message);
}

void CommandHandler::singleStep(const BoardCommand& command)
{
    logger.log(LogLevel::DEBUG, "Doing single step request");
    SerialMessage message = messageOfType(MT_SINGLE_STEP);
    message.payload()[0] = static_cast<uint8_t>(memberAsUnsigned(command.payload, "step", 1));
    queueOn(ports.openPort(command.portName), message);
}

void CommandHandler::liveValue(const BoardCommand& command)
{
    logger.log(LogLevel::DEBUG, "Doing liveValue request");
    SerialPortHandle* port = ports.openPort(command.portName);
    if (port == nullptr)
        return;
    const int32_t id = getIntProperty(command.member, "id", 0);
    const int32_t flags = getIntProperty(command.member, "flags", 0);
    if ((id & 0xFFFF) == 0) {
        logger.log(LogLevel::WARNING, "Ignoring live value request, invalid node id");
        return;
    }
    SerialMessage message = messageOfType(MT_SET_LIVE_VALUE);
    writeU16(message.payload(), static_cast<uint16_t>(id));
    message.payload()[2] = static_cast<uint8_t>(flags);
    queueOn(port, message);
}

void CommandHandler::requestBootloader(const BoardCommand& command)
{
    logger.log(LogLevel::DEBUG, "Doing request_bootloader");
    SerialPortHandle* port = ports.openPort(command.portName);
    if (port == nullptr)
        return;
    SerialMessage message = messageOfType(MT_REQUEST_BOOTLOADER);
    message.payload()[0] = bootloaderCode(getStringProperty(command.member, "bootloaderType", ""));
    message.payload()[1] = usbConfigCode(getStringProperty(command.member, "usbConfigType", ""));
    queueOn(port, message);
}

void CommandHandler::romWriteStart(const BoardCommand& command)
{
    logger.log(LogLevel::DEBUG, "Doing bl_rom_write_start request");
    SerialMessage message = messageOfType(MT_BOOTLOADER_ROM_WRITE_START);
    writeU32(message.payload(), static_cast<uint32_t>(getIntProperty(command.member, "bytes", 0)));
    queueOn(ports.openPort(command.portName), message);
}

void CommandHandler::romWriteFinish(const BoardCommand& command)
{
    logger.log(LogLevel::DEBUG, "Doing bl_rom_write_finish request");
    queueOn(ports.openPort(command.portName), messageOfType(MT_BOOTLOADER_ROM_WRITE_FINISH));
}

void CommandHandler::writeFirmware(const BoardCommand& command)
{
    logger.log(LogLevel::DEBUG, "Doing write_firmware request");
    const std::string file = memberAsText(command.member, "file", "");
    logger.log(LogLevel::DEBUG, "write_firmware file: %s", file.c_str());
    SerialPortHandle* port = ports.openPort(command.portName);
    if (port == nullptr)
        return;
    if (Relay* relay = relays.findRelayByPort(port))
        flasher.writeFirmware(*relay, file);
}
