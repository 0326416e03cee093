#pragma once

#include <map>
#include <string>

#include <json/value.h>

// The converters' field tables as the relay's console reads them (mount-origin/tables.json, written by vantrelTables
// from the relay's own tables and compiled into the client): per node type and feature its rows, with each row's
// key, kind, range, default, what an export that leaves it out stands for ("omitted") and the steps a coordinate is
// kept in ("step").
extern const char* const fieldTablesText;

// The tables, read once from the compiled-in text. Lives for the whole run.
class FieldTables {
public:
    static const FieldTables& builtIn();

    // The rows of a node type (a null value for a type without a table); nullptr for a type the tables do not know.
    const Json::Value* nodeFields(const std::string& type) const;
    const Json::Value* featureFields(const std::string& feature) const;

private:
    FieldTables();

    std::map<std::string, Json::Value> nodes;
    std::map<std::string, Json::Value> features;
};
