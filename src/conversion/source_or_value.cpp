#include "conversion/source_or_value.h"

#include <string>

#include "conversion/color_text.h"
#include "conversion/number_conversion.h"
#include "core/little_endian.h"
#include "core/logger.h"
#include "json/lenient_readers.h"

namespace {

void writeSource(uint8_t* out, SourceKind kind, uint32_t payload)
{
    out[0] = static_cast<uint8_t>(kind);
    writeU32(out + 1, payload);
}

void writeNumber(uint8_t* out, double value)
{
    out[0] = static_cast<uint8_t>(SourceKind::Number);
    writeF32(out + 1, toF32(value));
}

void encodeSourceText(const std::string& text, uint8_t* out)
{
    if (text.empty()) {
        logger.log(LogLevel::ERROR, "Could not fill source or value with ref string %s", text.c_str());
        writeNumber(out, 0.0);
    } else if (text[0] != '#') {
        writeNumber(out, parseLeadingDecimal(text));
    } else if (text.size() == 7) {
        writeSource(out, SourceKind::Color, parseColorText(text));
    } else {
        writeSource(out, SourceKind::NodeRef, static_cast<uint32_t>(parseLeadingInteger(text, 1)));
    }
}

} // namespace

void encodeSourceOrValue(const Json::Value& properties, const char* key, double defaultNumber, uint8_t* out)
{
    const Json::Value* value = findProperty(properties, key);
    if (value != nullptr && value->isString()) {
        encodeSourceText(value->asString(), out);
        return;
    }
    double number = defaultNumber;
    if (value != nullptr) {
        switch (value->type()) {
        case Json::nullValue: number = 0.0; break;
        case Json::booleanValue:
        case Json::intValue:
        case Json::uintValue:
        case Json::realValue: number = value->asDouble(); break;
        default: break;
        }
    }
    writeNumber(out, number);
}

void encodeCoordinate(const Json::Value& properties, const char* key, uint8_t* out)
{
    const double degrees = getFloatProperty(properties, key, 0.0);
    writeSource(out, SourceKind::Coordinate, static_cast<uint32_t>(truncateToInt32(degrees * 10000000.0)));
}

Json::Value sourceOrValueToJson(const uint8_t* in)
{
    switch (static_cast<SourceKind>(in[0])) {
    case SourceKind::NodeRef: return "#" + std::to_string(readI32(in + 1));
    case SourceKind::Color: return formatColorText(readU32(in + 1), true);
    case SourceKind::Coordinate: return readI32(in + 1) / 10000000.0;
    default: return static_cast<double>(readF32(in + 1));
    }
}

void decodeSourceOrValue(const uint8_t* in, Json::Value& node, const char* key)
{
    node[Json::StaticString("properties")][Json::StaticString(key)] = sourceOrValueToJson(in);
}
