#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace platform {

// IEEE 754 binary16: 1 sign bit, 5 exponent bits, 10 fraction bits, held as its 16-bit
// pattern. Conversions from float and double round to nearest, ties to even, with
// subnormals, infinities and NaN; conversion to float is exact. Arithmetic computes in
// single precision and rounds the result once, which equals correctly rounded
// half-precision arithmetic for + − × ÷ (single precision has more than twice the
// significand bits).
class Float16 {
public:
    constexpr Float16() = default;
    Float16(float value) : bits_(fromFloat(value)) {}    // NOLINT: implicit like the platform's literal conversions
    Float16(double value) : bits_(fromDouble(value)) {}  // NOLINT
    Float16(int value) : bits_(fromDouble(static_cast<double>(value))) {}  // NOLINT

    static constexpr Float16 fromBits(std::uint16_t bits) {
        Float16 h;
        h.bits_ = bits;
        return h;
    }
    constexpr std::uint16_t bitPattern() const { return bits_; }

    // Widening is exact but explicit, so that mixed expressions never pick between half
    // and single precision silently.
    explicit operator float() const { return toFloat(bits_); }
    explicit operator double() const { return static_cast<double>(toFloat(bits_)); }
    float floatValue() const { return toFloat(bits_); }

    static constexpr Float16 infinity() { return fromBits(0x7C00); }
    static constexpr Float16 negativeInfinity() { return fromBits(0xFC00); }
    static constexpr Float16 quietNaN() { return fromBits(0x7E00); }
    static constexpr Float16 greatestFiniteMagnitude() { return fromBits(0x7BFF); }
    static constexpr Float16 leastNormalMagnitude() { return fromBits(0x0400); }
    static constexpr Float16 leastNonzeroMagnitude() { return fromBits(0x0001); }

    constexpr bool isNaN() const { return (bits_ & 0x7C00) == 0x7C00 && (bits_ & 0x03FF) != 0; }
    constexpr bool isInfinite() const { return (bits_ & 0x7FFF) == 0x7C00; }
    constexpr bool isFinite() const { return (bits_ & 0x7C00) != 0x7C00; }
    constexpr bool isZero() const { return (bits_ & 0x7FFF) == 0; }
    constexpr bool isSubnormal() const { return (bits_ & 0x7C00) == 0 && (bits_ & 0x03FF) != 0; }
    constexpr bool signBit() const { return (bits_ & 0x8000) != 0; }

    Float16 operator-() const { return fromBits(static_cast<std::uint16_t>(bits_ ^ 0x8000)); }
    friend Float16 operator+(Float16 a, Float16 b) { return Float16(float(a) + float(b)); }
    friend Float16 operator-(Float16 a, Float16 b) { return Float16(float(a) - float(b)); }
    friend Float16 operator*(Float16 a, Float16 b) { return Float16(float(a) * float(b)); }
    friend Float16 operator/(Float16 a, Float16 b) { return Float16(float(a) / float(b)); }
    Float16& operator+=(Float16 o) { return *this = *this + o; }
    Float16& operator-=(Float16 o) { return *this = *this - o; }
    Float16& operator*=(Float16 o) { return *this = *this * o; }
    Float16& operator/=(Float16 o) { return *this = *this / o; }

    // Numeric comparisons (NaN is unordered, −0 equals +0), like the platform's.
    friend bool operator==(Float16 a, Float16 b) { return float(a) == float(b); }
    friend bool operator!=(Float16 a, Float16 b) { return float(a) != float(b); }
    friend bool operator<(Float16 a, Float16 b) { return float(a) < float(b); }
    friend bool operator<=(Float16 a, Float16 b) { return float(a) <= float(b); }
    friend bool operator>(Float16 a, Float16 b) { return float(a) > float(b); }
    friend bool operator>=(Float16 a, Float16 b) { return float(a) >= float(b); }

    // Bit-level conversions, usable without constructing a value.
    static std::uint16_t fromDouble(double value);
    static std::uint16_t fromFloat(float value);
    static float toFloat(std::uint16_t bits);

private:
    std::uint16_t bits_ = 0;
};

static_assert(sizeof(Float16) == 2, "Float16 must be exactly two bytes");

// Bulk conversions over contiguous storage; they give the same results as the scalar
// conversions, element by element, using the processor's half-precision instructions
// where available.
void convertFloat16ToFloat(const Float16* source, float* destination, std::size_t count);
void convertFloatToFloat16(const float* source, Float16* destination, std::size_t count);

}  // namespace platform

template <>
struct std::hash<platform::Float16> {
    std::size_t operator()(platform::Float16 value) const noexcept {
        // Equal values hash alike: both zeros share a hash.
        std::uint16_t bits = value.isZero() ? 0 : value.bitPattern();
        return std::hash<std::uint16_t>{}(bits);
    }
};
