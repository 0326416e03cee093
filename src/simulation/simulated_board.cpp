#include "simulation/simulated_board.h"

#include <algorithm>

#include "core/little_endian.h"
#include "core/logger.h"
#include "device/message_type.h"

namespace {

constexpr uint16_t firstFeatureType = MT_CONFIG_GPS_INPUT;
constexpr uint16_t lastFeatureType = MT_CONFIG_MAG_INPUT;
constexpr uint16_t firstNodeType = MT_NODE_CONSTANT;
constexpr uint16_t lastNodeType = MT_NODE_DS3502_OUTPUT;

// The board's node type number of every node record type, from MT_NODE_CONSTANT to MT_NODE_DS3502_OUTPUT.
constexpr uint16_t nodeTypeOfRecord[lastNodeType - firstNodeType + 1] = {
    18, 16, 17, 19, 20, 21, 22, 23, 25, 24, 26, 27, 28, 29, 30, 31, 32, 33, // constant .. store
    36, 37, 38, 39, 40, 41, // mapping .. structmember
    1,  2,  3,  4,  5,  6,  7,  8, // digital input .. rotary encoder
    9,  10, 11, 12, 13, 14, 15, 34, 35, // digital output .. ppm output
    42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53, // baro input .. ds3502 output
};

// Node type ids 0 to 53; every real type (1 to 53) is known (bit 0) and usable (bit 1).
constexpr uint16_t capabilityCount = 54;
constexpr uint8_t knownAndUsable = 0x03;

constexpr uint32_t chunkSize = 32;
constexpr uint32_t erasePageSize = 2048;
// Offsets in a node record: the u16 node id follows the type, the length and one spare byte.
constexpr size_t nodeIdPayloadOffset = 1;

bool isFeatureRecord(uint16_t type) { return type >= firstFeatureType && type <= lastFeatureType; }
bool isNodeRecord(uint16_t type) { return type >= firstNodeType && type <= lastNodeType; }

uint32_t roundUp(uint32_t value, uint32_t step)
{
    return static_cast<uint32_t>((uint64_t{value} + step - 1) / step * step);
}

void appendU16(std::vector<uint8_t>& out, uint16_t value)
{
    const size_t at = out.size();
    out.resize(at + 2);
    writeU16(out.data() + at, value);
}

void appendU32(std::vector<uint8_t>& out, uint32_t value)
{
    const size_t at = out.size();
    out.resize(at + 4);
    writeU32(out.data() + at, value);
}

} // namespace

SimulatedBoard::SimulatedBoard() : SimulatedBoard(Identity{}) {}

SimulatedBoard::SimulatedBoard(const Identity& identity) : ident(identity) {}

void SimulatedBoard::receiveFromHost(const uint8_t* data, size_t count)
{
    BoardMessage message;
    for (size_t i = 0; i < count; ++i) {
        if (!reader.feed(data[i], message))
            continue;
        if (receivedMessages.size() == receivedLimit)
            receivedMessages.pop_front();
        receivedMessages.push_back(message);
        handle(message);
    }
}

size_t SimulatedBoard::outputAvailable()
{
    if (gapPending) {
        gapPending = false;
        return 0;
    }
    size_t available = 0;
    size_t skip = headOffset;
    for (const Piece& piece : output) {
        available += piece.bytes.size() - skip;
        skip = 0;
        if (piece.burstEnd)
            break;
    }
    return available;
}

size_t SimulatedBoard::takeOutput(uint8_t* buffer, size_t max)
{
    if (gapPending) {
        gapPending = false;
        return 0;
    }
    size_t taken = 0;
    while (taken < max && !output.empty()) {
        Piece& head = output.front();
        const size_t n = std::min(max - taken, head.bytes.size() - headOffset);
        std::copy_n(head.bytes.begin() + static_cast<std::ptrdiff_t>(headOffset), n, buffer + taken);
        taken += n;
        headOffset += n;
        if (headOffset < head.bytes.size())
            break;
        const bool burstEnd = head.burstEnd;
        output.pop_front();
        headOffset = 0;
        if (burstEnd) {
            gapPending = !output.empty();
            break;
        }
    }
    return taken;
}

