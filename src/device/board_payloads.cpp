#include "device/board_payloads.h"

#include <algorithm>
#include <cstring>

#include "core/field_reader.h"
#include "core/little_endian.h"
#include "core/logger.h"
#include "device/message_type.h"

SerialMessage commandMessage(uint16_t type)
{
    SerialMessage message;
    message.setType(type);
    return message;
}

namespace {

SerialMessage commandWithByte(uint16_t type, uint8_t value)
{
    SerialMessage message = commandMessage(type);
    message.payload()[0] = value;
    return message;
}

} // namespace

SerialMessage tweakCommand(uint16_t nodeId, uint8_t index, uint8_t kind, uint32_t value)
{
    SerialMessage message = commandMessage(MT_TWEAK);
    uint8_t* payload = message.payload();
    writeU16(payload, nodeId);
    payload[2] = index;
    payload[3] = kind;
    writeU32(payload + 4, value);
    return message;
}

SerialMessage configResetCommand(uint8_t flags) { return commandWithByte(MT_CONFIG_RESET, flags); }

SerialMessage exportConfigCommand(uint8_t flags) { return commandWithByte(MT_EXPORT_CONFIG, flags); }

SerialMessage pauseCommand(uint8_t pause) { return commandWithByte(MT_PAUSE, pause); }

SerialMessage singleStepCommand(uint8_t step) { return commandWithByte(MT_SINGLE_STEP, step); }

SerialMessage setLiveValueCommand(uint16_t nodeId, uint8_t flags)
{
    SerialMessage message = commandMessage(MT_SET_LIVE_VALUE);
    writeU16(message.payload(), nodeId);
    message.payload()[2] = flags;
    return message;
}

SerialMessage requestBootloaderCommand(uint8_t bootloaderCode, uint8_t usbConfigCode)
{
    SerialMessage message = commandMessage(MT_REQUEST_BOOTLOADER);
    message.payload()[0] = bootloaderCode;
    message.payload()[1] = usbConfigCode;
    return message;
}

SerialMessage romWriteStartCommand(uint32_t byteCount)
{
    SerialMessage message = commandMessage(MT_BOOTLOADER_ROM_WRITE_START);
    writeU32(message.payload(), byteCount);
    return message;
}

SerialMessage romWriteDataCommand(uint32_t offset, const uint8_t* data, size_t count)
{
    SerialMessage message = commandMessage(MT_BOOTLOADER_ROM_WRITE_DATA);
    writeU32(message.payload(), offset);
    std::memcpy(message.payload() + 4, data, std::min<size_t>(count, 32));
    return message;
}

void readPayloadFields(const ReceivedMessage& message, const char* messageName, const PayloadField* fields,
                       size_t count, uint32_t* values)
{
    FieldReader reader(message.payloadLength());
    for (size_t i = 0; i < count; ++i) {
        const PayloadField& field = fields[i];
        values[i] = 0;
        if (!reader.take(field.width)) {
            logger.log(LogLevel::WARNING, "Missing fields in message: %s.%s", messageName, field.name);
            continue;
        }
        const uint8_t* at = message.payload() + field.offset;
        switch (field.width) {
        case 1: values[i] = at[0]; break;
        case 2: values[i] = readU16(at); break;
        default: values[i] = readU32(at); break;
        }
    }
}

namespace {

uint32_t readSingleField(const ReceivedMessage& message, const char* messageName, const PayloadField& field)
{
    uint32_t value = 0;
    readPayloadFields(message, messageName, &field, 1, &value);
    return value;
}

// The entries (of entryBytes each, after the u16 count) that the message declares and really holds.
CountedListPayload readCountedList(const ReceivedMessage& message, const char* messageName, const char* typeName,
                                   uint32_t entryBytes)
{
    logger.log(LogLevel::DEBUG, "%s payloadSize = %d", typeName, static_cast<int>(message.lengthField));
    CountedListPayload list{};
    list.declared = readSingleField(message, messageName, {"numNodes", 0, 2});
    logger.log(LogLevel::DEBUG, "%s numNodes = %d", typeName, static_cast<int>(list.declared));
    const uint32_t held = static_cast<uint32_t>(std::max(0, message.payloadLength() - 2)) / entryBytes;
    list.entries = list.declared;
    if (list.declared > held) {
        logger.log(LogLevel::WARNING, "A %s reply announces %d nodes but holds %d; reading those", typeName,
                   static_cast<int>(list.declared), static_cast<int>(held));
        list.entries = held;
    }
    list.first = message.payload() + 2;
    return list;
}

} // namespace

