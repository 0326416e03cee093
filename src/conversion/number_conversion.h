#pragma once

#include <cstdint>
#include <string>

// Conversions between editor numbers and record fields that are defined for every input value.

// Rounds to the nearest f32 as the FPU does: values beyond the f32 range become the infinity of their sign.
float toF32(double value);

// Truncates toward zero; values beyond the int32 range saturate and NaN gives 0.
int32_t truncateToInt32(double value);

// The decimal number at the start of a text: leading white space, optional sign, digits, decimal point and
// exponent. Reading stops at the first character that cannot continue the number; 0 when none starts the text.
// No "inf", "nan" or hexadecimal forms, and the result does not depend on the locale.
double parseLeadingDecimal(const std::string& text, size_t start = 0);

// The decimal integer at the start of a text: leading white space, optional sign, digits. Saturates to the
// int32 range; 0 when there are no digits.
int32_t parseLeadingInteger(const std::string& text, size_t start = 0);
