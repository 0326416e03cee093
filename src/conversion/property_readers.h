#pragma once

#include <cstdint>
#include <string>

#include <json/json.h>

// Lenient readers of editor JSON: an absent key, a value of a kind the reader does not accept, or an object that
// is not a JSON object at all (null included) gives the default. None of them throws.

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
