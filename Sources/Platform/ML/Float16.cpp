#include "Platform/ML/Float16.h"

#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define PLATFORM_HAS_X86 1
#endif

namespace platform {

std::uint16_t Float16::fromDouble(double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    const auto sign = static_cast<std::uint16_t>((bits >> 48) & 0x8000);
    const int exponentField = static_cast<int>((bits >> 52) & 0x7FF);
    const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);

    if (exponentField == 0x7FF) {
        if (fraction == 0) return static_cast<std::uint16_t>(sign | 0x7C00);
        // NaN: keep the top payload bits and make sure the result stays a quiet NaN.
        return static_cast<std::uint16_t>(sign | 0x7E00 | static_cast<std::uint16_t>(fraction >> 42));
    }
    if (exponentField == 0) {
        // Zero or a double subnormal (below 2^-1022): far below half precision's range.
        return sign;
    }

    const int exponent = exponentField - 1023;
    if (exponent > 15) return static_cast<std::uint16_t>(sign | 0x7C00);

    const std::uint64_t significand = fraction | (std::uint64_t{1} << 52);  // 53 bits
    // Normal results keep 10 fraction bits; subnormal ones count units of 2^-24.
    int shift = 42;
    if (exponent < -14) shift += -14 - exponent;
    if (shift >= 64) return sign;

    std::uint64_t quotient = significand >> shift;
    const std::uint64_t remainder = significand & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t halfway = std::uint64_t{1} << (shift - 1);
    if (remainder > halfway || (remainder == halfway && (quotient & 1) != 0)) ++quotient;

    std::uint32_t result;
    if (exponent < -14) {
        // A carry into 2^10 yields the smallest normal number, as it should.
        result = static_cast<std::uint32_t>(quotient);
    } else {
        // quotient carries the implicit bit (2^10), so it adds one to the exponent field;
        // a rounding carry to 2^11 moves to the next binade on its own.
        result = (static_cast<std::uint32_t>(exponent + 14) << 10) + static_cast<std::uint32_t>(quotient);
        if (result >= 0x7C00) result = 0x7C00;
    }
    return static_cast<std::uint16_t>(sign | result);
}

std::uint16_t Float16::fromFloat(float value) {
    // Widening to double is exact, so there is a single rounding.
    return fromDouble(static_cast<double>(value));
}

float Float16::toFloat(std::uint16_t bits) {
    const std::uint32_t sign = static_cast<std::uint32_t>(bits & 0x8000) << 16;
    const std::uint32_t exponent = (bits >> 10) & 0x1F;
    std::uint32_t fraction = bits & 0x3FF;
    std::uint32_t result;
    if (exponent == 0x1F) {
        result = sign | 0x7F800000u | (fraction << 13);
    } else if (exponent != 0) {
        result = sign | ((exponent + 112) << 23) | (fraction << 13);
    } else if (fraction == 0) {
        result = sign;
    } else {
        // Subnormal: normalise the fraction.
        int e = -1;
        do {
            ++e;
            fraction <<= 1;
        } while ((fraction & 0x400) == 0);
        fraction &= 0x3FF;
        result = sign | (static_cast<std::uint32_t>(112 - e) << 23) | (fraction << 13);
    }
    return std::bit_cast<float>(result);
}

#ifdef PLATFORM_HAS_X86
namespace {

bool hasF16C() {
    static const bool supported = __builtin_cpu_supports("f16c") && __builtin_cpu_supports("avx");
    return supported;
}

__attribute__((target("avx,f16c"))) void halfToFloatF16C(const Float16* source, float* destination, std::size_t count) {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
        _mm256_storeu_ps(destination + i, _mm256_cvtph_ps(h));
    }
    for (; i < count; ++i) destination[i] = Float16::toFloat(source[i].bitPattern());
}

__attribute__((target("avx,f16c"))) void floatToHalfF16C(const float* source, Float16* destination, std::size_t count) {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        __m256 f = _mm256_loadu_ps(source + i);
        __m128i h = _mm256_cvtps_ph(f, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i), h);
    }
    for (; i < count; ++i) destination[i] = Float16::fromBits(Float16::fromFloat(source[i]));
}

}  // namespace
#endif

void convertFloat16ToFloat(const Float16* source, float* destination, std::size_t count) {
#ifdef PLATFORM_HAS_X86
    if (hasF16C()) {
        halfToFloatF16C(source, destination, count);
        return;
    }
#endif
    for (std::size_t i = 0; i < count; ++i) destination[i] = Float16::toFloat(source[i].bitPattern());
}

void convertFloatToFloat16(const float* source, Float16* destination, std::size_t count) {
#ifdef PLATFORM_HAS_X86
    if (hasF16C()) {
        floatToHalfF16C(source, destination, count);
        return;
    }
#endif
    for (std::size_t i = 0; i < count; ++i) destination[i] = Float16::fromBits(Float16::fromFloat(source[i]));
}

}  // namespace platform
