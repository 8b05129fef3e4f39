#pragma once

#include <optional>
#include <vector>

#include "Murmex/Core/DecodingOptions.h"
#include "Murmex/Core/DecodingState.h"

namespace murmex {

// Cutting long audio into chunks at silences.
class AudioChunking {
public:
    virtual ~AudioChunking() = default;

    // Chunks of at most `maxChunkLength` samples that together cover `audioArray`.
    virtual std::vector<AudioChunk> chunkAll(const std::vector<float>& audioArray, int maxChunkLength,
                                             const std::optional<DecodingOptions>& decodeOptions) = 0;
};

}  // namespace murmex
