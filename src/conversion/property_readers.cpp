#include "conversion/property_readers.h"

#include <cstring>

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
    if (value == nullptr || value->type() != Json::uintValue)
        return defaultValue;
    return value->asUInt64();
}
