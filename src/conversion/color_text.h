#pragma once

#include <cstdint>
#include <string>

// Colours travel packed in 32 bits: red in bits 0-7, green in 8-15, blue in 16-23, top byte 0.

// A text of exactly 7 bytes: the pairs at byte positions 1-2, 3-4 and 5-6 read as hexadecimal of either case
// (a pair is read up to its first non-hexadecimal character). The first byte is not examined; any other length
// gives 0.
uint32_t parseColorText(const std::string& text);

// "#RRGGBB" with the hash, "RRGGBB" without; upper-case digits, each component reduced to its low 8 bits.
std::string formatColorText(uint32_t red, uint32_t green, uint32_t blue, bool withHash);
std::string formatColorText(uint32_t packedColor, bool withHash);
