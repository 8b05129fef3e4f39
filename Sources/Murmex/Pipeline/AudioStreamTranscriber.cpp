#include "Murmex/Pipeline/AudioStreamTranscriber.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>
#include <utility>

#include "HalvexCore/External/Hub/HubErrors.h"
#include "HalvexCore/External/Hub/Progress.h"
#include "HalvexCore/Logging.h"
#include "Murmex/Audio/AudioProcessor.h"
#include "Murmex/Decoding/TranscribeTask.h"
#include "Murmex/Decoding/TranscriptionUtilities.h"
#include "Murmex/Model/TextUtilities.h"
#include "Platform/ML/AudioWindow.h"

namespace murmex {

using halvex::Logging;

namespace {

constexpr auto idlePause = std::chrono::milliseconds(100);

// Characters of a UTF-8 text, counted as code points.
std::size_t characterCount(const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// Whether `run` appears in `segments` as one stretch of equal, consecutive segments.
bool containsRun(const std::vector<TranscriptionSegment>& segments, const std::vector<TranscriptionSegment>& run) {
    if (run.empty()) return true;
    return std::search(segments.begin(), segments.end(), run.begin(), run.end()) != segments.end();
}

}  // namespace

std::shared_ptr<AudioStreamTranscriber> AudioStreamTranscriber::create(
    std::shared_ptr<AudioEncoding> audioEncoder, std::shared_ptr<FeatureExtracting> featureExtractor,
    std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
    std::shared_ptr<WhisperTokenizer> tokenizer, std::shared_ptr<AudioProcessing> audioProcessor,
    DecodingOptions decodingOptions, int requiredSegmentsForConfirmation, float silenceThreshold,
    int compressionCheckWindow, bool useVAD, std::optional<AudioDeviceID> inputDeviceID,
    StateChangeCallback stateChangeCallback, RecordPermission requestRecordPermission) {
    auto task = std::make_shared<TranscribeTask>(
        TranscriptionTimings(), std::make_shared<halvex::Progress>(), audioProcessor, std::move(audioEncoder),
        std::move(featureExtractor), std::move(segmentSeeker), std::move(textDecoder), std::move(tokenizer));
    return std::make_shared<AudioStreamTranscriber>(Passkey{}, std::move(task), std::move(audioProcessor),
                                                    std::move(decodingOptions), requiredSegmentsForConfirmation,
                                                    silenceThreshold, compressionCheckWindow, useVAD, inputDeviceID,
                                                    std::move(stateChangeCallback), std::move(requestRecordPermission));
}

AudioStreamTranscriber::AudioStreamTranscriber(Passkey, std::shared_ptr<TranscribeTask> transcribeTask,
                                               std::shared_ptr<AudioProcessing> audioProcessor,
                                               DecodingOptions decodingOptions, int requiredSegmentsForConfirmation,
                                               float silenceThreshold, int compressionCheckWindow, bool useVAD,
                                               std::optional<AudioDeviceID> inputDeviceID,
                                               StateChangeCallback stateChangeCallback,
                                               RecordPermission requestRecordPermission)
    : stateChangeCallback_(std::move(stateChangeCallback)),
      requiredSegmentsForConfirmation_(std::max(requiredSegmentsForConfirmation, 0)),
      useVAD_(useVAD),
      silenceThreshold_(silenceThreshold),
      compressionCheckWindow_(std::max(compressionCheckWindow, 0)),
      transcribeTask_(std::move(transcribeTask)),
      audioProcessor_(std::move(audioProcessor)),
      decodingOptions_(std::move(decodingOptions)),
      inputDeviceID_(inputDeviceID),
      requestRecordPermission_(requestRecordPermission ? std::move(requestRecordPermission)
                                                       : RecordPermission(&AudioProcessor::requestRecordPermission)) {}

AudioStreamTranscriber::~AudioStreamTranscriber() = default;

AudioStreamTranscriber::State AudioStreamTranscriber::state() const {
    std::lock_guard lock(stateMutex_);
    return state_;
}

void AudioStreamTranscriber::assign(const std::function<void(State&)>& change) {
    State updated = state_;
    change(updated);
    State old = std::exchange(state_, std::move(updated));
    if (stateChangeCallback_) stateChangeCallback_(old, state_);
}

void AudioStreamTranscriber::startStreamTranscription() {
    {
        std::lock_guard lock(stateMutex_);
        if (state_.isRecording || starting_) return;
        starting_ = true;
    }
    bool allowed = false;
    try {
        allowed = requestRecordPermission_();
    } catch (...) {
        std::lock_guard lock(stateMutex_);
        starting_ = false;
        throw;
    }
    if (!allowed) {
        Logging::error("Microphone access was not granted.");
        std::lock_guard lock(stateMutex_);
        starting_ = false;
        return;
    }
    startRecordingAndTranscribing();
}

void AudioStreamTranscriber::startRecordingAndTranscribing() {
    {
        std::lock_guard lock(stateMutex_);
        starting_ = false;
        assignField(&State::isRecording, true);
        // Capture starts with an empty buffer: positions kept from an earlier recording would
        // hold back, and then skip, the audio of this one.
        if (state_.lastBufferSize != 0) assignField(&State::lastBufferSize, 0);
        if (state_.lastConfirmedSegmentEndSeconds != 0) assignField(&State::lastConfirmedSegmentEndSeconds, 0.0f);
    }

    const std::weak_ptr<AudioStreamTranscriber> weak = weak_from_this();
    try {
        audioProcessor_->startRecordingLive(inputDeviceID_, [weak](const std::vector<float>&) {
            const auto self = weak.lock();
            if (!self) return;
            std::vector<float> energy = self->audioProcessor_->relativeEnergy();
            std::lock_guard lock(self->stateMutex_);
            self->assignField(&State::bufferEnergy, std::move(energy));
        });
    } catch (...) {
        std::lock_guard lock(stateMutex_);
        assignField(&State::isRecording, false);
        throw;
    }
    Logging::info("Realtime transcription has started");

    for (;;) {
        {
            std::lock_guard lock(stateMutex_);
            if (!state_.isRecording) break;
        }
        try {
            transcribeCurrentBuffer();
        } catch (...) {
            Logging::error("Error: " + halvex::localizedDescription(std::current_exception()));
            stopStreamTranscription();
            break;
        }
    }
}

void AudioStreamTranscriber::stopStreamTranscription() {
    {
        std::lock_guard lock(stateMutex_);
        assignField(&State::isRecording, false);
    }
    audioProcessor_->stopRecording();
    Logging::info("Realtime transcription has ended");
}

void AudioStreamTranscriber::transcribeCurrentBuffer() {
    // Only the count: an idle pass copies nothing, however long the recording has grown.
    const std::int64_t bufferSize = audioProcessor_->audioSampleCount();
    int lastBufferSize = 0;
    {
        std::lock_guard lock(stateMutex_);
        lastBufferSize = state_.lastBufferSize;
    }
    const auto newSamples = bufferSize - lastBufferSize;
    const float newSeconds = static_cast<float>(newSamples) / static_cast<float>(platform::audiowindow::sampleRate);

    auto waitForSpeech = [&] {
        {
            std::lock_guard lock(stateMutex_);
            if (state_.currentText.empty()) assignField(&State::currentText, std::string(waitingText));
        }
        std::this_thread::sleep_for(idlePause);
    };
    if (!(newSeconds > 1.0f)) {
        waitForSpeech();
        return;
    }
    if (useVAD_ && !AudioProcessor::isVoiceDetected(audioProcessor_->relativeEnergy(), newSeconds, silenceThreshold_)) {
        Logging::debug("No voice detected, skipping transcribe");
        waitForSpeech();
        return;
    }

    {
        std::lock_guard lock(stateMutex_);
        assignField(&State::lastBufferSize, static_cast<int>(bufferSize));
    }
    const auto result = transcribeAudioSamples(bufferSize);

    std::lock_guard lock(stateMutex_);
    assignField(&State::currentText, std::string());
    assignField(&State::unconfirmedText, std::vector<std::string>());
    const std::vector<TranscriptionSegment> segments = result->segments();
    const auto required = static_cast<std::size_t>(requiredSegmentsForConfirmation_);
    if (segments.size() > required) {
        const auto split = segments.end() - static_cast<std::ptrdiff_t>(required);
        std::vector<TranscriptionSegment> confirmable(segments.begin(), split);
        std::vector<TranscriptionSegment> remaining(split, segments.end());
        const float end = confirmable.back().end;
        if (end > state_.lastConfirmedSegmentEndSeconds) {
            assignField(&State::lastConfirmedSegmentEndSeconds, end);
            if (!containsRun(state_.confirmedSegments, confirmable)) {
                assign([&](State& state) {
                    state.confirmedSegments.insert(state.confirmedSegments.end(), confirmable.begin(),
                                                   confirmable.end());
                });
            }
        }
        assignField(&State::unconfirmedSegments, std::move(remaining));
    } else {
        assignField(&State::unconfirmedSegments, segments);
    }
}

std::shared_ptr<TranscriptionResult> AudioStreamTranscriber::transcribeAudioSamples(std::int64_t bufferSize) {
    // The pass transcribes the recording from the end of the last confirmed segment, the start
    // of the clip that time gives, to `bufferSize`. Only that stretch is copied; the task runs
    // on it from its start, and the segments are moved back to their place in the recording.
    DecodingOptions options = decodingOptions_;
    {
        std::lock_guard lock(stateMutex_);
        options.clipTimestamps = {state_.lastConfirmedSegmentEndSeconds};
    }
    const std::int64_t offset = std::clamp<std::int64_t>(options.prepareSeekClips(bufferSize).front().first, 0,
                                                         std::max<std::int64_t>(bufferSize, 0));
    const std::vector<float> samples = audioProcessor_->copyAudioSamples(offset, bufferSize);
    options.clipTimestamps = {0.0f};

    const std::weak_ptr<AudioStreamTranscriber> weak = weak_from_this();
    const int window = compressionCheckWindow_;
    auto result =
        transcribeTask_->run(samples, options, [weak, options, window](const TranscriptionProgress& progress) {
            if (const auto self = weak.lock()) self->onProgressCallback(progress);
            return shouldStopEarly(progress, options, window);
        });
    if (offset > 0) {
        std::vector<TranscriptionSegment> segments = result->segments();
        for (auto& segment : segments) segment = TranscriptionUtilities::updateSegmentTimings(segment, offset);
        result->setSegments(std::move(segments));
    }
    return result;
}

void AudioStreamTranscriber::onProgressCallback(const TranscriptionProgress& progress) {
    const int fallbacks = static_cast<int>(progress.timings.totalDecodingFallbacks);
    std::lock_guard lock(stateMutex_);
    if (characterCount(progress.text) < characterCount(state_.currentText)) {
        // The decoder started over: a new window, or the same one again after a fallback.
        if (fallbacks == state_.currentFallbacks) {
            assign([&](State& state) { state.unconfirmedText.push_back(state.currentText); });
        } else {
            Logging::info("Fallback occured: " + std::to_string(fallbacks));
        }
    }
    assignField(&State::currentText, progress.text);
    assignField(&State::currentFallbacks, fallbacks);
}

std::optional<bool> AudioStreamTranscriber::shouldStopEarly(const TranscriptionProgress& progress,
                                                            const DecodingOptions& options,
                                                            int compressionCheckWindow) {
    const auto window = static_cast<std::size_t>(std::max(compressionCheckWindow, 0));
    if (progress.tokens.size() > window) {
        const std::vector<int> last(progress.tokens.end() - static_cast<std::ptrdiff_t>(window), progress.tokens.end());
        const float ratio = TextUtilities::compressionRatio(last);
        if (ratio > options.compressionRatioThreshold.value_or(0.0f)) return false;
    }
    if (progress.avgLogprob && options.logProbThreshold && *progress.avgLogprob < *options.logProbThreshold) {
        return false;
    }
    return std::nullopt;
}

}  // namespace murmex
