#pragma once

#include <memory>
#include <optional>

#include "Murmex/Model/StageValueTypes.h"

namespace murmex {

// The mel-spectrogram stage.
class FeatureExtracting {
public:
    virtual ~FeatureExtracting() = default;

    // Mel bands the model produces.
    virtual std::optional<int> melCount() const = 0;
    // Samples the model takes per window; callers use 480000 when absent.
    virtual std::optional<int> windowSamples() const = 0;
    // Null when no features could be computed.
    virtual std::shared_ptr<FeatureExtractorOutputType> logMelSpectrogram(
        const std::shared_ptr<AudioProcessorOutputType>& audio) = 0;
};

}  // namespace murmex
