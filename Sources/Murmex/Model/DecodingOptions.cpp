#include "Murmex/Model/DecodingOptions.h"

#include <cmath>
#include <limits>

#include "Murmex/Model/WhisperError.h"
#include "Platform/ML/AudioWindow.h"

namespace murmex {

std::string_view description(DecodingTask task) {
    return task == DecodingTask::transcribe ? "transcribe" : "translate";
}

void to_json(Json& json, DecodingTask task) {
    json = Json::object();
    json[std::string(description(task))] = Json::object();
}

void from_json(const Json& json, DecodingTask& task) {
    const std::string caseName = coding::decodeSingleCaseKey(json, {"transcribe", "translate"}, "DecodingTask");
    try {
        coding::requireObject(json.at(caseName), caseName);
    } catch (DecodingError& error) {
        error.prependPath(caseName);
        throw;
    }
    task = caseName == "transcribe" ? DecodingTask::transcribe : DecodingTask::translate;
}

std::string_view rawValue(ChunkingStrategy strategy) { return strategy == ChunkingStrategy::none ? "none" : "vad"; }

std::optional<ChunkingStrategy> chunkingStrategyFromRawValue(std::string_view text) {
    if (text == "none") return ChunkingStrategy::none;
    if (text == "vad") return ChunkingStrategy::vad;
    return std::nullopt;
}

void to_json(Json& json, ChunkingStrategy strategy) { json = std::string(rawValue(strategy)); }

void from_json(const Json& json, ChunkingStrategy& strategy) {
    const std::string text = coding::decodeString(json);
    auto parsed = chunkingStrategyFromRawValue(text);
    if (!parsed) {
        throw DecodingError(DecodingError::Kind::dataCorrupted,
                            "Cannot initialize ChunkingStrategy from invalid String value " + text);
    }
    strategy = *parsed;
}

namespace {

std::int64_t sampleIndex(float seconds) {
    const float scaled = seconds * static_cast<float>(platform::audiowindow::sampleRate);
    if (std::isnan(scaled)) return 0;
    // 2^63 is exactly representable; anything at or beyond it saturates.
    constexpr float limit = 9.2233720368547758e18f;
    if (scaled >= limit) return std::numeric_limits<std::int64_t>::max();
    if (scaled <= -limit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(std::llround(scaled));
}

}  // namespace

std::vector<std::pair<std::int64_t, std::int64_t>> DecodingOptions::prepareSeekClips(std::int64_t contentFrames) const {
    std::vector<std::int64_t> indices;
    indices.reserve(clipTimestamps.size() + 1);
    for (float seconds : clipTimestamps) indices.push_back(sampleIndex(seconds));
    if (indices.empty()) indices.push_back(0);
    if (indices.size() % 2 == 1) indices.push_back(contentFrames);
    std::vector<std::pair<std::int64_t, std::int64_t>> clips;
    clips.reserve(indices.size() / 2);
    for (std::size_t i = 0; i + 1 < indices.size(); i += 2) clips.emplace_back(indices[i], indices[i + 1]);
    return clips;
}

std::vector<int> tokenIds(const std::vector<std::int64_t>& tokens, std::string_view name) {
    std::vector<int> ids;
    ids.reserve(tokens.size());
    for (std::int64_t token : tokens) {
        if (token < std::numeric_limits<int>::min() || token > std::numeric_limits<int>::max()) {
            throw WhisperError::transcriptionFailed(std::string(name) + " value " + std::to_string(token) +
                                                    " is not a token id");
        }
        ids.push_back(static_cast<int>(token));
    }
    return ids;
}

void DecodingOptions::requireUsableTokenIds() const {
    if (promptTokens) tokenIds(*promptTokens, "promptTokens");
    if (prefixTokens) tokenIds(*prefixTokens, "prefixTokens");
    tokenIds(suppressTokens, "suppressTokens");
}

void to_json(Json& json, const DecodingOptions& o) {
    using namespace coding;
    json = Json::object();
    encodeKey(json, "verbose", o.verbose);
    json["task"] = Coder<DecodingTask>::encode(o.task);
    encodeKeyIfPresent(json, "language", o.language);
    encodeKey(json, "temperature", o.temperature);
    encodeKey(json, "temperatureIncrementOnFallback", o.temperatureIncrementOnFallback);
    encodeKey(json, "temperatureFallbackCount", o.temperatureFallbackCount);
    encodeKey(json, "sampleLength", o.sampleLength);
    encodeKey(json, "topK", o.topK);
    encodeKey(json, "usePrefillPrompt", o.usePrefillPrompt);
    encodeKey(json, "detectLanguage", o.detectLanguage);
    encodeKey(json, "skipSpecialTokens", o.skipSpecialTokens);
    encodeKey(json, "withoutTimestamps", o.withoutTimestamps);
    encodeKey(json, "wordTimestamps", o.wordTimestamps);
    encodeKeyIfPresent(json, "maxInitialTimestamp", o.maxInitialTimestamp);
    encodeKeyIfPresent(json, "maxWindowSeek", o.maxWindowSeek);
    encodeKey(json, "clipTimestamps", o.clipTimestamps);
    encodeKey(json, "windowClipTime", o.windowClipTime);
    encodeKeyIfPresent(json, "promptTokens", o.promptTokens);
    encodeKeyIfPresent(json, "prefixTokens", o.prefixTokens);
    encodeKey(json, "suppressBlank", o.suppressBlank);
    encodeKey(json, "suppressTokens", o.suppressTokens);
    encodeKeyIfPresent(json, "compressionRatioThreshold", o.compressionRatioThreshold);
    encodeKeyIfPresent(json, "logProbThreshold", o.logProbThreshold);
    encodeKeyIfPresent(json, "firstTokenLogProbThreshold", o.firstTokenLogProbThreshold);
    encodeKeyIfPresent(json, "noSpeechThreshold", o.noSpeechThreshold);
    encodeKey(json, "concurrentWorkerCount", o.concurrentWorkerCount);
    encodeKeyIfPresent(json, "chunkingStrategy", o.chunkingStrategy);
}

void from_json(const Json& json, DecodingOptions& o) {
    using namespace coding;
    requireObject(json, "DecodingOptions");
    DecodingOptions read;
    read.verbose = decodeKey<bool>(json, "verbose");
    read.task = decodeKey<DecodingTask>(json, "task");
    read.language = decodeKeyIfPresent<std::string>(json, "language");
    read.temperature = decodeKey<float>(json, "temperature");
    read.temperatureIncrementOnFallback = decodeKey<float>(json, "temperatureIncrementOnFallback");
    read.temperatureFallbackCount = decodeKey<std::int64_t>(json, "temperatureFallbackCount");
    read.sampleLength = decodeKey<std::int64_t>(json, "sampleLength");
    read.topK = decodeKey<std::int64_t>(json, "topK");
    read.usePrefillPrompt = decodeKey<bool>(json, "usePrefillPrompt");
    read.detectLanguage = decodeKey<bool>(json, "detectLanguage");
    read.skipSpecialTokens = decodeKey<bool>(json, "skipSpecialTokens");
    read.withoutTimestamps = decodeKey<bool>(json, "withoutTimestamps");
    read.wordTimestamps = decodeKey<bool>(json, "wordTimestamps");
    read.maxInitialTimestamp = decodeKeyIfPresent<float>(json, "maxInitialTimestamp");
    read.maxWindowSeek = decodeKeyIfPresent<std::int64_t>(json, "maxWindowSeek");
    read.clipTimestamps = decodeKey<std::vector<float>>(json, "clipTimestamps");
    read.windowClipTime = decodeKey<float>(json, "windowClipTime");
    read.promptTokens = decodeKeyIfPresent<std::vector<std::int64_t>>(json, "promptTokens");
    read.prefixTokens = decodeKeyIfPresent<std::vector<std::int64_t>>(json, "prefixTokens");
    read.suppressBlank = decodeKey<bool>(json, "suppressBlank");
    read.suppressTokens = decodeKey<std::vector<std::int64_t>>(json, "suppressTokens");
    // Optional thresholds that are missing are empty, not the defaults.
    read.compressionRatioThreshold = decodeKeyIfPresent<float>(json, "compressionRatioThreshold");
    read.logProbThreshold = decodeKeyIfPresent<float>(json, "logProbThreshold");
    read.firstTokenLogProbThreshold = decodeKeyIfPresent<float>(json, "firstTokenLogProbThreshold");
    read.noSpeechThreshold = decodeKeyIfPresent<float>(json, "noSpeechThreshold");
    read.concurrentWorkerCount = decodeKey<std::int64_t>(json, "concurrentWorkerCount");
    read.chunkingStrategy = decodeKeyIfPresent<ChunkingStrategy>(json, "chunkingStrategy");
    o = std::move(read);
}

}  // namespace murmex
