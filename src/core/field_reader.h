#pragma once

#include <cstdint>

// Counts the bytes of a received record while a decoder walks its fields; the fields themselves are read at
// their fixed offsets.
struct FieldReader {
    explicit FieldReader(int32_t remaining) : remaining(remaining) {}

    // False, changing nothing, when fewer than width bytes remain; otherwise consumes them and counts the field.
    bool take(int32_t width)
    {
        if (remaining < width)
            return false;
        ++found;
        remaining -= width;
        return true;
    }

    int32_t remaining;
    int32_t found = 0;
};
