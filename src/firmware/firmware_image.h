#pragma once

#include <cstdint>
#include <vector>

// A firmware file loaded for writing into one board, against which that board's echoes are verified. Each relay
// holds its own, so boards flashed at the same time never verify against each other's files.
struct FirmwareImage {
    std::vector<uint8_t> bytes;
    // False before the first load and once verification failed: echoes are then ignored.
    bool loaded = false;
    // Kept after a verification failure so that progress still arriving is computed as before.
    uint32_t size = 0;

    // Frees the bytes; the size stays.
    void release()
    {
        std::vector<uint8_t>().swap(bytes);
        loaded = false;
    }
};
