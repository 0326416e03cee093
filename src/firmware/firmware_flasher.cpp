#include "firmware/firmware_flasher.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "core/clock.h"
#include "core/little_endian.h"
#include "core/logger.h"
#include "device/board_payloads.h"
#include "device/message_type.h"
#include "json/compact_json_writer.h"

namespace {

enum class FileKind { Regular, Missing, Unusable, Unreadable };

// A firmware file opened for reading, or why not.
struct OpenedFile {
    FileKind kind = FileKind::Missing;
    int descriptor = -1;
    uint64_t size = 0;
    // Why a path that exists cannot be used.
    std::string problem;
};

// Opens the file once and takes everything from that descriptor, so nothing can be swapped in between: links are
// not followed (a link named like a firmware file could lead anywhere), and only a regular file is kept, since
// reading a FIFO or a device could block the loop or read without end. Without blocking, a FIFO opens at once and
// is refused by its type (nobody but root can put a device node there). Tells a missing path from one that exists
// but cannot be used.
OpenedFile openFirmwareFile(const std::string& file)
{
    OpenedFile opened;
    const int descriptor = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (descriptor < 0) {
        const int error = errno;
        struct stat status {};
        if (error == ELOOP) {
            opened.kind = FileKind::Unusable;
            opened.problem = "a link, which is not followed";
        } else if (error == ENOENT || error == ENOTDIR || lstat(file.c_str(), &status) != 0) {
            // Also a path in a folder the relay may not look into: it is not there for the relay.
            opened.kind = FileKind::Missing;
        } else if (!S_ISREG(status.st_mode)) {
            opened.kind = FileKind::Unusable;
            opened.problem = "not a regular file";
        } else {
            opened.kind = FileKind::Unreadable;
            opened.problem = std::strerror(error);
        }
        return opened;
    }
    struct stat status {};
    opened.kind = FileKind::Unusable;
    if (fstat(descriptor, &status) != 0)
        opened.problem = std::strerror(errno);
    else if (!S_ISREG(status.st_mode))
        opened.problem = "not a regular file";
    else {
        opened.kind = FileKind::Regular;
        opened.descriptor = descriptor;
        opened.size = static_cast<uint64_t>(status.st_size);
        return opened;
    }
    close(descriptor);
    return opened;
}

size_t freadPiece(std::FILE* file, uint8_t* buffer, size_t count) { return std::fread(buffer, 1, count, file); }

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

} // namespace

FirmwareFlasher::FirmwareFlasher(BoardLink& boards, RelayReplies& replies, Clock& clock, PieceReader readPiece)
    : boards(boards), replies(replies), clock(clock), readPiece(readPiece ? std::move(readPiece) : freadPiece)
{}

const FlashSession* FirmwareFlasher::session(const Relay& relay) const
{
    const auto found = sessions.find(&relay);
    return found == sessions.end() ? nullptr : &found->second;
}

FlashSession* FirmwareFlasher::running(const Relay& relay)
{
    const auto found = sessions.find(&relay);
    return found == sessions.end() ? nullptr : &found->second;
}

bool FirmwareFlasher::isWriting(const Relay& relay) const { return session(relay) != nullptr; }

int64_t FirmwareFlasher::sizeLimit(int32_t flashSizeKiB)
{
    if (flashSizeKiB == 0)
        return maxImageBytes;
    // Signed, so that a flash no larger than the bootloader's share leaves a limit below zero instead of wrapping.
    return std::min<int64_t>(int64_t{flashSizeKiB} * 1024 - reservedFlashBytes, maxImageBytes);
}

uint64_t FirmwareFlasher::messageCount(uint64_t imageSize) { return 2 + (imageSize + chunkSize - 1) / chunkSize; }

std::string FirmwareFlasher::kibText(uint64_t bytes)
{
    char text[32];
    if (bytes % 1024 == 0)
        std::snprintf(text, sizeof text, "%llu KiB", static_cast<unsigned long long>(bytes / 1024));
    else
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024.0);
    return text;
}

bool FirmwareFlasher::writeFirmware(Relay& relay, const std::string& file)
{
    return startWrite(relay, file, relay.editor);
}

