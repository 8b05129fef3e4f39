#pragma once

#include "Murmex/Model/VoiceActivityDetector.h"
#include "Platform/ML/AudioWindow.h"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace murmex {

// The energy detector: a frame is voiced when the root-mean-square level of its samples
// exceeds a fixed threshold. Immutable; may be shared between threads.
class EnergyVAD : public VoiceActivityDetector {
public:
    // Frame length and overlap in seconds: each becomes sampleRate × seconds samples, computed
    // in 32-bit floating point and cut toward zero. The defaults are the standard detector.
    explicit EnergyVAD(int sampleRate = platform::audiowindow::sampleRate, float frameLength = 0.1f,
                       float frameOverlap = 0.0f, float energyThreshold = 0.02f);
    // Frame length and overlap in samples, as given.
    EnergyVAD(int sampleRate, int frameLengthSamples, int frameOverlapSamples, float energyThreshold);

    float energyThreshold() const { return energyThreshold_; }

    // One flag per frame: ceil(sample count / frame length) frames, the last possibly shorter.
    std::vector<bool> voiceActivity(const std::vector<float>& samples) const override;
    std::vector<bool> voiceActivityAsync(const std::vector<float>& samples) const override;
    // Maximal runs of voiced frames as sample ranges, end exclusive and cut at the array's end;
    // the overlap is not added.
    std::vector<std::pair<std::int64_t, std::int64_t>> calculateActiveChunks(
        const std::vector<float>& samples) const override;
    std::int64_t voiceActivityIndexToAudioSampleIndex(std::int64_t frameIndex) const override;
    float voiceActivityIndexToSeconds(std::int64_t frameIndex) const override;
    // The longest run of unvoiced flags (the first among equals) as frame indices, end
    // exclusive; nothing when every flag is voiced or there is none.
    std::optional<std::pair<std::int64_t, std::int64_t>> findLongestSilence(
        const std::vector<bool>& flags) const override;
    // The voiced stretches in seconds, flattened as start, end, start, end… (the form of clip
    // timestamps in the decoding options).
    std::vector<float> voiceActivityClipTimestamps(const std::vector<float>& samples) const override;
    // The voiced stretches as sample ranges (the same as the active chunks).
    std::vector<std::pair<std::int64_t, std::int64_t>> calculateNonSilentSeekClips(
        const std::vector<float>& samples) const override;
    // The voiced stretches in seconds.
    std::vector<std::pair<float, float>> calculateSeekTimestamps(const std::vector<float>& samples) const override;

private:
    float energyThreshold_;
};

}  // namespace murmex
