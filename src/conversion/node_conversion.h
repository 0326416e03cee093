#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "conversion/color_text.h"
#include "conversion/field_table.h"
#include "conversion/missing_fields.h"
#include "conversion/node_record_header.h"
#include "conversion/received_record.h"
#include "conversion/source_or_value.h"
#include "device/serial_message.h"
#include "json/lenient_readers.h"

// Converts one node type between the editor's JSON node and the board's packed record. Created by the registry;
// lives as long as it.
class NodeConversion {
public:
    NodeConversion(std::string name, int nodeType, int messageType);
    virtual ~NodeConversion();
    NodeConversion(const NodeConversion&) = delete;
    NodeConversion& operator=(const NodeConversion&) = delete;

    const std::string name; // the editor's "type"
    const int nodeType;
    const int messageType;

    // Fills record (zero-filled except header id/x/y) from the node's "properties" value (may be null / any kind).
    virtual void encodeFromJson(const Json::Value& properties, SerialMessage& record) const = 0;
    // record = a received message (type at 0, length field at 2), recordSize = bytes available (>= 154 normally).
    virtual Json::Value& decodeToJson(Json::Value& node, const uint8_t* record, size_t recordSize) const = 0;

protected:
    void writeMessageType(SerialMessage& record) const;
    // The common start of every decoder: node reset to "type" and the header members; returns the reader with
    // the budget of the property fields.
    FieldReader beginDecode(Json::Value& node, const ReceivedRecord& record) const;
};

// A node type whose record is fully described by its field table.
class TableNodeConversion : public NodeConversion {
public:
    TableNodeConversion(std::string name, int nodeType, int messageType, const char* structName, FieldTable fields);

    void encodeFromJson(const Json::Value& properties, SerialMessage& record) const override;
    Json::Value& decodeToJson(Json::Value& node, const uint8_t* record, size_t recordSize) const override;

    const char* const structName; // names the record in missing-field warnings
    const FieldTable fields;
};

// One converter per node type, in a fixed order; owned by the relay core for the whole run.
class NodeConversionRegistry {
public:
    void registerNodeConversions(); // all types, in board table order
    void clearNodeConversions();

    // The first converter whose name equals name, or whose nodeType or messageType equals the given number
    // (numbers compared as unsigned 16-bit); nullptr when none. Pass "" and 0 for unused criteria.
    const NodeConversion* findNodeConversion(const std::string& name, int nodeType, int messageType) const;
    // The name of the first converter of that node type, or a text saying that there is none.
    std::string jsNameForNodeType(int nodeType) const;
    const std::vector<std::unique_ptr<NodeConversion>>& conversions() const { return list; }

private:
    std::vector<std::unique_ptr<NodeConversion>> list;
};
