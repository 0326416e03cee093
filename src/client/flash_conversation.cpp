#include "client/flash_conversation.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "client/client_output.h"
#include "json/compact_json_writer.h"

namespace {

// What the bootloader keeps of every board's flash for itself: 16 KiB and one chunk of 32 bytes.
constexpr uint64_t bootloaderBytes = 16 * 1024 + 32;
// While a board restarts into another mode it is asked this often whether it is back.
constexpr uint64_t askAgainIntervalMs = 1000;

const char* const progressKeys[] = {"romErase", "romWrite", "romVerify"};

} // namespace

FlashConversation::FlashConversation(MessageSender& sender, const std::vector<std::string>& ports,
                                     std::string imageName, std::vector<uint8_t> image, uint64_t timeoutMs,
                                     FlashListener& listener)
    : sender(sender), imageName(std::move(imageName)), image(std::move(image)), timeoutMs(timeoutMs), listener(listener)
{
    const uint64_t now = steadyMs();
    for (const std::string& port : ports) {
        BoardFlash& board = boardList[port];
        board.port = port;
        board.startedMs = now;
        enter(board, FlashStage::version, "asking the version", now);
        askVersion(board, now);
    }
}

void FlashConversation::enter(BoardFlash& board, FlashStage stage, const std::string& text, uint64_t nowMs)
{
    board.stage = stage;
    board.waitingForBoard = false;
    board.askAgainMs = UINT64_MAX;
    board.deadlineMs = nowMs + timeoutMs;
    if (board.ended())
        board.endedMs = nowMs;
    listener.stageEntered(board, text);
}

void FlashConversation::fail(BoardFlash& board, const std::string& text, uint64_t nowMs)
{
    board.failure = text;
    enter(board, FlashStage::failed, text, nowMs);
}

void FlashConversation::askVersion(BoardFlash& board, uint64_t nowMs)
{
    sender.send(boardCommand(board.port, commandPayload("getVersion")));
    if (board.waitingForBoard)
        board.askAgainMs = nowMs + askAgainIntervalMs;
}

void FlashConversation::requestMode(BoardFlash& board, const char* mode, uint64_t)
{
    Json::Value request(Json::objectValue);
    request["bootloaderType"] = mode;
    request["usbConfigType"] = "cdc";
    sender.send(boardCommand(board.port, commandPayload("request_bootloader", request)));
}

void FlashConversation::onMessage(const Json::Value& message, uint64_t nowMs)
{
    const auto found = boardList.find(replyPort(message));
    if (found == boardList.end() || found->second.ended())
        return;
    BoardFlash& board = found->second;
    std::string failure;
    if (failureText(message, failure)) {
        // A board that restarts leaves the port list for a moment: the version is asked again until it is back.
        if (!board.waitingForBoard)
            fail(board, failure, nowMs);
        return;
    }
    BoardVersion version;
    if (readBoardVersion(message, version)) {
        // The first answer is taken whole: the version conversation ends with a bootloader status of its own,
        // which must not pass for the answer to the switch asked next.
        if (board.stage == FlashStage::version)
            board.before = version;
        else
            versionAnswered(board, version, nowMs);
    } else if (message.isMember("requestBootloaderStatus")) {
        if (board.stage == FlashStage::version && !board.before.firmware.empty())
            versionAnswered(board, board.before, nowMs);
        else if (board.stage == FlashStage::again && !board.after.firmware.empty())
            enter(board, FlashStage::done, "runs firmware " + board.after.firmware, nowMs);
        else if (!board.waitingForBoard &&
                 (board.stage == FlashStage::bootloader || board.stage == FlashStage::application))
            switchAnswered(board, message["requestBootloaderStatus"], nowMs);
    } else if (board.stage == FlashStage::write) {
        writeAnswered(board, message, nowMs);
    }
}

void FlashConversation::versionAnswered(BoardFlash& board, const BoardVersion& version, uint64_t nowMs)
{
    switch (board.stage) {
    case FlashStage::version: {
        board.before = version;
        const uint64_t flashBytes = static_cast<uint64_t>(version.flashSizeKiB) * 1024;
        if (flashBytes <= bootloaderBytes) {
            fail(board, "the board did not say how large its flash is", nowMs);
            return;
        }
        // Checked before the switch, so that an image too large leaves the board as it was.
        if (image.size() > flashBytes - bootloaderBytes) {
            fail(board,
                 imageName + " has " + kibText(static_cast<double>(image.size())) + " KiB, more than the " +
                     kibText(static_cast<double>(flashBytes - bootloaderBytes)) +
                     " KiB the bootloader leaves free of the board's " + std::to_string(version.flashSizeKiB) + " KiB",
                 nowMs);
            return;
        }
        enter(board, FlashStage::size,
              "firmware " + version.firmware + " in its " + version.mode() + "; " +
                  kibText(static_cast<double>(image.size())) + " KiB fit its " + std::to_string(version.flashSizeKiB) +
                  " KiB of flash",
              nowMs);
        if (version.bootloader) {
            enter(board, FlashStage::bootloader, "already in its bootloader", nowMs);
            startWrite(board, nowMs);
            return;
        }
        enter(board, FlashStage::bootloader, "switching to the bootloader", nowMs);
        requestMode(board, "bootloader", nowMs);
        return;
    }
    case FlashStage::bootloader:
        if (board.waitingForBoard && version.bootloader)
            startWrite(board, nowMs);
        return;
    case FlashStage::again:
        // Done once the rest of this version conversation (its bootloader status) has come too.
        if (board.waitingForBoard && !version.bootloader)
            board.after = version;
        return;
    default: return;
    }
}

