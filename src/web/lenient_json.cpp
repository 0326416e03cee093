#include "web/lenient_json.h"

#include <cmath>
#include <limits>

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

std::string memberAsText(const Json::Value& object, const char* key, const std::string& fallback)
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

bool memberAsBool(const Json::Value& object, const char* key, bool fallback)
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

int32_t memberAsInt(const Json::Value& object, const char* key, int32_t fallback)
{
    double number = 0;
    // The range is checked before truncation: a real just beyond the range does not convert.
    if (!memberNumber(object, key, number) || !(number >= std::numeric_limits<int32_t>::min() &&
                                                 number <= std::numeric_limits<int32_t>::max()))
        return fallback;
    return static_cast<int32_t>(std::trunc(number));
}

uint32_t memberAsUnsigned(const Json::Value& object, const char* key, uint32_t fallback)
{
    double number = 0;
    // A negative real such as -0.5 does not convert either, although it truncates to 0.
    if (!memberNumber(object, key, number) || !(number >= 0 && number <= std::numeric_limits<uint32_t>::max()))
        return fallback;
    return static_cast<uint32_t>(std::trunc(number));
}

float memberAsFloat(const Json::Value& object, const char* key, float fallback)
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
    const float limit = magnitude < overflowMidpoint ? std::numeric_limits<float>::max()
                                                     : std::numeric_limits<float>::infinity();
    return number < 0 ? -limit : limit;
}
