#include "firmware/firmware_flasher.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>

#include "core/little_endian.h"
#include "core/logger.h"
#include "device/board_payloads.h"
#include "device/message_type.h"

namespace fs = std::filesystem;

namespace {

enum class FileKind { Regular, Missing, Unusable };

struct FileProbe {
    FileKind kind = FileKind::Missing;
    uint64_t size = 0;
    // Why a path that exists cannot be used.
    std::string problem;
};

// Tells a missing path from one that exists but has no size to take: a directory or other non-regular file, a
// link whose target is gone, a path the relay may not look into.
FileProbe probeFile(const std::string& file)
{
    FileProbe probe;
    std::error_code error;
    const fs::file_status status = fs::status(file, error);
    if (status.type() == fs::file_type::not_found) {
        std::error_code linkError;
        if (fs::is_symlink(fs::symlink_status(file, linkError))) {
            probe.kind = FileKind::Unusable;
            probe.problem = "link to a missing file";
        }
        return probe;
    }
    probe.kind = FileKind::Unusable;
    if (error) {
        probe.problem = error.message();
        return probe;
    }
    // Opening a FIFO or a device could block the loop or read without end.
    if (!fs::is_regular_file(status)) {
        probe.problem = "not a regular file";
        return probe;
    }
    const uintmax_t size = fs::file_size(file, error);
    if (error) {
        probe.problem = error.message();
        return probe;
    }
    probe.kind = FileKind::Regular;
    probe.size = size;
    return probe;
}

size_t freadPiece(std::FILE* file, uint8_t* buffer, size_t count) { return std::fread(buffer, 1, count, file); }

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

} // namespace

FirmwareFlasher::FirmwareFlasher(OutgoingQueue& queue, RelayReplies& replies, PieceReader readPiece)
    : queue(queue), replies(replies), readPiece(readPiece ? std::move(readPiece) : freadPiece)
{}

const FlashSession* FirmwareFlasher::session(const Relay& relay) const
{
    const auto found = sessions.find(&relay);
    return found == sessions.end() ? nullptr : &found->second;
}

int64_t FirmwareFlasher::sizeLimit(int32_t flashSizeKiB)
{
    if (flashSizeKiB == 0)
        return maxImageBytes;
    // Signed, so that a flash no larger than the bootloader's share leaves a limit below zero instead of wrapping.
    return std::min<int64_t>(int64_t{flashSizeKiB} * 1024 - reservedFlashBytes, maxImageBytes);
}

uint64_t FirmwareFlasher::messageCount(uint64_t imageSize) { return 2 + (imageSize + chunkSize - 1) / chunkSize; }

bool FirmwareFlasher::writeFirmware(Relay& relay, const std::string& file)
{
    const FileProbe probe = probeFile(file);
    if (probe.kind == FileKind::Missing) {
        onFirmwareFlashStepFailed(relay, file, "firmwareFileNotFound");
        return false;
    }
    if (probe.kind == FileKind::Unusable) {
        // The editor learns no more than of a missing file: what else exists on the host is none of its business.
        logger.log(LogLevel::ERROR, "%s: Cannot take the size of firmware file %s: %s", relay.portName.c_str(),
                   file.c_str(), probe.problem.c_str());
        onFirmwareFlashStepFailed(relay, file, "firmwareFileNotFound");
        return false;
    }
    const int64_t limit = sizeLimit(relay.flashSizeKiB);
    if (limit < 0 || probe.size > static_cast<uint64_t>(limit)) {
        onFirmwareFlashStepFailed(relay, file, "firmwareFileTooLarge");
        return false;
    }
    // Half a flash in the queue would leave the board with a broken image, so the whole conversation must fit.
    const uint64_t needed = messageCount(probe.size);
    if (needed > queue.freeSlots(relay)) {
        logger.log(LogLevel::ERROR, "%s: Firmware needs %lu queued messages, the queue has room for %lu",
                   relay.portName.c_str(), static_cast<unsigned long>(needed),
                   static_cast<unsigned long>(queue.freeSlots(relay)));
        onFirmwareFlashStepFailed(relay, file, "firmwareFileTooLarge");
        return false;
    }

    std::unique_ptr<std::FILE, FileCloser> handle(std::fopen(file.c_str(), "rb"));
    if (!handle) {
        logger.log(LogLevel::ERROR, "%s: Cannot open firmware file %s: %s", relay.portName.c_str(), file.c_str(),
                   std::strerror(errno));
        onFirmwareFlashStepFailed(relay, file, "firmwareFileCantOpen");
        return false;
    }
    const uint32_t size = static_cast<uint32_t>(probe.size);
    logger.log(LogLevel::INFO, "Preparing to write %d bytes to flash", static_cast<int>(size));

    FlashSession& session = sessions[&relay];
    session.release();
    std::vector<uint8_t> bytes(size, 0);
    const bool complete = readImage(handle.get(), bytes);
    handle.reset();
    if (!complete) {
        onFirmwareFlashStepFailed(relay, file, "firmwareFileReadError");
        return false;
    }
    session.bytes = std::move(bytes);
    session.size = size;
    session.loaded = true;
    queueConversation(relay, session);
    return true;
}

