#pragma once

#include <string>

#include <json/json.h>

// Reals within 1e-6 of a multiple of 0.01 between -10 and 10 are written in their short two-decimal form.
// On from start-up; nothing in the relay turns it off.
extern bool twoDecimalReals;

// Text of one real: the two-decimal form, or 16 significant digits with trailing zeros trimmed to one.
// NaN gives null and the infinities 1e+9999 / -1e+9999, so the text stays valid JSON.
std::string formatJsonReal(double x);
// The same text appended to out.
void appendJsonReal(std::string& out, double x);

// Writes a JSON value as compact text: no whitespace, object members in ascending byte order of their keys,
// strings made valid UTF-8.
class CompactJsonWriter {
public:
    std::string write(const Json::Value& value);
};
