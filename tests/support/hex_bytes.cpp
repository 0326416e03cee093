#include "support/hex_bytes.h"

#include <cctype>
#include <cstdio>

std::vector<uint8_t> bytesOfHex(const std::string& text)
{
    std::string digits;
    for (char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c)))
            digits += c;
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string hexOfBytes(const uint8_t* bytes, size_t count)
{
    std::string text;
    char piece[3];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(piece, sizeof piece, "%02X", bytes[i]);
        text += piece;
    }
    return text;
}
