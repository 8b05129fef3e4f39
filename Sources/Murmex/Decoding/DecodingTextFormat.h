#pragma once

#include <string>

#include "Platform/ML/Float16.h"

namespace murmex::decodingtext {

// Text helpers of the decoding stages' log lines and results.

// The shortest decimal text that reads back as the same half-precision value, in the
// platform's style ("0.0", "0.2", "0.5996", "1.0").
std::string halfDescription(platform::Float16 value);
// The shortest decimal text of a float or double ("1.0", "0.25", "1e-05").
std::string shortestDescription(float value);
std::string shortestDescription(double value);
// `value` with three significant digits ("0.123", "1.00", "30.1", "123").
std::string threeSignificantDigits(float value);
// printf-style "%.2f".
std::string twoDecimals(double value);
// The current date and time, "2001-01-01 00:00:00 +0000".
std::string currentDateText();

// The text without spaces (Unicode space separators) and tabs at either end; line breaks stay.
std::string trimmingWhitespaces(const std::string& text);
// True when the first character is white space, line breaks included.
bool beginsWithWhitespace(const std::string& text);

}  // namespace murmex::decodingtext
