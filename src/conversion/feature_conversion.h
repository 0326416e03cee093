#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <json/json.h>

#include "conversion/field_table.h"
#include "conversion/received_record.h"
#include "device/serial_message.h"

// Converts one board feature between the editor's flat JSON object and the board's configuration record. Created
// by the registry; lives as long as it.
class FeatureConversion {
public:
    FeatureConversion(std::string name, int messageType);
    virtual ~FeatureConversion();
    FeatureConversion(const FeatureConversion&) = delete;
    FeatureConversion& operator=(const FeatureConversion&) = delete;

    const std::string name; // the editor's "feature"
    const int messageType; // only the low 16 bits go into records

    // Fills a zero-filled record from the feature object (its members beside "feature"; may be any kind).
    virtual void encodeFromJson(const Json::Value& feature, SerialMessage& record) const = 0;
    // out becomes {"feature": name, decoded fields...}; record = a received message, recordSize = bytes available.
    virtual Json::Value& decodeToJson(Json::Value& out, const uint8_t* record, size_t recordSize) const = 0;

protected:
    void writeMessageType(SerialMessage& record) const;
    // out reset to {"feature": name}; returns the reader with the budget of the payload.
    FieldReader beginDecode(Json::Value& out, const ReceivedRecord& record) const;
};

// A feature whose record is fully described by its field table (rows in the decoder's check order).
class TableFeatureConversion : public FeatureConversion {
public:
    TableFeatureConversion(std::string name, int messageType, const char* structName, FieldTable fields);

    void encodeFromJson(const Json::Value& feature, SerialMessage& record) const override;
    Json::Value& decodeToJson(Json::Value& out, const uint8_t* record, size_t recordSize) const override;

    const char* const structName; // names the record in missing-field warnings
    const FieldTable fields;
};

// The ten feature converters, in a fixed order; owned by the relay core for the whole run.
class FeatureConversionRegistry {
public:
    void registerFeatureConversions();
    void clearFeatureConversions();

    // The first converter whose name equals name or whose messageType equals messageType; nullptr when none.
    const FeatureConversion* findFeatureConversion(const std::string& name, int messageType) const;
    const std::vector<std::unique_ptr<FeatureConversion>>& conversions() const { return list; }

private:
    std::vector<std::unique_ptr<FeatureConversion>> list;
};
