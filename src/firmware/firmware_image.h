#pragma once

#include <cstdint>
#include <vector>

// A firmware file loaded for writing into one board, against which the board's echoes are verified.
struct FirmwareImage {
    std::vector<uint8_t> bytes;
    // False once verification failed: later echoes are ignored.
    bool loaded = false;
    // Kept after a verification failure so that progress still arriving is computed as before.
    uint32_t size = 0;
};
