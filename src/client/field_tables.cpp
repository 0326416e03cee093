#include "client/field_tables.h"

#include <memory>

#include <json/reader.h>

FieldTables::FieldTables()
{
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    const std::string text = fieldTablesText;
    Json::Value tables;
    std::string errors;
    // The text is the committed tables file, checked by the build's tests: it always reads.
    if (!reader->parse(text.data(), text.data() + text.size(), &tables, &errors))
        return;
    for (const Json::Value& node : tables["nodes"])
        nodes.emplace(node["type"].asString(), node["fields"]);
    for (const Json::Value& feature : tables["features"])
        features.emplace(feature["feature"].asString(), feature["fields"]);
}

const FieldTables& FieldTables::builtIn()
{
    static const FieldTables tables;
    return tables;
}

const Json::Value* FieldTables::nodeFields(const std::string& type) const
{
    const auto found = nodes.find(type);
    return found == nodes.end() ? nullptr : &found->second;
}

const Json::Value* FieldTables::featureFields(const std::string& feature) const
{
    const auto found = features.find(feature);
    return found == features.end() ? nullptr : &found->second;
}
