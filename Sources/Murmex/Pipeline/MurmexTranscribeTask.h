#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "Murmex/Decoding/TranscribeTask.h"

namespace murmex {

// The transcription task the pipeline facade builds. It runs like any task, except that a run
// stopped through its stop token is no failure once it has started: it returns what the
// windows decoded until then gave (the window being decoded when the stop came keeps the
// tokens decoded so far), as a run over only those windows would have returned it. A progress
// callback that answers false only ends the current window's decoding, as in any task.
class MurmexTranscribeTask : public TranscribeTask {
public:
    MurmexTranscribeTask(const TranscriptionTimings& currentTimings, std::shared_ptr<halvex::Progress> progress,
                         std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
                         std::shared_ptr<FeatureExtracting> featureExtractor,
                         std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
                         std::shared_ptr<WhisperTokenizer> tokenizer);

    std::shared_ptr<TranscriptionResult> run(const std::vector<float>& audioArray,
                                             const std::optional<DecodingOptions>& decodeOptions,
                                             const TranscriptionProgressCallback& callback = nullptr,
                                             std::stop_token stop = {}) override;

    // Keeps the window's segments, so that a stopped run can still return them.
    std::vector<TranscriptionSegment> windowPostProcess(std::int64_t seek, std::int64_t segmentSize,
                                                        std::vector<TranscriptionSegment> originalSegments) override;

private:
    // What the progress callback, which may run on another thread, shares with the run.
    struct RunState {
        std::mutex mutex;
        // The language token of the prompt of the latest progress report.
        std::optional<int> languageToken;
    };

    std::optional<std::string> reportedLanguage() const;

    std::shared_ptr<RunState> state_ = std::make_shared<RunState>();
    std::vector<TranscriptionSegment> keptSegments_;
};

}  // namespace murmex
