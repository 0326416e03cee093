#include "conversion/table_description.h"

#include <cstring>
#include <set>
#include <string>

#include "conversion/feature_conversion.h"
#include "conversion/node_conversion.h"

namespace {

void describeKind(field::Kind kind, Json::Value& out)
{
    using namespace field;
    const auto integer = [&out](Json::Int64 min, Json::Int64 max) {
        out["kind"] = "integer";
        out["min"] = min;
        out["max"] = max;
    };
    switch (kind) {
    case U8: integer(0, 255); break;
    case U16: integer(0, 65535); break;
    case U32: integer(0, 4294967295); break;
    case I32: integer(-2147483648LL, 2147483647); break;
    // Beyond 2^53 a JSON number in the browser is no longer exact.
    case U64: integer(0, 9007199254740991LL); break;
    case F32: out["kind"] = "number"; break;
    // A number, "#<node id>" for another node's output or "#RRGGBB".
    case Source: out["kind"] = "source"; break;
    case Coordinate: out["kind"] = "number"; break;
    case Text24:
        out["kind"] = "text";
        out["maxLength"] = textAreaSize - 1;
        break;
    }
}

// The value the board holds when its export leaves the key out (or one of those values): what a restore of the
// export sends for a key it lacks. Only for rows the export may leave out.
Json::Value omittedValue(const FieldSpec& entry, const Json::Value& row)
{
    using namespace field;
    const double limit = entry.decode.value;
    double value = limit;
    if (entry.decode.rule == Rule::IfLessThan && entry.defaultValue >= limit)
        value = entry.defaultValue;
    else if (entry.decode.rule == Rule::IfAtLeast)
        value = entry.defaultValue < limit ? entry.defaultValue : limit - 1;
    if (row["kind"] == "integer")
        return static_cast<Json::Int64>(value);
    return value;
}

Json::Value describeTable(const FieldTable& table)
{
    Json::Value fields(Json::arrayValue);
    std::set<std::string> seen;
    for (const FieldSpec& entry : table) {
        // Unnamed rows are bytes the type's own code fills; a key split over two rows is one input.
        if (entry.key[0] == '\0' || !seen.insert(entry.key).second)
            continue;
        Json::Value row;
        row["key"] = entry.key;
        row["label"] = entry.label;
        describeKind(entry.kind, row);
        if (entry.kind == field::Text24)
            row["default"] = "";
        else if (row["kind"] == "integer")
            row["default"] = static_cast<Json::Int64>(entry.defaultValue);
        else
            row["default"] = entry.defaultValue;
        if (entry.decode.rule != field::Rule::Always && entry.decode.rule != field::Rule::TakenOnly)
            row["omitted"] = omittedValue(entry, row);
        // The board keeps whole steps of this size, cut toward zero.
        if (entry.kind == field::Coordinate)
            row["step"] = 1e-7;
        fields.append(row);
    }
    return fields;
}

} // namespace

Json::Value describeFieldTables(const NodeConversionRegistry& nodes, const FeatureConversionRegistry& features)
{
    Json::Value out;
    out["nodes"] = Json::Value(Json::arrayValue);
    for (const auto& conversion : nodes.conversions()) {
        Json::Value node;
        node["type"] = conversion->name;
        const auto* table = dynamic_cast<const TableNodeConversion*>(conversion.get());
        node["fields"] = table != nullptr ? describeTable(table->fields) : Json::Value();
        // The constant's own encoder takes a colour text as well as a number.
        if (conversion->name == "constant")
            for (Json::Value& row : node["fields"])
                if (row["key"].asString() == "prop_value")
                    row["kind"] = "numberOrColor";
        out["nodes"].append(node);
    }
    out["features"] = Json::Value(Json::arrayValue);
    for (const auto& conversion : features.conversions()) {
        Json::Value feature;
        feature["feature"] = conversion->name;
        const auto* table = dynamic_cast<const TableFeatureConversion*>(conversion.get());
        feature["fields"] = table != nullptr ? describeTable(table->fields) : Json::Value();
        out["features"].append(feature);
    }
    return out;
}
