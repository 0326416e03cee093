#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/relay.h"

// The running firmware write of one board: the loaded file against which that board's echoes are verified, which
// chunks were verified, and the editor that started it. Created by the flasher when a write is queued; dropped when
// the write ends or the board's relay goes. Each board has its own, so boards flashed at the same time never verify
// against each other's files.
struct FlashSession {
    // Its progress and its end go to this editor, whoever commands the board meanwhile.
    EditorId editor = 0;
    std::string file;
    std::vector<uint8_t> bytes;
    uint32_t size = 0;
    // One flag per chunk: its echo matched the file.
    std::vector<bool> verified;
    uint64_t startedAtMs = 0;
    // The progress replies up to their value ({"port":"ttyACM0","romWrite":), made once for every chunk's replies.
    std::string writePrefix;
    std::string verifyPrefix;
    // The last percentage written as text with the reply's closing brace: a chunk's two progress replies carry
    // the same one.
    float lastPercent = -1;
    std::string lastPercentTail;
};
