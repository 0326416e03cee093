#pragma once

#include <json/json.h>

class FeatureConversionRegistry;
class NodeConversionRegistry;

// The editor's view of the converters' field tables: per node type and feature its keys with kind, range, default
// and label, so a form can be built from the same rows the converters read. A converter without a table (its
// record is not one key per field) is listed with "fields": null.
Json::Value describeFieldTables(const NodeConversionRegistry& nodes, const FeatureConversionRegistry& features);
