#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Murmex/Model/DecodingOptions.h"
#include "Murmex/Model/TranscriptionTimings.h"
#include "Platform/ML/MultiArray.h"

namespace murmex {

// The key/value cache updates and alignment weights that one decoder prediction returns.
struct DecodingCache {
    std::optional<platform::MultiArray> keyCache;
    std::optional<platform::MultiArray> valueCache;
    // Absent when the model has no alignment output.
    std::optional<platform::MultiArray> alignmentWeights;
};

// Whether a finished decoding pass must be redone at a higher temperature, and why.
struct DecodingFallback {
    bool needsFallback = false;
    std::string fallbackReason;

    // The fallback rule, first matching test wins: a too-low first-token log-probability
    // ("firstTokenLogProbThreshold", retry); no-speech probability above its threshold
    // ("silence", no retry); compression ratio above its threshold
    // ("compressionRatioThreshold", retry); average log-probability below its threshold
    // ("logProbThreshold", retry); otherwise no record. Unset thresholds skip their test;
    // comparisons are strict, and NaN never triggers.
    static std::optional<DecodingFallback> make(const DecodingOptions& options, bool isFirstTokenLogProbTooLow,
                                                float noSpeechProb, float compressionRatio, float avgLogProb);

    friend bool operator==(const DecodingFallback&, const DecodingFallback&) = default;
};

// Everything one decoding pass over a window produced.
struct DecodingResult {
    std::string language;
    std::map<std::string, float> languageProbs;
    std::vector<int> tokens;
    std::vector<std::map<int, float>> tokenLogProbs;
    std::string text;
    float avgLogProb = 0;
    float noSpeechProb = 0;
    float temperature = 0;
    float compressionRatio = 0;
    std::optional<DecodingCache> cache;
    std::optional<TranscriptionTimings> timings;
    // Absent when no fallback rule applied.
    std::optional<DecodingFallback> fallback;

    // Empty language, probabilities, tokens and text, the four measures 0, and no cache,
    // timings or fallback.
    static const DecodingResult& emptyResults();
};

// A stretch of mono 16 kHz samples and the sample index at which it begins in the whole input.
struct AudioChunk {
    std::int64_t seekOffsetIndex = 0;
    std::vector<float> audioSamples;
};

}  // namespace murmex
