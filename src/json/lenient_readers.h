#pragma once

#include <cstdint>
#include <string>

#include <json/value.h>

// Lenient readers of editor JSON. None of them throws; `object` may be any JSON value, and one that is not an
// object has no members. A missing member, or one the reader does not accept, gives the default. Two rules:
//  - get*Property (node and feature properties) accept only their own JSON kind: an integer field refuses reals
//    (even 2.0) and strings.
//  - member* (command members) convert what they can: reals are truncated toward zero, booleans are 1 / 0, null
//    is 0 or the empty text.

// The member under key when object is a JSON object that holds it, else nullptr.
const Json::Value* findProperty(const Json::Value& object, const char* key);

// Integers and unsigned integers within the int32 range, booleans as 1 / 0. Reals (even 2.0) give the default.
int32_t getIntProperty(const Json::Value& object, const char* key, int32_t defaultValue);

// Any number or boolean.
double getFloatProperty(const Json::Value& object, const char* key, double defaultValue);

// Strings only.
std::string getStringProperty(const Json::Value& object, const char* key, const std::string& defaultValue);

// Only integers above 2147483647 (the ones the JSON library's classic reader holds in its unsigned kind) and
// values of the unsigned kind; smaller integers give the default.
uint64_t getUnsignedProperty(const Json::Value& object, const char* key, uint64_t defaultValue);

bool hasMember(const Json::Value& object, const char* key);
// The member, or null when the value is no object or lacks it.
const Json::Value& memberOrNull(const Json::Value& object, const char* key);

// A string gives itself, a boolean "true"/"false", null the empty text; anything else the default.
std::string memberConvertedToText(const Json::Value& object, const char* key, const std::string& fallback);
// null, false, 0, "", [] and {} give false, every other value true; missing gives the default.
bool memberTruthy(const Json::Value& object, const char* key, bool fallback);
// Numbers of any kind (reals truncated toward zero), booleans 1/0, null 0; missing or not convertible (strings,
// arrays, objects, out of range) gives the default.
int32_t memberTruncatedToInt(const Json::Value& object, const char* key, int32_t fallback);
uint32_t memberTruncatedToUnsigned(const Json::Value& object, const char* key, uint32_t fallback);
// Numbers, booleans and null as for the integers, rounded to the nearest float; beyond the float range the
// largest float or infinity, as the hardware rounds.
float memberRoundedToFloat(const Json::Value& object, const char* key, float fallback);
