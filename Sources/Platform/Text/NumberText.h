#pragma once

// Conversions between numbers and text that never depend on the C or C++ locale. Files,
// records, logs and peers always see a decimal point, whatever locale the process runs in
// (an application toolkit may set the C library's locale from the user's environment).
// The texts are those printf and strtod give in the "C" locale.

#include <optional>
#include <string>
#include <string_view>

namespace platform::numbertext {

// `value` with `decimals` digits after the point, right-aligned in `width` characters: the
// text of printf's "%*.*f" in the "C" locale ("inf", "-nan" and "-0.00" included).
std::string fixed(double value, int decimals, int width = 0);

// `value` with at most `significantDigits` significant digits: the text of printf's "%.*g" in
// the "C" locale.
std::string general(double value, int significantDigits);

// The double a whole text denotes, read as strtod reads it in the "C" locale: an optional
// sign, then decimal digits with an optional point and exponent, a hexadecimal number after
// "0x", or "inf", "infinity" or "nan". A magnitude too large for a double reads as infinity
// and one too small as zero. Nothing when the text is empty, holds blanks or anything else.
std::optional<double> parseDouble(std::string_view text);

// The decimal integer a whole text denotes, with an optional sign. Nothing when the text is
// not one or its value is outside the range of long long.
std::optional<long long> parseInteger(std::string_view text);

// The shortest text that reads back as exactly `value` ("0.1", "1", "1e+30", "inf", "-nan").
std::string shortest(double value);
std::string shortest(float value);

// The shortest text as above, with ".0" added to a finite whole number ("1.0", "1e+30"), so
// that the text always reads as a floating-point number.
std::string shortestWithFraction(double value);
std::string shortestWithFraction(float value);

// The double whose shortest text is the float's shortest text: 0.1f becomes 0.1, not
// 0.10000000149011612, so that a document that stores doubles shows what the float holds.
double shortestDecimalWidening(float value);

}  // namespace platform::numbertext
