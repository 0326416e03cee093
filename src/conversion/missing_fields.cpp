#include "conversion/missing_fields.h"

#include "core/logger.h"

void reportMissingField(Json::Value& node, const char* structName, const char* label, const FieldReader& reader)
{
    logger.log(LogLevel::WARNING, "Missing fields in message: %s.%s", structName, label);
    node["missingPropertiesFoundOnly"] = Json::Int(reader.found);
}
