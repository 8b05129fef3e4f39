#pragma once

#include <vector>

namespace platform::conversion {

// Triangular mel filters on the Slaney scale (linear below 1 kHz, logarithmic above),
// area-normalised, for `fftLength`-point transforms of audio at `sampleRate`: melCount rows
// of fftLength / 2 + 1 weights, row-major.
std::vector<float> slaneyMelFilterbank(int sampleRate, int fftLength, int melCount);

}  // namespace platform::conversion
