#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Murmex/Model/Constants.h"
#include "Murmex/Model/JSONCoding.h"

namespace murmex {

// Transcribe in the spoken language, or translate into English.
enum class DecodingTask { transcribe, translate };

inline constexpr DecodingTask allDecodingTasks[] = {DecodingTask::transcribe, DecodingTask::translate};

// "transcribe" or "translate".
std::string_view description(DecodingTask task);

// {"transcribe": {}} or {"translate": {}}.
void to_json(Json& json, DecodingTask task);
void from_json(const Json& json, DecodingTask& task);

// How long audio is cut before transcription.
enum class ChunkingStrategy { none, vad };

inline constexpr ChunkingStrategy allChunkingStrategies[] = {ChunkingStrategy::none, ChunkingStrategy::vad};

// "none" or "vad".
std::string_view rawValue(ChunkingStrategy strategy);
// The strategy whose raw value is exactly `text`; no value for any other text.
std::optional<ChunkingStrategy> chunkingStrategyFromRawValue(std::string_view text);

// The raw value as a JSON string; another text fails with a data-corrupted error.
void to_json(Json& json, ChunkingStrategy strategy);
void from_json(const Json& json, ChunkingStrategy& strategy);

// Every option of one transcription. `DecodingOptions{}` holds the library's defaults; set the
// options that differ with designated initializers:
// `DecodingOptions{.task = DecodingTask::translate, .usePrefillPrompt = false}`. An omitted
// `detectLanguage` is the opposite of `usePrefillPrompt`, so it follows the value given there.
struct DecodingOptions {
    bool verbose = false;
    DecodingTask task = DecodingTask::transcribe;
    // A code of `Constants::languages()`; empty leaves the language to detection or the default.
    std::optional<std::string> language{};
    float temperature = 0.0f;
    float temperatureIncrementOnFallback = 0.2f;
    std::int64_t temperatureFallbackCount = 5;
    std::int64_t sampleLength = Constants::maxTokenContext;
    std::int64_t topK = 5;
    bool usePrefillPrompt = true;
    // Initialized after `usePrefillPrompt`, whose value it reads.
    bool detectLanguage = !usePrefillPrompt;
    bool skipSpecialTokens = false;
    bool withoutTimestamps = false;
    bool wordTimestamps = false;
    // Seconds; the timestamp rules receive it divided by 0.02.
    std::optional<float> maxInitialTimestamp{};
    std::optional<std::int64_t> maxWindowSeek{};
    // Start and end times, in seconds, of the stretches of audio to transcribe.
    std::vector<float> clipTimestamps{};
    float windowClipTime = 1.0f;
    // Token ids; the tokenizer and the decoder hold them in 32 bits.
    std::optional<std::vector<std::int64_t>> promptTokens{};
    std::optional<std::vector<std::int64_t>> prefixTokens{};
    bool suppressBlank = false;
    std::vector<std::int64_t> suppressTokens{};
    std::optional<float> compressionRatioThreshold = 2.4f;
    std::optional<float> logProbThreshold = -1.0f;
    std::optional<float> firstTokenLogProbThreshold = -1.5f;
    std::optional<float> noSpeechThreshold = 0.6f;
    // 0 means no limit.
    std::int64_t concurrentWorkerCount = 16;
    std::optional<ChunkingStrategy> chunkingStrategy{};

    // The clip timestamps as (start, end) sample ranges at 16 kHz: each time times the rate in
    // single precision, rounded half away from zero; no times give [0]; an odd count gets
    // `contentFrames` appended; the indices are then paired in order, as given. A time that
    // is not finite, or whose index does not fit, is saturated (NaN counts as 0).
    std::vector<std::pair<std::int64_t, std::int64_t>> prepareSeekClips(std::int64_t contentFrames) const;

    // Fails with WhisperError::transcriptionFailed when a token list holds a value that is not a
    // 32-bit token id. The other integers are usable at any value: lengths and counts beyond
    // what a window holds are simply not reached.
    void requireUsableTokenIds() const;

    friend bool operator==(const DecodingOptions&, const DecodingOptions&) = default;
};

// The entries of the token list `name` as the 32-bit ids the tokenizer and the decoder use;
// fails with WhisperError::transcriptionFailed "<name> value <v> is not a token id" for an
// entry outside that range.
std::vector<int> tokenIds(const std::vector<std::int64_t>& tokens, std::string_view name);

void to_json(Json& json, const DecodingOptions& options);
void from_json(const Json& json, DecodingOptions& options);

}  // namespace murmex
