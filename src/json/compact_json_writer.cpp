#include "json/compact_json_writer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool twoDecimalReals = true;

namespace {

constexpr double twoDecimalTolerance = 1e-6;
constexpr const char* replacementCharacter = "\xEF\xBF\xBD";

// Appends the short text of k / 100 for k in -1000..1000 without zero: "0.05", "-2.5", "10".
void appendHundredths(std::string& out, int k)
{
    if (k < 0) {
        out += '-';
        k = -k;
    }
    char digits[8];
    const auto integral = std::to_chars(digits, digits + sizeof digits, k / 100);
    out.append(digits, integral.ptr);
    const int fraction = k % 100;
    if (fraction == 0)
        return;
    out += '.';
    out += static_cast<char>('0' + fraction / 10);
    if (fraction % 10 != 0)
        out += static_cast<char>('0' + fraction % 10);
}

// The table entries are 0.01 apart, so only the one nearest to x can be within the tolerance.
bool appendTwoDecimal(std::string& out, double x)
{
    if (!(std::fabs(x) < 10.5))
        return false;
    const int k = static_cast<int>(std::lround(x * 100.0));
    if (k == 0 || k > 1000 || k < -1000)
        return false;
    if (!(std::fabs(k / 100.0 - x) < twoDecimalTolerance))
        return false;
    appendHundredths(out, k);
    return true;
}

// The 16 significant digits of |x| correctly rounded (ties to even) and the decimal exponent of the first, for
// 1e-4 <= |x| < 1e16 (every progress figure), from x's exact binary value in 128-bit integers; false elsewhere.
bool sixteenDigits(double x, char* digits, int& exponent)
{
    const double magnitude = std::fabs(x);
    if (!(magnitude >= 1e-4 && magnitude < 1e16))
        return false;
    int binaryExponent = 0;
    const double fraction = std::frexp(magnitude, &binaryExponent);
    // magnitude = mantissa / 2^shift exactly; shift lies in -1..66.
    const auto mantissa = static_cast<uint64_t>(std::ldexp(fraction, 53));
    const int shift = 53 - binaryExponent;
    constexpr uint64_t lowest = 1000000000000000ULL;
    constexpr uint64_t beyond = 10000000000000000ULL;
    // log10(2) estimates the exponent to within one; the loop corrects it.
    int decimal = std::clamp(static_cast<int>(std::floor((binaryExponent - 1) * 0.30102999566398120)), -4, 15);
    for (int attempt = 0; attempt < 3; ++attempt) {
        unsigned __int128 scaled = mantissa;
        for (int i = 0; i < 15 - decimal; ++i)
            scaled *= 10;
        unsigned __int128 rounded = scaled;
        if (shift > 0) {
            rounded = scaled >> shift;
            const unsigned __int128 rest = scaled - (rounded << shift);
            const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
            if (rest > half || (rest == half && (rounded & 1) != 0))
                ++rounded;
        } else {
            rounded = scaled << -shift;
        }
        if (rounded >= beyond) {
            if (decimal == 15)
                return false;
            ++decimal;
            continue;
        }
        if (rounded < lowest) {
            --decimal;
            continue;
        }
        auto value = static_cast<uint64_t>(rounded);
        for (int i = 15; i >= 0; --i) {
            digits[i] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
        exponent = decimal;
        return true;
    }
    return false;
}

// Writes x as printf's "%#.16g" does (16 significant digits, the point and trailing zeros kept) and returns the
// length; without printf, since a flash writes two reals for every chunk.
size_t formatSixteenDigits(char* text, double x)
{
    size_t size = 0;
    char digits[16];
    int exponent = 0;
    if (!sixteenDigits(x, digits, exponent)) {
        // "-d.ddddddddddddddde-308": the digits correctly rounded to 16 places, the decimal exponent after rounding.
        char scientific[32];
        const auto result =
            std::to_chars(scientific, scientific + sizeof scientific, x, std::chars_format::scientific, 15);
        const char* p = scientific;
        if (*p == '-')
            text[size++] = *p++;
        const char* exponentText = p + 18;
        std::from_chars(exponentText + (exponentText[0] == '+' ? 1 : 0), result.ptr, exponent);
        if (exponent < -4 || exponent >= 16) {
            // The exponent form, exactly as the digit generator wrote it.
            const auto length = static_cast<size_t>(result.ptr - p);
            std::memcpy(text + size, p, length);
            return size + length;
        }
        digits[0] = *p;
        std::memcpy(digits + 1, p + 2, 15);
    } else if (x < 0) {
        text[size++] = '-';
    }
    if (exponent < 0) {
        text[size++] = '0';
        text[size++] = '.';
        for (int i = -1; i > exponent; --i)
            text[size++] = '0';
        std::memcpy(text + size, digits, 16);
        return size + 16;
    }
    const size_t integral = static_cast<size_t>(exponent) + 1;
    std::memcpy(text + size, digits, integral);
    size += integral;
    text[size++] = '.';
    std::memcpy(text + size, digits + integral, 16 - integral);
    return size + 16 - integral;
}

void appendReal(std::string& out, double x)
{
    if (std::isnan(x)) {
        out += "null";
        return;
    }
    if (std::isinf(x)) {
        out += x > 0 ? "1e+9999" : "-1e+9999";
        return;
    }
    if (twoDecimalReals && appendTwoDecimal(out, x))
        return;

    char text[40];
    size_t size = formatSixteenDigits(text, x);
    // Within 1e-15 of the largest double, 16 digits round beyond it and would read back as an overflow.
    if (std::fabs(x) > 1.7976931348623e308) {
        text[size] = '\0';
        if (std::isinf(std::strtod(text, nullptr))) {
            const int written = std::snprintf(text, sizeof text, "%#.17g", x);
            size = written > 0 ? static_cast<size_t>(written) : 0;
        }
    }
    if (size > 0 && text[size - 1] == '0') {
        // Trim a run of trailing zeros after the decimal point down to one; exponent forms stay as they are.
        size_t last = size - 1;
        while (last > 0 && text[last] == '0')
            --last;
        size_t scan = last;
        while (scan > 0 && text[scan] >= '0' && text[scan] <= '9')
            --scan;
        if (text[scan] == '.')
            size = last + 2;
    }
    out.append(text, size);
}

template <typename Integer>
void appendDecimal(std::string& out, Integer value)
{
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

// Length of the well-formed UTF-8 sequence at p (at least one byte before end), or 0 when the bytes there are
// not one. 'consumed' is then the length of the longest valid prefix (at least 1), which is replaced as a whole.
size_t utf8SequenceLength(const unsigned char* p, const unsigned char* end, size_t& consumed)
{
    const unsigned char lead = p[0];
    size_t needed;
    unsigned char lower = 0x80;
    unsigned char upper = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        needed = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        needed = 2;
        if (lead == 0xE0)
            lower = 0xA0; // overlong
        else if (lead == 0xED)
            upper = 0x9F; // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        needed = 3;
        if (lead == 0xF0)
            lower = 0x90; // overlong
        else if (lead == 0xF4)
            upper = 0x8F; // beyond U+10FFFF
    } else {
        consumed = 1;
        return 0;
    }
    for (size_t i = 1; i <= needed; ++i) {
        if (p + i >= end || p[i] < lower || p[i] > upper) {
            consumed = i;
            return 0;
        }
        lower = 0x80;
        upper = 0xBF;
    }
    return needed + 1;
}

void appendString(std::string& out, const char* begin, const char* end)
{
    static const char hexDigits[] = "0123456789ABCDEF";
    out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(begin);
    const auto* stop = reinterpret_cast<const unsigned char*>(end);
    while (p < stop) {
        // Copy the run of bytes that need no attention in one append.
        const unsigned char* run = p;
        while (p < stop && *p >= 0x20 && *p < 0x80 && *p != '"' && *p != '\\')
            ++p;
        out.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
        if (p == stop)
            break;

        const unsigned char b = *p;
        if (b == 0)
            break; // a string ends at its first zero byte
        if (b >= 0x80) {
            size_t consumed = 0;
            const size_t length = utf8SequenceLength(p, stop, consumed);
            if (length > 0) {
                out.append(reinterpret_cast<const char*>(p), length);
                p += length;
            } else {
                // Browsers drop the whole connection on a text frame that is not valid UTF-8.
                out += replacementCharacter;
                p += consumed;
            }
            continue;
        }
        switch (b) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: {
            const char escape[] = {'\\', 'u', '0', '0', hexDigits[b >> 4], hexDigits[b & 0xF]};
            out.append(escape, sizeof escape);
        }
        }
        ++p;
    }
    out += '"';
}

void appendValue(std::string& out, const Json::Value& value)
{
    switch (value.type()) {
    case Json::nullValue: out += "null"; break;
    case Json::booleanValue: out += value.asBool() ? "true" : "false"; break;
    case Json::intValue: appendDecimal(out, value.asLargestInt()); break;
    case Json::uintValue: appendDecimal(out, value.asLargestUInt()); break;
    case Json::realValue: appendReal(out, value.asDouble()); break;
    case Json::stringValue: {
        const char* begin = nullptr;
        const char* end = nullptr;
        value.getString(&begin, &end);
        appendString(out, begin, end);
        break;
    }
    case Json::arrayValue: {
        out += '[';
        bool first = true;
        for (const Json::Value& element : value) {
            if (!first)
                out += ',';
            first = false;
            appendValue(out, element);
        }
        out += ']';
        break;
    }
    case Json::objectValue: {
        // The library keeps members in ascending byte order of their keys.
        out += '{';
        bool first = true;
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (!first)
                out += ',';
            first = false;
            const char* keyEnd = nullptr;
            const char* key = it.memberName(&keyEnd);
            appendString(out, key, keyEnd);
            out += ':';
            appendValue(out, *it);
        }
        out += '}';
        break;
    }
    }
}

} // namespace

std::string formatJsonReal(double x)
{
    std::string text;
    appendReal(text, x);
    return text;
}

void appendJsonReal(std::string& out, double x) { appendReal(out, x); }

std::string CompactJsonWriter::write(const Json::Value& value)
{
    std::string text;
    text.reserve(128);
    appendValue(text, value);
    return text;
}
