#include "AudioTestSupport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace murmex::test {

namespace {

void put16(std::ofstream& out, uint16_t v) { out.put(char(v & 0xff)).put(char(v >> 8)); }
void put32(std::ofstream& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.put(char((v >> (8 * i)) & 0xff));
}

void writeWav(const std::filesystem::path& path, const std::vector<std::vector<float>>& channels, int sampleRate,
              bool asFloat) {
    const auto count = uint16_t(channels.size());
    const size_t frames = channels.empty() ? 0 : channels[0].size();
    const uint16_t bytes = asFloat ? 4 : 2;
    const auto dataSize = uint32_t(frames * count * bytes);
    std::ofstream out(path, std::ios::binary);
    out.write("RIFF", 4);
    put32(out, 36 + dataSize);
    out.write("WAVEfmt ", 8);
    put32(out, 16);
    put16(out, asFloat ? 3 : 1);
    put16(out, count);
    put32(out, uint32_t(sampleRate));
    put32(out, uint32_t(sampleRate) * count * bytes);
    put16(out, uint16_t(count * bytes));
    put16(out, uint16_t(bytes * 8));
    out.write("data", 4);
    put32(out, dataSize);
    std::vector<char> block(frames * count * bytes);
    char* at = block.data();
    for (size_t i = 0; i < frames; ++i) {
        for (const auto& channel : channels) {
            if (asFloat) {
                std::memcpy(at, &channel[i], 4);
                at += 4;
            } else {
                auto value = int16_t(std::lround(std::clamp(channel[i], -1.0f, 1.0f) * 32767.0f));
                std::memcpy(at, &value, 2);
                at += 2;
            }
        }
    }
    out.write(block.data(), std::streamsize(block.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

void writeFloatWav(const std::filesystem::path& path, const std::vector<std::vector<float>>& channels, int sampleRate) {
    writeWav(path, channels, sampleRate, true);
}

void writePcm16Wav(const std::filesystem::path& path, const std::vector<std::vector<float>>& channels, int sampleRate) {
    writeWav(path, channels, sampleRate, false);
}

std::vector<float> sine(double frequency, double amplitude, int sampleRate, int64_t frames) {
    std::vector<float> samples(static_cast<size_t>(frames));
    for (int64_t i = 0; i < frames; ++i) {
        samples[size_t(i)] = float(amplitude * std::sin(2 * M_PI * frequency * double(i) / sampleRate));
    }
    return samples;
}

double rms(const std::vector<float>& samples, size_t first, size_t count) {
    count = std::min(count, samples.size() - std::min(first, samples.size()));
    if (count == 0) return 0;
    double sum = 0;
    for (size_t i = first; i < first + count; ++i) sum += double(samples[i]) * samples[i];
    return std::sqrt(sum / double(count));
}

float peak(const std::vector<float>& samples) {
    float result = 0;
    for (float sample : samples) result = std::max(result, std::fabs(sample));
    return result;
}

double toneFrequency(const std::vector<float>& samples, int sampleRate) {
    // Rising zero crossings, refined by linear interpolation, between the first and the last.
    std::vector<double> crossings;
    for (size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            crossings.push_back(double(i - 1) + samples[i - 1] / double(samples[i - 1] - samples[i]));
        }
    }
    if (crossings.size() < 2) return 0;
    return double(crossings.size() - 1) * sampleRate / (crossings.back() - crossings.front());
}

double largestSineError(const std::vector<float>& samples, double frequency, double amplitude, int sampleRate,
                        size_t first, size_t count) {
    double largest = 0;
    for (size_t i = first; i < std::min(samples.size(), first + count); ++i) {
        double expected = amplitude * std::sin(2 * M_PI * frequency * double(i) / sampleRate);
        largest = std::max(largest, std::fabs(samples[i] - expected));
    }
    return largest;
}

double correlation(const std::vector<float>& a, const std::vector<float>& b) {
    size_t n = std::min(a.size(), b.size());
    double ab = 0, aa = 0, bb = 0;
    for (size_t i = 0; i < n; ++i) {
        ab += double(a[i]) * b[i];
        aa += double(a[i]) * a[i];
        bb += double(b[i]) * b[i];
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

}  // namespace murmex::test
