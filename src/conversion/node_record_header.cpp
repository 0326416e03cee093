#include "conversion/node_record_header.h"

#include "core/little_endian.h"

void NodeRecordHeader::writeTo(SerialMessage& record) const
{
    writeU16(record.bytes + idOffset, id);
    writeU16(record.bytes + xOffset, static_cast<uint16_t>(x));
    writeU16(record.bytes + yOffset, static_cast<uint16_t>(y));
}

void writeNodeHeaderJson(const uint8_t* record, Json::Value& node)
{
    // Literal keys need no copy in the JSON tree; every exported node carries these.
    node[Json::StaticString("id")] = Json::UInt(readU16(record + NodeRecordHeader::idOffset));
    Json::Value& pos = node[Json::StaticString("pos")];
    pos[Json::StaticString("x")] = Json::Int(readI16(record + NodeRecordHeader::xOffset));
    pos[Json::StaticString("y")] = Json::Int(readI16(record + NodeRecordHeader::yOffset));
}
