#pragma once

#include "conversion/node_conversion.h"

// Piecewise-linear mapping. The editor sends "miny", "maxy" and flat number arrays "points" / "points_reverse"
// and gets back "prop_mapping_*" keys with the points as text. Both types share the editor name "mapping"; the
// one-way converter is the one found by name, and its encoder picks the bidirectional record when
// "prop_mapping_type" is not 0.
class NodeConversion_mapping : public NodeConversion {
public:
    NodeConversion_mapping();
    void encodeFromJson(const Json::Value& properties, SerialMessage& record) const override;
    Json::Value& decodeToJson(Json::Value& node, const uint8_t* record, size_t recordSize) const override;
};

// Reached only by message type, when a board sends a bidirectional record; its encoder writes only the type.
class NodeConversion_mappingBidirectional : public NodeConversion {
public:
    NodeConversion_mappingBidirectional();
    void encodeFromJson(const Json::Value& properties, SerialMessage& record) const override;
    Json::Value& decodeToJson(Json::Value& node, const uint8_t* record, size_t recordSize) const override;
};
