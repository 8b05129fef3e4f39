#include "Murmex/Audio/AudioProcessor.h"

#include "Murmex/Audio/AudioLog.h"
#include "Murmex/Audio/PortAudioInputDevices.h"
#include "Murmex/Audio/Resampler.h"
#include "Murmex/Model/MurmexLog.h"
#include "Murmex/Model/WhisperError.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace murmex {

namespace {

// The processor whose capture callback the current thread is running, if any.
thread_local const AudioProcessor* tapOwner = nullptr;

class TapScope {
public:
    explicit TapScope(const AudioProcessor* processor) : previous_(std::exchange(tapOwner, processor)) {}
    ~TapScope() { tapOwner = previous_; }
    TapScope(const TapScope&) = delete;
    TapScope& operator=(const TapScope&) = delete;

private:
    const AudioProcessor* previous_;
};

// The shortest text that reads back as the same single-precision value, with ".0" on whole
// numbers ("0.0", "0.25", "1e-05").
std::string describe(float value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
    char text[48];
    const float magnitude = std::fabs(value);
    const bool exponential = magnitude < 1e-4f || magnitude >= 16777216.0f;
    const auto result = std::to_chars(text, text + sizeof(text), value,
                                      exponential ? std::chars_format::scientific : std::chars_format::fixed);
    std::string out(text, result.ptr);
    if (!exponential && out.find('.') == std::string::npos) out += ".0";
    return out;
}

}  // namespace

struct AudioProcessor::CaptureEngine {
    // Present when the device runs at another rate than 16 kHz.
    std::unique_ptr<Resampler> resampler;
    std::unique_ptr<AudioInputStream> stream;
};

// Lets a stream's end reach the processor only while it exists.
struct AudioProcessor::Anchor {
    std::mutex mutex;
    AudioProcessor* processor = nullptr;
};

AudioProcessor::AudioProcessor(std::shared_ptr<AudioInputDevices> inputDevices)
    : inputDevices_(inputDevices ? std::move(inputDevices) : PortAudioInputDevices::shared()),
      anchor_(std::make_shared<Anchor>()) {
    anchor_->processor = this;
}

AudioProcessor::~AudioProcessor() {
    {
        std::lock_guard<std::mutex> guard(anchor_->mutex);
        anchor_->processor = nullptr;
    }
    stopRecording();
    destroyRetiredEngines();
}

// --- The store ---

std::vector<float> AudioProcessor::audioSamples() const {
    std::lock_guard<std::mutex> guard(storeMutex_);
    return audioSamples_;
}

int64_t AudioProcessor::audioSampleCount() const {
    std::lock_guard<std::mutex> guard(storeMutex_);
    return int64_t(audioSamples_.size());
}

std::vector<float> AudioProcessor::copyAudioSamples(int64_t from, int64_t to) const {
    std::lock_guard<std::mutex> guard(storeMutex_);
    to = std::clamp<int64_t>(to, 0, int64_t(audioSamples_.size()));
    from = std::clamp<int64_t>(from, 0, to);
    return std::vector<float>(audioSamples_.begin() + from, audioSamples_.begin() + to);
}

void AudioProcessor::setAudioSamples(std::vector<float> samples) {
    std::lock_guard<std::mutex> guard(storeMutex_);
    audioSamples_ = std::move(samples);
}

void AudioProcessor::purgeAudioSamples(int64_t keepingLast) {
    std::lock_guard<std::mutex> guard(storeMutex_);
    const auto keep = size_t(std::clamp<int64_t>(keepingLast, 0, int64_t(audioSamples_.size())));
    audioSamples_.erase(audioSamples_.begin(), audioSamples_.end() - ptrdiff_t(keep));
}

std::vector<CapturedEnergy> AudioProcessor::audioEnergy() const {
    std::lock_guard<std::mutex> guard(storeMutex_);
    return audioEnergy_;
}

