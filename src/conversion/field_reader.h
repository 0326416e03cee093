#pragma once

#include <cstdint>

#include <json/json.h>

// Counts the bytes of a received record while a decoder walks its fields; the fields themselves are read at
// their fixed offsets.
struct FieldReader {
    explicit FieldReader(int32_t remaining) : remaining(remaining) {}

    // False, changing nothing, when fewer than width bytes remain; otherwise consumes them and counts the field.
    bool take(int32_t width);

    int32_t remaining;
    int32_t found = 0;
};

// Logs "Missing fields in message: <structName>.<label>" and sets node["missingPropertiesFoundOnly"] to the number
// of fields that did fit.
void reportMissingField(Json::Value& node, const char* structName, const char* label, const FieldReader& reader);
