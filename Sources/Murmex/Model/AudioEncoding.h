#pragma once

#include <memory>
#include <optional>

#include "Murmex/Model/StageValueTypes.h"

namespace murmex {

// The audio-encoder stage.
class AudioEncoding {
public:
    virtual ~AudioEncoding() = default;

    // Width of one embedding.
    virtual std::optional<int> embedSize() const = 0;
    // Null when no embeddings could be computed.
    virtual std::shared_ptr<AudioEncoderOutputType> encodeFeatures(
        const std::shared_ptr<FeatureExtractorOutputType>& features) = 0;
};

}  // namespace murmex
