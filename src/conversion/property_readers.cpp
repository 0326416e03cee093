#include "conversion/property_readers.h"

#include <cstring>
#include <limits>

const Json::Value* findProperty(const Json::Value& object, const char* key)
{
    if (!object.isObject())
        return nullptr;
    return object.find(key, key + std::strlen(key));
}

int32_t getIntProperty(const Json::Value& object, const char* key, int32_t defaultValue)
{
    const Json::Value* value = findProperty(object, key);
    if (value == nullptr)
        return defaultValue;
    switch (value->type()) {
    case Json::booleanValue:
        return value->asBool() ? 1 : 0;
    case Json::intValue:
    case Json::uintValue:
        return value->isInt() ? value->asInt() : defaultValue;
    default:
        return defaultValue;
    }
}

double getFloatProperty(const Json::Value& object, const char* key, double defaultValue)
{
    const Json::Value* value = findProperty(object, key);
    if (value == nullptr)
        return defaultValue;
    switch (value->type()) {
    case Json::booleanValue:
    case Json::intValue:
    case Json::uintValue:
    case Json::realValue:
        return value->asDouble();
    default:
        return defaultValue;
    }
}

std::string getStringProperty(const Json::Value& object, const char* key, const std::string& defaultValue)
{
    const Json::Value* value = findProperty(object, key);
    if (value == nullptr || !value->isString())
        return defaultValue;
    return value->asString();
}

uint64_t getUnsignedProperty(const Json::Value& object, const char* key, uint64_t defaultValue)
{
    const Json::Value* value = findProperty(object, key);
    if (value == nullptr)
        return defaultValue;
    if (value->type() == Json::uintValue)
        return value->asUInt64();
    // The builder-made reader keeps integers up to 2^63 - 1 in the signed kind; those above the int32 range are
    // what the classic reader holds as unsigned, so they count as such.
    if (value->type() == Json::intValue && value->asLargestInt() > std::numeric_limits<int32_t>::max())
        return static_cast<uint64_t>(value->asLargestInt());
    return defaultValue;
}