void AudioProcessor::setAudioEnergy(std::vector<CapturedEnergy> energy) {
    std::lock_guard<std::mutex> guard(storeMutex_);
    audioEnergy_ = std::move(energy);
}

std::vector<float> AudioProcessor::relativeEnergy() const {
    std::lock_guard<std::mutex> guard(storeMutex_);
    std::vector<float> relative;
    relative.reserve(audioEnergy_.size());
    for (const auto& entry : audioEnergy_) relative.push_back(entry.rel);
    return relative;
}

int AudioProcessor::relativeEnergyWindow() const {
    std::lock_guard<std::mutex> guard(storeMutex_);
    return relativeEnergyWindow_;
}

void AudioProcessor::setRelativeEnergyWindow(int window) {
    std::lock_guard<std::mutex> guard(storeMutex_);
    relativeEnergyWindow_ = window;
}

AudioProcessor::SampleCallback AudioProcessor::audioBufferCallback() const {
    std::lock_guard<std::mutex> guard(storeMutex_);
    return audioBufferCallback_;
}

void AudioProcessor::setAudioBufferCallback(SampleCallback callback) {
    std::lock_guard<std::mutex> guard(storeMutex_);
    audioBufferCallback_ = std::move(callback);
}

int AudioProcessor::minBufferLength() const {
    std::lock_guard<std::mutex> guard(storeMutex_);
    return minBufferLength_;
}

void AudioProcessor::setMinBufferLength(int length) {
    std::lock_guard<std::mutex> guard(storeMutex_);
    minBufferLength_ = length;
}

bool AudioProcessor::isInputSuppressed() const {
    std::lock_guard<std::mutex> guard(storeMutex_);
    return isInputSuppressed_;
}

void AudioProcessor::setInputSuppressed(bool suppressed) {
    std::lock_guard<std::mutex> guard(storeMutex_);
    isInputSuppressed_ = suppressed;
}

std::optional<AudioDeviceID> AudioProcessor::lastInputDevice() const {
    std::lock_guard<std::mutex> guard(captureMutex_);
    return lastInputDevice_;
}

bool AudioProcessor::hasAudioEngine() const {
    std::lock_guard<std::mutex> guard(captureMutex_);
    return engine_ != nullptr;
}

// --- The device ---

std::optional<AudioDeviceID> AudioProcessor::assignAudioInput(std::optional<AudioDeviceID> inputDeviceID) {
    if (inputDeviceID) {
        const auto devices = inputDevices_->inputDevices();
        const bool found = std::any_of(devices.begin(), devices.end(),
                                       [&](const AudioDevice& device) { return device.id == *inputDeviceID; });
        if (found) {
            log::info("Successfully set input device.");
            return inputDeviceID;
        }
        audiolog::error("Error setting input device: no input device has the identifier " +
                        std::to_string(*inputDeviceID));
    }
    return inputDevices_->defaultInputDevice();
}

std::shared_ptr<AudioProcessor::CaptureEngine> AudioProcessor::setupEngine(std::optional<AudioDeviceID> inputDeviceID) {
    const auto device = assignAudioInput(inputDeviceID);
    if (!device) {
        // No input to take the format from.
        throw WhisperError::audioProcessingFailed("Failed to create node format");
    }
    const int bufferLength = std::max(minBufferLength(), 1);
    auto engine = std::make_shared<CaptureEngine>();
    CaptureEngine* captured = engine.get();
    // The stream is stopped and its thread joined before its engine goes, so the handler's
    // engine outlives every call.
    engine->stream = inputDevices_->openInputStream(
        *device, double(bufferLength) / sampleRate,
        [this, captured](const float* samples, std::size_t count) { tap(*captured, samples, count); });
    const double rate = engine->stream->sampleRate();
    if (!(std::isfinite(rate) && rate > 0)) {
        throw WhisperError::audioProcessingFailed("Failed to create node format");
    }
    if (rate != sampleRate) {
        try {
            engine->resampler = std::make_unique<Resampler>(
                AudioFormat{AudioCommonFormat::float32, rate, 1, false},
                AudioFormat{AudioCommonFormat::float32, sampleRate, 1, false}, Resampler::Downmix::firstChannels);
        } catch (const ResamplerError&) {
            throw WhisperError::audioProcessingFailed("Failed to create audio converter");
        }
    }
    engine->stream->start();
    return engine;
}

