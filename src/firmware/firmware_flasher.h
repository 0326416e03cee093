#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <unordered_map>

#include <json/value.h>

#include "device/outgoing_queue.h"
#include "device/relay.h"
#include "firmware/flash_session.h"

// Writes firmware files into boards through their bootloader: loads and checks the file, queues the whole
// conversation on the board's relay, reports progress as chunks are answered and echoed, and reports failures.
// Created once by the relay core; lives for the whole run and keeps one flash session per board being written.
class FirmwareFlasher {
public:
    // Reads up to count bytes of an open file and returns how many it read. Tests replace it to make a file
    // end early; the default is fread.
    using PieceReader = std::function<size_t(std::FILE* file, uint8_t* buffer, size_t count)>;

    // Bytes of image in one data message.
    static constexpr uint32_t chunkSize = 32;
    // What the bootloader keeps of a board's flash for itself: 16 KiB and one chunk.
    static constexpr int64_t reservedFlashBytes = 16416;
    // The largest image any board can take: a version reply announces at most 65535 KiB of flash. Also the limit
    // before the board's version is known, so no file can make the relay load an unbounded amount.
    static constexpr uint32_t maxImageBytes = 65535u * 1024u - 16416u;

    FirmwareFlasher(OutgoingQueue& queue, RelayReplies& replies, PieceReader readPiece = PieceReader());

    // True when the messages were queued; false when a failure was reported.
    bool writeFirmware(Relay& relay, const std::string& file);
    // The board answered or refused the message in flight: a data chunk counts as written progress, a refused
    // start means the board is not in its bootloader.
    void onHeadAnswered(Relay& relay, const SerialMessage& head);
    void onHeadRefused(Relay& relay, const SerialMessage& head);
    void reportWriteProgress(Relay& relay, uint32_t offset);
    // data holds what the echo carried after its offset: `available` bytes, normally 32.
    void verifyFirmwareEcho(Relay& relay, uint32_t offset, const uint8_t* data, size_t available);
    void onFirmwareFlashStepFailed(Relay& relay, const std::string& detail, const std::string& reason);
    // Drops the flash session of a relay that goes.
    void forgetRelay(const Relay& relay) { sessions.erase(&relay); }
    // The relay's flash session; nullptr when it has none.
    const FlashSession* session(const Relay& relay) const;

    // Largest file accepted for a board with this flash size in KiB (0: not known yet); negative refuses all.
    static int64_t sizeLimit(int32_t flashSizeKiB);
    // Messages one write of an image of this size queues: start, one per chunk, finish.
    static uint64_t messageCount(uint64_t imageSize);

private:
    // Reads the whole file into bytes in chunk-sized pieces; false (after the ERROR line) on a short piece.
    bool readImage(std::FILE* file, std::vector<uint8_t>& bytes);
    void queueConversation(Relay& relay, const FlashSession& session);
    // min(100, (offset + 32) / size * 100) in single precision; 100 for an empty image.
    static float progressPercent(uint32_t offset, uint32_t size);
    void sendProgress(Relay& relay, const char* key, float percent);

    OutgoingQueue& queue;
    RelayReplies& replies;
    PieceReader readPiece;
    std::unordered_map<const Relay*, FlashSession> sessions;
};
