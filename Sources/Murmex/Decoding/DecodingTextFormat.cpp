#include "Murmex/Decoding/DecodingTextFormat.h"
#include "Platform/Text/NumberText.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace murmex::decodingtext {

namespace {

std::string platformStyle(std::string text) {
    if (text.find_first_of(".ein") == std::string::npos) text += ".0";
    return text;
}

bool isBlank(UChar32 c) { return c == '\t' || u_charType(c) == U_SPACE_SEPARATOR; }

}  // namespace

std::string halfDescription(platform::Float16 value) {
    if (value.isNaN()) return "nan";
    if (value.isInfinite()) return value.signBit() ? "-inf" : "inf";
    const double wide = static_cast<double>(value);
    std::string text;
    for (int digits = 1; digits <= 6; ++digits) {
        text = platform::numbertext::general(wide, digits);
        if (platform::Float16(*platform::numbertext::parseDouble(text)).bitPattern() == value.bitPattern()) break;
    }
    return platformStyle(text);
}

std::string shortestDescription(float value) { return platformStyle(platform::numbertext::shortest(value)); }

std::string shortestDescription(double value) { return platformStyle(platform::numbertext::shortest(value)); }

std::string threeSignificantDigits(float value) {
    if (!std::isfinite(value)) return shortestDescription(value);
    if (value == 0.0f) return "0.00";
    const int magnitude = static_cast<int>(std::floor(std::log10(std::fabs(static_cast<double>(value))))) + 1;
    const int decimals = magnitude >= 3 ? 0 : 3 - magnitude;
    return platform::numbertext::fixed(static_cast<double>(value), decimals);
}

std::string twoDecimals(double value) { return platform::numbertext::fixed(value, 2); }

std::string currentDateText() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0000", &utc);
    return buffer;
}

std::string trimmingWhitespaces(const std::string& text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    std::int32_t begin = 0;
    while (begin < length) {
        std::int32_t next = begin;
        UChar32 c = 0;
        U8_NEXT(bytes, next, length, c);
        if (c < 0 || !isBlank(c)) break;
        begin = next;
    }
    std::int32_t end = length;
    while (end > begin) {
        std::int32_t previous = end;
        UChar32 c = 0;
        U8_PREV(bytes, 0, previous, c);
        if (c < 0 || !isBlank(c)) break;
        end = previous;
    }
    return text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

bool beginsWithWhitespace(const std::string& text) {
    if (text.empty()) return false;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    std::int32_t offset = 0;
    UChar32 c = 0;
    U8_NEXT(bytes, offset, static_cast<std::int32_t>(text.size()), c);
    return c >= 0 && u_isUWhiteSpace(c);
}

}  // namespace murmex::decodingtext
