#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "Murmex/Model/DecodingOptions.h"
#include "Murmex/Model/DecodingState.h"
#include "Murmex/Model/TranscriptionResult.h"

namespace murmex {

// Cutting long audio into chunks at silences.
class AudioChunking {
public:
    virtual ~AudioChunking() = default;

    // Chunks of at most `maxChunkLength` samples that together cover `audioArray`.
    virtual std::vector<AudioChunk> chunkAll(const std::vector<float>& audioArray, int maxChunkLength,
                                             const std::optional<DecodingOptions>& decodeOptions) = 0;

    // Puts the results of transcribing each chunk back in place in the whole audio: for the
    // chunk at sample o, every segment's `seek` grows by o and its times and its words' times by
    // o / 16 kHz seconds, and each result's `seekTime` becomes that offset. The results are
    // changed in place and returned as one list, in chunk order; a chunk whose transcription
    // failed contributes nothing (a debug line names it). `chunkedResults` holds one outcome
    // per chunk, in the order of `audioChunks`; lists of different lengths stop the process.
    std::vector<std::shared_ptr<TranscriptionResult>> updateSeekOffsetsForResults(
        const std::vector<TranscriptionResultsOrError>& chunkedResults,
        const std::vector<AudioChunk>& audioChunks) const;
};

}  // namespace murmex
