#include "conversion/number_conversion.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <limits>

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

size_t skipSpace(const std::string& text, size_t i)
{
    while (i < text.size() && isSpace(text[i]))
        ++i;
    return i;
}

size_t skipDigits(const std::string& text, size_t i)
{
    while (i < text.size() && isDigit(text[i]))
        ++i;
    return i;
}

// Decimal exponent of the leading digit of a mantissa written as digits[.digits], used to tell an overflow from
// an underflow when the exact value lies outside the double range.
long leadingDigitPower(const std::string& mantissa)
{
    const size_t point = mantissa.find('.');
    const size_t integerEnd = point == std::string::npos ? mantissa.size() : point;
    for (size_t i = 0; i < integerEnd; ++i) {
        if (mantissa[i] != '0')
            return static_cast<long>(integerEnd - i);
    }
    if (point == std::string::npos)
        return 0;
    for (size_t i = point + 1; i < mantissa.size(); ++i) {
        if (mantissa[i] != '0')
            return -static_cast<long>(i - point - 1);
    }
    return 0;
}

} // namespace

float toF32(double value)
{
    if (std::isnan(value))
        return std::numeric_limits<float>::quiet_NaN();
    const double magnitude = std::fabs(value);
    if (magnitude <= FLT_MAX)
        return static_cast<float>(value);
    // Half an f32 step above the largest f32: below it rounding still gives the largest finite value.
    const double roundsToMax = 0x1.ffffffp127;
    const float result = magnitude < roundsToMax ? FLT_MAX : std::numeric_limits<float>::infinity();
    return value < 0 ? -result : result;
}

int32_t truncateToInt32(double value)
{
    if (std::isnan(value))
        return 0;
    if (value <= -2147483648.0)
        return std::numeric_limits<int32_t>::min();
    if (value >= 2147483647.0)
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}

double parseLeadingDecimal(const std::string& text, size_t start)
{
    size_t i = skipSpace(text, start);
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const size_t mantissaStart = i;
    i = skipDigits(text, i);
    bool anyDigit = i > mantissaStart;
    if (i < text.size() && text[i] == '.') {
        const size_t fractionStart = i + 1;
        const size_t fractionEnd = skipDigits(text, fractionStart);
        if (anyDigit || fractionEnd > fractionStart) {
            anyDigit = true;
            i = fractionEnd;
        }
    }
    if (!anyDigit)
        return 0.0;
    const std::string mantissa = text.substr(mantissaStart, i - mantissaStart);
    long exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        bool exponentNegative = false;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) {
            exponentNegative = text[j] == '-';
            ++j;
        }
        if (j < text.size() && isDigit(text[j])) {
            const size_t exponentEnd = skipDigits(text, j);
            for (size_t k = j; k < exponentEnd; ++k)
                exponent = std::min(exponent * 10 + (text[k] - '0'), 100000L);
            if (exponentNegative)
                exponent = -exponent;
            i = exponentEnd;
        }
    }
    const std::string number = mantissa + "e" + std::to_string(exponent);
    double value = 0.0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
    if (result.ec == std::errc::result_out_of_range)
        value = leadingDigitPower(mantissa) + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -value : value;
}

int32_t parseLeadingInteger(const std::string& text, size_t start)
{
    size_t i = skipSpace(text, start);
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t magnitude = 0;
    for (; i < text.size() && isDigit(text[i]); ++i)
        magnitude = std::min<int64_t>(magnitude * 10 + (text[i] - '0'), int64_t{1} << 32);
    const int64_t value = negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::min();
    if (value > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}
