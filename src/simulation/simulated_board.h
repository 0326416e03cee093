#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <utility>
#include <vector>

#include "simulation/board_frame_codec.h"

// The board's side of the serial protocol, in process: it reads the frames the relay writes, keeps what a board
// keeps (node and feature records, a flash image, its mode) and answers synchronously, in request order, as
// the board's firmware and bootloader do. Behaviours that a real board shows only when something is wrong
// (silence, refusal, bad echoes, torn or broken frames, noise) can be switched on per test. Created and owned
// by the simulated driver; lives as long as it.
class SimulatedBoard {
public:
    enum class Mode { Application, Bootloader };

    struct Identity {
        uint8_t versionMajor = 1;
        uint8_t versionMinor = 4;
        uint8_t versionPatch = 2;
        uint32_t idcode = 0x10016430;
        uint32_t serial[3] = {0x00360021, 0x33385109, 0x37363531};
        uint16_t flashSizeKiB = 128;
        uint8_t usbConfig = 1;
    };

    // Bytes of flash the bootloader keeps for itself; a firmware image must fit in the rest.
    static constexpr uint32_t bootloaderBytes = 16384;
    // A watched live value is reported at most this often.
    static constexpr uint64_t liveValueIntervalMs = 100;
    // Received messages kept for inspection; older ones are forgotten so a long-running simulation stays bounded.
    static constexpr size_t receivedLimit = 65536;

    SimulatedBoard();
    explicit SimulatedBoard(const Identity& identity);

    // Bytes the relay wrote; every complete frame is recorded and answered at once.
    void receiveFromHost(const uint8_t* data, size_t count);
    // Bytes the relay can read now. In split mode each piece ends with one poll that sees nothing, as a UART
    // delivers bursts, so a reader that drains until nothing waits takes one piece per drain.
    size_t outputAvailable();
    // Moves up to max readable bytes into buffer; returns the count.
    size_t takeOutput(uint8_t* buffer, size_t max);
    // Lets time pass: reports the watched live value when the interval has gone by.
    void tick(uint64_t nowMs);
    // Whether any output waits, without the side effects of outputAvailable.
    bool hasOutput() const { return !output.empty(); }
    // When tick will next report a live value (nowMs when due); false when it will not.
    bool nextLiveValueMs(uint64_t nowMs, uint64_t& dueMs) const;
    // Called whenever the board has pushed output, so its port can tell the waiting relay.
    void setOutputListener(std::function<void()> listener) { outputListener = std::move(listener); }

    // Pushes a message (framed, subject to the delivery behaviours) or raw bytes (as they are) to the relay.
    void sendMessage(uint16_t type, const std::vector<uint8_t>& payload);
    void sendRaw(const std::vector<uint8_t>& bytes);

    // Behaviours.
    void setSilent(bool silent) { this->silent = silent; }
    void setRefuseAll(bool refuse) { refuseAll = refuse; }
    // The ROM chunk written at chunkOffset is stored, and so echoed, with byte byteIndex inverted.
    void setWrongEcho(uint32_t chunkOffset, uint8_t byteIndex);
    void clearWrongEcho() { wrongEchoSet = false; }
    // The ROM chunk at chunkOffset is refused (not stored, no echo).
    void setRefusedChunk(uint32_t chunkOffset) { refusedChunk = chunkOffset; }
    // The ROM chunk at chunkOffset is stored and acknowledged but never echoed.
    void setMissingEcho(uint32_t chunkOffset) { missingEcho = chunkOffset; }
    // Every frame leaves in pieces of at most pieceSize bytes; 0 sends frames whole.
    void setSplitFrames(size_t pieceSize) { splitPieceSize = pieceSize; }
    // These bytes go out before every frame; empty sends none.
    void setGarbageBetweenFrames(const std::vector<uint8_t>& bytes) { garbage = bytes; }
    // Each frame is broken with this probability (0 to 1): half of them get a wrong checksum, half are cut short.
    void setBrokenFrameRate(double rate, uint32_t seed);
    void setMode(Mode mode) { this->mode = mode; }

    // What the board holds and saw.
    Mode currentMode() const { return mode; }
    const Identity& identity() const { return ident; }
    const std::deque<BoardMessage>& received() const { return receivedMessages; }
    size_t countReceived(uint16_t type) const;
    void clearReceived() { receivedMessages.clear(); }
    // Whole records (type, length, payload) as received: nodes by node id, features by message type.
    const std::map<uint16_t, std::vector<uint8_t>>& nodes() const { return nodeRecords; }
    const std::map<uint16_t, std::vector<uint8_t>>& features() const { return featureRecords; }
    // The image of the last firmware write, as long as its announced size.
    std::vector<uint8_t> flashImage() const;
    bool flashFinished() const { return romFinished; }
    size_t rejectedFrames() const { return reader.rejectedFrames(); }
    size_t framesSent() const { return sentFrames; }
    size_t brokenFramesSent() const { return brokenFrames; }

private:
    struct Piece {
        std::vector<uint8_t> bytes;
        // A poll that sees nothing follows this piece.
        bool burstEnd = false;
    };

    void handle(const BoardMessage& message);
    void handleApplication(const BoardMessage& message);
    void handleBootloader(const BoardMessage& message);
    void storeRecord(const BoardMessage& message, std::map<uint16_t, std::vector<uint8_t>>& store, uint16_t key);
    bool recordHasFixedSize(const BoardMessage& message) const;
    void answerVersion();
    void answerCapabilities();
    void answerRequestBootloader(const BoardMessage& message);
    void answerConfigDump();
    void answerExport(const BoardMessage& message);
    void startRomWrite(const BoardMessage& message);
    void writeRomChunk(const BoardMessage& message);
    void ack();
    void nack();
    void emit(uint16_t type, const std::vector<uint8_t>& payload);
    void pushBytes(const std::vector<uint8_t>& bytes, bool split);
    uint32_t memorySize() const;

    Identity ident;
    Mode mode = Mode::Application;
    BoardFrameReader reader;
    std::deque<BoardMessage> receivedMessages;
    std::map<uint16_t, std::vector<uint8_t>> nodeRecords;
    std::map<uint16_t, std::vector<uint8_t>> featureRecords;

    bool liveWatched = false;
    uint16_t liveNodeId = 0;
    bool liveReported = false;
    uint64_t lastLiveMs = 0;

    std::vector<uint8_t> flash;
    uint32_t flashSize = 0;
    bool romStarted = false;
    bool romFinished = false;

    bool silent = false;
    bool refuseAll = false;
    bool wrongEchoSet = false;
    uint32_t wrongEchoOffset = 0;
    uint8_t wrongEchoByte = 0;
    // No chunk has this offset: the faults are off.
    static constexpr uint64_t noChunk = UINT64_MAX;
    uint64_t refusedChunk = noChunk;
    uint64_t missingEcho = noChunk;
    size_t splitPieceSize = 0;
    std::vector<uint8_t> garbage;
    double brokenRate = 0.0;
    std::mt19937 random;

    std::deque<Piece> output;
    std::function<void()> outputListener;
    size_t headOffset = 0;
    bool gapPending = false;
    size_t sentFrames = 0;
    size_t brokenFrames = 0;
};
