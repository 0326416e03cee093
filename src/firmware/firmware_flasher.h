#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>

#include <json/value.h>

#include "device/board_link.h"
#include "device/relay.h"
#include "firmware/flash_session.h"
#include "firmware/write_failure.h"

class Clock;

// How one firmware write ended, for the status pages and the broker. Made by the flasher when the write ends; the
// flasher keeps the newest few.
struct WriteEnd {
    // Counts the writes ended since the start, from 1.
    uint64_t number = 0;
    std::string port;
    std::string file;
    // "completed", "failed" or "cancelled"; for the last two the editor's reason key and the detail in words.
    std::string outcome;
    std::string reason;
    std::string detail;
    uint64_t bytesTotal = 0;
    uint64_t bytesVerified = 0;
    uint64_t elapsedMs = 0;
};

// Writes firmware files into boards through their bootloader: loads and checks the file, queues the whole
// conversation on the board's relay, reports progress to the editor that started the write as chunks are answered
// and echoed, and ends the write at the first failure (nothing more of it is sent, least of all the finish) or when
// the board has finished with every chunk verified. It is the board link's listener of every message of a write:
// what the queue did with them, and what the boards send back. Created once by the relay core; lives for the whole
// run and keeps one flash session per board being written.
class FirmwareFlasher : public FlashMessageListener {
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

    // The board link is only kept here: the flasher is made before it, as its listener.
    FirmwareFlasher(BoardLink& boards, RelayReplies& replies, Clock& clock, PieceReader readPiece = PieceReader());

    // Starts a write for the editor the relay answers now, checked before anything is erased: an empty file, one
    // larger than the board's flash and a board known to run its application are refused. When the board's flash
    // size is not known yet, its version is asked first and the write goes on once the answer came. True when the
    // messages (or the question) were queued; false when a failure was reported (also while another write of this
    // board runs).
    bool writeFirmware(Relay& relay, const std::string& file);
    // The same write of an image the editor sent (held in memory only for the write), named by name in replies and
    // the log, for that editor.
    bool writeImage(Relay& relay, const std::string& name, std::vector<uint8_t> image, EditorId editor);
    // The board's version reply came: a write that waited for it goes on (or is refused).
    void onVersionKnown(Relay& relay);
    // Ends the board's running write on purpose; false when none runs.
    bool cancel(Relay& relay);
    bool isWriting(const Relay& relay) const;

    // What the queue did with a message of the write: an answered chunk counts as written; a refused, given-up or
    // unsent flash message ends the write.
    void onHeadAnswered(Relay& relay, const SerialMessage& head) override;
    void onHeadRefused(Relay& relay, const SerialMessage& head) override;
    void onHeadGivenUp(Relay& relay, const SerialMessage& head) override;
    void onHeadDropped(Relay& relay, const SerialMessage& head) override;
    // The board's own reports: the erase, the echo of a chunk, the finish. During a running write they go to the
    // editor that started it; without one, the erase and the finish are answered like any reply.
    bool answerFlashMessage(Relay& relay, const ReceivedMessage& message, Json::Value& reply) override;
    // The echo of a chunk (data holds what the echo carried after its offset: `available` bytes, normally 32).
    void verifyFirmwareEcho(Relay& relay, uint32_t offset, const uint8_t* data, size_t available);
    // The relay goes (its port was closed or the relay stops): a running write ends as failed.
    void onRelayDestroyed(const Relay& relay) override;

    // A failure before any write runs, for the editor the relay answers (or the one given).
    void onFirmwareFlashStepFailed(Relay& relay, WriteFailure failure, const std::string& detail, EditorId editor = 0);
    // The relay's flash session; nullptr when none runs.
    const FlashSession* session(const Relay& relay) const;

    // Writes ended since the start, by outcome, and the bytes whose echo matched.
    struct Counts {
        uint64_t completed = 0;
        uint64_t failed = 0;
        uint64_t cancelled = 0;
        uint64_t bytesVerified = 0;
    };
    const Counts& counts() const { return writeCounts; }
    // The newest write ends, oldest first.
    static constexpr size_t recentEndsKept = 32;
    const std::deque<WriteEnd>& recentEnds() const { return ends; }

    // Largest file accepted for a board with this flash size in KiB (0: not known yet); negative refuses all.
    static int64_t sizeLimit(int32_t flashSizeKiB);
    // Messages one write of an image of this size queues: start, one per chunk, finish.
    static uint64_t messageCount(uint64_t imageSize);
    // A size as the replies and the log give it: "256 KiB", "0.1 KiB".
    static std::string kibText(uint64_t bytes);

private:
    // A write that waits for the board's version, to know its flash size: made by writeFirmware, dropped when the
    // answer comes, when the question fails or with the relay.
    struct WaitingWrite {
        std::string file;
        EditorId editor = 0;
        // An image the editor sent rather than a file of the working directory.
        bool sentByEditor = false;
        std::vector<uint8_t> image;
    };

    bool startWrite(Relay& relay, const std::string& file, EditorId editor);
    // True (after the refusal) while another write of the board runs or waits.
    bool refusedAsBusy(Relay& relay, const std::string& file, EditorId editor);
    // The checks that need the board's flash size and mode; false after the refusal.
    bool admitted(Relay& relay, const std::string& file, uint64_t size, EditorId editor);
    // Keeps the image for verification and queues the whole conversation.
    void begin(Relay& relay, const std::string& file, EditorId editor, std::vector<uint8_t> bytes);
    // The question for the version failed: the write waiting for it is refused.
    void versionUnanswered(Relay& relay, const SerialMessage& head, const char* what);
    // Reads the whole file into bytes in chunk-sized pieces; false (after the ERROR line) on a short piece.
    bool readImage(std::FILE* file, std::vector<uint8_t>& bytes);
    void queueConversation(Relay& relay, const FlashSession& session);
    // min(100, (offset + 32) / size * 100) in single precision; 100 for an empty image.
    static float progressPercent(uint32_t offset, uint32_t size);
    // The reply that begins with the prefix (the session's "romWrite" or "romVerify" reply up to its value).
    void sendProgress(FlashSession& session, const std::string& prefix, float percent);
    void onEraseReported(Relay& relay, const FlashSession& session, uint32_t byteCount);
    void onFinishReported(Relay& relay, const FlashSession& session);
    FlashSession* running(const Relay& relay);
    // Ends the write as failed: the failure (and its detail) goes to the editor that started it, and what is left of
    // the write in the queue is culled.
    void endWrite(Relay& relay, WriteFailure failure, const std::string& detail);
    // The end of the write for the log and its editor (a null failure: completed); drops the session.
    void reportEnd(const Relay& relay, const WriteFailure* failure, const std::string& detail);
    // The byte ranges of chunks never echoed, as text ("0-31, 96-127"); empty when every chunk was.
    static std::string unverifiedRanges(const FlashSession& session);

    BoardLink& boards;
    RelayReplies& replies;
    Clock& clock;
    PieceReader readPiece;
    std::unordered_map<const Relay*, FlashSession> sessions;
    std::unordered_map<const Relay*, WaitingWrite> waiting;
    Counts writeCounts;
    std::deque<WriteEnd> ends;
};
