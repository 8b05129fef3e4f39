#include "Murmex/Model/TranscriptionResult.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <utility>

#include "HalvexCore/Logging.h"
#include "Murmex/Model/MurmexLog.h"
#include "Platform/Text/NumberText.h"

namespace murmex {

TranscriptionResult::TranscriptionResult(std::string text, std::vector<TranscriptionSegment> segments,
                                         std::string language, TranscriptionTimings timings,
                                         std::optional<float> seekTime)
    : text_(std::move(text)),
      segments_(std::move(segments)),
      language_(std::move(language)),
      timings_(timings),
      seekTime_(seekTime) {}

void TranscriptionResult::modifyText(const std::function<void(std::string&)>& change) {
    std::string value = text();
    change(value);
    setText(std::move(value));
}

void TranscriptionResult::modifySegments(const std::function<void(std::vector<TranscriptionSegment>&)>& change) {
    std::vector<TranscriptionSegment> value = segments();
    change(value);
    setSegments(std::move(value));
}

void TranscriptionResult::modifyLanguage(const std::function<void(std::string&)>& change) {
    std::string value = language();
    change(value);
    setLanguage(std::move(value));
}

void TranscriptionResult::modifyTimings(const std::function<void(TranscriptionTimings&)>& change) {
    TranscriptionTimings value = timings();
    change(value);
    setTimings(value);
}

void TranscriptionResult::modifySeekTime(const std::function<void(std::optional<float>&)>& change) {
    std::optional<float> value = seekTime();
    change(value);
    setSeekTime(value);
}

std::vector<WordTiming> TranscriptionResult::allWords() const {
    std::vector<WordTiming> words;
    for (const auto& segment : segments()) {
        if (segment.words) words.insert(words.end(), segment.words->begin(), segment.words->end());
    }
    return words;
}

namespace {

std::string formatted(double value, int decimals) { return platform::numbertext::fixed(value, decimals); }

std::string padded(std::string label, std::size_t width) {
    if (label.size() < width) label.append(width - label.size(), ' ');
    return label;
}

}  // namespace

void TranscriptionResult::logSegments() const {
    const auto all = segments();
    for (std::size_t i = 0; i < all.size(); ++i) {
        const auto& segment = all[i];
        log::debug("[Segment " + std::to_string(i) + "] [" + formatted(segment.start, 2) + " --> " +
                   formatted(segment.end, 2) + "] " + segment.text);
    }
}

std::string timingsReport(const TranscriptionTimings& t, const std::vector<TranscriptionSegment>& segments) {
    const double total = std::max(t.decodingLoop, t.fullPipeline) * 1000.0;
    std::size_t totalTokens = 0;
    for (const auto& segment : segments) totalTokens += segment.tokens.size();

    std::vector<std::string> lines;
    lines.push_back("---- Transcription Timings ----");
    auto stage = [&](const char* label, double duration, double runs) {
        lines.push_back(padded(label, 21) + halvex::Logging::formatTimeWithPercentage(duration, runs, total));
    };
    stage("Audio Load:", t.audioLoading, 1);
    stage("Audio Processing:", t.audioProcessing, t.totalAudioProcessingRuns);
    stage("Mels:", t.logmels, t.totalLogmelRuns);
    stage("Encoding:", t.encoding, t.totalEncodingRuns);
    stage("Matrices Init:", t.decodingInit, 1);
    stage("Decoding:", t.decodingPredictions, t.totalDecodingLoops);
    stage("Non-inference:", t.decodingNonPrediction, t.totalDecodingLoops);
    stage("- Logit Filtering:", t.decodingFiltering, t.totalDecodingLoops);
    stage("- Sampling:", t.decodingSampling, t.totalDecodingLoops);
    stage("- Kv Caching:", t.decodingKvCaching, t.totalKVUpdateRuns);
    stage("- Word Timestamps:", t.decodingWordTimestamps, t.totalTimestampAlignmentRuns);
    stage("- Windowing:", t.decodingWindowing - t.decodingWordTimestamps, t.totalDecodingWindows);
    stage("Fallbacks:", t.decodingFallback, t.totalDecodingFallbacks);
    stage("Decoding Full Loop:", t.decodingLoop, t.totalDecodingLoops);
    lines.push_back(std::string(31, '-'));

    auto line = [&](const char* label, const std::string& value) { lines.push_back(padded(label, 31) + value); };
    const double realTimeFactor = t.fullPipeline / t.inputAudioSeconds;
    line("Model Load Time:", formatted(t.modelLoading, 2) + " seconds");
    line("- Prewarm:", formatted(t.prewarmLoadTime, 2) + " seconds");
    line("- Encoder:", formatted(t.encoderLoadTime, 2) + " seconds");
    line("- Decoder:", formatted(t.decoderLoadTime, 2) + " seconds");
    line("- Tokenizer:", formatted(t.tokenizerLoadTime, 2) + " seconds");
    line("Inference Duration (Global):", formatted(t.fullPipeline, 2) + " seconds");
    line("- Decoding Loop (Avg/window):", formatted(t.decodingLoop / t.totalAudioProcessingRuns, 2) + " seconds");
    line("- Audio Windows:", formatted(t.totalAudioProcessingRuns, 2));
    line("Time to first token:", formatted(t.firstTokenTime - t.pipelineStart, 2) + " seconds");
    line("Total Tokens:", std::to_string(totalTokens));
    line("Tokens per Second:", formatted(t.totalDecodingLoops / t.fullPipeline, 2) + " tok/s");
    line("Real Time Factor:", formatted(realTimeFactor, 3));
    line("Speed Factor:", formatted(1.0 / realTimeFactor, 3));
    line("Fallbacks:", platform::numbertext::shortestWithFraction(t.totalDecodingFallbacks));

    std::string report;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) report += '\n';
        report += lines[i];
    }
    return report;
}

