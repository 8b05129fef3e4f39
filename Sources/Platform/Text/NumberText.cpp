#include "Platform/Text/NumberText.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace platform::numbertext {

namespace {

// printf takes a negative precision as if none were given.
int usablePrecision(int precision) { return precision < 0 ? 6 : precision; }

template <typename Convert>
std::string converted(std::size_t capacity, Convert convert) {
    std::string text(capacity, '\0');
    for (;;) {
        const auto [end, error] = convert(text.data(), text.data() + text.size());
        if (error == std::errc()) {
            text.resize(static_cast<std::size_t>(end - text.data()));
            return text;
        }
        text.resize(text.size() * 2);
    }
}

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Whether a text that is out of a double's range is too large (rather than too small).
bool tooLarge(std::string_view digits, std::chars_format format) {
    long double wide = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), wide, format);
    if (error == std::errc() && end == digits.data() + digits.size()) return std::fabs(wide) > 1;
    // Beyond even long double: the exponent's sign tells.
    const auto mark = digits.find_last_of(format == std::chars_format::hex ? "pP" : "eE");
    return mark == std::string_view::npos || mark + 1 >= digits.size() || digits[mark + 1] != '-';
}

}  // namespace

std::string fixed(double value, int decimals, int width) {
    const int precision = usablePrecision(decimals);
    std::string text = converted(static_cast<std::size_t>(precision) + 32, [&](char* first, char* last) {
        return std::to_chars(first, last, value, std::chars_format::fixed, precision);
    });
    if (width > 0 && text.size() < static_cast<std::size_t>(width)) {
        text.insert(0, static_cast<std::size_t>(width) - text.size(), ' ');
    }
    return text;
}

std::string general(double value, int significantDigits) {
    const int precision = usablePrecision(significantDigits);
    return converted(static_cast<std::size_t>(precision) + 32, [&](char* first, char* last) {
        return std::to_chars(first, last, value, std::chars_format::general, precision);
    });
}

std::optional<double> parseDouble(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    auto format = std::chars_format::general;
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        format = std::chars_format::hex;
        text.remove_prefix(2);
        if (text.empty() || !(isHexDigit(text.front()) || text.front() == '.')) return std::nullopt;
    }
    // The sign has been read; from_chars would accept a second minus.
    if (text.empty() || text.front() == '+' || text.front() == '-') return std::nullopt;
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, format);
    if (end != text.data() + text.size()) return std::nullopt;
    if (error == std::errc::result_out_of_range) {
        value = tooLarge(text, format) ? HUGE_VAL : 0.0;
    } else if (error != std::errc()) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

std::optional<long long> parseInteger(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return std::nullopt;
    }
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

namespace {

template <class Floating>
std::string shortestText(Floating value) {
    char buffer[64];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, written.ptr);
}

template <class Floating>
std::string withFraction(Floating value) {
    std::string text = shortestText(value);
    if (std::isfinite(value) && text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

}  // namespace

std::string shortest(double value) { return shortestText(value); }
std::string shortest(float value) { return shortestText(value); }
std::string shortestWithFraction(double value) { return withFraction(value); }
std::string shortestWithFraction(float value) { return withFraction(value); }

double shortestDecimalWidening(float value) {
    const std::string text = shortestText(value);
    double wide = static_cast<double>(value);
    std::from_chars(text.data(), text.data() + text.size(), wide);
    return wide;
}

}  // namespace platform::numbertext