void SimulatedBoard::tick(uint64_t nowMs)
{
    if (!liveWatched || silent || mode != Mode::Application)
        return;
    if (liveReported && nowMs - lastLiveMs < liveValueIntervalMs)
        return;
    liveReported = true;
    lastLiveMs = nowMs;
    // A triangle wave between 0 and 10 with a period of 20 s.
    const uint64_t phase = (nowMs / 100) % 200;
    const float value = static_cast<float>(phase < 100 ? phase : 200 - phase) / 10.0f;
    std::vector<uint8_t> payload;
    appendU16(payload, liveNodeId);
    payload.push_back(0); // float
    uint8_t bytes[4];
    writeF32(bytes, value);
    payload.insert(payload.end(), bytes, bytes + 4);
    emit(MT_LIVE_VALUE, payload);
}

bool SimulatedBoard::nextLiveValueMs(uint64_t nowMs, uint64_t& dueMs) const
{
    if (!liveWatched || silent || mode != Mode::Application)
        return false;
    dueMs = liveReported ? std::max(nowMs, lastLiveMs + liveValueIntervalMs) : nowMs;
    return true;
}

void SimulatedBoard::sendMessage(uint16_t type, const std::vector<uint8_t>& payload) { emit(type, payload); }

void SimulatedBoard::sendRaw(const std::vector<uint8_t>& bytes) { pushBytes(bytes, false); }

void SimulatedBoard::setWrongEcho(uint32_t chunkOffset, uint8_t byteIndex)
{
    wrongEchoSet = true;
    wrongEchoOffset = chunkOffset;
    wrongEchoByte = static_cast<uint8_t>(byteIndex % chunkSize);
}

void SimulatedBoard::setBrokenFrameRate(double rate, uint32_t seed)
{
    brokenRate = std::clamp(rate, 0.0, 1.0);
    random.seed(seed);
}

size_t SimulatedBoard::countReceived(uint16_t type) const
{
    return static_cast<size_t>(std::count_if(receivedMessages.begin(), receivedMessages.end(),
                                             [type](const BoardMessage& m) { return m.type == type; }));
}

std::vector<uint8_t> SimulatedBoard::flashImage() const
{
    return std::vector<uint8_t>(flash.begin(),
                                flash.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(flashSize, flash.size())));
}

void SimulatedBoard::handle(const BoardMessage& message)
{
    if (silent)
        return;
    // The relay never waits for a tweak's answer, so even a refusing board sends none.
    if (message.type == MT_TWEAK)
        return;
    if (refuseAll) {
        nack();
        return;
    }
    if (mode == Mode::Application)
        handleApplication(message);
    else
        handleBootloader(message);
}

void SimulatedBoard::handleApplication(const BoardMessage& message)
{
    const uint16_t type = message.type;
    if (isNodeRecord(type)) {
        const uint16_t id = message.payload.size() >= nodeIdPayloadOffset + 2
                                ? readU16(message.payload.data() + nodeIdPayloadOffset)
                                : 0;
        if (id == 0) {
            logger.log(LogLevel::DEBUG, "Simulated board: refusing node record without id");
            nack();
            return;
        }
        storeRecord(message, nodeRecords, id);
        return;
    }
    if (isFeatureRecord(type)) {
        storeRecord(message, featureRecords, type);
        return;
    }
    switch (type) {
    case MT_VERSION: answerVersion(); return;
    case MT_CAPABILITIES: answerCapabilities(); return;
    case MT_REQUEST_BOOTLOADER: answerRequestBootloader(message); return;
    case MT_CONFIG_RESET:
        nodeRecords.clear();
        featureRecords.clear();
        liveWatched = false;
        ack();
        return;
    case MT_CONFIG_COMMIT: {
        std::vector<uint8_t> payload;
        appendU16(payload, static_cast<uint16_t>(nodeRecords.size()));
        appendU32(payload, memorySize());
        emit(MT_CONFIG_COMMIT, payload);
        return;
    }
    case MT_CONFIG_DUMP: answerConfigDump(); return;
    case MT_EXPORT_CONFIG: answerExport(message); return;
    case MT_LOOPTIME: {
        std::vector<uint8_t> payload;
        appendU16(payload, static_cast<uint16_t>(std::min<size_t>(0xFFFF, 100 + 5 * nodeRecords.size())));
        appendU16(payload, static_cast<uint16_t>(nodeRecords.size()));
        appendU32(payload, memorySize());
        emit(MT_LOOPTIME, payload);
        return;
    }
    case MT_SET_LIVE_VALUE:
        if (message.payload.size() < 2) {
            nack();
            return;
        }
        // One node is watched at a time; a new request replaces the last.
        liveWatched = true;
        liveNodeId = readU16(message.payload.data());
        liveReported = false;
        ack();
        return;
    case MT_LED:
    case MT_PAUSE:
    case MT_SINGLE_STEP: ack(); return;
    default:
        logger.log(LogLevel::DEBUG, "Simulated board: refusing message type %d in application mode",
                   static_cast<int>(type));
        nack();
        return;
    }
}

