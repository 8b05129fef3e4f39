#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "HalvexCore/External/Hub/Progress.h"
#include "Murmex/Model/AudioEncoding.h"
#include "Murmex/Model/AudioProcessing.h"
#include "Murmex/Model/DecodingOptions.h"
#include "Murmex/Model/DecodingState.h"
#include "Murmex/Model/FeatureExtracting.h"
#include "Murmex/Model/SegmentSeeking.h"
#include "Murmex/Model/TextDecoding.h"
#include "Murmex/Model/TranscriptionProgress.h"
#include "Murmex/Model/TranscriptionResult.h"
#include "Murmex/Model/TranscriptionTimings.h"
#include "Murmex/Model/WhisperTokenizer.h"

namespace murmex {

// One transcription run over an array of 16 kHz mono samples: window by window it pads or
// trims the audio, computes the log-mel features, encodes them, decodes tokens with temperature
// fallback, cuts them into timed segments (optionally with word timings) and advances the seek
// point, then gathers everything into one result. A run adds no thread of its own; only the
// decoder's progress callbacks run elsewhere. One run at a time per task.
class TranscribeTask {
public:
    using SegmentDiscoveryCallback = std::function<void(const std::vector<TranscriptionSegment>&)>;

    // Keeps a copy of the timings, the progress object (a new one when none is given) and the
    // audio processor (a standard one when none is given), and the other stages as given.
    TranscribeTask(const TranscriptionTimings& currentTimings, std::shared_ptr<halvex::Progress> progress,
                   std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
                   std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
                   std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<WhisperTokenizer> tokenizer);
    virtual ~TranscribeTask() = default;
    TranscribeTask(const TranscribeTask&) = delete;
    TranscribeTask& operator=(const TranscribeTask&) = delete;

    const std::shared_ptr<WhisperTokenizer>& tokenizer() const { return tokenizer_; }
    const SegmentDiscoveryCallback& segmentDiscoveryCallback() const { return segmentDiscoveryCallback_; }
    // Receives the segments of every window that produced some.
    void setSegmentDiscoveryCallback(SegmentDiscoveryCallback callback) {
        segmentDiscoveryCallback_ = std::move(callback);
    }

    // Called once per window after padding, before the features are computed. Does nothing
    // here.
    virtual void windowPreprocess(const std::shared_ptr<AudioProcessorOutputType>& paddedWindow, std::int64_t seek,
                                  std::int64_t segmentSize);
    // Called once per window that produced segments; what it returns replaces them. Returns
    // them unchanged here.
    virtual std::vector<TranscriptionSegment> windowPostProcess(std::int64_t seek, std::int64_t segmentSize,
                                                                std::vector<TranscriptionSegment> originalSegments);

    // Transcribes the samples. Options default to the library's; the callback receives every
    // progress report with its window index and may answer false to end that window's decoding
    // early. Throws the stages' errors, `WhisperError::transcriptionFailed` for options that
    // cannot be honoured (a maximum window seek of 0 or less, a clip time that is not a finite
    // sample position) and for missing stage outputs, `WhisperError::decodingFailed` for a
    // negative fallback count, and `halvex::CancellationError` once `stop` is requested. The
    // request is also the thread's task cancellation while the run lasts: it ends the decoding
    // of the current window before its next prediction, keeping the tokens so far and trying
    // no further temperature; that window's segments are still delivered, and the run throws
    // at its next check. Progress reports carry the window's index in the run as `windowId`
    // (0, 1, 2, … in the order the windows are decoded, whatever retries they needed).
    virtual std::shared_ptr<TranscriptionResult> run(const std::vector<float>& audioArray,
                                                     const std::optional<DecodingOptions>& decodeOptions,
                                                     const TranscriptionProgressCallback& callback = nullptr,
                                                     std::stop_token stop = {});

    // The result of a run: the text of the tokens below the special tokens, trimmed of spaces
    // and tabs, the segments as given, the language or "en", and the timings.
    virtual std::shared_ptr<TranscriptionResult> finalizeTranscriptionResult(
        const std::vector<int>& tokens, const std::vector<TranscriptionSegment>& segments,
        const std::optional<std::string>& language, const TranscriptionTimings& timings);

    // The sampling temperatures of one window: Float16(temperature) + Float16(i) ×
    // Float16(increment) for i = 0...fallbackCount, each step rounded to half precision; none
    // for a negative count. Throws WhisperError.transcriptionFailed when the temperature or the
    // increment is not a finite number, or a temperature of the list is negative or not finite
    // (which every count above 65519 reaches).
    static std::vector<platform::Float16> fallbackTemperatures(float temperature, float increment,
                                                               std::int64_t fallbackCount);

protected:
    const TranscriptionTimings& timings() const { return timings_; }
    TranscriptionTimings& timings() { return timings_; }

private:
    // One run: its state, and its steps in the order they run.
    struct Run;
    struct Clip;
    struct Window;
    Run startRun(const std::vector<float>& audioArray, const std::optional<DecodingOptions>& decodeOptions,
                 const TranscriptionProgressCallback& callback);
    void prepareDecoderInputs(Run& run);
    void prepareSeekClips(Run& run);
    void transcribeClip(Run& run, std::int64_t clipStart, std::int64_t clipEnd);
    void transcribeWindow(Run& run, Window& window);
    static void logWindow(const Window& window);
    std::shared_ptr<AudioProcessorOutputType> prepareWindowAudio(Run& run, const Window& window);
    std::shared_ptr<FeatureExtractorOutputType> extractFeatures(
        const std::shared_ptr<AudioProcessorOutputType>& padded);
    std::shared_ptr<AudioEncoderOutputType> encodeWindow(const std::shared_ptr<FeatureExtractorOutputType>& features);
    DecodingResult decodeWindow(Run& run, const Window& window,
                                const std::shared_ptr<AudioEncoderOutputType>& encoderOutput);
    // Whether the run was stopped before the window's decoding sampled any text.
    bool stoppedWithoutText(const DecodingResult& result) const;
    void findSegments(Run& run, Window& window, const DecodingResult& result);
    void addWordTimings(Run& run, Window& window, const DecodingResult& result);
    static void limitSeek(const Run& run, Window& window);
    void deliverSegments(Run& run, Window& window);
    std::shared_ptr<TranscriptionResult> finishRun(Run& run);

    DecodingResult decodeWithFallback(const std::shared_ptr<AudioEncoderOutputType>& encoderSegment,
                                      const DecodingOptions& decodingOptions,
                                      std::shared_ptr<DecodingInputsType>& decoderInputs,
                                      std::optional<std::string>& detectedLanguage,
                                      const TranscriptionProgressCallback& callback);
    std::string promptText(const std::vector<int>& prompt) const;

    TranscriptionTimings timings_;
    std::shared_ptr<halvex::Progress> progress_;
    std::shared_ptr<AudioEncoding> audioEncoder_;
    std::shared_ptr<FeatureExtracting> featureExtractor_;
    std::shared_ptr<SegmentSeeking> segmentSeeker_;
    std::shared_ptr<TextDecoding> textDecoder_;
    std::shared_ptr<AudioProcessing> audioProcessor_;
    std::shared_ptr<WhisperTokenizer> tokenizer_;
    SegmentDiscoveryCallback segmentDiscoveryCallback_;
    // The window's samples, reused from window to window.
    std::vector<float> windowBuffer_;
};

}  // namespace murmex