bool FirmwareFlasher::readImage(std::FILE* file, std::vector<uint8_t>& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const size_t remaining = bytes.size() - done;
        const size_t piece = std::min<size_t>(chunkSize, remaining);
        if (readPiece(file, bytes.data() + done, piece) != piece) {
            logger.log(LogLevel::ERROR, "Error reading firmware file (remaining: %d)", static_cast<int>(remaining));
            return false;
        }
        done += piece;
    }
    return true;
}

void FirmwareFlasher::queueConversation(Relay& relay, const FlashSession& session)
{
    queue.enqueue(relay, romWriteStartCommand(session.size));
    for (uint32_t offset = 0; offset < session.size; offset += chunkSize) {
        const uint32_t count = std::min(chunkSize, session.size - offset);
        queue.enqueue(relay, romWriteDataCommand(offset, session.bytes.data() + offset, count));
    }
    queue.enqueue(relay, commandMessage(MT_BOOTLOADER_ROM_WRITE_FINISH));
}

float FirmwareFlasher::progressPercent(uint32_t offset, uint32_t size)
{
    if (size == 0)
        return 100.0f;
    // The sum in 64 bits: an echo may carry any offset.
    const float percent = static_cast<float>(uint64_t{offset} + chunkSize) / static_cast<float>(size) * 100.0f;
    return std::min(100.0f, percent);
}

void FirmwareFlasher::sendProgress(Relay& relay, const char* key, float percent)
{
    Json::Value reply(Json::objectValue);
    reply["port"] = relay.portName;
    reply[key] = static_cast<double>(percent);
    replies.sendReply(relay, reply);
}

void FirmwareFlasher::onHeadAnswered(Relay& relay, const SerialMessage& head)
{
    if (head.type() == MT_BOOTLOADER_ROM_WRITE_DATA)
        reportWriteProgress(relay, readU32(head.payload()));
}

void FirmwareFlasher::onHeadRefused(Relay& relay, const SerialMessage& head)
{
    if (head.type() == MT_BOOTLOADER_ROM_WRITE_START)
        onFirmwareFlashStepFailed(relay, "", "firmwareNeedsBootloader");
    else if (head.type() == MT_BOOTLOADER_ROM_WRITE_DATA)
        reportWriteProgress(relay, readU32(head.payload()));
}

void FirmwareFlasher::reportWriteProgress(Relay& relay, uint32_t offset)
{
    const FlashSession* current = session(relay);
    sendProgress(relay, "romWrite", progressPercent(offset, current == nullptr ? 0 : current->size));
}

void FirmwareFlasher::verifyFirmwareEcho(Relay& relay, uint32_t offset, const uint8_t* data, size_t available)
{
    const auto found = sessions.find(&relay);
    if (found == sessions.end() || !found->second.loaded)
        return;
    FlashSession& image = found->second;
    // Bytes the board never sent cannot confirm anything.
    if (data == nullptr || available < chunkSize) {
        logger.log(LogLevel::ERROR, "%s: Firmware echo at offset %lu carries %lu of %lu data bytes",
                   relay.portName.c_str(), static_cast<unsigned long>(offset), static_cast<unsigned long>(available),
                   static_cast<unsigned long>(chunkSize));
        image.release();
        onFirmwareFlashStepFailed(relay, "", "firmwareFileVerifyError");
        return;
    }
    for (uint32_t i = 0; i < chunkSize && uint64_t{offset} + i < image.size; ++i) {
        const uint8_t expected = image.bytes[offset + i];
        if (data[i] != expected) {
            logger.log(LogLevel::ERROR, "Verification failed (address: %ld) %d != %d",
                       static_cast<long>(uint64_t{offset} + i), static_cast<int>(data[i]), static_cast<int>(expected));
            image.release();
            onFirmwareFlashStepFailed(relay, "", "firmwareFileVerifyError");
            return;
        }
    }
    sendProgress(relay, "romVerify", progressPercent(offset, image.size));
}

void FirmwareFlasher::onFirmwareFlashStepFailed(Relay& relay, const std::string& detail, const std::string& reason)
{
    logger.log(LogLevel::ERROR, "onFirmwareFlashStepFailed: %s %s", reason.c_str(), detail.c_str());
    Json::Value reply(Json::objectValue);
    reply["port"] = relay.portName;
    reply[reason] = detail;
    replies.sendReply(relay, reply);
}
