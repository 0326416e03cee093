#pragma once

#include <json/value.h>

#include "core/field_reader.h"

// Logs "Missing fields in message: <structName>.<label>" and sets node["missingPropertiesFoundOnly"] to the number
// of fields that did fit.
void reportMissingField(Json::Value& node, const char* structName, const char* label, const FieldReader& reader);
