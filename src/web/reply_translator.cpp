#include "web/reply_translator.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "conversion/feature_conversion.h"
#include "conversion/node_conversion.h"
#include "core/little_endian.h"
#include "core/logger.h"
#include "device/message_type.h"
#include "device/outgoing_queue.h"
#include "device/port_manager.h"
#include "device/relay.h"
#include "firmware/firmware_flasher.h"
#include "json/compact_json_writer.h"
#include "web/received_message.h"
#include "web/sessions.h"

namespace {

// Reads the fields of a reply payload at their fixed offsets, in order. A field that the payload no longer holds
// reads 0 and is reported; the fields after it are still tried against what remains.
class PayloadFields {
public:
    PayloadFields(const ReceivedMessage& message, const char* messageName)
        : message(message), messageName(messageName), reader(message.payloadLength())
    {
    }

    uint32_t read(int offset, int width, const char* field)
    {
        if (!reader.take(width)) {
            logger.log(LogLevel::WARNING, "Missing fields in message: %s.%s", messageName, field);
            return 0;
        }
        const uint8_t* at = message.payload() + offset;
        switch (width) {
        case 1: return at[0];
        case 2: return readU16(at);
        default: return readU32(at);
        }
    }

private:
    const ReceivedMessage& message;
    const char* messageName;
    FieldReader reader;
};

Json::Value replyFor(const Relay& relay, const char* portKey)
{
    Json::Value reply(Json::objectValue);
    reply[portKey] = relay.portName;
    return reply;
}

Json::Value integer(uint32_t value) { return Json::Value(static_cast<Json::Int>(value)); }

// The entries (of entryBytes each, after the u16 count) that the message declares and really holds.
uint32_t entriesHeld(const ReceivedMessage& message, uint32_t declared, uint32_t entryBytes, const char* typeName)
{
    const uint32_t held = static_cast<uint32_t>(std::max(0, message.payloadLength() - 2)) / entryBytes;
    if (declared <= held)
        return declared;
    logger.log(LogLevel::WARNING, "%s numNodes = %d exceeds the %d entries in the message, reading those",
               typeName, static_cast<int>(declared), static_cast<int>(held));
    return held;
}

Json::Value liveValueReply(const ReceivedMessage& message)
{
    PayloadFields fields(message, "live_value");
    Json::Value live(Json::objectValue);
    live["id"] = integer(fields.read(0, 2, "id"));
    const uint32_t type = fields.read(2, 1, "type");
    live["type"] = integer(type);
    const uint32_t bits = fields.read(3, 4, "value");
    uint8_t bytes[4];
    writeU32(bytes, bits);
    if (type == 2)
        live["value"] = Json::Int(readI32(bytes));
    else if (type == 1)
        live["value"] = formatColorText(bits, true);
    else
        live["value"] = static_cast<double>(readF32(bytes));
    return live;
}

} // namespace

ReplyTranslator::ReplyTranslator(Sessions& sessions, PortManager& ports, RelayList& relays, OutgoingQueue& queue,
                                 const NodeConversionRegistry& nodeConversions,
                                 const FeatureConversionRegistry& featureConversions, FirmwareFlasher& flasher)
    : sessions(sessions), ports(ports), relays(relays), queue(queue), nodeConversions(nodeConversions),
      featureConversions(featureConversions), flasher(flasher)
{
}

bool ReplyTranslator::translateDeviceMessages()
{
    std::vector<DeviceMessage> inbox;
    inbox.swap(ports.deviceInbox);
    for (const DeviceMessage& entry : inbox) {
        if (entry.bytes.empty()) {
            logger.log(LogLevel::WARNING, "Payload is null");
            continue;
        }
        // A relay whose port could not be opened has no port: it must not take the messages of a null handle.
        Relay* relay = entry.port == nullptr ? nullptr : relays.findRelayByPort(entry.port);
        if (relay == nullptr) {
            logger.log(LogLevel::WARNING, "Skipping reply for invalid port");
            continue;
        }
        const ReceivedMessage message(entry.bytes);
        try {
            translate(*relay, message);
        } catch (const std::exception& e) {
            logger.log(LogLevel::ERROR, "%s: Dropping message of type %d that could not be translated: %s",
                       relay->portName.c_str(), static_cast<int>(message.type()), e.what());
        }
    }
    return false;
}

void ReplyTranslator::send(Relay& relay, const Json::Value& reply)
{
    sessions.queueResponse(relay.connection, CompactJsonWriter().write(reply));
}

void ReplyTranslator::acknowledgeThenSend(Relay& relay, const Json::Value& reply)
{
    queue.acknowledge(relay, AckMode::Normal);
    send(relay, reply);
}

