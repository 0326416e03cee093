#include "conversion/node_conversion.h"

#include <utility>

#include "core/little_endian.h"

NodeConversion::NodeConversion(std::string name, int nodeType, int messageType)
    : name(std::move(name)), nodeType(nodeType), messageType(messageType)
{}

NodeConversion::~NodeConversion() = default;

void NodeConversion::writeMessageType(SerialMessage& record) const
{
    record.setType(static_cast<uint16_t>(messageType));
}

FieldReader NodeConversion::beginDecode(Json::Value& node, const ReceivedRecord& record) const
{
    node = Json::Value();
    node[Json::StaticString("type")] = name;
    writeNodeHeaderJson(record.bytes(), node);
    return FieldReader(record.budgetAfter(NodeRecordHeader::size));
}

TableNodeConversion::TableNodeConversion(std::string name, int nodeType, int messageType, const char* structName,
                                         FieldTable fields)
    : NodeConversion(std::move(name), nodeType, messageType), structName(structName), fields(fields)
{}

void TableNodeConversion::encodeFromJson(const Json::Value& properties, SerialMessage& record) const
{
    writeMessageType(record);
    encodeFieldTable(fields, properties, record.bytes);
}

Json::Value& TableNodeConversion::decodeToJson(Json::Value& node, const uint8_t* record, size_t recordSize) const
{
    const ReceivedRecord received(record, recordSize);
    FieldReader reader = beginDecode(node, received);
    decodeFieldTable(fields, received.bytes(), reader, node, structName);
    return node;
}

void NodeConversionRegistry::clearNodeConversions()
{
    for (auto& conversion : list)
        conversion.reset();
    list.clear();
}

const NodeConversion* NodeConversionRegistry::findNodeConversion(const std::string& name, int nodeType,
                                                                 int messageType) const
{
    const auto wantedType = static_cast<uint16_t>(nodeType);
    const auto wantedMessage = static_cast<uint16_t>(messageType);
    for (const auto& conversion : list) {
        if (conversion->name == name || static_cast<uint16_t>(conversion->nodeType) == wantedType ||
            static_cast<uint16_t>(conversion->messageType) == wantedMessage)
            return conversion.get();
    }
    return nullptr;
}

std::string NodeConversionRegistry::jsNameForNodeType(int nodeType) const
{
    for (const auto& conversion : list) {
        if (conversion->nodeType == nodeType)
            return conversion->name;
    }
    return "Don't know JS name for node type: " + std::to_string(nodeType);
}
