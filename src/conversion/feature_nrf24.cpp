#include "conversion/feature_nrf24.h"

#include <vector>

#include "core/little_endian.h"
#include "device/message_type.h"
#include "json/lenient_readers.h"

namespace {

using namespace field;

constexpr int roleOffset = 4;
constexpr int maskOffset = 5;
constexpr int byteCountOffset = 9;
constexpr int bindIdOffset = 10;
constexpr int frequencyOffset = 18;

constexpr size_t maxFormatFields = 32;

// Starts of the data fields: the byte positions below the count whose mask bit is set, at most 32 of them.
std::vector<int> fieldStarts(uint32_t mask, int byteCount)
{
    std::vector<int> starts;
    for (int j = 0; j < byteCount && starts.size() < maxFormatFields; ++j) {
        if ((mask >> (j % 32)) & 1u)
            starts.push_back(j);
    }
    return starts;
}

void writeFormat(const uint8_t* record, Json::Value& out)
{
    const int byteCount = record[byteCountOffset];
    const std::vector<int> starts = fieldStarts(readU32(record + maskOffset), byteCount);
    Json::Value format(Json::arrayValue);
    for (size_t i = 0; i < starts.size(); ++i) {
        const int end = i + 1 < starts.size() ? starts[i + 1] : byteCount;
        Json::Value element(Json::objectValue);
        element["type"] = end - starts[i] == 4 ? "f" : "b";
        format.append(element);
    }
    out["format"] = format;
}

// Rows in the decoder's check order, which differs from the layout.
const FieldSpec nrf24Fields[] = {
    {"role", roleOffset, U8, 0, always, "role"},
    {"bindid", bindIdOffset, U64, 0, always, "bindId"},
    {"frequency", frequencyOffset, U8, 255, always, "frequency"},
    {"format", maskOffset, U32, 0, takenOnly, "format"},
    {"", byteCountOffset, U8, 0, takenOnly, "numBytes", writeFormat},
};

} // namespace

FeatureConversion_nrf24::FeatureConversion_nrf24()
    : TableFeatureConversion("nrf24", MT_CONFIG_NRF24, "config_nrf24", nrf24Fields)
{}

void FeatureConversion_nrf24::encodeFromJson(const Json::Value& feature, SerialMessage& record) const
{
    writeMessageType(record);
    // Without a usable "format" the record goes out with an all-zero payload.
    const Json::Value* format = findProperty(feature, "format");
    if (format == nullptr || !(format->isArray() || format->isNull()))
        return;

    uint32_t mask = 0;
    uint8_t position = 0;
    if (format->isArray()) {
        for (const Json::Value& element : *format) {
            const Json::Value* type = findProperty(element, "type");
            if (type == nullptr || !type->isString())
                continue;
            const std::string text = type->asString();
            if (text == "f") {
                mask |= 1u << (position % 32);
                position = static_cast<uint8_t>(position + 4);
            } else if (text == "b") {
                mask |= 1u << (position % 32);
                position = static_cast<uint8_t>(position + 1);
            }
        }
    }
    record.bytes[roleOffset] = static_cast<uint8_t>(getIntProperty(feature, "role", 0));
    writeU32(record.bytes + maskOffset, mask);
    record.bytes[byteCountOffset] = position;
    writeU64(record.bytes + bindIdOffset, getUnsignedProperty(feature, "bindid", 0));
    record.bytes[frequencyOffset] = static_cast<uint8_t>(getIntProperty(feature, "frequency", 255));
}