void ReplyTranslator::translate(Relay& relay, const ReceivedMessage& message)
{
    const uint16_t type = message.type();
    if (const NodeConversion* conversion = nodeConversions.findNodeConversion("", 0, type)) {
        Json::Value reply = replyFor(relay, "port");
        conversion->decodeToJson(reply["exportNode"], message.record(), message.recordSize());
        acknowledgeThenSend(relay, reply);
        return;
    }
    if (const FeatureConversion* conversion = featureConversions.findFeatureConversion("", type)) {
        Json::Value reply = replyFor(relay, "port");
        conversion->decodeToJson(reply["exportFeature"], message.record(), message.recordSize());
        acknowledgeThenSend(relay, reply);
        return;
    }
    if (!translateReply(relay, message))
        logger.log(LogLevel::WARNING, "Skipping unknown message type: %d", static_cast<int>(type));
}

bool ReplyTranslator::translateReply(Relay& relay, const ReceivedMessage& message)
{
    switch (message.type()) {
    case MT_BOOTLOADER_ROM_WRITE_START: {
        PayloadFields fields(message, "bootloader_rom_write_start");
        Json::Value reply = replyFor(relay, "port");
        reply["romErase"] = Json::UInt(fields.read(0, 4, "numBytesToErase"));
        // The board reports the erase before it acknowledges the start: the wait begins anew.
        queue.restartAckTimer(relay);
        send(relay, reply);
        return true;
    }
    case MT_BOOTLOADER_ROM_WRITE_DATA: {
        const size_t echoed = static_cast<size_t>(std::clamp(message.payloadLength() - 4, 0, 32));
        flasher.verifyFirmwareEcho(relay, readU32(message.payload()), message.payload() + 4, echoed);
        return true;
    }
    case MT_BOOTLOADER_ROM_WRITE_FINISH: {
        PayloadFields(message, "bootloader_rom_write_finish").read(0, 1, "flags");
        Json::Value reply = replyFor(relay, "port");
        reply["romFinish"] = 1;
        acknowledgeThenSend(relay, reply);
        return true;
    }
    case MT_REQUEST_BOOTLOADER: {
        PayloadFields fields(message, "request_bootloader");
        Json::Value reply = replyFor(relay, "port");
        reply["requestBootloaderStatus"] = integer(fields.read(0, 1, "bootloaderFlags"));
        reply["requestUSBConfigStatus"] = integer(fields.read(1, 1, "usbConfigFlags"));
        acknowledgeThenSend(relay, reply);
        return true;
    }
    case MT_VERSION: translateVersion(relay, message); return true;
    case MT_NACK: queue.rejectHead(relay); return true;
    case MT_ACK: queue.acknowledge(relay, AckMode::Normal); return true;
    case MT_CAPABILITIES: acknowledgeThenSend(relay, capabilitiesReply(relay, message)); return true;
    case MT_CONFIG_COMMIT: {
        PayloadFields fields(message, "config_commit");
        Json::Value commit(Json::objectValue);
        commit["nodeCount"] = integer(fields.read(0, 2, "nodeCount"));
        commit["memorySize"] = Json::UInt(fields.read(2, 4, "memorySize"));
        Json::Value reply = replyFor(relay, "portName");
        reply["configCommit"] = commit;
        acknowledgeThenSend(relay, reply);
        return true;
    }
    case MT_CONFIG_UPLOAD_PROGRESS: {
        Json::Value reply = replyFor(relay, "port");
        reply["uploadProgress"] = integer(PayloadFields(message, "config_upload_progress").read(0, 2, "percent"));
        acknowledgeThenSend(relay, reply);
        return true;
    }
    case MT_CONFIG_DUMP: acknowledgeThenSend(relay, configDumpReply(relay, message)); return true;
    case MT_EXPORT_CONFIG: {
        Json::Value exportConfig(Json::objectValue);
        exportConfig["flags"] = integer(PayloadFields(message, "export_config").read(0, 1, "flags"));
        Json::Value reply = replyFor(relay, "portName");
        reply["exportConfig"] = exportConfig;
        acknowledgeThenSend(relay, reply);
        return true;
    }
    case MT_EXPORT_COMMIT: {
        Json::Value exportCommit(Json::objectValue);
        exportCommit["nodeCount"] = integer(PayloadFields(message, "export_commit").read(0, 2, "nodeCount"));
        Json::Value reply = replyFor(relay, "portName");
        reply["exportCommit"] = exportCommit;
        acknowledgeThenSend(relay, reply);
        return true;
    }
    case MT_LOOPTIME: {
        PayloadFields fields(message, "looptime");
        Json::Value reply = replyFor(relay, "port");
        reply["looptime"] = integer(fields.read(0, 2, "us"));
        reply["nodecount"] = integer(fields.read(2, 2, "nodeCount"));
        reply["memorysize"] = Json::UInt(fields.read(4, 4, "memorySize"));
        send(relay, reply);
        queue.acknowledge(relay, AckMode::Normal);
        return true;
    }
    case MT_LIVE_VALUE: {
        Json::Value reply = replyFor(relay, "port");
        reply["liveValue"] = liveValueReply(message);
        acknowledgeThenSend(relay, reply);
        return true;
    }
    default: return false;
    }
}

