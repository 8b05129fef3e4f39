#include "Murmex/Core/MurmexTranscribeTask.h"

#include <algorithm>
#include <utility>

#include "HalvexCore/Logging.h"
#include "Murmex/Core/TextDecoder.h"

namespace murmex {

namespace {

// Thrown from the window hook to leave the window loop once a stop was asked for; never leaves
// `MurmexTranscribeTask::run`.
struct RunStopped {};

}  // namespace

MurmexTranscribeTask::MurmexTranscribeTask(const TranscriptionTimings& currentTimings,
                                           std::shared_ptr<halvex::Progress> progress,
                                           std::shared_ptr<AudioProcessing> audioProcessor,
                                           std::shared_ptr<AudioEncoding> audioEncoder,
                                           std::shared_ptr<FeatureExtracting> featureExtractor,
                                           std::shared_ptr<SegmentSeeking> segmentSeeker,
                                           std::shared_ptr<TextDecoding> textDecoder,
                                           std::shared_ptr<WhisperTokenizer> tokenizer)
    : TranscribeTask(currentTimings, std::move(progress), std::move(audioProcessor), std::move(audioEncoder),
                     std::move(featureExtractor), std::move(segmentSeeker), textDecoder, std::move(tokenizer)),
      textDecoder_(std::move(textDecoder)) {}

std::shared_ptr<TranscriptionResult> MurmexTranscribeTask::run(const std::vector<float>& audioArray,
                                                               const std::optional<DecodingOptions>& decodeOptions,
                                                               const TranscriptionProgressCallback& callback,
                                                               std::stop_token stop) {
    state_ = std::make_shared<RunState>();
    keptSegments_.clear();
    hasCallback_ = static_cast<bool>(callback);

    TranscriptionProgressCallback watched;
    if (callback) {
        watched = [callback, state = state_, tokenizer = tokenizer()](
                      const TranscriptionProgress& progress) -> std::optional<bool> {
            if (tokenizer) {
                const auto& languages = tokenizer->allLanguageTokens();
                const auto found = std::find_if(progress.tokens.begin(), progress.tokens.end(),
                                                [&](int token) { return languages.count(token) > 0; });
                if (found != progress.tokens.end()) {
                    std::lock_guard lock(state->mutex);
                    state->languageToken = *found;
                }
            }
            std::optional<bool> answer = callback(progress);
            if (answer == false) state->stopRequested.store(true);
            // Once stopped, every later report of the run is answered with a stop too, so that
            // a retry of the same window ends at once.
            if (state->stopRequested.load()) answer = false;
            return answer;
        };
    }

    try {
        return TranscribeTask::run(audioArray, decodeOptions, watched, std::move(stop));
    } catch (const RunStopped&) {
        halvex::Logging::info("Transcription stopped by the progress callback after " +
                              std::to_string(keptSegments_.size()) + " segments");
        std::vector<int> tokens;
        for (const auto& segment : keptSegments_) tokens.insert(tokens.end(), segment.tokens.begin(), segment.tokens.end());
        TranscriptionTimings finished = timings();
        const double end = absoluteTimeNow();
        finished.fullPipeline = end - finished.pipelineStart;
        std::optional<std::string> language = reportedLanguage();
        if (!language && decodeOptions) language = decodeOptions->language;
        return finalizeTranscriptionResult(tokens, keptSegments_, language, finished);
    }
}

void MurmexTranscribeTask::windowPreprocess(const std::shared_ptr<AudioProcessorOutputType>& paddedWindow,
                                            std::int64_t seek, std::int64_t segmentSize) {
    TranscribeTask::windowPreprocess(paddedWindow, seek, segmentSize);
    if (!hasCallback_) return;
    // The decoder answers its reports on a thread of its own; every report of the windows
    // before this one is answered before the decision is taken.
    if (auto* decoder = dynamic_cast<TextDecoder*>(textDecoder_.get())) decoder->waitForProgressCallbacks();
    if (state_->stopRequested.load()) throw RunStopped{};
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
