#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace murmex {

// The base of the voice activity detectors: one voiced/unvoiced flag per frame of a sample
// array, and conversions between frames, samples and seconds. Frames start every
// `frameLengthSamples` samples; a frame's window reaches `frameOverlapSamples` further.
// Detectors are immutable after construction and may be shared between threads.
class VoiceActivityDetector {
public:
    VoiceActivityDetector(int sampleRate, int frameLengthSamples, int frameOverlapSamples)
        : sampleRate_(sampleRate), frameLengthSamples_(frameLengthSamples), frameOverlapSamples_(frameOverlapSamples) {}
    virtual ~VoiceActivityDetector() = default;

    int sampleRate() const { return sampleRate_; }
    int frameLengthSamples() const { return frameLengthSamples_; }
    int frameOverlapSamples() const { return frameOverlapSamples_; }

    // One flag per frame.
    virtual std::vector<bool> voiceActivity(const std::vector<float>& samples) const = 0;
    virtual std::vector<bool> voiceActivityAsync(const std::vector<float>& samples) const = 0;
    // Maximal runs of voiced frames as (start, end) sample ranges, end exclusive.
    virtual std::vector<std::pair<std::int64_t, std::int64_t>> calculateActiveChunks(
        const std::vector<float>& samples) const = 0;
    virtual std::int64_t voiceActivityIndexToAudioSampleIndex(std::int64_t frameIndex) const = 0;
    virtual float voiceActivityIndexToSeconds(std::int64_t frameIndex) const = 0;
    // The longest run of unvoiced flags as (start, end) frame indices, end exclusive.
    virtual std::optional<std::pair<std::int64_t, std::int64_t>> findLongestSilence(
        const std::vector<bool>& flags) const = 0;
    virtual std::vector<float> voiceActivityClipTimestamps(const std::vector<float>& samples) const = 0;
    virtual std::vector<std::pair<std::int64_t, std::int64_t>> calculateNonSilentSeekClips(
        const std::vector<float>& samples) const = 0;
    virtual std::vector<std::pair<float, float>> calculateSeekTimestamps(const std::vector<float>& samples) const = 0;

private:
    int sampleRate_;
    int frameLengthSamples_;
    int frameOverlapSamples_;
};

}  // namespace murmex
