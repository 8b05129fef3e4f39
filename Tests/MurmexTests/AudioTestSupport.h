#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "Support/Ffmpeg.h"
#include "Support/Files.h"
#include "Support/LogCapture.h"

namespace murmex::test {

// Media files in every format are made with the ffmpeg tool; other files are written whole.
using norvel::test::LogCapture;
using norvel::test::runFfmpeg;
using norvel::test::writeText;

// Writes a WAV file of 32-bit float samples, one plane per channel (all the same length).
void writeFloatWav(const std::filesystem::path& path, const std::vector<std::vector<float>>& channels, int sampleRate);
// Writes a WAV file of 16-bit samples from float planes (clamped to [-1, 1]).
void writePcm16Wav(const std::filesystem::path& path, const std::vector<std::vector<float>>& channels, int sampleRate);

// amplitude × sin(2π × frequency × i / sampleRate) for `frames` samples.
std::vector<float> sine(double frequency, double amplitude, int sampleRate, int64_t frames);

double rms(const std::vector<float>& samples, size_t first = 0, size_t count = SIZE_MAX);
float peak(const std::vector<float>& samples);
// The frequency of a pure tone, from its zero crossings.
double toneFrequency(const std::vector<float>& samples, int sampleRate);
// The largest difference from `amplitude × sin(2π × frequency × i / sampleRate)` over samples
// first…first+count.
double largestSineError(const std::vector<float>& samples, double frequency, double amplitude, int sampleRate,
                        size_t first, size_t count);
// Normalised correlation of two equally long stretches (1 for identical shapes).
double correlation(const std::vector<float>& a, const std::vector<float>& b);

}  // namespace murmex::test
