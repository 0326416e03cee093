#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "device/received_message.h"
#include "device/serial_message.h"

// The payloads of the board messages that are not node or feature records: builders for every command the relay
// sends, and readers for every reply it translates. Offsets count from the start of the payload.

// ---- Commands

// A message of the type with an all-zero payload (LED, version, capabilities, commit, dump, loop time, finish).
SerialMessage commandMessage(uint16_t type);
// Kinds of a tweak value: 0 a number (f32 bits), 2 a colour.
SerialMessage tweakCommand(uint16_t nodeId, uint8_t index, uint8_t kind, uint32_t value);
SerialMessage configResetCommand(uint8_t flags);
SerialMessage exportConfigCommand(uint8_t flags);
SerialMessage pauseCommand(uint8_t pause);
SerialMessage singleStepCommand(uint8_t step);
SerialMessage setLiveValueCommand(uint16_t nodeId, uint8_t flags);
// 0xFF in a code leaves that setting as it is; both 0xFF asks only for the status.
SerialMessage requestBootloaderCommand(uint8_t bootloaderCode, uint8_t usbConfigCode);
SerialMessage romWriteStartCommand(uint32_t byteCount);
// count bytes (at most 32) of image at offset; the rest of the chunk stays zero.
SerialMessage romWriteDataCommand(uint32_t offset, const uint8_t* data, size_t count);

// ---- Replies

// One field of a reply payload: its name in the missing-field warning, offset and width (1, 2 or 4 bytes).
struct PayloadField {
    const char* name;
    int offset;
    int width;
};

// Reads the fields in table order. A field the payload no longer holds reads 0 and is reported as "Missing fields
// in message: <messageName>.<field>"; the fields after it are still tried against what remains.
void readPayloadFields(const ReceivedMessage& message, const char* messageName, const PayloadField* fields,
                       size_t count, uint32_t* values);

template <size_t N>
std::array<uint32_t, N> readPayloadFields(const ReceivedMessage& message, const char* messageName,
                                          const PayloadField (&fields)[N])
{
    std::array<uint32_t, N> values{};
    readPayloadFields(message, messageName, fields, N, values.data());
    return values;
}

struct VersionPayload {
    uint32_t versionMajor, versionMinor, versionPatch, flags, idcode, serial0, serial1, serial2, flashSize;
};
VersionPayload readVersionPayload(const ReceivedMessage& message);

struct RequestBootloaderPayload {
    uint32_t bootloaderFlags, usbConfigFlags;
};
RequestBootloaderPayload readRequestBootloaderPayload(const ReceivedMessage& message);

struct ConfigCommitPayload {
    uint32_t nodeCount, memorySize;
};
ConfigCommitPayload readConfigCommitPayload(const ReceivedMessage& message);

struct LooptimePayload {
    uint32_t us, nodeCount, memorySize;
};
LooptimePayload readLooptimePayload(const ReceivedMessage& message);

struct LiveValuePayload {
    uint32_t id, type, value;
};
LiveValuePayload readLiveValuePayload(const ReceivedMessage& message);

uint32_t readRomErasePayload(const ReceivedMessage& message);
// Read only for the warning when it is missing.
uint32_t readRomFinishPayload(const ReceivedMessage& message);
uint32_t readUploadProgressPayload(const ReceivedMessage& message);
uint32_t readExportConfigPayload(const ReceivedMessage& message);
uint32_t readExportCommitPayload(const ReceivedMessage& message);

// The echo of a data chunk: its offset and the image bytes it carries (`available` of them, at most 32).
struct RomEchoPayload {
    uint32_t offset;
    const uint8_t* data;
    size_t available;
};
RomEchoPayload readRomEchoPayload(const ReceivedMessage& message);

// A counted list after a u16 count: capabilities (one flag byte per node type) and configuration dump (one u16
// node type per node). `entries` is the count the board declared, cut to what the message holds (with a warning).
struct CountedListPayload {
    uint32_t declared;
    uint32_t entries;
    const uint8_t* first;
};
CountedListPayload readCapabilitiesPayload(const ReceivedMessage& message);
CountedListPayload readConfigDumpPayload(const ReceivedMessage& message);
