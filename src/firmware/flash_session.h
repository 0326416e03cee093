#pragma once

#include <cstdint>
#include <vector>

// The firmware write of one board: the loaded file against which that board's echoes are verified. Created by the
// flasher when a write is queued; dropped with the board's relay. Each board has its own, so boards flashed at the
// same time never verify against each other's files.
struct FlashSession {
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
