#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace murmex::test {

// Runs the ffmpeg command-line tool quietly with the given arguments (after "-y"); returns true
// when it succeeds.
bool runFfmpeg(const std::vector<std::string>& arguments);

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

void writeText(const std::filesystem::path& path, const std::string& text);

}  // namespace murmex::test

#include <mutex>

namespace murmex::test {

// Collects the lines the process-wide logger writes (at debug level and above) while it lives.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    bool contains(const std::string& line) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace murmex::test