bool FirmwareFlasher::writeImage(Relay& relay, const std::string& name, std::vector<uint8_t> image, EditorId editor)
{
    if (refusedAsBusy(relay, name, editor))
        return false;
    if (image.empty()) {
        onFirmwareFlashStepFailed(relay, WriteFailure::FileEmpty, name, editor);
        return false;
    }
    if (image.size() > maxImageBytes) {
        const std::string sizes =
            logName(name) + " is " + kibText(image.size()) + ", no board takes more than " + kibText(maxImageBytes);
        onFirmwareFlashStepFailed(relay, WriteFailure::FileTooLarge, sizes, editor);
        return false;
    }
    if (relay.flashSizeKiB == 0) {
        logger.log(LogLevel::INFO, "%s: Asking the board its flash size before writing %s", relay.portName.c_str(),
                   logName(name).c_str());
        waiting[&relay] = WaitingWrite{name, editor, true, std::move(image)};
        boards.queue().enqueue(relay, commandMessage(MT_VERSION));
        return true;
    }
    if (!admitted(relay, name, image.size(), editor))
        return false;
    logger.log(LogLevel::INFO, "Preparing to write %d bytes to flash", static_cast<int>(image.size()));
    begin(relay, name, editor, std::move(image));
    return true;
}

void FirmwareFlasher::onVersionKnown(Relay& relay)
{
    const auto found = waiting.find(&relay);
    if (found == waiting.end())
        return;
    WaitingWrite write = std::move(found->second);
    waiting.erase(found);
    if (write.sentByEditor)
        writeImage(relay, write.file, std::move(write.image), write.editor);
    else
        startWrite(relay, write.file, write.editor);
}

void FirmwareFlasher::versionUnanswered(Relay& relay, const SerialMessage& head, const char* what)
{
    const auto found = waiting.find(&relay);
    if (found == waiting.end() || head.type() != MT_VERSION)
        return;
    const WaitingWrite write = std::move(found->second);
    waiting.erase(found);
    onFirmwareFlashStepFailed(relay, WriteFailure::VerifyError,
                              std::string("the board ") + what + " when asked its flash size", write.editor);
}

bool FirmwareFlasher::refusedAsBusy(Relay& relay, const std::string& file, EditorId editor)
{
    // A second write (a double click) would mix two files on one board: the running one goes on untouched.
    if (const FlashSession* current = session(relay)) {
        logger.log(LogLevel::WARNING, "%s: Firmware write of %s refused: %s is still being written",
                   relay.portName.c_str(), logName(file).c_str(), logName(current->file).c_str());
        onFirmwareFlashStepFailed(relay, WriteFailure::WriteInProgress, file, editor);
        return true;
    }
    if (waiting.count(&relay) != 0) {
        logger.log(LogLevel::WARNING, "%s: Firmware write of %s refused: another waits for the board's version",
                   relay.portName.c_str(), logName(file).c_str());
        onFirmwareFlashStepFailed(relay, WriteFailure::WriteInProgress, file, editor);
        return true;
    }
    return false;
}