VersionPayload readVersionPayload(const ReceivedMessage& message)
{
    static constexpr PayloadField fields[] = {
        {"versionMajor", 0, 1}, {"versionMinor", 1, 1}, {"versionPatch", 2, 1}, {"flags", 3, 1},      {"idcode", 4, 4},
        {"serial0", 8, 4},      {"serial1", 12, 4},     {"serial2", 16, 4},     {"flashSize", 20, 2},
    };
    const auto v = readPayloadFields(message, "version", fields);
    return VersionPayload{v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8]};
}

RequestBootloaderPayload readRequestBootloaderPayload(const ReceivedMessage& message)
{
    static constexpr PayloadField fields[] = {{"bootloaderFlags", 0, 1}, {"usbConfigFlags", 1, 1}};
    const auto v = readPayloadFields(message, "request_bootloader", fields);
    return RequestBootloaderPayload{v[0], v[1]};
}

ConfigCommitPayload readConfigCommitPayload(const ReceivedMessage& message)
{
    static constexpr PayloadField fields[] = {{"nodeCount", 0, 2}, {"memorySize", 2, 4}};
    const auto v = readPayloadFields(message, "config_commit", fields);
    return ConfigCommitPayload{v[0], v[1]};
}

LooptimePayload readLooptimePayload(const ReceivedMessage& message)
{
    static constexpr PayloadField fields[] = {{"us", 0, 2}, {"nodeCount", 2, 2}, {"memorySize", 4, 4}};
    const auto v = readPayloadFields(message, "looptime", fields);
    return LooptimePayload{v[0], v[1], v[2]};
}

LiveValuePayload readLiveValuePayload(const ReceivedMessage& message)
{
    static constexpr PayloadField fields[] = {{"id", 0, 2}, {"type", 2, 1}, {"value", 3, 4}};
    const auto v = readPayloadFields(message, "live_value", fields);
    return LiveValuePayload{v[0], v[1], v[2]};
}

uint32_t readRomErasePayload(const ReceivedMessage& message)
{
    return readSingleField(message, "bootloader_rom_write_start", {"numBytesToErase", 0, 4});
}

uint32_t readRomFinishPayload(const ReceivedMessage& message)
{
    return readSingleField(message, "bootloader_rom_write_finish", {"flags", 0, 1});
}

uint32_t readUploadProgressPayload(const ReceivedMessage& message)
{
    return readSingleField(message, "config_upload_progress", {"percent", 0, 2});
}

uint32_t readExportConfigPayload(const ReceivedMessage& message)
{
    return readSingleField(message, "export_config", {"flags", 0, 1});
}

uint32_t readExportCommitPayload(const ReceivedMessage& message)
{
    return readSingleField(message, "export_commit", {"nodeCount", 0, 2});
}

RomEchoPayload readRomEchoPayload(const ReceivedMessage& message)
{
    const size_t available = static_cast<size_t>(std::clamp(message.payloadLength() - 4, 0, 32));
    return RomEchoPayload{readU32(message.payload()), message.payload() + 4, available};
}

CountedListPayload readCapabilitiesPayload(const ReceivedMessage& message)
{
    return readCountedList(message, "capabilities", "MT_CAPABILITIES", 1);
}

CountedListPayload readConfigDumpPayload(const ReceivedMessage& message)
{
    return readCountedList(message, "config_dump", "MT_CONFIG_DUMP", 2);
}
