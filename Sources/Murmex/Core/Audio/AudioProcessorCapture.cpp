#include "Murmex/Core/Audio/AudioProcessor.h"

#include "Murmex/Utilities/WhisperError.h"

#include <algorithm>

namespace murmex {

namespace {

[[noreturn]] void captureUnavailable() {
    throw WhisperError::microphoneUnavailable("Live audio capture is not available in this build");
}

}  // namespace

std::vector<float> AudioProcessor::audioSamples() const {
    std::lock_guard<std::mutex> guard(storeMutex_);
    return audioSamples_;
}

void AudioProcessor::purgeAudioSamples(int64_t keepingLast) {
    std::lock_guard<std::mutex> guard(storeMutex_);
    const auto keep = size_t(std::clamp<int64_t>(keepingLast, 0, int64_t(audioSamples_.size())));
    audioSamples_.erase(audioSamples_.begin(), audioSamples_.end() - ptrdiff_t(keep));
}

std::vector<float> AudioProcessor::relativeEnergy() const {
    std::lock_guard<std::mutex> guard(storeMutex_);
    return relativeEnergies_;
}

int AudioProcessor::relativeEnergyWindow() const {
    std::lock_guard<std::mutex> guard(storeMutex_);
    return relativeEnergyWindow_;
}

void AudioProcessor::setRelativeEnergyWindow(int window) {
    std::lock_guard<std::mutex> guard(storeMutex_);
    relativeEnergyWindow_ = window;
}

void AudioProcessor::startRecordingLive(std::optional<AudioDeviceID>, SampleCallback) { captureUnavailable(); }

std::pair<AudioProcessor::SampleStream, AudioProcessor::SampleStream::Continuation>
AudioProcessor::startStreamingRecordingLive(std::optional<AudioDeviceID>) {
    captureUnavailable();
}

void AudioProcessor::pauseRecording() {}

void AudioProcessor::stopRecording() {}

void AudioProcessor::resumeRecordingLive(std::optional<AudioDeviceID>, SampleCallback) { captureUnavailable(); }

}  // namespace murmex
