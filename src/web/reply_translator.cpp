#include "web/reply_translator.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "conversion/feature_conversion.h"
#include "conversion/node_conversion.h"
#include "core/little_endian.h"
#include "core/logger.h"
#include "device/board_payloads.h"
#include "device/message_type.h"
#include "device/relay.h"

namespace {

Json::Value replyFor(const Relay& relay, const char* portKey)
{
    Json::Value reply(Json::objectValue);
    reply[portKey] = relay.portName;
    return reply;
}

Json::Value integer(uint32_t value) { return Json::Value(static_cast<Json::Int>(value)); }

Json::Value liveValueReply(const ReceivedMessage& message)
{
    const LiveValuePayload payload = readLiveValuePayload(message);
    Json::Value live(Json::objectValue);
    live["id"] = integer(payload.id);
    live["type"] = integer(payload.type);
    uint8_t bytes[4];
    writeU32(bytes, payload.value);
    if (payload.type == 2)
        live["value"] = Json::Int(readI32(bytes));
    else if (payload.type == 1)
        live["value"] = formatColorText(payload.value, true);
    else
        live["value"] = static_cast<double>(readF32(bytes));
    return live;
}

} // namespace

ReplyTranslator::ReplyTranslator(const NodeConversionRegistry& nodeConversions,
                                 const FeatureConversionRegistry& featureConversions)
    : nodeConversions(nodeConversions), featureConversions(featureConversions)
{}

bool ReplyTranslator::translate(Relay& relay, const ReceivedMessage& message, Json::Value& reply) const
{
    const uint16_t type = message.type();
    if (const NodeConversion* conversion = nodeConversions.findNodeConversion("", 0, type)) {
        reply = replyFor(relay, "port");
        conversion->decodeToJson(reply["exportNode"], message.record(), message.recordSize());
        return true;
    }
    if (const FeatureConversion* conversion = featureConversions.findFeatureConversion("", type)) {
        reply = replyFor(relay, "port");
        conversion->decodeToJson(reply["exportFeature"], message.record(), message.recordSize());
        return true;
    }
    return translateReply(relay, message, reply);
}

bool ReplyTranslator::translateReply(Relay& relay, const ReceivedMessage& message, Json::Value& reply) const
{
    switch (message.type()) {
    case MT_REQUEST_BOOTLOADER: {
        const RequestBootloaderPayload payload = readRequestBootloaderPayload(message);
        reply = replyFor(relay, "port");
        reply["requestBootloaderStatus"] = integer(payload.bootloaderFlags);
        reply["requestUSBConfigStatus"] = integer(payload.usbConfigFlags);
        relay.mode = (payload.bootloaderFlags & 1) != 0 ? BoardMode::bootloader : BoardMode::application;
        return true;
    }
    case MT_VERSION: reply = versionReply(relay, message); return true;
    case MT_CAPABILITIES: reply = capabilitiesReply(relay, message); return true;
    case MT_CONFIG_COMMIT: {
        const ConfigCommitPayload payload = readConfigCommitPayload(message);
        Json::Value commit(Json::objectValue);
        commit["nodeCount"] = integer(payload.nodeCount);
        commit["memorySize"] = Json::UInt(payload.memorySize);
        reply = replyFor(relay, "portName");
        reply["configCommit"] = commit;
        return true;
    }
    case MT_CONFIG_UPLOAD_PROGRESS:
        reply = replyFor(relay, "port");
        reply["uploadProgress"] = integer(readUploadProgressPayload(message));
        return true;
    case MT_CONFIG_DUMP: reply = configDumpReply(relay, message); return true;
    case MT_EXPORT_CONFIG: {
        Json::Value exportConfig(Json::objectValue);
        exportConfig["flags"] = integer(readExportConfigPayload(message));
        reply = replyFor(relay, "portName");
        reply["exportConfig"] = exportConfig;
        return true;
    }
    case MT_EXPORT_COMMIT: {
        Json::Value exportCommit(Json::objectValue);
        exportCommit["nodeCount"] = integer(readExportCommitPayload(message));
        reply = replyFor(relay, "portName");
        reply["exportCommit"] = exportCommit;
        return true;
    }
    case MT_LOOPTIME: {
        const LooptimePayload payload = readLooptimePayload(message);
        reply = replyFor(relay, "port");
        reply["looptime"] = integer(payload.us);
        reply["nodecount"] = integer(payload.nodeCount);
        reply["memorysize"] = Json::UInt(payload.memorySize);
        return true;
    }
    case MT_LIVE_VALUE:
        reply = replyFor(relay, "port");
        reply["liveValue"] = liveValueReply(message);
        return true;
    default: return false;
    }
}

