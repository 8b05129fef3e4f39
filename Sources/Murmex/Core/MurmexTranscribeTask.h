#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "Murmex/Core/TranscribeTask.h"

namespace murmex {

// The transcription task the pipeline facade builds. It runs like any task, except that once
// the progress callback has answered false the run ends after the current window: no further
// window is encoded or decoded, and the result holds what was decoded up to then, as a run
// over only those windows would have returned it. (A plain task only cuts the current window's
// decoding short and goes on with the next window.)
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

    // Ends the run here when the callback has asked to stop during an earlier window.
    void windowPreprocess(const std::shared_ptr<AudioProcessorOutputType>& paddedWindow, std::int64_t seek,
                          std::int64_t segmentSize) override;
    // Keeps the window's segments, so that a run ended early can still return them.
    std::vector<TranscriptionSegment> windowPostProcess(std::int64_t seek, std::int64_t segmentSize,
                                                        std::vector<TranscriptionSegment> originalSegments) override;

    // Whether the progress callback of the current (or last) run answered false.
    bool stopRequested() const { return state_->stopRequested.load(); }

private:
    // What the progress callback, which may run on another thread, shares with the run.
    struct RunState {
        std::atomic<bool> stopRequested{false};
        std::mutex mutex;
        // The language token of the prompt of the latest progress report.
        std::optional<int> languageToken;
    };

    std::optional<std::string> reportedLanguage() const;

    std::shared_ptr<TextDecoding> textDecoder_;
    std::shared_ptr<RunState> state_ = std::make_shared<RunState>();
    bool hasCallback_ = false;
    std::vector<TranscriptionSegment> keptSegments_;
};

}  // namespace murmex
