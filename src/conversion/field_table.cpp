#include "conversion/field_table.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "conversion/number_conversion.h"
#include "conversion/source_or_value.h"
#include "core/little_endian.h"
#include "json/lenient_readers.h"

namespace field {

int width(Kind kind)
{
    switch (kind) {
    case U8: return 1;
    case U16: return 2;
    case U32:
    case I32:
    case F32: return 4;
    case U64: return 8;
    case Source:
    case Coordinate: return sourceOrValueSize;
    case Text24: return textAreaSize;
    }
    return 0;
}

} // namespace field

namespace {

using namespace field;

// Strings as they are and booleans as "true" / "false"; anything else (absent, null, numbers, arrays, objects)
// gives the empty text. Longer texts are cut to 23 bytes so that the area keeps its zero byte.
void encodeText(const Json::Value& object, const char* key, uint8_t* at)
{
    std::string text;
    const Json::Value* value = findProperty(object, key);
    if (value != nullptr && value->isString())
        text = value->asString();
    else if (value != nullptr && value->isBool())
        text = value->asBool() ? "true" : "false";
    const size_t length = std::min<size_t>(text.size(), textAreaSize - 1);
    std::memset(at, 0, textAreaSize);
    std::copy_n(text.data(), length, at);
}

// Up to the first zero byte; an area without one is read to its end and never beyond.
Json::Value textAt(const uint8_t* at)
{
    const auto* zero = static_cast<const uint8_t*>(std::memchr(at, 0, textAreaSize));
    const size_t length = zero == nullptr ? textAreaSize : static_cast<size_t>(zero - at);
    return std::string(reinterpret_cast<const char*>(at), length);
}

void encodeField(const FieldSpec& row, const Json::Value& object, uint8_t* record)
{
    uint8_t* at = record + row.offset;
    switch (row.kind) {
    case U8: *at = static_cast<uint8_t>(getIntProperty(object, row.key, static_cast<int32_t>(row.defaultValue))); break;
    case U16:
        writeU16(at, static_cast<uint16_t>(getIntProperty(object, row.key, static_cast<int32_t>(row.defaultValue))));
        break;
    case U32:
    case I32:
        writeU32(at, static_cast<uint32_t>(getIntProperty(object, row.key, static_cast<int32_t>(row.defaultValue))));
        break;
    case U64: writeU64(at, getUnsignedProperty(object, row.key, static_cast<uint64_t>(row.defaultValue))); break;
    case F32: writeF32(at, toF32(getFloatProperty(object, row.key, row.defaultValue))); break;
    case Source: encodeSourceOrValue(object, row.key, row.defaultValue, at); break;
    case Coordinate: encodeCoordinate(object, row.key, at); break;
    case Text24: encodeText(object, row.key, at); break;
    }
}

bool isFloatLike(Kind kind) { return kind == F32 || kind == Source || kind == Coordinate; }

// The field's value as the conditions compare it.
double comparableValue(const FieldSpec& row, const uint8_t* at)
{
    switch (row.kind) {
    case U8: return at[0];
    case U16: return readU16(at);
    case U32: return readU32(at);
    case I32: return readI32(at);
    case U64: return static_cast<double>(readU64(at));
    case F32: return readF32(at);
    case Source:
    case Coordinate: return readF32(at + 1);
    case Text24: return 0.0;
    }
    return 0.0;
}

bool shouldWrite(const FieldSpec& row, const uint8_t* at)
{
    if (row.decode.rule == Rule::Always)
        return true;
    if (row.decode.rule == Rule::TakenOnly)
        return false;
    const double value = comparableValue(row, at);
    const double limit = isFloatLike(row.kind) ? static_cast<double>(toF32(row.decode.value)) : row.decode.value;
    switch (row.decode.rule) {
    case Rule::UnlessEqual: return value != limit;
    case Rule::IfLessThan: return value < limit;
    case Rule::IfAtLeast: return value >= limit;
    default: return false;
    }
}

Json::Value fieldToJson(const FieldSpec& row, const uint8_t* at)
{
    switch (row.kind) {
    case U8: return Json::UInt(at[0]);
    case U16: return Json::UInt(readU16(at));
    case U32: return Json::UInt(readU32(at));
    case I32: return Json::Int(readI32(at));
    case U64: return Json::UInt64(readU64(at));
    case F32: return static_cast<double>(readF32(at));
    case Source:
    case Coordinate: return sourceOrValueToJson(at);
    case Text24: return textAt(at);
    }
    return Json::Value();
}

} // namespace

void encodeFieldTable(const FieldTable& table, const Json::Value& object, uint8_t* record)
{
    for (const FieldSpec& row : table)
        encodeField(row, object, record);
}

bool decodeFieldTable(const FieldTable& table, const uint8_t* record, FieldReader& reader, Json::Value& node,
                      const char* structName, KeyPlace place)
{
    // Found once: members of a JSON object keep their place while others are added.
    Json::Value* target = place == KeyPlace::Properties ? nullptr : &node;
    for (const FieldSpec& row : table) {
        if (!reader.take(width(row.kind))) {
            reportMissingField(node, structName, row.label, reader);
            return false;
        }
        const uint8_t* at = record + row.offset;
        if (shouldWrite(row, at)) {
            if (target == nullptr)
                target = &node[Json::StaticString("properties")];
            // Keys are literals of static tables, so the JSON tree need not copy them.
            (*target)[Json::StaticString(row.key)] = fieldToJson(row, at);
        }
        if (row.then != nullptr)
            row.then(record, node);
    }
    return true;
}
