#include "HalvexCore/FloatRounding.h"

#include <cmath>

namespace halvex {

float rounded(float value, int places) {
    const float divisor = std::pow(10.0f, static_cast<float>(places));
    const float scaled = value * divisor;
    return std::round(scaled) / divisor;
}

}  // namespace halvex