void SimulatedBoard::handleBootloader(const BoardMessage& message)
{
    switch (message.type) {
    case MT_VERSION: answerVersion(); return;
    case MT_REQUEST_BOOTLOADER: answerRequestBootloader(message); return;
    case MT_BOOTLOADER_ROM_WRITE_START: startRomWrite(message); return;
    case MT_BOOTLOADER_ROM_WRITE_DATA: writeRomChunk(message); return;
    case MT_BOOTLOADER_ROM_WRITE_FINISH:
        romFinished = romStarted;
        romStarted = false;
        emit(MT_BOOTLOADER_ROM_WRITE_FINISH, {static_cast<uint8_t>(romFinished ? 0 : 1)});
        return;
    default:
        logger.log(LogLevel::DEBUG, "Simulated board: refusing message type %d in bootloader mode",
                   static_cast<int>(message.type));
        nack();
        return;
    }
}

bool SimulatedBoard::recordHasFixedSize(const BoardMessage& message) const
{
    return message.payload.size() == getPayloadSizeFromMessageType(message.type);
}

void SimulatedBoard::storeRecord(const BoardMessage& message, std::map<uint16_t, std::vector<uint8_t>>& store,
                                 uint16_t key)
{
    if (!recordHasFixedSize(message)) {
        logger.log(LogLevel::DEBUG, "Simulated board: refusing record of type %d with %lu payload bytes",
                   static_cast<int>(message.type), static_cast<unsigned long>(message.payload.size()));
        nack();
        return;
    }
    std::vector<uint8_t> record;
    appendU16(record, message.type);
    appendU16(record, static_cast<uint16_t>(message.payload.size() + 4));
    record.insert(record.end(), message.payload.begin(), message.payload.end());
    store[key] = std::move(record);
    ack();
}

void SimulatedBoard::answerVersion()
{
    std::vector<uint8_t> payload = {ident.versionMajor, ident.versionMinor, ident.versionPatch,
                                    static_cast<uint8_t>(mode == Mode::Bootloader ? 1 : 0)};
    appendU32(payload, ident.idcode);
    for (uint32_t serial : ident.serial)
        appendU32(payload, serial);
    appendU16(payload, ident.flashSizeKiB);
    payload.push_back(0); // reserved
    emit(MT_VERSION, payload);
}

void SimulatedBoard::answerCapabilities()
{
    std::vector<uint8_t> payload;
    appendU16(payload, capabilityCount);
    payload.push_back(0); // id 0 is no node type
    payload.insert(payload.end(), capabilityCount - 1, knownAndUsable);
    emit(MT_CAPABILITIES, payload);
}

void SimulatedBoard::answerRequestBootloader(const BoardMessage& message)
{
    const uint8_t bootloader = message.payload.size() > 0 ? message.payload[0] : 0xFF;
    const uint8_t usbConfig = message.payload.size() > 1 ? message.payload[1] : 0xFF;
    if (bootloader == 1)
        mode = Mode::Bootloader;
    else if (bootloader == 0)
        mode = Mode::Application;
    if (usbConfig != 0xFF)
        ident.usbConfig = usbConfig;
    if (mode == Mode::Bootloader)
        liveWatched = false;
    emit(MT_REQUEST_BOOTLOADER, {static_cast<uint8_t>(mode == Mode::Bootloader ? 1 : 0), ident.usbConfig});
}

void SimulatedBoard::answerConfigDump()
{
    std::vector<uint8_t> payload;
    appendU16(payload, static_cast<uint16_t>(nodeRecords.size()));
    for (const auto& entry : nodeRecords)
        appendU16(payload, nodeTypeOfRecord[readU16(entry.second.data()) - firstNodeType]);
    emit(MT_CONFIG_DUMP, payload);
}

