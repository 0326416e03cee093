#pragma once

#include <json/json.h>

class FeatureConversionRegistry;
class NodeConversionRegistry;

// The editor's view of the converters' field tables: per node type and feature its keys with kind, range, default
// and label, so a form can be built from the same rows the converters read. A converter without a table (its
// record is not one key per field) is listed with "fields": null. A row the board's export may leave out says what
// the board then holds ("omitted"), and a coordinate the size of the steps the board keeps ("step"), so that an
// export can be sent back exactly.
Json::Value describeFieldTables(const NodeConversionRegistry& nodes, const FeatureConversionRegistry& features);
