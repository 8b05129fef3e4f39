#include "Platform/ML/Conversion/MelFilterbank.h"

#include <algorithm>
#include <cmath>

namespace platform::conversion {

namespace {

constexpr double linearStep = 200.0 / 3.0;  // Hz per mel below the break
constexpr double breakFrequency = 1000.0;
constexpr double breakMel = breakFrequency / linearStep;
const double logStep = std::log(6.4) / 27.0;

double hertzToMel(double hertz) {
    if (hertz < breakFrequency) return hertz / linearStep;
    return breakMel + std::log(hertz / breakFrequency) / logStep;
}

double melToHertz(double mel) {
    if (mel < breakMel) return mel * linearStep;
    return breakFrequency * std::exp(logStep * (mel - breakMel));
}

}  // namespace

std::vector<float> slaneyMelFilterbank(int sampleRate, int fftLength, int melCount) {
    const int bins = fftLength / 2 + 1;
    std::vector<double> binFrequencies(static_cast<std::size_t>(bins));
    for (int b = 0; b < bins; ++b) binFrequencies[static_cast<std::size_t>(b)] = b * (sampleRate / 2.0) / (bins - 1);

    const double lowMel = hertzToMel(0.0), highMel = hertzToMel(sampleRate / 2.0);
    std::vector<double> edges(static_cast<std::size_t>(melCount + 2));
    for (int i = 0; i < melCount + 2; ++i)
        edges[static_cast<std::size_t>(i)] = melToHertz(lowMel + (highMel - lowMel) * i / (melCount + 1));

    std::vector<float> filters(static_cast<std::size_t>(melCount) * static_cast<std::size_t>(bins));
    for (int m = 0; m < melCount; ++m) {
        const double left = edges[static_cast<std::size_t>(m)];
        const double centre = edges[static_cast<std::size_t>(m + 1)];
        const double right = edges[static_cast<std::size_t>(m + 2)];
        const double norm = 2.0 / (right - left);
        for (int b = 0; b < bins; ++b) {
            const double f = binFrequencies[static_cast<std::size_t>(b)];
            const double rising = (f - left) / (centre - left);
            const double falling = (right - f) / (right - centre);
            const double weight = std::max(0.0, std::min(rising, falling));
            filters[static_cast<std::size_t>(m) * static_cast<std::size_t>(bins) + static_cast<std::size_t>(b)] =
                static_cast<float>(weight * norm);
        }
    }
    return filters;
}

}  // namespace platform::conversion