bool FirmwareFlasher::startWrite(Relay& relay, const std::string& file, EditorId editor)
{
    if (refusedAsBusy(relay, file, editor))
        return false;
    const OpenedFile opened = openFirmwareFile(file);
    if (opened.kind == FileKind::Missing) {
        onFirmwareFlashStepFailed(relay, WriteFailure::FileNotFound, file, editor);
        return false;
    }
    if (opened.kind == FileKind::Unusable) {
        // The editor learns no more than of a missing file: what else exists on the host is none of its business.
        logger.log(LogLevel::ERROR, "%s: Firmware file %s refused: %s", relay.portName.c_str(), logName(file).c_str(),
                   opened.problem.c_str());
        onFirmwareFlashStepFailed(relay, WriteFailure::FileNotFound, file, editor);
        return false;
    }
    if (opened.kind == FileKind::Unreadable) {
        logger.log(LogLevel::ERROR, "%s: Cannot open firmware file %s: %s", relay.portName.c_str(), file.c_str(),
                   opened.problem.c_str());
        onFirmwareFlashStepFailed(relay, WriteFailure::FileCantOpen, file, editor);
        return false;
    }
    // From here on the handle owns the descriptor and closes it.
    std::unique_ptr<std::FILE, FileCloser> handle(fdopen(opened.descriptor, "rb"));
    if (!handle) {
        logger.log(LogLevel::ERROR, "%s: Cannot open firmware file %s: %s", relay.portName.c_str(), file.c_str(),
                   std::strerror(errno));
        close(opened.descriptor);
        onFirmwareFlashStepFailed(relay, WriteFailure::FileCantOpen, file, editor);
        return false;
    }
    if (opened.size == 0) {
        onFirmwareFlashStepFailed(relay, WriteFailure::FileEmpty, file, editor);
        return false;
    }
    if (opened.size > maxImageBytes) {
        const std::string sizes =
            logName(file) + " is " + kibText(opened.size) + ", no board takes more than " + kibText(maxImageBytes);
        onFirmwareFlashStepFailed(relay, WriteFailure::FileTooLarge, sizes, editor);
        return false;
    }
    // The size check needs the board's flash size: without it, the board is asked first.
    if (relay.flashSizeKiB == 0) {
        waiting[&relay] = WaitingWrite{file, editor, false, {}};
        logger.log(LogLevel::INFO, "%s: Asking the board its flash size before writing %s", relay.portName.c_str(),
                   logName(file).c_str());
        boards.queue().enqueue(relay, commandMessage(MT_VERSION));
        return true;
    }
    if (!admitted(relay, file, opened.size, editor))
        return false;
    logger.log(LogLevel::INFO, "Preparing to write %d bytes to flash", static_cast<int>(opened.size));
    std::vector<uint8_t> bytes(static_cast<size_t>(opened.size), 0);
    const bool complete = readImage(handle.get(), bytes);
    handle.reset();
    if (!complete) {
        onFirmwareFlashStepFailed(relay, WriteFailure::FileReadError, file, editor);
        return false;
    }
    begin(relay, file, editor, std::move(bytes));
    return true;
}

bool FirmwareFlasher::admitted(Relay& relay, const std::string& file, uint64_t size, EditorId editor)
{
    // A switch to the bootloader still in the queue goes first and makes what the board last said stale.
    const bool switchQueued = std::any_of(relay.outgoing.begin(), relay.outgoing.end(),
                                          [](const SerialMessage& m) { return m.type() == MT_REQUEST_BOOTLOADER; });
    if (relay.mode == BoardMode::application && !switchQueued) {
        const std::string state = "the board runs its application: switch it to its bootloader first";
        onFirmwareFlashStepFailed(relay, WriteFailure::NeedsBootloader, state, editor);
        return false;
    }
    const int64_t limit = sizeLimit(relay.flashSizeKiB);
    if (limit < 0 || size > static_cast<uint64_t>(limit)) {
        const std::string sizes = logName(file) + " is " + kibText(size) + ", the board takes at most " +
                                  kibText(static_cast<uint64_t>(std::max<int64_t>(limit, 0)));
        onFirmwareFlashStepFailed(relay, WriteFailure::FileTooLarge, sizes, editor);
        return false;
    }
    // Half a flash in the queue would leave the board with a broken image, so the whole conversation must fit.
    const uint64_t needed = messageCount(size);
    OutgoingQueue& queue = boards.queue();
    if (needed > queue.freeSlots(relay)) {
        logger.log(LogLevel::ERROR, "%s: Firmware needs %lu queued messages, the queue has room for %lu",
                   relay.portName.c_str(), static_cast<unsigned long>(needed),
                   static_cast<unsigned long>(queue.freeSlots(relay)));
        onFirmwareFlashStepFailed(relay, WriteFailure::FileTooLarge, file, editor);
        return false;
    }
    return true;
}

