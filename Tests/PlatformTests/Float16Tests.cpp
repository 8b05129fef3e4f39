#include "Platform/ML/Float16.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

using platform::Float16;

struct ConversionCase {
    const char* what;
    double value;
    std::uint16_t bits;
};

TEST(Float16, ConvertsFromDoubleWithRoundToNearestEven) {
    const double ulpAtOne = std::ldexp(1.0, -10);
    const ConversionCase cases[] = {
        {"zero", 0.0, 0x0000},
        {"negative zero", -0.0, 0x8000},
        {"one", 1.0, 0x3C00},
        {"decoder padding value", -10000.0, 0xF0E2},
        {"largest finite", 65504.0, 0x7BFF},
        {"just below the overflow tie", 65519.99, 0x7BFF},
        {"overflow tie rounds to infinity", 65520.0, 0x7C00},
        {"far too large", 1e300, 0x7C00},
        {"negative overflow", -70000.0, 0xFC00},
        {"infinity", std::numeric_limits<double>::infinity(), 0x7C00},
        {"negative infinity", -std::numeric_limits<double>::infinity(), 0xFC00},
        {"tie at one rounds to even (down)", 1.0 + ulpAtOne / 2, 0x3C00},
        {"tie above odd rounds to even (up)", 1.0 + 3 * ulpAtOne / 2, 0x3C02},
        {"just above a tie rounds up", 1.0 + ulpAtOne / 2 + std::ldexp(1.0, -40), 0x3C01},
        {"one tenth", 0.1, 0x2E66},
        {"smallest normal", std::ldexp(1.0, -14), 0x0400},
        {"largest subnormal", std::ldexp(1023.0, -24), 0x03FF},
        {"subnormal tie rounds up into the normals", std::ldexp(2047.0, -25), 0x0400},
        {"smallest subnormal", std::ldexp(1.0, -24), 0x0001},
        {"half the smallest subnormal ties to zero", std::ldexp(1.0, -25), 0x0000},
        {"just above half the smallest subnormal", std::ldexp(1.0, -25) * (1 + 1e-9), 0x0001},
        {"one and a half smallest subnormals ties to even", std::ldexp(3.0, -25), 0x0002},
        {"negative subnormal", -std::ldexp(5.0, -24), 0x8005},
        {"double subnormal underflows to signed zero", -std::numeric_limits<double>::denorm_min(), 0x8000},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Float16(c.value).bitPattern(), c.bits) << c.what;
        // A float argument gives the same result whenever the value is a float exactly.
        if (static_cast<double>(static_cast<float>(c.value)) == c.value) {
            EXPECT_EQ(Float16(static_cast<float>(c.value)).bitPattern(), c.bits) << c.what << " (float)";
        }
    }
    EXPECT_TRUE(Float16(std::nan("")).isNaN());
    EXPECT_TRUE(Float16(-std::numeric_limits<float>::quiet_NaN()).isNaN());
}

TEST(Float16, EveryBitPatternWidensExactlyAndRoundTrips) {
    std::vector<Float16> all(65536);
    for (std::uint32_t bits = 0; bits < 65536; ++bits) all[bits] = Float16::fromBits(static_cast<std::uint16_t>(bits));
    std::vector<float> widened(all.size());
    platform::convertFloat16ToFloat(all.data(), widened.data(), all.size());

    for (std::uint32_t bits = 0; bits < 65536; ++bits) {
        const Float16 h = all[bits];
        const float f = static_cast<float>(h);
        ASSERT_EQ(std::isnan(f), h.isNaN()) << bits;
        if (h.isNaN()) {
            ASSERT_TRUE(std::isnan(widened[bits]));
            continue;
        }
        ASSERT_EQ(std::bit_cast<std::uint32_t>(widened[bits]), std::bit_cast<std::uint32_t>(f))
            << "bulk widening " << bits;
        ASSERT_EQ(Float16(f).bitPattern(), bits) << "round trip " << bits;
    }
    // Reference values for the widening itself.
    EXPECT_EQ(static_cast<float>(Float16::fromBits(0x0001)), std::ldexp(1.0f, -24));
    EXPECT_EQ(static_cast<float>(Float16::fromBits(0x7BFF)), 65504.0f);
    EXPECT_EQ(static_cast<float>(Float16::fromBits(0xF0E2)), -10000.0f);
}

TEST(Float16, BulkNarrowingMatchesScalarConversion) {
    std::vector<float> values;
    // Every midpoint between neighbouring half values, and its float neighbours.
    for (std::uint32_t bits = 0; bits < 0x7C00; ++bits) {
        const float lower = static_cast<float>(Float16::fromBits(static_cast<std::uint16_t>(bits)));
        const float upper = static_cast<float>(Float16::fromBits(static_cast<std::uint16_t>(bits + 1)));
        const float mid = static_cast<float>((static_cast<double>(lower) + upper) / 2);
        for (float v : {mid, std::nextafter(mid, 0.0f), std::nextafter(mid, 1e9f)}) {
            values.push_back(v);
            values.push_back(-v);
        }
    }
    std::mt19937 random(7);
    std::uniform_real_distribution<float> wide(-70000.0f, 70000.0f);
    for (int i = 0; i < 10000; ++i) values.push_back(wide(random));
    values.push_back(std::numeric_limits<float>::infinity());
    values.push_back(std::numeric_limits<float>::denorm_min());

    std::vector<Float16> bulk(values.size());
    platform::convertFloatToFloat16(values.data(), bulk.data(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        ASSERT_EQ(bulk[i].bitPattern(), Float16(values[i]).bitPattern()) << "value " << values[i];
}

TEST(Float16, ArithmeticRoundsEachResultToHalfPrecision) {
    // A fallback temperature: 0 + 3 × 0.2, each step in half precision.
    const Float16 increment(0.2f);
    const Float16 temperature = Float16(0.0f) + Float16(3) * increment;
    EXPECT_EQ(static_cast<float>(temperature), 0.599609375f);
    EXPECT_EQ(static_cast<float>(Float16(1.0f) / Float16(3.0f)), static_cast<float>(Float16(1.0 / 3.0)));
    EXPECT_TRUE((Float16(65504.0f) + Float16(32.0f)).isInfinite());
    EXPECT_TRUE(Float16(-0.0f) == Float16(0.0f));
    EXPECT_FALSE(Float16::quietNaN() == Float16::quietNaN());
    EXPECT_LT(Float16::negativeInfinity(), Float16(-65504.0f));
    EXPECT_EQ(std::hash<Float16>{}(Float16(-0.0f)), std::hash<Float16>{}(Float16(0.0f)));
}

}  // namespace
