#include "json/lenient_readers.h"

#include <cmath>
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
    case Json::booleanValue: return value->asBool() ? 1 : 0;
    case Json::intValue:
    case Json::uintValue: return value->isInt() ? value->asInt() : defaultValue;
    default: return defaultValue;
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
    case Json::realValue: return value->asDouble();
    default: return defaultValue;
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

namespace {

// The number a member converts to, when it converts to a number at all.
bool memberNumber(const Json::Value& object, const char* key, double& number)
{
    if (!hasMember(object, key))
        return false;
    const Json::Value& value = object[key];
    switch (value.type()) {
    case Json::nullValue: number = 0; return true;
    case Json::booleanValue: number = value.asBool() ? 1 : 0; return true;
    case Json::intValue: number = static_cast<double>(value.asInt64()); return true;
    case Json::uintValue: number = static_cast<double>(value.asUInt64()); return true;
    case Json::realValue: number = value.asDouble(); return true;
    default: return false;
    }
}

} // namespace

bool hasMember(const Json::Value& object, const char* key) { return object.isObject() && object.isMember(key); }

const Json::Value& memberOrNull(const Json::Value& object, const char* key)
{
    static const Json::Value null;
    if (!hasMember(object, key))
        return null;
    return object[key];
}

std::string memberConvertedToText(const Json::Value& object, const char* key, const std::string& fallback)
{
    if (!hasMember(object, key))
        return fallback;
    const Json::Value& value = object[key];
    if (value.isString())
        return value.asString();
    if (value.isBool())
        return value.asBool() ? "true" : "false";
    if (value.isNull())
        return "";
    return fallback;
}

bool memberTruthy(const Json::Value& object, const char* key, bool fallback)
{
    if (!hasMember(object, key))
        return fallback;
    const Json::Value& value = object[key];
    switch (value.type()) {
    case Json::nullValue: return false;
    case Json::booleanValue: return value.asBool();
    case Json::intValue: return value.asInt64() != 0;
    case Json::uintValue: return value.asUInt64() != 0;
    case Json::realValue: return value.asDouble() != 0.0;
    case Json::stringValue: return !value.asString().empty();
    case Json::arrayValue:
    case Json::objectValue: return !value.empty();
    }
    return fallback;
}

int32_t memberTruncatedToInt(const Json::Value& object, const char* key, int32_t fallback)
{
    double number = 0;
    // The range is checked before truncation: a real just beyond the range does not convert.
    if (!memberNumber(object, key, number) ||
        !(number >= std::numeric_limits<int32_t>::min() && number <= std::numeric_limits<int32_t>::max()))
        return fallback;
    return static_cast<int32_t>(std::trunc(number));
}

uint32_t memberTruncatedToUnsigned(const Json::Value& object, const char* key, uint32_t fallback)
{
    double number = 0;
    // A negative real such as -0.5 does not convert either, although it truncates to 0.
    if (!memberNumber(object, key, number) || !(number >= 0 && number <= std::numeric_limits<uint32_t>::max()))
        return fallback;
    return static_cast<uint32_t>(std::trunc(number));
}

float memberRoundedToFloat(const Json::Value& object, const char* key, float fallback)
{
    double number = 0;
    if (!memberNumber(object, key, number))
        return fallback;
    // Rounded as the hardware would, without the undefined conversion of a value outside the float range:
    // below the midpoint between the largest float and 2^128 a number rounds to the largest float, from it on
    // to infinity.
    const double largest = std::numeric_limits<float>::max();
    const double overflowMidpoint = std::ldexp(2.0 - std::ldexp(1.0, -24), 127);
    const double magnitude = std::fabs(number);
    if (magnitude <= largest)
        return static_cast<float>(number);
    const float limit =
        magnitude < overflowMidpoint ? std::numeric_limits<float>::max() : std::numeric_limits<float>::infinity();
    return number < 0 ? -limit : limit;
}
