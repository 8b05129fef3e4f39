#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "Murmex/Model/AudioEncoding.h"
#include "Murmex/Model/FeatureExtracting.h"
#include "Platform/ML/MultiArray.h"

namespace norvel::test {

// A mel stage for tests: it records the padded windows it is given (their length and first
// sample) and returns a small feature array, or nothing when told to fail.
class ScriptedFeatureExtractor : public murmex::FeatureExtracting {
public:
    explicit ScriptedFeatureExtractor(std::optional<int> windowSamples = 480000) : windowSamples_(windowSamples) {}

    std::optional<int> melCount() const override { return 80; }
    std::optional<int> windowSamples() const override { return windowSamples_; }
    std::shared_ptr<murmex::FeatureExtractorOutputType> logMelSpectrogram(
        const std::shared_ptr<murmex::AudioProcessorOutputType>& audio) override;

    // First sample of every window seen, in order.
    std::vector<float> firstSamples() const;
    std::vector<std::int64_t> windowLengths() const;
    std::atomic<bool> fail{false};

private:
    std::optional<int> windowSamples_;
    mutable std::mutex mutex_;
    std::vector<float> firstSamples_;
    std::vector<std::int64_t> windowLengths_;
};

// An encoder stage for tests: it returns an encoder output of the decoder's shape whose first
// element is the index of the window (0 for the first), or nothing when told to fail.
class ScriptedAudioEncoder : public murmex::AudioEncoding {
public:
    explicit ScriptedAudioEncoder(platform::MultiArray prototype) : prototype_(std::move(prototype)) {}

    std::optional<int> embedSize() const override { return prototype_.shape()[1]; }
    std::shared_ptr<murmex::AudioEncoderOutputType> encodeFeatures(
        const std::shared_ptr<murmex::FeatureExtractorOutputType>& features) override;

    int windows() const { return windows_; }
    std::atomic<bool> fail{false};

private:
    platform::MultiArray prototype_;
    std::atomic<int> windows_{0};
};

}  // namespace norvel::test
