#include "AudioTestSupport.h"

#include "Murmex/Audio/AudioCaptureError.h"
#include "Murmex/Audio/AudioProcessor.h"
#include "Murmex/Audio/QueuedAudioInputStream.h"
#include "Murmex/Model/WhisperError.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <vector>

namespace {

using murmex::AudioCaptureError;
using murmex::AudioDevice;
using murmex::AudioDeviceID;
using murmex::AudioInputStream;
using murmex::AudioProcessor;
using murmex::CapturedEnergy;
using murmex::QueuedAudioInputStream;
using murmex::WhisperError;
namespace support = murmex::test;
using namespace std::chrono_literals;

// Waits up to five seconds for the condition.
bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

class FakeDevices;

// A microphone the test speaks into: what `capture` is given goes through the same ring and
// delivery thread as a real device's samples.
class FakeStream final : public QueuedAudioInputStream {
public:
    FakeStream(FakeDevices& devices, AudioDeviceID device, double rate, std::size_t frames, BufferHandler handler);
    ~FakeStream() override;

    AudioDeviceID device() const { return device_; }
    void capture(const std::vector<float>& samples) { push(samples.data(), samples.size()); }

    std::atomic<int> starts{0};
    std::atomic<int> pauses{0};
    std::atomic<int> stops{0};

private:
    void startDevice() override;
    void pauseDevice() override { ++pauses; }
    void stopDevice() override { ++stops; }

    FakeDevices& devices_;
    AudioDeviceID device_;
};

class FakeDevices final : public murmex::AudioInputDevices {
public:
    std::vector<AudioDevice> devices{{3, "Desk microphone"}, {7, "Headset"}};
    std::optional<AudioDeviceID> defaultDevice = 3;
    std::map<AudioDeviceID, double> rates;  // 16000 unless listed
    bool failOpen = false;
    bool failStart = false;

    std::vector<AudioDevice> inputDevices() override { return devices; }
    std::optional<AudioDeviceID> defaultInputDevice() override { return defaultDevice; }
    std::unique_ptr<AudioInputStream> openInputStream(AudioDeviceID device, double bufferDuration,
                                                      AudioInputStream::BufferHandler handler) override {
        if (failOpen) throw AudioCaptureError("Pa_OpenStream", -9985, "Device unavailable");
        const double rate = rates.count(device) ? rates[device] : 16000.0;
        ++opened;
        return std::make_unique<FakeStream>(*this, device, rate, std::size_t(std::lround(bufferDuration * rate)),
                                            std::move(handler));
    }

    // The newest stream still open.
    FakeStream* current() {
        std::lock_guard<std::mutex> guard(mutex);
        return open.empty() ? nullptr : open.back();
    }
    // Speaks into the newest open stream.
    void capture(const std::vector<float>& samples) {
        std::lock_guard<std::mutex> guard(mutex);
        if (!open.empty()) open.back()->capture(samples);
    }

    std::mutex mutex;
    std::vector<FakeStream*> open;
    int opened = 0;
};

FakeStream::FakeStream(FakeDevices& devices, AudioDeviceID device, double rate, std::size_t frames,
                       BufferHandler handler)
    : QueuedAudioInputStream(rate, frames, std::move(handler)), devices_(devices), device_(device) {
    std::lock_guard<std::mutex> guard(devices_.mutex);
    devices_.open.push_back(this);
}

FakeStream::~FakeStream() {
    stop();
    std::lock_guard<std::mutex> guard(devices_.mutex);
    std::erase(devices_.open, this);
}

void FakeStream::startDevice() {
    if (devices_.failStart) throw AudioCaptureError("Pa_StartStream", -9996, "Invalid device");
    ++starts;
}

std::vector<float> constant(float value, std::size_t count) { return std::vector<float>(count, value); }

// Samples of RMS `level` (a square wave).
std::vector<float> square(float level, std::size_t count) {
    std::vector<float> samples(count);
    for (std::size_t i = 0; i < count; ++i) samples[i] = i % 2 ? level : -level;
    return samples;
}

// Collects what the callback receives.
struct Received {
    std::mutex mutex;
    std::vector<std::vector<float>> buffers;