void SimulatedBoard::answerExport(const BoardMessage& message)
{
    emit(MT_EXPORT_CONFIG, {static_cast<uint8_t>(message.payload.empty() ? 0 : message.payload[0])});
    for (const auto* store : {&featureRecords, &nodeRecords}) {
        for (const auto& entry : *store) {
            const std::vector<uint8_t>& record = entry.second;
            emit(readU16(record.data()), std::vector<uint8_t>(record.begin() + 4, record.end()));
        }
    }
    std::vector<uint8_t> commit;
    appendU16(commit, static_cast<uint16_t>(nodeRecords.size()));
    emit(MT_EXPORT_COMMIT, commit);
}

void SimulatedBoard::startRomWrite(const BoardMessage& message)
{
    const uint32_t flashBytes = uint32_t{ident.flashSizeKiB} * 1024;
    const uint32_t capacity = flashBytes > bootloaderBytes ? flashBytes - bootloaderBytes : 0;
    if (message.payload.size() < 4 || readU32(message.payload.data()) > capacity) {
        logger.log(LogLevel::DEBUG, "Simulated board: refusing ROM write that does not fit %lu bytes",
                   static_cast<unsigned long>(capacity));
        nack();
        return;
    }
    flashSize = readU32(message.payload.data());
    flash.assign(roundUp(flashSize, chunkSize), 0xFF);
    romStarted = true;
    romFinished = false;
    std::vector<uint8_t> erase;
    appendU32(erase, roundUp(flashSize, erasePageSize));
    emit(MT_BOOTLOADER_ROM_WRITE_START, erase);
    ack();
}

void SimulatedBoard::writeRomChunk(const BoardMessage& message)
{
    const uint64_t offset = message.payload.size() >= 4 ? readU32(message.payload.data()) : 0;
    if (!romStarted || message.payload.size() < 4 + chunkSize || offset + chunkSize > flash.size() ||
        offset == refusedChunk) {
        logger.log(LogLevel::DEBUG, "Simulated board: refusing ROM data at offset %lu",
                   static_cast<unsigned long>(offset));
        nack();
        return;
    }
    uint8_t* chunk = flash.data() + offset;
    std::copy_n(message.payload.begin() + 4, chunkSize, chunk);
    if (wrongEchoSet && offset == wrongEchoOffset)
        chunk[wrongEchoByte] ^= 0xFF;
    ack();
    if (offset == missingEcho)
        return;
    std::vector<uint8_t> echo;
    appendU32(echo, static_cast<uint32_t>(offset));
    echo.insert(echo.end(), chunk, chunk + chunkSize);
    emit(MT_BOOTLOADER_ROM_WRITE_DATA, echo);
}

void SimulatedBoard::ack() { emit(MT_ACK, {0}); }

void SimulatedBoard::nack() { emit(MT_NACK, {}); }

void SimulatedBoard::emit(uint16_t type, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> frame;
    if (!encodeBoardFrame(type, payload.data(), payload.size(), frame))
        return;
    if (brokenRate > 0.0 && static_cast<double>(random()) < brokenRate * static_cast<double>(std::mt19937::max())) {
        ++brokenFrames;
        if (random() % 2 == 0)
            frame.back() ^= 0xFF;
        else
            frame.resize(1 + random() % (frame.size() - 1));
    }
    if (!garbage.empty())
        pushBytes(garbage, splitPieceSize > 0);
    pushBytes(frame, splitPieceSize > 0);
    ++sentFrames;
}

void SimulatedBoard::pushBytes(const std::vector<uint8_t>& bytes, bool split)
{
    if (bytes.empty())
        return;
    if (!split) {
        output.push_back(Piece{bytes, false});
    } else {
        for (size_t start = 0; start < bytes.size(); start += splitPieceSize) {
            const size_t end = std::min(bytes.size(), start + splitPieceSize);
            output.push_back(Piece{std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(start),
                                                        bytes.begin() + static_cast<std::ptrdiff_t>(end)),
                                   true});
        }
    }
    if (outputListener)
        outputListener();
}

uint32_t SimulatedBoard::memorySize() const
{
    uint32_t total = 0;
    for (const auto& entry : nodeRecords)
        total += static_cast<uint32_t>(entry.second.size());
    return total;
}
