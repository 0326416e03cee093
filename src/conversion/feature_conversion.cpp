#include "conversion/feature_conversion.h"

#include <utility>

FeatureConversion::FeatureConversion(std::string name, int messageType)
    : name(std::move(name)), messageType(messageType)
{}

FeatureConversion::~FeatureConversion() = default;

void FeatureConversion::writeMessageType(SerialMessage& record) const
{
    record.setType(static_cast<uint16_t>(messageType));
}

FieldReader FeatureConversion::beginDecode(Json::Value& out, const ReceivedRecord& record) const
{
    out = Json::Value(Json::objectValue);
    out["feature"] = name;
    return FieldReader(record.budgetAfter(4));
}

TableFeatureConversion::TableFeatureConversion(std::string name, int messageType, const char* structName,
                                               FieldTable fields)
    : FeatureConversion(std::move(name), messageType), structName(structName), fields(fields)
{}

void TableFeatureConversion::encodeFromJson(const Json::Value& feature, SerialMessage& record) const
{
    writeMessageType(record);
    encodeFieldTable(fields, feature, record.bytes);
}

Json::Value& TableFeatureConversion::decodeToJson(Json::Value& out, const uint8_t* record, size_t recordSize) const
{
    const ReceivedRecord received(record, recordSize);
    FieldReader reader = beginDecode(out, received);
    decodeFieldTable(fields, received.bytes(), reader, out, structName, KeyPlace::TopLevel);
    return out;
}

void FeatureConversionRegistry::clearFeatureConversions()
{
    for (auto& conversion : list)
        conversion.reset();
    list.clear();
}

const FeatureConversion* FeatureConversionRegistry::findFeatureConversion(const std::string& name,
                                                                          int messageType) const
{
    for (const auto& conversion : list) {
        if (conversion->name == name || conversion->messageType == messageType)
            return conversion.get();
    }
    return nullptr;
}
