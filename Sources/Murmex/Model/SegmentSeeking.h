#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Murmex/Model/DecodingOptions.h"
#include "Murmex/Model/DecodingState.h"
#include "Murmex/Model/TranscriptionSegment.h"
#include "Murmex/Model/TranscriptionTimings.h"
#include "Murmex/Model/WhisperTokenizer.h"
#include "Platform/ML/MultiArray.h"

namespace murmex {

// Cuts one window's decoded tokens into timed segments and adds word timings.
class SegmentSeeking {
public:
    virtual ~SegmentSeeking() = default;

    // (new seek, segments); the segments are absent when the window is skipped as silence.
    virtual std::pair<std::int64_t, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
        const DecodingResult& decodingResult, const DecodingOptions& options, int allSegmentsCount,
        std::int64_t currentSeek, std::int64_t segmentSize, int sampleRate, int timeToken, int specialToken,
        const WhisperTokenizer& tokenizer) = 0;

    // The segments with their words set. Throws when the alignment weights do not fit.
    virtual std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
        const std::vector<TranscriptionSegment>& segments, const platform::MultiArray& alignmentWeights,
        const WhisperTokenizer& tokenizer, std::int64_t seek, std::int64_t segmentSize,
        const std::string& prependPunctuations, const std::string& appendPunctuations, float lastSpeechTimestamp,
        const DecodingOptions& options, const TranscriptionTimings& timings) = 0;
};

}  // namespace murmex
