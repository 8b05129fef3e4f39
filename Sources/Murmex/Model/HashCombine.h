#pragma once

#include <cstddef>
#include <functional>

namespace murmex::detail {

inline void hashCombine(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

// Hashes a float by value: -0.0 and 0.0 hash alike.
inline std::size_t hashFloat(float value) { return std::hash<float>{}(value == 0.0f ? 0.0f : value); }

}  // namespace murmex::detail
