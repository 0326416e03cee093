#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "client/conversation.h"
#include "client/relay_messages.h"

// The stages of one board's write, in order.
enum class FlashStage { version, size, bootloader, write, application, again, done, failed };

// One board's write as it goes. Made by the conversation for every port; lives as long as it.
struct BoardFlash {
    std::string port;
    FlashStage stage = FlashStage::version;
    // After a switch, the version is asked again and again until the board answers from the mode wanted.
    bool waitingForBoard = false;
    uint64_t deadlineMs = 0;
    uint64_t askAgainMs = UINT64_MAX;
    BoardVersion before;
    BoardVersion after;
    uint64_t startedMs = 0;
    uint64_t writeStartedMs = 0;
    uint64_t endedMs = 0;
    uint64_t verifiedBytes = 0;
    std::string failure;

    bool ended() const { return stage == FlashStage::done || stage == FlashStage::failed; }
};

// Told of every stage a board enters (with its words) and of its write's progress.
class FlashListener {
public:
    virtual ~FlashListener() = default;
    virtual void stageEntered(const BoardFlash& board, const std::string& text) = 0;
    virtual void progressed(const BoardFlash& board, uint64_t totalBytes, uint64_t nowMs) = 0;
};

// Writes one image into several boards at once, each board on its own: version asked, size checked, switch to the
// bootloader (waiting for the board to answer from it), the image sent and written with verification, the
// application started (waiting for it to answer) and the version asked again. Every wait ends after the time-out.
// Made by the flash command; lives while the connection runs it.
class FlashConversation : public Conversation {
public:
    FlashConversation(MessageSender& sender, const std::vector<std::string>& ports, std::string imageName,
                      std::vector<uint8_t> image, uint64_t timeoutMs, FlashListener& listener);

    void onMessage(const Json::Value& message, uint64_t nowMs) override;
    void onTime(uint64_t nowMs) override;
    uint64_t nextTimeMs() const override;
    bool finished() const override;
    void onInterrupt(uint64_t nowMs) override;

    const std::map<std::string, BoardFlash>& boards() const { return boardList; }

private:
    void enter(BoardFlash& board, FlashStage stage, const std::string& text, uint64_t nowMs);
    void fail(BoardFlash& board, const std::string& text, uint64_t nowMs);
    void versionAnswered(BoardFlash& board, const BoardVersion& version, uint64_t nowMs);
    void switchAnswered(BoardFlash& board, const Json::Value& status, uint64_t nowMs);
    void writeAnswered(BoardFlash& board, const Json::Value& message, uint64_t nowMs);
    void startWrite(BoardFlash& board, uint64_t nowMs);
    void askVersion(BoardFlash& board, uint64_t nowMs);
    void requestMode(BoardFlash& board, const char* mode, uint64_t nowMs);

    MessageSender& sender;
    std::string imageName;
    std::vector<uint8_t> image;
    uint64_t timeoutMs;
    FlashListener& listener;
    std::map<std::string, BoardFlash> boardList;
};