void FirmwareFlasher::begin(Relay& relay, const std::string& file, EditorId editor, std::vector<uint8_t> bytes)
{
    const auto size = static_cast<uint32_t>(bytes.size());
    FlashSession& session = sessions[&relay];
    session.editor = editor;
    session.file = file;
    session.bytes = std::move(bytes);
    session.size = size;
    session.verified.assign((size + chunkSize - 1) / chunkSize, false);
    session.startedAtMs = clock.nowMs();
    // Members in the writer's order, "port" before either key: the reply up to its value, written once.
    Json::Value port(Json::objectValue);
    port["port"] = relay.portName;
    std::string portMember = CompactJsonWriter().write(port);
    portMember.pop_back();
    session.writePrefix = portMember + ",\"romWrite\":";
    session.verifyPrefix = portMember + ",\"romVerify\":";
    logger.log(LogLevel::INFO, "%s: Writing firmware %s (%u bytes)", relay.portName.c_str(), logName(file).c_str(),
               size);
    queueConversation(relay, session);
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
    OutgoingQueue& queue = boards.queue();
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

void FirmwareFlasher::sendProgress(FlashSession& session, const std::string& prefix, float percent)
{
    if (percent != session.lastPercent) {
        session.lastPercent = percent;
        session.lastPercentTail.clear();
        appendJsonReal(session.lastPercentTail, static_cast<double>(percent));
        session.lastPercentTail += '}';
    }
    replies.sendProgressToEditor(session.editor, prefix, session.lastPercentTail);
}

void FirmwareFlasher::onHeadAnswered(Relay& relay, const SerialMessage& head)
{
    FlashSession* current = running(relay);
    if (current != nullptr && head.type() == MT_BOOTLOADER_ROM_WRITE_DATA)
        sendProgress(*current, current->writePrefix, progressPercent(readU32(head.payload()), current->size));
}

void FirmwareFlasher::onHeadRefused(Relay& relay, const SerialMessage& head)
{
    versionUnanswered(relay, head, "refused");
    // A board outside its bootloader refuses the start, also one the editor sent by hand.
    if (head.type() == MT_BOOTLOADER_ROM_WRITE_START) {
        if (running(relay) != nullptr)
            endWrite(relay, WriteFailure::NeedsBootloader, "");
        else
            onFirmwareFlashStepFailed(relay, WriteFailure::NeedsBootloader, "");
        return;
    }
    if (running(relay) == nullptr)
        return;
    switch (head.type()) {
    case MT_BOOTLOADER_ROM_WRITE_DATA:
        endWrite(relay, WriteFailure::VerifyError,
                 "the board refused the chunk at offset " + std::to_string(readU32(head.payload())));
        break;
    case MT_BOOTLOADER_ROM_WRITE_FINISH:
        endWrite(relay, WriteFailure::VerifyError, "the board refused the finish");
        break;
    default: break;
    }
}

namespace {

// What a flash message is, for the editor's failure text.
std::string flashStepText(const SerialMessage& head)
{
    switch (head.type()) {
    case MT_BOOTLOADER_ROM_WRITE_START: return "the start of the write";
    case MT_BOOTLOADER_ROM_WRITE_DATA: return "the chunk at offset " + std::to_string(readU32(head.payload()));
    case MT_BOOTLOADER_ROM_WRITE_FINISH: return "the finish";
    default: return messageTypeName(head.type());
    }
}

} // namespace

void FirmwareFlasher::onHeadGivenUp(Relay& relay, const SerialMessage& head)
{
    versionUnanswered(relay, head, "did not answer within 1 s");
    if (running(relay) != nullptr && isFirmwareFlashMessageType(head.type()))
        endWrite(relay, WriteFailure::VerifyError, "no answer within 1 s to " + flashStepText(head));
}

void FirmwareFlasher::onHeadDropped(Relay& relay, const SerialMessage& head)
{
    versionUnanswered(relay, head, "could not be sent the question");
    if (running(relay) != nullptr && isFirmwareFlashMessageType(head.type()))
        endWrite(relay, WriteFailure::VerifyError, flashStepText(head) + " could not be sent to the board");
}

bool FirmwareFlasher::answerFlashMessage(Relay& relay, const ReceivedMessage& message, Json::Value& reply)
{
    const FlashSession* current = running(relay);
    switch (message.type()) {
    case MT_BOOTLOADER_ROM_WRITE_DATA: {
        const RomEchoPayload echo = readRomEchoPayload(message);
        verifyFirmwareEcho(relay, echo.offset, echo.data, echo.available);
        return true;
    }
    case MT_BOOTLOADER_ROM_WRITE_START: {
        const uint32_t byteCount = readRomErasePayload(message);
        if (current != nullptr) {
            onEraseReported(relay, *current, byteCount);
        } else {
            reply = Json::Value(Json::objectValue);
            reply["port"] = relay.portName;
            reply["romErase"] = Json::UInt(byteCount);
        }
        return true;
    }
    case MT_BOOTLOADER_ROM_WRITE_FINISH:
        readRomFinishPayload(message);
        if (current != nullptr) {
            onFinishReported(relay, *current);
        } else {
            reply = Json::Value(Json::objectValue);
            reply["port"] = relay.portName;
            reply["romFinish"] = 1;
        }
        return true;
    default: return false;
    }
}

void FirmwareFlasher::onEraseReported(Relay& relay, const FlashSession& session, uint32_t byteCount)
{
    Json::Value reply(Json::objectValue);
    reply["port"] = relay.portName;
    reply["romErase"] = Json::UInt(byteCount);
    replies.sendToEditor(session.editor, reply);
}

void FirmwareFlasher::verifyFirmwareEcho(Relay& relay, uint32_t offset, const uint8_t* data, size_t available)
{
    FlashSession* current = running(relay);
    if (current == nullptr)
        return;
    FlashSession& image = *current;
    // Bytes the board never sent cannot confirm anything.
    if (data == nullptr || available < chunkSize) {
        logger.log(LogLevel::ERROR, "%s: Firmware echo at offset %lu carries %lu of %lu data bytes",
                   relay.portName.c_str(), static_cast<unsigned long>(offset), static_cast<unsigned long>(available),
                   static_cast<unsigned long>(chunkSize));
        endWrite(relay, WriteFailure::VerifyError, "");
        return;
    }
    // The bytes of the image at the offset, none past its end; compared whole, and byte by byte only to name the
    // first that differs.
    const size_t compared = offset < image.size ? std::min<size_t>(chunkSize, image.size - offset) : 0;
    if (compared > 0 && std::memcmp(data, image.bytes.data() + offset, compared) != 0) {
        const auto mismatch = std::mismatch(data, data + compared, image.bytes.begin() + offset);
        const size_t i = static_cast<size_t>(mismatch.first - data);
        logger.log(LogLevel::ERROR, "Verification failed (address: %ld) %d != %d",
                   static_cast<long>(uint64_t{offset} + i), static_cast<int>(*mismatch.first),
                   static_cast<int>(*mismatch.second));
        endWrite(relay, WriteFailure::VerifyError, "");
        return;
    }
    if (offset % chunkSize == 0 && offset / chunkSize < image.verified.size() && !image.verified[offset / chunkSize]) {
        image.verified[offset / chunkSize] = true;
        writeCounts.bytesVerified += std::min<uint64_t>(chunkSize, image.size - offset);
    }
    sendProgress(image, image.verifyPrefix, progressPercent(offset, image.size));
}

void FirmwareFlasher::onFinishReported(Relay& relay, const FlashSession& session)
{
    const std::string unverified = unverifiedRanges(session);
    if (!unverified.empty()) {
        endWrite(relay, WriteFailure::VerifyError, "never echoed by the board: bytes " + unverified);
        return;
    }
    Json::Value reply(Json::objectValue);
    reply["port"] = relay.portName;
    reply["romFinish"] = 1;
    replies.sendToEditor(session.editor, reply);
    reportEnd(relay, nullptr, "");
}

bool FirmwareFlasher::cancel(Relay& relay)
{
    const auto asking = waiting.find(&relay);
    if (asking != waiting.end()) {
        const WaitingWrite write = asking->second;
        waiting.erase(asking);
        logger.log(LogLevel::INFO, "%s: Firmware write of %s cancelled before it started", relay.portName.c_str(),
                   logName(write.file).c_str());
        Json::Value reply(Json::objectValue);
        reply["port"] = relay.portName;
        reply[replyKey(WriteFailure::Cancelled)] = "cancelled by the editor";
        replies.sendToEditor(write.editor, reply);
        return true;
    }
    if (running(relay) == nullptr) {
        logger.log(LogLevel::INFO, "%s: No firmware write to cancel", relay.portName.c_str());
        return false;
    }
    endWrite(relay, WriteFailure::Cancelled, "cancelled by the editor");
    return true;
}

void FirmwareFlasher::onRelayDestroyed(const Relay& relay)
{
    waiting.erase(&relay);
    const FlashSession* current = session(relay);
    if (current == nullptr)
        return;
    // The queue goes with the relay: there is nothing left to cull.
    const WriteFailure failure = WriteFailure::VerifyError;
    reportEnd(relay, &failure,
              "the board went away (unplugged?) with " +
                  std::to_string(std::count(current->verified.begin(), current->verified.end(), true)) + " of " +
                  std::to_string(current->verified.size()) + " chunks verified");
}

void FirmwareFlasher::endWrite(Relay& relay, WriteFailure failure, const std::string& detail)
{
    // Nothing more of a failed write may reach the board: above all not the finish of a known-bad image.
    if (session(relay) != nullptr)
        boards.queue().cullFirmwareFlashMessages(relay);
    reportEnd(relay, &failure, detail);
}

void FirmwareFlasher::reportEnd(const Relay& relay, const WriteFailure* failure, const std::string& detail)
{
    const auto found = sessions.find(&relay);
    if (found == sessions.end())
        return;
    const FlashSession& current = found->second;
    const double seconds = static_cast<double>(clock.nowMs() - current.startedAtMs) / 1000.0;
    WriteEnd end;
    end.number = writeCounts.completed + writeCounts.failed + writeCounts.cancelled + 1;
    end.port = relay.portName;
    end.file = current.file;
    end.outcome = failure == nullptr ? "completed" : *failure == WriteFailure::Cancelled ? "cancelled" : "failed";
    end.reason = failure != nullptr ? replyKey(*failure) : "";
    end.detail = detail;
    end.bytesTotal = current.size;
    end.bytesVerified = std::min<uint64_t>(
        static_cast<uint64_t>(std::count(current.verified.begin(), current.verified.end(), true)) * chunkSize,
        current.size);
    end.elapsedMs = clock.nowMs() - current.startedAtMs;
    ends.push_back(std::move(end));
    if (ends.size() > recentEndsKept)
        ends.pop_front();
    if (failure == nullptr) {
        const double kibPerSecond = seconds > 0 ? current.size / 1024.0 / seconds : 0.0;
        logger.log(LogLevel::INFO, "%s: Firmware write of %s completed in %.1f s (%.1f KiB/s)", relay.portName.c_str(),
                   logName(current.file).c_str(), seconds, kibPerSecond);
        ++writeCounts.completed;
        sessions.erase(found);
        return;
    }
    // A write the editor cancelled did not fail.
    const bool cancelled = *failure == WriteFailure::Cancelled;
    ++(cancelled ? writeCounts.cancelled : writeCounts.failed);
    if (!cancelled)
        logger.log(LogLevel::ERROR, "%s: Firmware write of %s failed: %s%s%s", relay.portName.c_str(),
                   logName(current.file).c_str(), failureWords(*failure), detail.empty() ? "" : ": ", detail.c_str());
    logger.log(LogLevel::INFO, "%s: Firmware write of %s %s after %.1f s%s%s", relay.portName.c_str(),
               logName(current.file).c_str(), cancelled ? "cancelled" : "failed", seconds, detail.empty() ? "" : ": ",
               detail.c_str());
    Json::Value reply(Json::objectValue);
    reply["port"] = relay.portName;
    reply[replyKey(*failure)] = detail;
    replies.sendToEditor(current.editor, reply);
    sessions.erase(found);
}

std::string FirmwareFlasher::unverifiedRanges(const FlashSession& session)
{
    std::string text;
    int listed = 0;
    size_t chunk = 0;
    while (chunk < session.verified.size()) {
        if (session.verified[chunk]) {
            ++chunk;
            continue;
        }
        size_t end = chunk;
        while (end < session.verified.size() && !session.verified[end])
            ++end;
        if (listed == 4) {
            text += ", ...";
            break;
        }
        const uint64_t first = uint64_t{chunk} * chunkSize;
        const uint64_t last = std::min<uint64_t>(uint64_t{end} * chunkSize, session.size) - 1;
        text += (listed > 0 ? ", " : "") + std::to_string(first) + "-" + std::to_string(last);
        ++listed;
        chunk = end;
    }
    return text;
}

void FirmwareFlasher::onFirmwareFlashStepFailed(Relay& relay, WriteFailure failure, const std::string& detail,
                                                EditorId editor)
{
    logger.log(LogLevel::ERROR, "%s: Firmware write not started: %s (%s)", relay.portName.c_str(),
               failureWords(failure), logName(detail).c_str());
    Json::Value reply(Json::objectValue);
    reply["port"] = relay.portName;
    reply[replyKey(failure)] = detail;
    if (editor != 0)
        replies.sendToEditor(editor, reply);
    else
        replies.sendReply(relay, reply);
}