void AudioProcessor::retire(std::shared_ptr<CaptureEngine> engine) {
    if (!engine) return;
    engine->stream->stop();
    if (tapOwner == this) {
        std::lock_guard<std::mutex> guard(captureMutex_);
        retiredEngines_.push_back(std::move(engine));
    }
}

void AudioProcessor::destroyRetiredEngines() {
    if (tapOwner == this) return;
    std::vector<std::shared_ptr<CaptureEngine>> retired;
    {
        std::lock_guard<std::mutex> guard(captureMutex_);
        retired.swap(retiredEngines_);
    }
    // Each waits for its capture thread to end.
    retired.clear();
}

void AudioProcessor::startRecordingLive(std::optional<AudioDeviceID> inputDeviceID, SampleCallback callback) {
    destroyRetiredEngines();
    // The device may not be shared: the capture running now ends first.
    std::shared_ptr<CaptureEngine> previous;
    {
        std::lock_guard<std::mutex> guard(captureMutex_);
        previous = std::move(engine_);
    }
    retire(std::move(previous));
    {
        std::lock_guard<std::mutex> guard(storeMutex_);
        audioSamples_.clear();
        audioEnergy_.clear();
    }
    // The callback is in place before the first buffer can arrive; a failed start leaves the
    // one before.
    SampleCallback before;
    {
        std::lock_guard<std::mutex> guard(storeMutex_);
        before = std::exchange(audioBufferCallback_, std::move(callback));
    }
    std::shared_ptr<CaptureEngine> engine;
    try {
        engine = setupEngine(inputDeviceID);
    } catch (...) {
        setAudioBufferCallback(std::move(before));
        throw;
    }
    std::shared_ptr<CaptureEngine> displaced;
    {
        std::lock_guard<std::mutex> guard(captureMutex_);
        displaced = std::exchange(engine_, std::move(engine));
        lastInputDevice_ = inputDeviceID;
    }
    retire(std::move(displaced));
}

std::pair<AudioProcessor::SampleStream, AudioProcessor::SampleStream::Continuation>
AudioProcessor::startStreamingRecordingLive(std::optional<AudioDeviceID> inputDeviceID) {
    auto [stream, continuation] = SampleStream::makeStream();
    continuation.setOnTermination([anchor = anchor_] {
        std::lock_guard<std::mutex> guard(anchor->mutex);
        if (anchor->processor == nullptr) return;
        anchor->processor->setAudioBufferCallback(nullptr);
        anchor->processor->stopRecording();
    });
    try {
        startRecordingLive(inputDeviceID, [continuation = continuation](const std::vector<float>& samples) {
            continuation.yield(samples);
        });
    } catch (...) {
        continuation.finish(std::current_exception());
    }
    return {std::move(stream), continuation};
}

void AudioProcessor::pauseRecording() {
    std::shared_ptr<CaptureEngine> engine;
    {
        std::lock_guard<std::mutex> guard(captureMutex_);
        engine = engine_;
    }
    if (engine) engine->stream->pause();
}

void AudioProcessor::resumeRecordingLive(std::optional<AudioDeviceID> inputDeviceID, SampleCallback callback) {
    destroyRetiredEngines();
    std::shared_ptr<CaptureEngine> engine;
    bool sameDevice = false;
    {
        std::lock_guard<std::mutex> guard(captureMutex_);
        engine = engine_;
        sameDevice = inputDeviceID == lastInputDevice_;
    }
    SampleCallback before;
    const bool replacesCallback = static_cast<bool>(callback);
    if (replacesCallback) {
        std::lock_guard<std::mutex> guard(storeMutex_);
        before = std::exchange(audioBufferCallback_, std::move(callback));
    }
    try {
        resumeEngine(std::move(engine), sameDevice, inputDeviceID);
    } catch (...) {
        if (replacesCallback) setAudioBufferCallback(std::move(before));
        throw;
    }
}

