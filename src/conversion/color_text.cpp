#include "conversion/color_text.h"

#include <cstdio>

namespace {

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

uint32_t readHexPair(const char* pair)
{
    uint32_t value = 0;
    for (int i = 0; i < 2; ++i) {
        const int digit = hexDigitValue(pair[i]);
        if (digit < 0)
            break;
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    return value;
}

} // namespace

uint32_t parseColorText(const std::string& text)
{
    if (text.size() != 7)
        return 0;
    return readHexPair(&text[1]) | (readHexPair(&text[3]) << 8) | (readHexPair(&text[5]) << 16);
}

std::string formatColorText(uint32_t red, uint32_t green, uint32_t blue, bool withHash)
{
    char text[8];
    std::snprintf(text, sizeof text, withHash ? "#%02X%02X%02X" : "%02X%02X%02X", red & 0xFFu, green & 0xFFu,
                  blue & 0xFFu);
    return text;
}

std::string formatColorText(uint32_t packedColor, bool withHash)
{
    return formatColorText(packedColor, packedColor >> 8, packedColor >> 16, withHash);
}
