#include "Murmex/Model/TranscriptionSegment.h"

#include <algorithm>

#include "Murmex/Model/HashCombine.h"

namespace murmex {

using detail::hashCombine;
using detail::hashFloat;

std::size_t WordTiming::hash() const {
    std::size_t seed = std::hash<std::string>{}(word);
    hashCombine(seed, tokens.size());
    for (std::int64_t token : tokens) hashCombine(seed, std::hash<std::int64_t>{}(token));
    hashCombine(seed, hashFloat(start));
    hashCombine(seed, hashFloat(end));
    hashCombine(seed, hashFloat(probability));
    return seed;
}

std::size_t TranscriptionSegment::hash() const {
    std::size_t seed = std::hash<std::int64_t>{}(id);
    hashCombine(seed, std::hash<std::int64_t>{}(seek));
    hashCombine(seed, hashFloat(start));
    hashCombine(seed, hashFloat(end));
    hashCombine(seed, std::hash<std::string>{}(text));
    hashCombine(seed, tokens.size());
    for (std::int64_t token : tokens) hashCombine(seed, std::hash<std::int64_t>{}(token));
    hashCombine(seed, tokenLogProbs.size());
    for (const auto& probabilities : tokenLogProbs) {
        hashCombine(seed, probabilities.size());
        for (const auto& [token, logProb] : probabilities) {
            hashCombine(seed, std::hash<std::int64_t>{}(token));
            hashCombine(seed, hashFloat(logProb));
        }
    }
    hashCombine(seed, hashFloat(temperature));
    hashCombine(seed, hashFloat(avgLogprob));
    hashCombine(seed, hashFloat(compressionRatio));
    hashCombine(seed, hashFloat(noSpeechProb));
    if (words) {
        hashCombine(seed, 1);
        hashCombine(seed, words->size());
        for (const auto& word : *words) hashCombine(seed, word.hash());
    } else {
        hashCombine(seed, 0);
    }
    return seed;
}

void to_json(Json& json, const WordTiming& word) {
    using coding::encodeKey;
    json = Json::object();
    encodeKey(json, "word", word.word);
    encodeKey(json, "tokens", word.tokens);
    encodeKey(json, "start", word.start);
    encodeKey(json, "end", word.end);
    encodeKey(json, "probability", word.probability);
}

void from_json(const Json& json, WordTiming& word) {
    using coding::decodeKey;
    coding::requireObject(json, "WordTiming");
    WordTiming read;
    read.word = decodeKey<std::string>(json, "word");
    read.tokens = decodeKey<std::vector<std::int64_t>>(json, "tokens");
    read.start = decodeKey<float>(json, "start");
    read.end = decodeKey<float>(json, "end");
    read.probability = decodeKey<float>(json, "probability");
    word = std::move(read);
}

void to_json(Json& json, const TranscriptionSegment& s) {
    using coding::encodeKey;
    json = Json::object();
    encodeKey(json, "id", s.id);
    encodeKey(json, "seek", s.seek);
    encodeKey(json, "start", s.start);
    encodeKey(json, "end", s.end);
    encodeKey(json, "text", s.text);
    encodeKey(json, "tokens", s.tokens);
    encodeKey(json, "tokenLogProbs", s.tokenLogProbs);
    encodeKey(json, "temperature", s.temperature);
    encodeKey(json, "avgLogprob", s.avgLogprob);
    encodeKey(json, "compressionRatio", s.compressionRatio);
    encodeKey(json, "noSpeechProb", s.noSpeechProb);
    coding::encodeKeyIfPresent(json, "words", s.words);
}

void from_json(const Json& json, TranscriptionSegment& s) {
    using coding::decodeKey;
    coding::requireObject(json, "TranscriptionSegment");
    TranscriptionSegment read;
    read.id = decodeKey<std::int64_t>(json, "id");
    read.seek = decodeKey<std::int64_t>(json, "seek");
    read.start = decodeKey<float>(json, "start");
    read.end = decodeKey<float>(json, "end");
    read.text = decodeKey<std::string>(json, "text");
    read.tokens = decodeKey<std::vector<std::int64_t>>(json, "tokens");
    read.tokenLogProbs = decodeKey<std::vector<std::map<std::int64_t, float>>>(json, "tokenLogProbs");
    read.temperature = decodeKey<float>(json, "temperature");
    read.avgLogprob = decodeKey<float>(json, "avgLogprob");
    read.compressionRatio = decodeKey<float>(json, "compressionRatio");
    read.noSpeechProb = decodeKey<float>(json, "noSpeechProb");
    read.words = coding::decodeKeyIfPresent<std::vector<WordTiming>>(json, "words");
    s = std::move(read);
}

bool containsSegment(const std::vector<TranscriptionSegment>& segments, const TranscriptionSegment& segment) {
    return std::any_of(segments.begin(), segments.end(),
                       [&](const TranscriptionSegment& element) { return element.start == segment.start; });
}

}  // namespace murmex
