#include "Murmex/Pipeline/MurmexTranscribeTask.h"

#include <algorithm>
#include <utility>

#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/Logging.h"
#include "Murmex/Audio/TaskCancellation.h"

namespace murmex {

MurmexTranscribeTask::MurmexTranscribeTask(
    const TranscriptionTimings& currentTimings, std::shared_ptr<halvex::Progress> progress,
    std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
    std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
    std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<WhisperTokenizer> tokenizer)
    : TranscribeTask(currentTimings, std::move(progress), std::move(audioProcessor), std::move(audioEncoder),
                     std::move(featureExtractor), std::move(segmentSeeker), std::move(textDecoder),
                     std::move(tokenizer)) {}

std::shared_ptr<TranscriptionResult> MurmexTranscribeTask::run(const std::vector<float>& audioArray,
                                                               const std::optional<DecodingOptions>& decodeOptions,
                                                               const TranscriptionProgressCallback& callback,
                                                               std::stop_token stop) {
    state_ = std::make_shared<RunState>();
    keptSegments_.clear();

    TranscriptionProgressCallback watched;
    if (callback) {
        watched = [callback, state = state_,
                   tokenizer = tokenizer()](const TranscriptionProgress& progress) -> std::optional<bool> {
            if (tokenizer) {
                const auto& languages = tokenizer->allLanguageTokens();
                const auto found = std::find_if(progress.tokens.begin(), progress.tokens.end(),
                                                [&](int token) { return languages.count(token) > 0; });
                if (found != progress.tokens.end()) {
                    std::lock_guard lock(state->mutex);
                    state->languageToken = *found;
                }
            }
            return callback(progress);
        };
    }

    try {
        return TranscribeTask::run(audioArray, decodeOptions, watched, stop);
    } catch (const halvex::CancellationError&) {
        if (!stop.stop_requested() && !TaskCancellation::isCancelled()) throw;
        halvex::Logging::info("Transcription stopped after " + std::to_string(keptSegments_.size()) + " segments");
        std::vector<int> tokens;
        for (const auto& segment : keptSegments_)
            tokens.insert(tokens.end(), segment.tokens.begin(), segment.tokens.end());
        TranscriptionTimings finished = timings();
        const double end = absoluteTimeNow();
        finished.fullPipeline = end - finished.pipelineStart;
        std::optional<std::string> language = reportedLanguage();
        if (!language && decodeOptions) language = decodeOptions->language;
        return finalizeTranscriptionResult(tokens, keptSegments_, language, finished);
    }
}

std::vector<TranscriptionSegment> MurmexTranscribeTask::windowPostProcess(
    std::int64_t seek, std::int64_t segmentSize, std::vector<TranscriptionSegment> originalSegments) {
    auto segments = TranscribeTask::windowPostProcess(seek, segmentSize, std::move(originalSegments));
    keptSegments_.insert(keptSegments_.end(), segments.begin(), segments.end());
    return segments;
}

std::optional<std::string> MurmexTranscribeTask::reportedLanguage() const {
    std::optional<int> token;
    {
        std::lock_guard lock(state_->mutex);
        token = state_->languageToken;
    }
    if (!token || !tokenizer()) return std::nullopt;
    const auto text = tokenizer()->convertIdToToken(*token);
    if (!text) return std::nullopt;
    std::string code;
    for (char c : *text) {
        if (c != '<' && c != '|' && c != '>') code += c;
    }
    return code.empty() ? std::nullopt : std::optional<std::string>(code);
}

}  // namespace murmex
