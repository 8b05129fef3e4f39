#include "Murmex/Core/Text/LogitMath.h"

#include <cmath>
#include <limits>
#include <vector>

namespace murmex::logitmath {

float* scratch(std::size_t count) {
    thread_local std::vector<float> buffer;
    if (buffer.size() < count) buffer.resize(count);
    return buffer.data();
}

float maxValue(const float* values, int count) {
    float largest = -std::numeric_limits<float>::infinity();
    for (int i = 0; i < count; ++i) largest = values[i] > largest ? values[i] : largest;
    return largest;
}

int argmax(const float* values, int count) {
    int best = -1;
    float largest = 0;
    for (int i = 0; i < count; ++i) {
        if (std::isnan(values[i])) continue;
        if (best < 0 || values[i] > largest) {
            best = i;
            largest = values[i];
        }
    }
    return best;
}

double sumExp(const float* values, int count, float shift) {
    double sum = 0;
    for (int i = 0; i < count; ++i) sum += static_cast<double>(std::exp(values[i] - shift));
    return sum;
}

double logSumExp(const float* values, int count) {
    const float largest = maxValue(values, count);
    if (!(largest > -std::numeric_limits<float>::infinity())) return -std::numeric_limits<double>::infinity();
    if (std::isinf(largest)) return std::numeric_limits<double>::infinity();
    return static_cast<double>(largest) + std::log(sumExp(values, count, largest));
}

}  // namespace murmex::logitmath
