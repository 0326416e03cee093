// Any JSON value without NaN or infinities, written compactly, must parse back with JsonCpp to an equal value.
// Numbers compare by value: reals may come back as integers ("3") and are written with 16 significant digits,
// or in two-decimal form within 1e-6. A string ends at its first zero byte, and text that is not valid UTF-8 is
// repaired by the writer, so only the valid text before the first zero byte must come back unchanged.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>
#include <json/json.h>

#include "json/compact_json_writer.h"

namespace {

constexpr int maxDepth = 8;

bool isValidUtf8(const std::string& text)
{
    size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        uint32_t point = 0;
        if (byte < 0x80) {
            ++i;
            continue;
        } else if ((byte & 0xE0) == 0xC0) {
            extra = 1;
            point = byte & 0x1F;
        } else if ((byte & 0xF0) == 0xE0) {
            extra = 2;
            point = byte & 0x0F;
        } else if ((byte & 0xF8) == 0xF0) {
            extra = 3;
            point = byte & 0x07;
        } else {
            return false;
        }
        if (i + extra >= text.size())
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            point = (point << 6) | (next & 0x3F);
        }
        static const uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
        if (point < smallest[extra] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

Json::Value makeValue(FuzzedDataProvider& input, int depth)
{
    const int kind = input.ConsumeIntegralInRange<int>(0, depth < maxDepth ? 7 : 5);
    switch (kind) {
    case 0: return Json::Value();
    case 1: return Json::Value(input.ConsumeBool());
    case 2: return Json::Value(static_cast<Json::Int64>(input.ConsumeIntegral<int64_t>()));
    case 3: return Json::Value(static_cast<Json::UInt64>(input.ConsumeIntegral<uint64_t>()));
    case 4: {
        double real = input.ConsumeFloatingPoint<double>();
        if (!std::isfinite(real))
            real = 0.0;
        return Json::Value(real);
    }
    case 5: return Json::Value(input.ConsumeRandomLengthString(64));
    case 6: {
        Json::Value array(Json::arrayValue);
        const int count = input.ConsumeIntegralInRange<int>(0, 6);
        for (int i = 0; i < count; ++i)
            array.append(makeValue(input, depth + 1));
        return array;
    }
    default: {
        Json::Value object(Json::objectValue);
        const int count = input.ConsumeIntegralInRange<int>(0, 6);
        for (int i = 0; i < count; ++i) {
            const std::string key = input.ConsumeRandomLengthString(16);
            object[key] = makeValue(input, depth + 1);
        }
        return object;
    }
    }
}

// The text the writer keeps of a string: up to its first zero byte.
std::string writtenText(const std::string& text) { return text.substr(0, text.find('\0')); }

// A key the writer leaves as it is: others may fall together once repaired or cut.
bool isCleanKey(const std::string& key) { return key.find('\0') == std::string::npos && isValidUtf8(key); }

bool sameNumber(const Json::Value& written, const Json::Value& read)
{
    if (written.isIntegral() && read.isIntegral()) {
        if (written.isInt64() && read.isInt64())
            return written.asInt64() == read.asInt64();
        return written.isUInt64() && read.isUInt64() && written.asUInt64() == read.asUInt64();
    }
    const double a = written.asDouble();
    const double b = read.asDouble();
    if (!std::isfinite(b))
        return false;
    const double difference = std::fabs(a - b);
    return difference < 1e-6 * (std::fabs(a) <= 10.5 ? 1.0 : 0.0) || difference <= 1e-15 * std::fabs(a);
}

// True when read is what reading back written must give.
bool equalAfterRoundTrip(const Json::Value& written, const Json::Value& read)
{
    if (written.isNumeric() && !written.isBool())
        return read.isNumeric() && !read.isBool() && sameNumber(written, read);
    if (written.type() != read.type())
        return false;
    switch (written.type()) {
    case Json::stringValue: {
        const std::string text = writtenText(written.asString());
        return !isValidUtf8(text) || text == read.asString();
    }
    case Json::arrayValue:
        if (written.size() != read.size())
            return false;
        for (Json::ArrayIndex i = 0; i < written.size(); ++i) {
            if (!equalAfterRoundTrip(written[i], read[i]))
                return false;
        }
        return true;
    case Json::objectValue: {
        // Keys the writer had to repair or cut may fall together with each other or with a clean key (the last
        // one written wins when read back): members are only compared when every key is clean.
        const std::vector<std::string> keys = written.getMemberNames();
        if (!std::all_of(keys.begin(), keys.end(), isCleanKey))
            return written.size() >= read.size();
        if (written.size() != read.size())
            return false;
        for (const std::string& key : keys) {
            if (!read.isMember(key) || !equalAfterRoundTrip(written[key], read[key]))
                return false;
        }
        return true;
    }
    default: return written == read;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const Json::Value value = makeValue(input, 0);
    const std::string text = CompactJsonWriter().write(value);
    if (!isValidUtf8(text))
        std::abort();

    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value read;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &read, &errors) || !equalAfterRoundTrip(value, read)) {
        std::fprintf(stderr, "written: %s\nread back: %s\n%s\n", text.c_str(), read.toStyledString().c_str(),
                     errors.c_str());
        std::abort();
    }
    return 0;
}