void AudioProcessor::resumeEngine(std::shared_ptr<CaptureEngine> engine, bool sameDevice,
                                  std::optional<AudioDeviceID> inputDeviceID) {
    if (sameDevice) {
        if (engine) engine->stream->start();
    } else {
        std::shared_ptr<CaptureEngine> previous;
        {
            std::lock_guard<std::mutex> guard(captureMutex_);
            previous = std::move(engine_);
        }
        engine.reset();
        retire(std::move(previous));
        auto fresh = setupEngine(inputDeviceID);
        std::shared_ptr<CaptureEngine> displaced;
        {
            std::lock_guard<std::mutex> guard(captureMutex_);
            displaced = std::exchange(engine_, std::move(fresh));
        }
        retire(std::move(displaced));
    }
}

void AudioProcessor::stopRecording() {
    std::shared_ptr<CaptureEngine> engine;
    {
        std::lock_guard<std::mutex> guard(captureMutex_);
        engine = std::move(engine_);
    }
    retire(std::move(engine));
    destroyRetiredEngines();
}

// --- The capture thread ---

void AudioProcessor::tap(CaptureEngine& engine, const float* samples, std::size_t count) {
    TapScope scope(this);
    std::vector<float> converted;
    if (engine.resampler) {
        try {
            converted = engine.resampler->resample(&samples, count);
        } catch (const std::exception& error) {
            audiolog::error(std::string("Failed to resample buffer: ") + error.what());
            return;
        }
    } else {
        converted.assign(samples, samples + count);
    }
    if (converted.empty()) return;
    if (isInputSuppressed()) std::fill(converted.begin(), converted.end(), 0.0f);
    processBuffer(converted);
}

void AudioProcessor::processBuffer(const std::vector<float>& samples) {
    SampleCallback callback;
    std::string line;
    {
        std::lock_guard<std::mutex> guard(storeMutex_);
        audioSamples_.insert(audioSamples_.end(), samples.begin(), samples.end());
        // The level is measured against the quietest of the last 20 buffers.
        float reference = std::numeric_limits<float>::infinity();
        const std::size_t first = audioEnergy_.size() > 20 ? audioEnergy_.size() - 20 : 0;
        for (std::size_t i = first; i < audioEnergy_.size(); ++i) reference = std::min(reference, audioEnergy_[i].avg);
        const float rel = calculateRelativeEnergy(samples, std::max(reference, 1e-8f));
        const AudioEnergy energy = calculateEnergy(samples);
        const CapturedEnergy entry{rel, energy.avg, energy.max, energy.min};
        audioEnergy_.push_back(entry);
        callback = audioBufferCallback_;
        const std::int64_t period = std::int64_t(minBufferLength_) * std::int64_t(relativeEnergyWindow_);
        if (period > 0 && std::int64_t(audioSamples_.size()) % period == 0) {
            line = "Current audio size: " + std::to_string(audioSamples_.size()) +
                   " samples, most recent buffer: " + std::to_string(samples.size()) +
                   " samples, most recent energy: (" + describe(entry.rel) + ", " + describe(entry.avg) + ", " +
                   describe(entry.max) + ", " + describe(entry.min) + ")";
        }
    }
    if (callback) callback(samples);
    if (!line.empty()) audiolog::debug(line);
}

// --- The system's devices ---

bool AudioProcessor::requestRecordPermission() {
    return PortAudioInputDevices::shared()->defaultInputDevice().has_value();
}

std::vector<AudioDevice> AudioProcessor::getAudioDevices() { return PortAudioInputDevices::shared()->inputDevices(); }

}  // namespace murmex
