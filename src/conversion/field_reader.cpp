#include "conversion/field_reader.h"

#include "core/logger.h"

bool FieldReader::take(int32_t width)
{
    if (remaining < width)
        return false;
    ++found;
    remaining -= width;
    return true;
}

void reportMissingField(Json::Value& node, const char* structName, const char* label, const FieldReader& reader)
{
    logger.log(LogLevel::WARNING, "Missing fields in message: %s.%s", structName, label);
    node["missingPropertiesFoundOnly"] = Json::Int(reader.found);
}
