#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// "0A 1b" -> {0x0A, 0x1B}; blanks are ignored.
std::vector<uint8_t> bytesOfHex(const std::string& text);
// Upper-case hex of the bytes, without blanks.
std::string hexOfBytes(const uint8_t* bytes, size_t count);