Json::Value ReplyTranslator::versionReply(Relay& relay, const ReceivedMessage& message) const
{
    const VersionPayload version = readVersionPayload(message);
    char serial[25];
    std::snprintf(serial, sizeof serial, "%08X%08X%08X", version.serial0, version.serial1, version.serial2);
    Json::Value reply = replyFor(relay, "portName");
    reply["versionMajor"] = integer(version.versionMajor);
    reply["versionMinor"] = integer(version.versionMinor);
    reply["versionPatch"] = integer(version.versionPatch);
    reply["flags"] = integer(version.flags);
    reply["idcode"] = Json::UInt(version.idcode);
    reply["serial"] = serial;
    reply["flashsize"] = integer(version.flashSize);

    const bool inBootloader = (version.flags & 1) != 0;
    logger.log(LogLevel::INFO, "Device on port %s", relay.portName.c_str());
    logger.log(LogLevel::INFO, inBootloader ? "  vantrel bootloader v%d.%d.%d" : "  vantrel v%d.%d.%d",
               static_cast<int>(version.versionMajor), static_cast<int>(version.versionMinor),
               static_cast<int>(version.versionPatch));
    if (version.idcode != 0)
        logger.log(LogLevel::INFO, "  MCU id: 0x%08X", version.idcode);
    logger.log(LogLevel::INFO, "  Flash size: %d", static_cast<int>(version.flashSize));
    logger.log(LogLevel::INFO, "  Serial: %08X %08X %08X", version.serial0, version.serial1, version.serial2);
    // The lines above name the port only once; with several boards answering at once they interleave.
    logger.log(LogLevel::INFO, "%s: vantrel %sv%d.%d.%d, serial %s, flash %d KiB", relay.portName.c_str(),
               inBootloader ? "bootloader " : "", static_cast<int>(version.versionMajor),
               static_cast<int>(version.versionMinor), static_cast<int>(version.versionPatch), serial,
               static_cast<int>(version.flashSize));

    relay.flashSizeKiB = static_cast<int32_t>(version.flashSize);
    relay.mode = inBootloader ? BoardMode::bootloader : BoardMode::application;
    return reply;
}

Json::Value ReplyTranslator::capabilitiesReply(const Relay& relay, const ReceivedMessage& message) const
{
    const CountedListPayload list = readCapabilitiesPayload(message);
    Json::Value known(Json::arrayValue);
    Json::Value usable(Json::arrayValue);
    // Id 0 is no node type.
    for (uint32_t id = 1; id < list.entries; ++id) {
        const uint8_t flags = list.first[id];
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
    const CountedListPayload list = readConfigDumpPayload(message);
    Json::Value nodes(Json::arrayValue);
    for (uint32_t i = 0; i < list.entries; ++i) {
        Json::Value node(Json::objectValue);
        node["type"] = nodeConversions.jsNameForNodeType(readU16(list.first + 2 * static_cast<size_t>(i)));
        nodes.append(node);
    }
    Json::Value dump(Json::objectValue);
    dump["nodes"] = nodes;
    Json::Value reply = replyFor(relay, "portName");
    reply["configDump"] = dump;
    return reply;
}