void TranscriptionResult::logTimings() const { log::info(timingsReport(timings(), segments())); }

Json TranscriptionResult::encode() const {
    Json json = Json::object();
    coding::encodeKey(json, "text", text());
    coding::encodeKey(json, "segments", segments());
    coding::encodeKey(json, "language", language());
    coding::encodeKey(json, "timings", timings());
    coding::encodeKey(json, "seekTime", seekTime());
    return json;
}

std::shared_ptr<TranscriptionResult> TranscriptionResult::decode(const Json& json) {
    coding::requireObject(json, "TranscriptionResult");
    auto text = coding::decodeKey<std::string>(json, "text");
    auto segments = coding::decodeKey<std::vector<TranscriptionSegment>>(json, "segments");
    auto language = coding::decodeKey<std::string>(json, "language");
    auto timings = coding::decodeKey<TranscriptionTimings>(json, "timings");
    if (!json.contains("seekTime")) coding::throwKeyNotFound("seekTime");
    auto seekTime = coding::decodeKeyIfPresent<float>(json, "seekTime");
    return std::make_shared<TranscriptionResult>(std::move(text), std::move(segments), std::move(language), timings,
                                                 seekTime);
}

void to_json(Json& json, const TranscriptionResultStruct& result) {
    json = Json::object();
    coding::encodeKey(json, "text", result.text);
    coding::encodeKey(json, "segments", result.segments);
    coding::encodeKey(json, "language", result.language);
    coding::encodeKey(json, "timings", result.timings);
    coding::encodeKeyIfPresent(json, "seekTime", result.seekTime);
}

void from_json(const Json& json, TranscriptionResultStruct& result) {
    coding::requireObject(json, "TranscriptionResultStruct");
    TranscriptionResultStruct read;
    read.text = coding::decodeKey<std::string>(json, "text");
    read.segments = coding::decodeKey<std::vector<TranscriptionSegment>>(json, "segments");
    read.language = coding::decodeKey<std::string>(json, "language");
    read.timings = coding::decodeKey<TranscriptionTimings>(json, "timings");
    read.seekTime = coding::decodeKeyIfPresent<float>(json, "seekTime");
    result = std::move(read);
}

std::vector<std::optional<std::vector<std::shared_ptr<TranscriptionResult>>>> toOptionalArrays(
    const std::vector<TranscriptionResultsOrError>& outcomes) {
    std::vector<std::optional<std::vector<std::shared_ptr<TranscriptionResult>>>> arrays;
    arrays.reserve(outcomes.size());
    for (const auto& outcome : outcomes) {
        if (const auto* results = std::get_if<0>(&outcome)) {
            arrays.emplace_back(*results);
        } else {
            arrays.emplace_back(std::nullopt);
        }
    }
    return arrays;
}

}  // namespace murmex
