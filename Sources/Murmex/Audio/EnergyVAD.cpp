#include "Murmex/Audio/EnergyVAD.h"

#include "Murmex/Audio/AudioProcessor.h"

#include <cmath>
#include <limits>

namespace murmex {

namespace {

int samplesFor(int sampleRate, float seconds) {
    const float samples = std::trunc(float(sampleRate) * seconds);
    if (!(samples > 0)) {
        return 0;
    }
    return samples >= float(std::numeric_limits<int>::max()) ? std::numeric_limits<int>::max() : int(samples);
}

}  // namespace

EnergyVAD::EnergyVAD(int sampleRate, float frameLength, float frameOverlap, float energyThreshold)
    : VoiceActivityDetector(sampleRate, samplesFor(sampleRate, frameLength), samplesFor(sampleRate, frameOverlap)),
      energyThreshold_(energyThreshold) {}

EnergyVAD::EnergyVAD(int sampleRate, int frameLengthSamples, int frameOverlapSamples, float energyThreshold)
    : VoiceActivityDetector(sampleRate, frameLengthSamples, frameOverlapSamples), energyThreshold_(energyThreshold) {}

std::vector<bool> EnergyVAD::voiceActivity(const std::vector<float>& samples) const {
    if (frameLengthSamples() <= 0) {
        // Frames of no length cover nothing.
        return {};
    }
    const auto frames = int(std::ceil(double(samples.size()) / double(frameLengthSamples())));
    return AudioProcessor::calculateVoiceActivityInChunks(samples, frames, frameLengthSamples(), frameOverlapSamples(),
                                                          energyThreshold_);
}

std::vector<bool> EnergyVAD::voiceActivityAsync(const std::vector<float>& samples) const {
    return voiceActivity(samples);
}

std::vector<std::pair<int64_t, int64_t>> EnergyVAD::calculateActiveChunks(const std::vector<float>& samples) const {
    const std::vector<bool> flags = voiceActivity(samples);
    const auto count = int64_t(samples.size());
    const int64_t frame = frameLengthSamples();
    std::vector<std::pair<int64_t, int64_t>> chunks;
    for (size_t i = 0; i < flags.size(); ++i) {
        if (!flags[i]) {
            continue;
        }
        const int64_t end = std::min(count, int64_t(i + 1) * frame);
        if (i == 0 || !flags[i - 1]) {
            chunks.emplace_back(int64_t(i) * frame, end);
        } else {
            chunks.back().second = end;
        }
    }
    return chunks;
}

int64_t EnergyVAD::voiceActivityIndexToAudioSampleIndex(int64_t frameIndex) const {
    return frameIndex * frameLengthSamples();
}

float EnergyVAD::voiceActivityIndexToSeconds(int64_t frameIndex) const {
    return float(frameIndex * frameLengthSamples()) / float(sampleRate());
}

std::optional<std::pair<int64_t, int64_t>> EnergyVAD::findLongestSilence(const std::vector<bool>& flags) const {
    std::optional<std::pair<int64_t, int64_t>> longest;
    const auto count = int64_t(flags.size());
    int64_t index = 0;
    while (index < count) {
        if (flags[size_t(index)]) {
            ++index;
            continue;
        }
        const int64_t start = index;
        while (index < count && !flags[size_t(index)]) {
            ++index;
        }
        if (!longest || index - start > longest->second - longest->first) {
            longest = std::make_pair(start, index);
        }
    }
    return longest;
}

std::vector<float> EnergyVAD::voiceActivityClipTimestamps(const std::vector<float>& samples) const {
    std::vector<float> timestamps;
    for (const auto& [start, end] : calculateSeekTimestamps(samples)) {
        timestamps.push_back(start);
        timestamps.push_back(end);
    }
    return timestamps;
}

std::vector<std::pair<int64_t, int64_t>> EnergyVAD::calculateNonSilentSeekClips(
    const std::vector<float>& samples) const {
    return calculateActiveChunks(samples);
}

std::vector<std::pair<float, float>> EnergyVAD::calculateSeekTimestamps(const std::vector<float>& samples) const {
    std::vector<std::pair<float, float>> timestamps;
    for (const auto& [start, end] : calculateActiveChunks(samples)) {
        timestamps.emplace_back(float(start) / float(sampleRate()), float(end) / float(sampleRate()));
    }
    return timestamps;
}

}  // namespace murmex
