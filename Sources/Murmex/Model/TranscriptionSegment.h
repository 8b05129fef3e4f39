#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Murmex/Model/JSONCoding.h"

namespace murmex {

// One word inside a segment: its text as decoded, the token ids that make it, its times in
// seconds and its probability.
struct WordTiming {
    std::string word;
    std::vector<std::int64_t> tokens;
    float start = 0;
    float end = 0;
    float probability = 0;

    float duration() const { return end - start; }
    std::size_t hash() const;

    friend bool operator==(const WordTiming&, const WordTiming&) = default;
};

// One timed stretch of text, with the tokens it was decoded from and the measures of that
// decoding. Times are seconds from the start of the input; `seek` is the sample (16 kHz) at
// which the decoding window began.
struct TranscriptionSegment {
    std::int64_t id = 0;
    std::int64_t seek = 0;
    float start = 0;
    float end = 0;
    std::string text;
    std::vector<std::int64_t> tokens;
    // One map per token: token id to its log-probability.
    std::vector<std::map<std::int64_t, float>> tokenLogProbs;
    float temperature = 0;
    float avgLogprob = 0;
    float compressionRatio = 0;
    float noSpeechProb = 0;
    // Absent when word timestamps were not computed.
    std::optional<std::vector<WordTiming>> words;

    float duration() const { return end - start; }
    std::size_t hash() const;

    friend bool operator==(const TranscriptionSegment&, const TranscriptionSegment&) = default;
};

void to_json(Json& json, const WordTiming& word);
void from_json(const Json& json, WordTiming& word);
// "words" is left out when absent; the other eleven keys are required.
void to_json(Json& json, const TranscriptionSegment& segment);
void from_json(const Json& json, TranscriptionSegment& segment);

// True when some element starts exactly where `segment` starts; nothing else is compared.
bool containsSegment(const std::vector<TranscriptionSegment>& segments, const TranscriptionSegment& segment);

}  // namespace murmex

template <>
struct std::hash<murmex::WordTiming> {
    std::size_t operator()(const murmex::WordTiming& word) const { return word.hash(); }
};

template <>
struct std::hash<murmex::TranscriptionSegment> {
    std::size_t operator()(const murmex::TranscriptionSegment& segment) const { return segment.hash(); }
};