void ReplyTranslator::translateVersion(Relay& relay, const ReceivedMessage& message)
{
    PayloadFields fields(message, "version");
    const uint32_t major = fields.read(0, 1, "versionMajor");
    const uint32_t minor = fields.read(1, 1, "versionMinor");
    const uint32_t patch = fields.read(2, 1, "versionPatch");
    const uint32_t flags = fields.read(3, 1, "flags");
    const uint32_t idcode = fields.read(4, 4, "idcode");
    const uint32_t serial0 = fields.read(8, 4, "serial0");
    const uint32_t serial1 = fields.read(12, 4, "serial1");
    const uint32_t serial2 = fields.read(16, 4, "serial2");
    const uint32_t flashSize = fields.read(20, 2, "flashSize");

    char serial[25];
    std::snprintf(serial, sizeof serial, "%08X%08X%08X", serial0, serial1, serial2);
    Json::Value reply = replyFor(relay, "portName");
    reply["versionMajor"] = integer(major);
    reply["versionMinor"] = integer(minor);
    reply["versionPatch"] = integer(patch);
    reply["flags"] = integer(flags);
    reply["idcode"] = Json::UInt(idcode);
    reply["serial"] = serial;
    reply["flashsize"] = integer(flashSize);

    const bool inBootloader = (flags & 1) != 0;
    logger.log(LogLevel::INFO, "Device on port %s", relay.portName.c_str());
    logger.log(LogLevel::INFO, inBootloader ? "  vantrel bootloader v%d.%d.%d" : "  vantrel v%d.%d.%d",
               static_cast<int>(major), static_cast<int>(minor), static_cast<int>(patch));
    if (idcode != 0)
        logger.log(LogLevel::INFO, "  MCU id: 0x%08X", idcode);
    logger.log(LogLevel::INFO, "  Flash size: %d", static_cast<int>(flashSize));
    logger.log(LogLevel::INFO, "  Serial: %08X %08X %08X", serial0, serial1, serial2);

    relay.flashSizeKiB = static_cast<int32_t>(flashSize);
    acknowledgeThenSend(relay, reply);
}

Json::Value ReplyTranslator::capabilitiesReply(const Relay& relay, const ReceivedMessage& message) const
{
    logger.log(LogLevel::DEBUG, "MT_CAPABILITIES payloadSize = %d", static_cast<int>(message.lengthField));
    const uint32_t declared = PayloadFields(message, "capabilities").read(0, 2, "numNodes");
    logger.log(LogLevel::DEBUG, "MT_CAPABILITIES numNodes = %d", static_cast<int>(declared));
    const uint32_t count = entriesHeld(message, declared, 1, "MT_CAPABILITIES");

    Json::Value known(Json::arrayValue);
    Json::Value usable(Json::arrayValue);
    // Id 0 is no node type.
    for (uint32_t id = 1; id < count; ++id) {
        const uint8_t flags = message.payload()[2 + id];
        const std::string name = nodeConversions.jsNameForNodeType(static_cast<int>(id));
        if ((flags & 1) != 0)
            known.append(name);
        if ((flags & 2) != 0)
            usable.append(name);
    }
    Json::Value capabilities(Json::objectValue);
    capabilities["knownNodes"] = known;
    capabilities["usableNodes"] = usable;
    Json::Value reply = replyFor(relay, "portName");
    reply["capabilities"] = capabilities;
    return reply;
}

Json::Value ReplyTranslator::configDumpReply(const Relay& relay, const ReceivedMessage& message) const
{
    logger.log(LogLevel::DEBUG, "MT_CONFIG_DUMP payloadSize = %d", static_cast<int>(message.lengthField));
    const uint32_t declared = PayloadFields(message, "config_dump").read(0, 2, "numNodes");
    logger.log(LogLevel::DEBUG, "MT_CONFIG_DUMP numNodes = %d", static_cast<int>(declared));
    const uint32_t count = entriesHeld(message, declared, 2, "MT_CONFIG_DUMP");

    Json::Value nodes(Json::arrayValue);
    for (uint32_t i = 0; i < count; ++i) {
        Json::Value node(Json::objectValue);
        node["type"] = nodeConversions.jsNameForNodeType(readU16(message.payload() + 2 + 2 * i));
        nodes.append(node);
    }
    Json::Value dump(Json::objectValue);
    dump["nodes"] = nodes;
    Json::Value reply = replyFor(relay, "portName");
    reply["configDump"] = dump;
    return reply;
}
