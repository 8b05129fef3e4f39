#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Murmex/Model/SegmentSeeking.h"

namespace murmex {

// The standard segment seeker: cuts a window's tokens into timed segments at their timestamp
// pairs, picks the next seek point, skips windows judged silent, and adds word timings by
// dynamic time warping over the decoder's cross-attention weights. It keeps no state.
class SegmentSeeker : public SegmentSeeking {
public:
    // A warping path: parallel token rows and audio frames, from the start to the end.
    struct WarpingPath {
        std::vector<int> textIndices;
        std::vector<int> timeIndices;
    };

    SegmentSeeker() = default;

    // (new seek, segments). Seek arithmetic is single precision: the seek advances by
    // Int(Float(timestamp − timeToken) × 0.02 × Float(sampleRate)). The segments are absent
    // only when the window is skipped as silence. `specialToken` is not read.
    std::pair<std::int64_t, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
        const DecodingResult& decodingResult, const DecodingOptions& options, int allSegmentsCount,
        std::int64_t currentSeek, std::int64_t segmentSize, int sampleRate, int timeToken, int specialToken,
        const WhisperTokenizer& tokenizer) override;

    // Row k of `alignmentWeights` belongs to the k-th token of the segments (counted over all
    // of them, in order); the last dimension holds one audio frame per 0.02 s. Throws
    // `WhisperError::segmentingFailed` for weights without shape or with too few rows, and for
    // inputs whose warping path or log-probabilities do not cover the words.
    std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
        const std::vector<TranscriptionSegment>& segments, const platform::MultiArray& alignmentWeights,
        const WhisperTokenizer& tokenizer, std::int64_t seek, std::int64_t segmentSize,
        const std::string& prependPunctuations, const std::string& appendPunctuations, float lastSpeechTimestamp,
        const DecodingOptions& options, const TranscriptionTimings& timings) override;

    // (median, max): the median of the positive word durations capped at 0.7 s, and twice that.
    virtual std::pair<float, float> calculateWordDurationConstraints(const std::vector<WordTiming>& alignment);
    // Cuts words longer than `maxDuration` that are, or follow, a sentence end mark.
    virtual std::vector<WordTiming> truncateLongWordsAtSentenceBoundaries(const std::vector<WordTiming>& alignment,
                                                                          float maxDuration);
    // Writes the words into the segments (times in seconds from the start of the audio) and
    // fits each segment's start and end to its words.
    virtual std::vector<TranscriptionSegment> updateSegmentsWithWordTimings(
        const std::vector<TranscriptionSegment>& segments, const std::vector<WordTiming>& mergedAlignment,
        std::int64_t seek, float lastSpeechTimestamp, float constrainedMedianDuration, float maxDuration,
        const WhisperTokenizer& tokenizer);

protected:
    // The path of largest total weight through a two-dimensional matrix (rows = tokens,
    // columns = frames). Throws `WhisperError::segmentingFailed` for any other shape.
    WarpingPath dynamicTimeWarping(const platform::MultiArray& matrix) const;
    // (cost, step) of one cell: 0 diagonal, 1 up, 2 left; ties go to the left step.
    static std::pair<double, int> minCostAndTrace(double costDiagonal, double costUp, double costLeft,
                                                  double matrixValue);
    // The path through a (rows + 1) × (columns + 1) trace matrix, from the start to the end.
    static WarpingPath backtrace(const std::vector<std::int8_t>& trace, int rows, int columns);
    // Joins prepend punctuation to the following word and append punctuation to the preceding
    // one, then drops words that are empty or punctuation.
    static std::vector<WordTiming> mergePunctuations(const std::vector<WordTiming>& alignment,
                                                     const std::string& prepended, const std::string& appended);
    // Words with times relative to the window start, from the warping path over the weights.
    std::vector<WordTiming> findAlignment(const std::vector<int>& wordTokenIds,
                                          const platform::MultiArray& alignmentWeights,
                                          const std::vector<float>& tokenLogProbs, const WhisperTokenizer& tokenizer,
                                          const TranscriptionTimings& timings) const;
};

}  // namespace murmex
