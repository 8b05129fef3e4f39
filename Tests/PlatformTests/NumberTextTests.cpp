// Number texts that never depend on the locale: the same bytes as printf and strtod give in
// the "C" locale, also while the process runs in a locale with a decimal comma.

#include "Platform/Text/NumberText.h"
#include "Support/ScopedLocale.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace numbertext = platform::numbertext;
using norvel::test::commaDecimalLocale;
using norvel::test::ScopedLocale;

const double inf = std::numeric_limits<double>::infinity();
const double nan = std::numeric_limits<double>::quiet_NaN();

// Values that probe rounding at ties, tiny and huge magnitudes, signs and non-finite values.
const std::vector<double> probes = {0.0,       -0.0,  0.125, 0.375,   2.675, -1.005,           0.5,  1.5,
                                    2.5,       9.995, 1e-7,  1.0 / 3, 16000, 123456.789,       1e21, 1e300,
                                    -4.9e-324, inf,   -inf,  nan,     -nan,  1765432100.123456};

std::string printed(const char* format, int a, int b, double value) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format, a, b, value);
    return buffer;
}

TEST(NumberText, FixedAndGeneralWriteWhatPrintfWritesInTheCLocale) {
    for (double value : probes) {
        for (int decimals : {0, 1, 2, 3, 6, 17}) {
            for (int width : {0, 2, 9, 12}) {
                EXPECT_EQ(numbertext::fixed(value, decimals, width), printed("%*.*f", width, decimals, value))
                    << value << " with " << decimals << " decimals in " << width;
            }
        }
        for (int digits : {0, 1, 3, 6, 17}) {
            EXPECT_EQ(numbertext::general(value, digits), printed("%*.*g", 0, digits, value))
                << value << " with " << digits << " digits";
        }
    }
    EXPECT_EQ(numbertext::fixed(1e300, 2).size(), 304u);  // past any small fixed buffer
}

TEST(NumberText, ParsesWholeTextsAsStrtodDoesInTheCLocale) {
    const std::vector<std::string> accepted = {
        "1765432100.5", "-2.5",     "+2.5",    "0",      "-0",     "1e3",       "1E-3",       ".5",      "5.",
        "0x1p3",        "0X1.8P1",  "-0x.8p1", "inf",    "-INF",   "infinity",  "nan",        "-nan",    "NaN",
        "1e-310",       "4.9e-324", "1e400",   "-1e400", "1e-400", "0x1p99999", "0x1p-99999", "1e99999", "-1e-99999"};
    for (const auto& text : accepted) {
        char* end = nullptr;
        const double expected = std::strtod(text.c_str(), &end);
        ASSERT_EQ(end, text.c_str() + text.size()) << text << " must be a whole number for strtod";
        const auto parsed = numbertext::parseDouble(text);
        ASSERT_TRUE(parsed) << text;
        if (std::isnan(expected)) {
            EXPECT_TRUE(std::isnan(*parsed)) << text;
            EXPECT_EQ(std::signbit(*parsed), std::signbit(expected)) << text;
        } else {
            EXPECT_EQ(std::memcmp(&*parsed, &expected, sizeof expected), 0) << text << " read as " << *parsed;
        }
    }
    for (const char* text : {"",     " 1",   "1 ",    "1\n", "1,5", "+-1", "-+1",   "--1",   "+",    "-",      "0x",
                             "0x-1", "0x+1", "0xinf", "1e",  "1e+", "abc", "1.2.3", "1,000", "0x1p", "infinit"}) {
        EXPECT_EQ(numbertext::parseDouble(text), std::nullopt) << '"' << text << '"';
    }
}

TEST(NumberText, ParsesWholeDecimalIntegers) {
    const std::vector<std::pair<std::string, std::optional<long long>>> cases = {
        {"42", 42},
        {"-7", -7},
        {"+7", 7},
        {"007", 7},
        {"9223372036854775807", std::numeric_limits<long long>::max()},
        {"-9223372036854775808", std::numeric_limits<long long>::min()},
        {"9223372036854775808", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
        {"1.0", std::nullopt},
        {"+-1", std::nullopt},
        {"1e3", std::nullopt},
        {"0x10", std::nullopt},
        {"1.000", std::nullopt},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(numbertext::parseInteger(text), expected) << text;
}

TEST(NumberText, ShortestDecimalWideningKeepsTheFloatsShortestText) {
    const std::vector<std::pair<float, double>> cases = {
        {0.1f, 0.1},
        {0.25f, 0.25},
        {-2.2f, -2.2},
        {1.0f, 1.0},
        {1e-45f, 1e-45},
        {16000.5f, 16000.5},
        {3.4028235e38f, 3.4028235e38},
        {0.0f, 0.0},
    };
    for (const auto& [value, expected] : cases) EXPECT_EQ(numbertext::shortestDecimalWidening(value), expected);
    EXPECT_TRUE(std::signbit(numbertext::shortestDecimalWidening(-0.0f)));
}

// The shortest texts read back as the same number; the "with fraction" form always reads as a
// floating-point number, while infinities and NaN keep their plain names.
TEST(NumberText, ShortestTextsReadBackAndShowAFraction) {
    struct Case {
        double value;
        bool isFloat;
        const char* shortest;
        const char* withFraction;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Case> cases = {
        {0.1, false, "0.1", "0.1"},
        {0.1f, true, "0.1", "0.1"},
        {0.1f, false, "0.10000000149011612", "0.10000000149011612"},
        {1.0, false, "1", "1.0"},
        {-3.0f, true, "-3", "-3.0"},
        {0.0, false, "0", "0.0"},
        {1e30, false, "1e+30", "1e+30"},
        {1e30f, true, "1e+30", "1e+30"},
        {inf, false, "inf", "inf"},
        {-inf, true, "-inf", "-inf"},
        {std::nan(""), false, "nan", "nan"},
    };
    for (const auto& c : cases) {
        const float narrow = static_cast<float>(c.value);
        EXPECT_EQ(c.isFloat ? numbertext::shortest(narrow) : numbertext::shortest(c.value), c.shortest) << c.shortest;
        EXPECT_EQ(c.isFloat ? numbertext::shortestWithFraction(narrow) : numbertext::shortestWithFraction(c.value),
                  c.withFraction)
            << c.shortest;
    }
}

// The same texts, and the same readings, in a locale where printf and strtod use a comma.
TEST(NumberText, TextsDoNotFollowACommaDecimalLocale) {
    if (!ScopedLocale::available(commaDecimalLocale)) GTEST_SKIP() << commaDecimalLocale << " is not installed";
    std::vector<std::string> plain;
    for (double value : probes) {
        plain.push_back(numbertext::fixed(value, 3, 12) + numbertext::general(value, 6));
    }
    ScopedLocale comma(commaDecimalLocale);
    ASSERT_TRUE(comma.active());
    ASSERT_EQ(ScopedLocale::decimalPoint(), ",");
    ASSERT_EQ(printed("%*.*f", 0, 2, 0.25), "0,25") << "the C library really uses the comma";
    for (std::size_t i = 0; i < probes.size(); ++i) {
        EXPECT_EQ(numbertext::fixed(probes[i], 3, 12) + numbertext::general(probes[i], 6), plain[i]);
    }
    EXPECT_EQ(numbertext::parseDouble("1765432100.5"), 1765432100.5);
    EXPECT_EQ(numbertext::parseDouble("0,5"), std::nullopt);
    EXPECT_EQ(numbertext::parseInteger("1.000"), std::nullopt);
    EXPECT_EQ(numbertext::shortestDecimalWidening(0.25f), 0.25);
}

}  // namespace
