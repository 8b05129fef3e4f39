#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Murmex/Model/AudioEncoding.h"
#include "Murmex/Model/AudioProcessing.h"
#include "Murmex/Model/DecodingOptions.h"
#include "Murmex/Model/FeatureExtracting.h"
#include "Murmex/Model/SegmentSeeking.h"
#include "Murmex/Model/TextDecoding.h"
#include "Murmex/Model/TranscriptionProgress.h"
#include "Murmex/Model/TranscriptionResult.h"
#include "Murmex/Model/TranscriptionSegment.h"
#include "Murmex/Model/WhisperTokenizer.h"

namespace murmex {

class TranscribeTask;

// Transcribes the microphone while the user speaks. It starts live capture through the audio
// processor and, in a loop, transcribes the audio captured so far from the end of the last
// confirmed segment on. Segments followed by enough newer ones become confirmed and are not
// transcribed again; the others stay unconfirmed and may change with the next pass. Every
// change of its state is reported to the state-change callback with the old and the new state.
//
// Its operations and state changes run one at a time: the loop runs on the thread that called
// `startStreamTranscription`; `stopStreamTranscription` may be called from any thread and takes
// effect after the current pass. Energy updates (from the capture thread) and progress updates
// (from the decoder's callback thread) are applied as they arrive, between the loop's own
// changes. The state-change callback runs on whichever of these threads made the change, one
// call at a time; it must not call the transcriber's operations.
class AudioStreamTranscriber : public std::enable_shared_from_this<AudioStreamTranscriber> {
public:
    struct State {
        bool isRecording = false;
        // Decoding fallbacks reported by the latest progress.
        int currentFallbacks = 0;
        // The sample count of the capture buffer at the last transcription.
        int lastBufferSize = 0;
        // End (seconds from the start of the capture buffer) of the last confirmed segment.
        float lastConfirmedSegmentEndSeconds = 0;
        // The audio processor's relative energies after the latest captured buffer.
        std::vector<float> bufferEnergy;
        // The text of the window being decoded, or "Waiting for speech...".
        std::string currentText;
        std::vector<TranscriptionSegment> confirmedSegments;
        std::vector<TranscriptionSegment> unconfirmedSegments;
        // Texts of the windows already finished in the current pass.
        std::vector<std::string> unconfirmedText;

        friend bool operator==(const State&, const State&) = default;
    };

    using StateChangeCallback = std::function<void(const State& oldState, const State& newState)>;
    // Whether recording is allowed.
    using RecordPermission = std::function<bool()>;

    // The text shown while there is too little (or no voiced) new audio.
    static constexpr const char* waitingText = "Waiting for speech...";

    // A transcriber over the given stages, with its own transcription task (fresh timings and
    // progress, no segment callback). `requiredSegmentsForConfirmation` trailing segments of a
    // pass stay unconfirmed (a negative count counts as 0); with `useVAD`, a pass whose new
    // audio holds no energy above `silenceThreshold` is skipped; the last
    // `compressionCheckWindow` tokens of a window are tested for repetition while it is decoded
    // (a negative count counts as 0). `requestRecordPermission` is asked before recording starts
    // (the standard audio processor's test when empty).
    static std::shared_ptr<AudioStreamTranscriber> create(
        std::shared_ptr<AudioEncoding> audioEncoder, std::shared_ptr<FeatureExtracting> featureExtractor,
        std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
        std::shared_ptr<WhisperTokenizer> tokenizer, std::shared_ptr<AudioProcessing> audioProcessor,
        DecodingOptions decodingOptions, int requiredSegmentsForConfirmation = 2, float silenceThreshold = 0.3f,
        int compressionCheckWindow = 60, bool useVAD = true, std::optional<AudioDeviceID> inputDeviceID = std::nullopt,
        StateChangeCallback stateChangeCallback = nullptr, RecordPermission requestRecordPermission = nullptr);

    ~AudioStreamTranscriber();
    AudioStreamTranscriber(const AudioStreamTranscriber&) = delete;
    AudioStreamTranscriber& operator=(const AudioStreamTranscriber&) = delete;

    // Starts capture and runs the transcription loop on the calling thread until recording
    // stops (through `stopStreamTranscription`, or after a pass that failed, which is logged).
    // Returns at once when already recording, and without starting when recording is not
    // allowed. Throws what starting the capture throws.
    void startStreamTranscription();
    // Ends recording: the loop ends after its current pass.
    void stopStreamTranscription();

    // A copy of the current state.
    State state() const;

    // The early-stop answer for a progress report: false (stop) when the last
    // `compressionCheckWindow` tokens compress too well (above the options' threshold, or above
    // 0 without one) or the average log-probability is below the options' threshold; else none.
    static std::optional<bool> shouldStopEarly(const TranscriptionProgress& progress, const DecodingOptions& options,
                                               int compressionCheckWindow);

    int requiredSegmentsForConfirmation() const { return requiredSegmentsForConfirmation_; }
    bool useVAD() const { return useVAD_; }
    float silenceThreshold() const { return silenceThreshold_; }
    int compressionCheckWindow() const { return compressionCheckWindow_; }
    const DecodingOptions& decodingOptions() const { return decodingOptions_; }
    std::optional<AudioDeviceID> inputDeviceID() const { return inputDeviceID_; }

private:
    struct Passkey {};

public:
    AudioStreamTranscriber(Passkey, std::shared_ptr<TranscribeTask> transcribeTask,
                           std::shared_ptr<AudioProcessing> audioProcessor, DecodingOptions decodingOptions,
                           int requiredSegmentsForConfirmation, float silenceThreshold, int compressionCheckWindow,
                           bool useVAD, std::optional<AudioDeviceID> inputDeviceID,
                           StateChangeCallback stateChangeCallback, RecordPermission requestRecordPermission);

private:
    void startRecordingAndTranscribing();
    void onProgressCallback(const TranscriptionProgress& progress);
    // One pass of the loop.
    void transcribeCurrentBuffer();
    // Transcribes the captured samples from the last confirmed end up to `bufferSize`.
    std::shared_ptr<TranscriptionResult> transcribeAudioSamples(std::int64_t bufferSize);

    // Assigns the state through `change`, then tells the callback; `stateMutex_` must be held.
    void assign(const std::function<void(State&)>& change);
    template <class Field, class Value>
    void assignField(Field State::*field, Value value) {
        assign([&](State& state) { state.*field = std::move(value); });
    }

    State state_;
    const StateChangeCallback stateChangeCallback_;
    const int requiredSegmentsForConfirmation_;
    const bool useVAD_;
    const float silenceThreshold_;
    const int compressionCheckWindow_;
    const std::shared_ptr<TranscribeTask> transcribeTask_;
    const std::shared_ptr<AudioProcessing> audioProcessor_;
    const DecodingOptions decodingOptions_;
    const std::optional<AudioDeviceID> inputDeviceID_;
    const RecordPermission requestRecordPermission_;

    // Guards the state; held while the state-change callback runs, never across a call that
    // waits for the capture thread or for a transcription.
    mutable std::mutex stateMutex_;
    // Set while a start asks for permission, so that a second start returns at once.
    bool starting_ = false;
};

}  // namespace murmex