void FlashConversation::switchAnswered(BoardFlash& board, const Json::Value& status, uint64_t nowMs)
{
    const bool toBootloader = board.stage == FlashStage::bootloader;
    if (!status.isIntegral() || status.asInt() != (toBootloader ? 1 : 0)) {
        fail(board,
             std::string("the board did not ") + (toBootloader ? "switch to its bootloader" : "start its application") +
                 " (status " + CompactJsonWriter().write(status) + ")",
             nowMs);
        return;
    }
    if (!toBootloader)
        enter(board, FlashStage::again, "asking the version again", nowMs);
    board.waitingForBoard = true;
    board.deadlineMs = nowMs + timeoutMs;
    askVersion(board, nowMs);
}

void FlashConversation::startWrite(BoardFlash& board, uint64_t nowMs)
{
    enter(board, FlashStage::write, "writing " + kibText(static_cast<double>(image.size())) + " KiB", nowMs);
    board.writeStartedMs = nowMs;
    Json::Value announcement(Json::objectValue);
    announcement["name"] = imageName;
    announcement["size"] = Json::UInt64(image.size());
    sender.send(boardCommand(board.port, commandPayload("write_firmware_image", announcement)));
    sender.sendBinary(image);
}

void FlashConversation::writeAnswered(BoardFlash& board, const Json::Value& message, uint64_t nowMs)
{
    if (message.isMember("romFinish")) {
        board.verifiedBytes = image.size();
        listener.progressed(board, image.size(), nowMs);
        const double seconds = static_cast<double>(nowMs - board.writeStartedMs) / 1000.0;
        enter(board, FlashStage::application,
              "written and verified in " + secondsText(seconds) + " s; starting the application", nowMs);
        requestMode(board, "app", nowMs);
        return;
    }
    for (const char* key : progressKeys) {
        if (!message.isMember(key))
            continue;
        board.deadlineMs = nowMs + timeoutMs;
        if (std::string(key) == "romVerify" && message[key].isNumeric()) {
            const double percent = std::clamp(message[key].asDouble(), 0.0, 100.0);
            board.verifiedBytes = std::max<uint64_t>(
                board.verifiedBytes,
                static_cast<uint64_t>(std::llround(percent / 100.0 * static_cast<double>(image.size()))));
            listener.progressed(board, image.size(), nowMs);
        }
    }
}

void FlashConversation::onTime(uint64_t nowMs)
{
    for (auto& entry : boardList) {
        BoardFlash& board = entry.second;
        if (board.ended())
            continue;
        if (nowMs >= board.deadlineMs) {
            static const char* const waits[] = {"to the version request",          "",
                                                "to the switch to the bootloader", "from the write",
                                                "to the start of the application", "to the version request"};
            const std::string what =
                board.waitingForBoard ? "from the board after its restart" : waits[static_cast<int>(board.stage)];
            fail(board,
                 "no answer " + what + " within " + durationText(timeoutMs) +
                     ": is the board still there? (a longer --timeout may help)",
                 nowMs);
        } else if (nowMs >= board.askAgainMs) {
            askVersion(board, nowMs);
        }
    }
}

uint64_t FlashConversation::nextTimeMs() const
{
    uint64_t next = UINT64_MAX;
    for (const auto& entry : boardList) {
        if (!entry.second.ended())
            next = std::min({next, entry.second.deadlineMs, entry.second.askAgainMs});
    }
    return next;
}

bool FlashConversation::finished() const
{
    return std::all_of(boardList.begin(), boardList.end(), [](const auto& entry) { return entry.second.ended(); });
}

void FlashConversation::onInterrupt(uint64_t nowMs)
{
    for (auto& entry : boardList) {
        BoardFlash& board = entry.second;
        if (board.ended())
            continue;
        if (board.stage == FlashStage::write) {
            sender.send(boardCommand(board.port, commandPayload("cancel_firmware")));
            fail(board, "interrupted: the write was cancelled; the board stays in its bootloader: flash it again",
                 nowMs);
        } else {
            fail(board, "interrupted", nowMs);
        }
    }
}
