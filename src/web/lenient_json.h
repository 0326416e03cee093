#pragma once

#include <cstdint>
#include <string>

#include <json/value.h>

// Editor members read leniently: a missing member or one that does not convert gives the default; reading never
// throws. `object` may be any JSON value; a value that is not an object has no members.

// A string gives itself, a boolean "true"/"false", null the empty text; anything else the default.
std::string memberAsText(const Json::Value& object, const char* key, const std::string& fallback);
// null, false, 0, "", [] and {} give false, every other value true; missing gives the default.
bool memberAsBool(const Json::Value& object, const char* key, bool fallback);
// Numbers of any kind (reals truncated toward zero), booleans 1/0, null 0; missing or not convertible (strings,
// arrays, objects, out of range) gives the default.
int32_t memberAsInt(const Json::Value& object, const char* key, int32_t fallback);
uint32_t memberAsUnsigned(const Json::Value& object, const char* key, uint32_t fallback);
float memberAsFloat(const Json::Value& object, const char* key, float fallback);

bool hasMember(const Json::Value& object, const char* key);
// The member, or null when the value is no object or lacks it.
const Json::Value& memberOrNull(const Json::Value& object, const char* key);
