#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Murmex/Model/TranscriptionResult.h"
#include "Murmex/Model/TranscriptionSegment.h"

namespace murmex {

// Post-processing of transcription output for the library's users: moving segments in time,
// formatting them as lines, comparing the words of successive passes and merging results.
// Pure functions, callable from any thread.
struct TranscriptionUtilities {
    // A copy of the segment moved `seekTime` seconds later: `seek` grows by seekTime × the
    // sample rate (single precision, cut toward zero), `start`, `end` and every word's times by seekTime.
    // A shift whose sample count is not finite, or whose sum with `seek` leaves the integer
    // range, stops the process.
    static TranscriptionSegment updateSegmentTimings(const TranscriptionSegment& segment, float seekTime);
    // The same for a shift of `seekOffsetIndex` samples: the times grow by seekOffsetIndex ÷
    // the sample rate (computed in double precision, then rounded to single).
    static TranscriptionSegment updateSegmentTimings(const TranscriptionSegment& segment, std::int64_t seekOffsetIndex);

    // One line per segment: "[start --> end] text" with both times as "%.2f", or the text
    // alone. The text is appended as stored, a leading space included.
    static std::vector<std::string> formatSegments(const std::vector<TranscriptionSegment>& segments,
                                                   bool withTimestamps);

    // The words of `b` for the leading pairs of `a` and `b` whose normalized texts match
    // (lower-cased, "-" as a blank, punctuation removed, blanks collapsed and trimmed).
    static std::vector<WordTiming> findLongestCommonPrefix(const std::vector<WordTiming>& a,
                                                           const std::vector<WordTiming>& b);
    // The words of `b` after that common prefix.
    static std::vector<WordTiming> findLongestDifferentSuffix(const std::vector<WordTiming>& a,
                                                              const std::vector<WordTiming>& b);

    // One result from several (absent ones allowed): the confirmed words' texts joined, or else
    // the results' texts joined by single spaces; the present results' segments in order
    // (times unchanged); the first present language ("en" without one); timings summed, or
    // their smallest or largest value, field by field; no seek time.
    static std::shared_ptr<TranscriptionResult> mergeTranscriptionResults(
        const std::vector<std::shared_ptr<TranscriptionResult>>& results,
        const std::optional<std::vector<WordTiming>>& confirmedWords = std::nullopt);
};

}  // namespace murmex