    AudioProcessor::SampleCallback callback() {
        return [this](const std::vector<float>& samples) {
            std::lock_guard<std::mutex> guard(mutex);
            buffers.push_back(samples);
        };
    }
    std::size_t count() {
        std::lock_guard<std::mutex> guard(mutex);
        return buffers.size();
    }
};

std::vector<float> joined(const std::vector<std::vector<float>>& parts) {
    std::vector<float> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(AudioCapture, EachBufferIsStoredMeasuredAndPassedOn) {
    auto devices = std::make_shared<FakeDevices>();
    AudioProcessor processor(devices);
    Received received;
    processor.startRecordingLive(std::nullopt, received.callback());
    ASSERT_NE(devices->current(), nullptr);
    EXPECT_EQ(devices->current()->device(), 3u) << "the default input";
    EXPECT_EQ(devices->current()->framesPerBuffer(), 1600u);

    const std::vector<std::vector<float>> buffers{
        square(0.01f, 1600),   // the first buffer has nothing to compare with
        square(0.01f, 1600),   // as quiet as the quietest before it
        square(0.1f, 1600),    // 20 dB above it, on a 40 dB scale up to full scale
        square(1.0f, 1600),    // full scale
        constant(0.0f, 1600),  // silence
    };
    // Three buffers' worth in one piece arrive as three buffers of 0.1 s.
    devices->capture(joined({buffers[0], buffers[1], buffers[2]}));
    devices->capture(buffers[3]);
    devices->capture(buffers[4]);
    ASSERT_TRUE(eventually([&] { return received.count() == buffers.size(); }));

    EXPECT_EQ(received.buffers, buffers);
    EXPECT_EQ(processor.audioSamples(), joined(buffers));
    const std::vector<float> expectedRel{0.0f, 0.0f, 0.5f, 1.0f, 0.0f};
    const auto energy = processor.audioEnergy();
    ASSERT_EQ(energy.size(), buffers.size());
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_NEAR(energy[i].rel, expectedRel[i], 1e-5);
        EXPECT_NEAR(energy[i].avg, support::rms(buffers[i]), 1e-6);
        EXPECT_FLOAT_EQ(energy[i].max, support::peak(buffers[i]));
        EXPECT_FLOAT_EQ(energy[i].min, support::peak(buffers[i]));
    }
    EXPECT_EQ(processor.relativeEnergy().size(), buffers.size());
    EXPECT_FLOAT_EQ(processor.relativeEnergy()[2], energy[2].rel);
}

TEST(AudioCapture, LevelIsRelativeToTheQuietestOfTheLastTwentyBuffers) {
    auto devices = std::make_shared<FakeDevices>();
    AudioProcessor processor(devices);
    processor.startRecordingLive();
    // A very quiet buffer, then 20 at -20 dB: by the 22nd, the quiet one has left the window.
    devices->capture(square(0.001f, 1600));
    for (int i = 0; i < 20; ++i) devices->capture(square(0.1f, 1600));
    ASSERT_TRUE(eventually([&] { return processor.audioEnergy().size() == 21; }));
    devices->capture(square(0.1f, 1600));
    ASSERT_TRUE(eventually([&] { return processor.audioEnergy().size() == 22; }));
    const auto rel = processor.relativeEnergy();
    EXPECT_NEAR(rel[1], 2.0f / 3.0f, 1e-4) << "-20 dB against the -60 dB reference";
    EXPECT_NEAR(rel[20], 2.0f / 3.0f, 1e-4) << "the quiet buffer is the 20th before";
    EXPECT_EQ(rel[21], 0.0f) << "the quiet buffer is out of the window";
}

TEST(AudioCapture, OtherDeviceRatesAreResampledTo16kHzWithoutSeams) {
    for (double rate : {48000.0, 44100.0}) {
        SCOPED_TRACE(rate);
        auto devices = std::make_shared<FakeDevices>();
        devices->rates[3] = rate;
        AudioProcessor processor(devices);
        processor.startRecordingLive();
        const auto frames = std::size_t(rate / 10);
        ASSERT_EQ(devices->current()->framesPerBuffer(), frames) << "0.1 s per buffer";
        // Two seconds of a 440 Hz tone, captured 0.1 s at a time.
        const auto tone = support::sine(440, 0.5, int(rate), int64_t(2 * rate));
        for (std::size_t at = 0; at < tone.size(); at += frames) {
            devices->capture(
                std::vector<float>(tone.begin() + std::ptrdiff_t(at), tone.begin() + std::ptrdiff_t(at + frames)));
        }
        ASSERT_TRUE(eventually([&] { return processor.audioEnergy().size() == 20; }));
        const auto samples = processor.audioSamples();
        // Only the filter's short delay is still inside it.
        EXPECT_LE(samples.size(), 32000u);
        EXPECT_GE(samples.size(), 31900u);
        EXPECT_NEAR(support::toneFrequency(samples, 16000), 440.0, 0.2);
        EXPECT_NEAR(support::rms(samples, 1600, 28800), 0.5 / std::sqrt(2.0), 0.01);
        // Buffers join without a click: no step between neighbours beyond the tone's own.
        float largestStep = 0;
        for (std::size_t i = 1; i < samples.size(); ++i) {
            largestStep = std::max(largestStep, std::fabs(samples[i] - samples[i - 1]));
        }
        EXPECT_LT(largestStep, 0.5 * 2 * M_PI * 440 / 16000 * 1.05);
    }
}

TEST(AudioCapture, StartPauseResumeAndStop) {
    auto devices = std::make_shared<FakeDevices>();
    AudioProcessor processor(devices);
    Received first;
    Received second;
    const auto bufferCount = [&] { return processor.audioEnergy().size(); };

    processor.startRecordingLive(std::nullopt, first.callback());
    FakeStream* stream = devices->current();
    EXPECT_TRUE(processor.hasAudioEngine());
    EXPECT_EQ(processor.lastInputDevice(), std::nullopt);
    devices->capture(constant(0.1f, 1600));
    ASSERT_TRUE(eventually([&] { return bufferCount() == 1; }));

    // Paused: the device stops, nothing is captured, the store stays.
    processor.pauseRecording();
    EXPECT_EQ(stream->pauses.load(), 1);
    devices->capture(constant(0.2f, 1600));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(bufferCount(), 1u);

    // Resumed on the same device (none given twice): the same device starts again, the callback
    // stays when none is given.
    processor.resumeRecordingLive();
    EXPECT_EQ(devices->current(), stream);
    EXPECT_EQ(stream->starts.load(), 2);
    devices->capture(constant(0.3f, 1600));
    ASSERT_TRUE(eventually([&] { return bufferCount() == 2; }));
    // The callback runs after the buffer is stored, on the capture thread.
    EXPECT_TRUE(eventually([&] { return first.count() == 2u; }));

    // Resumed on another device: a new device records into the same store with the new
    // callback, the old one is closed, and the last start's device is still the one remembered.
    processor.resumeRecordingLive(7, second.callback());
    ASSERT_NE(devices->current(), nullptr);
    EXPECT_EQ(devices->current()->device(), 7u);
    EXPECT_EQ(devices->opened, 2);
    EXPECT_EQ(processor.lastInputDevice(), std::nullopt);
    devices->capture(constant(0.4f, 1600));
    ASSERT_TRUE(eventually([&] { return bufferCount() == 3; }));
    EXPECT_TRUE(eventually([&] { return second.count() == 1u; }));
    EXPECT_EQ(first.count(), 2u);
    EXPECT_EQ(processor.audioSamples(), joined({constant(0.1f, 1600), constant(0.3f, 1600), constant(0.4f, 1600)}));

    // Stopped: the device is closed, the store stays.
    processor.stopRecording();
    EXPECT_FALSE(processor.hasAudioEngine());
    EXPECT_EQ(devices->current(), nullptr);
    EXPECT_EQ(processor.audioSamples().size(), 4800u);
    // With no device open, resuming on the same device has nothing to start.
    processor.resumeRecordingLive();
    EXPECT_FALSE(processor.hasAudioEngine());

    // A new start on a named device empties the store and remembers the device.
    processor.startRecordingLive(7);
    EXPECT_TRUE(processor.audioSamples().empty());
    EXPECT_TRUE(processor.audioEnergy().empty());
    EXPECT_EQ(processor.lastInputDevice(), std::optional<AudioDeviceID>(7));
    EXPECT_EQ(processor.audioBufferCallback(), nullptr) << "a start without a callback clears it";

    // Starting again while recording closes the running device first.
    const int openedBefore = devices->opened;
    processor.startRecordingLive(3);
    EXPECT_EQ(devices->current()->device(), 3u);
    EXPECT_EQ(devices->opened, openedBefore + 1);
    std::lock_guard<std::mutex> guard(devices->mutex);
    EXPECT_EQ(devices->open.size(), 1u);
}

TEST(AudioCapture, DevicesThatCannotRecord) {
    struct Case {
        const char* name;
        std::function<void(FakeDevices&)> setUp;
        std::optional<AudioDeviceID> device;
        std::string message;
        bool whisperError;
    };
    const std::vector<Case> cases{
        {"no input device",
         [](FakeDevices& d) {
             d.devices.clear();
             d.defaultDevice.reset();
         },
         std::nullopt, "Failed to create node format", true},
        {"unknown device and no default", [](FakeDevices& d) { d.defaultDevice.reset(); }, 42,
         "Failed to create node format", true},
        {"a rate that cannot be converted", [](FakeDevices& d) { d.rates[3] = 22050.5; }, std::nullopt,
         "Failed to create audio converter", true},
        {"device cannot be opened", [](FakeDevices& d) { d.failOpen = true; }, std::nullopt,
         "Pa_OpenStream failed: Device unavailable", false},
        {"device cannot start", [](FakeDevices& d) { d.failStart = true; }, std::nullopt,
         "Pa_StartStream failed: Invalid device", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto devices = std::make_shared<FakeDevices>();
        c.setUp(*devices);
        AudioProcessor processor(devices);
        processor.setAudioSamples({1.0f, 2.0f});
        Received earlier;
        processor.setAudioBufferCallback(earlier.callback());
        try {
            processor.startRecordingLive(c.device);
            ADD_FAILURE() << "recording started";
        } catch (const WhisperError& error) {
            EXPECT_TRUE(c.whisperError);
            EXPECT_EQ(error.kind(), WhisperError::Kind::audioProcessingFailed);
            EXPECT_EQ(error.message(), c.message);
        } catch (const AudioCaptureError& error) {
            EXPECT_FALSE(c.whisperError);
            EXPECT_EQ(std::string(error.what()), c.message);
        }
        EXPECT_TRUE(processor.audioSamples().empty()) << "the store stays empty";
        EXPECT_FALSE(processor.hasAudioEngine());
        EXPECT_NE(processor.audioBufferCallback(), nullptr) << "a failed start keeps the callback";
        EXPECT_EQ(devices->current(), nullptr) << "no device is left open";

        // A stream whose recording cannot start ends with the same error.
        auto [stream, continuation] = processor.startStreamingRecordingLive(c.device);
        EXPECT_ANY_THROW(stream.next());
    }
}

TEST(AudioCapture, ChosenDevicesAndTheDefaultInput) {
    auto devices = std::make_shared<FakeDevices>();
    AudioProcessor processor(devices);
    support::LogCapture log;
    processor.startRecordingLive(7);
    EXPECT_EQ(devices->current()->device(), 7u);
    EXPECT_TRUE(log.hasLine("Successfully set input device."));

    // A device that is not there: the default input records instead.
    processor.startRecordingLive(42);
    EXPECT_EQ(devices->current()->device(), 3u);
    EXPECT_TRUE(log.hasLine("Error setting input device: no input device has the identifier 42"));
    EXPECT_EQ(processor.lastInputDevice(), std::optional<AudioDeviceID>(42));
}

TEST(AudioCapture, StreamDeliversBuffersAndItsEndStopsRecording) {
    enum class Ending { finish, cancel, drop };
    for (Ending ending : {Ending::finish, Ending::cancel, Ending::drop}) {
        SCOPED_TRACE(int(ending));
        auto devices = std::make_shared<FakeDevices>();
        AudioProcessor processor(devices);
        {
            auto [stream, continuation] = processor.startStreamingRecordingLive();
            devices->capture(joined({constant(0.1f, 1600), constant(0.2f, 1600)}));
            EXPECT_EQ(stream.next(), std::optional(constant(0.1f, 1600)));
            EXPECT_EQ(stream.next(), std::optional(constant(0.2f, 1600)));
            EXPECT_TRUE(processor.hasAudioEngine());
            if (ending == Ending::finish) {
                continuation.finish();
                EXPECT_FALSE(stream.next());
            } else if (ending == Ending::cancel) {
                stream.cancel();
            }
        }
        EXPECT_FALSE(processor.hasAudioEngine());
        EXPECT_EQ(devices->current(), nullptr);
        EXPECT_EQ(processor.audioBufferCallback(), nullptr);
        EXPECT_EQ(processor.audioSamples().size(), 3200u);
    }

    // A processor that is gone before its stream ends is left alone.
    auto devices = std::make_shared<FakeDevices>();
    auto processor = std::make_unique<AudioProcessor>(devices);
    auto [stream, continuation] = processor->startStreamingRecordingLive();
    processor.reset();
    EXPECT_EQ(devices->current(), nullptr) << "destroying the processor stops recording";
    continuation.finish();
    EXPECT_FALSE(stream.next());
}

TEST(AudioCapture, CallbacksMayStopOrRestartTheRecordingTheyBelongTo) {
    auto devices = std::make_shared<FakeDevices>();
    AudioProcessor processor(devices);
    std::atomic<int> calls{0};
    processor.startRecordingLive(std::nullopt, [&](const std::vector<float>&) {
        if (++calls == 2) processor.stopRecording();
    });
    devices->capture(constant(0.1f, 1600 * 4));
    ASSERT_TRUE(eventually([&] { return !processor.hasAudioEngine(); }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(calls.load(), 2) << "no buffer after the stop";

    // A callback that starts a new recording on another device.
    std::atomic<bool> switched{false};
    processor.startRecordingLive(3, [&](const std::vector<float>&) {
        if (!switched.exchange(true)) processor.startRecordingLive(7);
    });
    devices->capture(constant(0.1f, 1600));
    ASSERT_TRUE(eventually([&] { return processor.lastInputDevice() == std::optional<AudioDeviceID>(7); }));
    devices->capture(constant(0.2f, 1600));
    ASSERT_TRUE(eventually([&] { return processor.audioSamples().size() == 1600; }));
    EXPECT_EQ(processor.audioSamples(), constant(0.2f, 1600));

    // Meanwhile another thread may pause while a callback is running, without waiting forever.
    std::atomic<bool> inCallback{false};
    std::atomic<bool> release{false};
    processor.startRecordingLive(3, [&](const std::vector<float>&) {
        inCallback = true;
        while (!release) std::this_thread::sleep_for(1ms);
        processor.pauseRecording();
    });
    devices->capture(constant(0.1f, 1600));
    ASSERT_TRUE(eventually([&] { return inCallback.load(); }));
    std::thread stopper([&] { processor.stopRecording(); });
    std::this_thread::sleep_for(20ms);
    release = true;
    stopper.join();
    EXPECT_FALSE(processor.hasAudioEngine());
}

TEST(AudioCapture, SuppressedInputIsStoredAsSilence) {
    auto devices = std::make_shared<FakeDevices>();
    AudioProcessor processor(devices);
    processor.setInputSuppressed(true);
    EXPECT_TRUE(processor.isInputSuppressed());
    processor.startRecordingLive();
    for (float level : {0.5f, 0.01f, 1.0f}) devices->capture(square(level, 1600));
    ASSERT_TRUE(eventually([&] { return processor.audioEnergy().size() == 3; }));
    EXPECT_EQ(processor.audioSamples(), constant(0.0f, 4800));
    for (float rel : processor.relativeEnergy()) EXPECT_EQ(rel, 0.0f);
}

TEST(AudioCapture, PurgeKeepsTheNewestSamples) {
    struct Case {
        std::size_t stored;
        std::int64_t keep;
        std::size_t kept;
    };
    for (Case c : {Case{40000, 16000, 16000}, Case{10000, 16000, 10000}, Case{10000, 0, 0}, Case{10000, -5, 0}}) {
        SCOPED_TRACE(c.stored);
        AudioProcessor processor(std::make_shared<FakeDevices>());
        std::vector<float> samples(c.stored);
        for (std::size_t i = 0; i < c.stored; ++i) samples[i] = float(i);
        processor.setAudioSamples(samples);
        processor.setAudioEnergy({CapturedEnergy{0.5f, 0.1f, 0.2f, 0.0f}});
        processor.purgeAudioSamples(c.keep);
        EXPECT_EQ(processor.audioSamples(), std::vector<float>(samples.end() - std::ptrdiff_t(c.kept), samples.end()));
        EXPECT_EQ(processor.audioEnergy().size(), 1u);
    }
}

TEST(AudioCapture, StoreSizeIsLoggedOncePerWindowOfBuffers) {
    struct Case {
        int window;
        int changedBufferLength;  // set after the start: the device's buffers stay 1600
        int buffers;
        std::vector<std::size_t> loggedAt;
    };
    const std::vector<Case> cases{
        {20, 1600, 41, {32000, 64000}},
        {3, 1600, 7, {4800, 9600}},
        // Every 4000 samples, and a line only where a buffer ends exactly there.
        {4, 1000, 6, {8000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.window);
        auto devices = std::make_shared<FakeDevices>();
        AudioProcessor processor(devices);
        processor.setRelativeEnergyWindow(c.window);
        processor.startRecordingLive();
        processor.setMinBufferLength(c.changedBufferLength);
        support::LogCapture log;
        for (int i = 0; i < c.buffers; ++i) devices->capture(constant(0.25f, 1600));
        ASSERT_TRUE(eventually([&] { return processor.audioEnergy().size() == std::size_t(c.buffers); }));
        std::vector<std::string> expected;
        for (std::size_t size : c.loggedAt) {
            expected.push_back(
                "Current audio size: " + std::to_string(size) +
                " samples, most recent buffer: 1600 samples, most recent energy: (0.0, 0.25, 0.25, 0.25)");
        }
        std::vector<std::string> lines;
        for (const auto& line : log.lines()) {
            if (line.find("Current audio size") != std::string::npos) lines.push_back(line);
        }
        EXPECT_EQ(lines, expected);
    }
}

TEST(AudioCapture, DevicesAreEqualWhenIdentifierAndNameAre) {
    const AudioDevice desk{3, "Desk microphone"};
    EXPECT_EQ(desk, (AudioDevice{3, "Desk microphone"}));
    EXPECT_NE(desk, (AudioDevice{3, "Renamed"}));
    EXPECT_NE(desk, (AudioDevice{4, "Desk microphone"}));
    const std::unordered_set<AudioDevice> set{desk, AudioDevice{3, "Desk microphone"}, AudioDevice{3, ""}};
    EXPECT_EQ(set.size(), 2u);
}

// The system's own devices are only listed, never opened: tests must not record a real microphone.
TEST(AudioCaptureSystemDevices, ListingAndPermissionAgree) {
    const auto devices = AudioProcessor::getAudioDevices();
    std::unordered_set<AudioDeviceID> ids;
    for (const auto& device : devices) EXPECT_TRUE(ids.insert(device.id).second) << "identifier listed twice";
    const bool permitted = AudioProcessor::requestRecordPermission();
    if (permitted) {
        EXPECT_FALSE(devices.empty());
    } else {
        // With no input on this machine, the standard processor refuses to record.
        AudioProcessor processor;
        try {
            processor.startRecordingLive();
            ADD_FAILURE() << "recording started without an input device";
        } catch (const WhisperError& error) {
            EXPECT_EQ(error.message(), "Failed to create node format");
        }
        EXPECT_FALSE(processor.hasAudioEngine());
    }
}

}  // namespace
