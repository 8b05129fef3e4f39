// The live stream transcriber over an injected sample source and scripted stages: its loop of
// passes, confirmed and unconfirmed segments, waiting and voice tests, state changes, the
// early-stop rule, and how it starts and stops.

#include <gtest/gtest.h>

#include <atomic>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Murmex/Audio/AudioProcessor.h"
#include "Murmex/Decoding/SegmentSeeker.h"
#include "Murmex/Model/WhisperError.h"
#include "Murmex/Pipeline/AudioStreamTranscriber.h"
#include "MurmexTests/PipelineTestSupport.h"

namespace {

using murmex::AudioStreamTranscriber;
using murmex::DecodingOptions;
using murmex::TranscriptionProgress;
using murmex::TranscriptionSegment;
using norvel::test::ScriptedTokenizer;
using namespace norvel::test::pipeline;
using namespace std::chrono_literals;
using State = AudioStreamTranscriber::State;

// A capture source the test fills: samples and energies appear when the test says so, and
// each addition calls the capture callback as a device would.
class FakeCapture : public murmex::AudioProcessing {
public:
    std::vector<float> audioSamples() const override {
        std::lock_guard lock(mutex_);
        ++wholeCopies_;
        return samples_;
    }
    std::int64_t audioSampleCount() const override {
        std::lock_guard lock(mutex_);
        return static_cast<std::int64_t>(samples_.size());
    }
    std::vector<float> copyAudioSamples(std::int64_t from, std::int64_t to) const override {
        std::lock_guard lock(mutex_);
        copies_.emplace_back(from, to);
        return std::vector<float>(samples_.begin() + from, samples_.begin() + to);
    }
    // The stretches copied so far, and how often everything was copied.
    std::vector<std::pair<std::int64_t, std::int64_t>> copies() const {
        std::lock_guard lock(mutex_);
        return copies_;
    }
    int wholeCopies() const {
        std::lock_guard lock(mutex_);
        return wholeCopies_;
    }
    void purgeAudioSamples(std::int64_t) override {}
    std::vector<float> relativeEnergy() const override {
        std::lock_guard lock(mutex_);
        return energies_;
    }
    int relativeEnergyWindow() const override { return 20; }
    void setRelativeEnergyWindow(int) override {}

    void startRecordingLive(std::optional<murmex::AudioDeviceID> device, SampleCallback callback) override {
        std::lock_guard lock(mutex_);
        ++starts;
        startedWith = device;
        if (failStart) throw murmex::WhisperError::audioProcessingFailed("Failed to create node format");
        samples_.clear();
        energies_.clear();
        callback_ = std::move(callback);
        ++started_;
        startedChanged_.notify_all();
    }
    // Waits until the capture has been started `count` times.
    void waitForStart(int count = 1) {
        std::unique_lock lock(mutex_);
        EXPECT_TRUE(startedChanged_.wait_for(lock, 20s, [&] { return started_ >= count; })) << "never started";
    }
    std::pair<SampleStream, SampleStream::Continuation> startStreamingRecordingLive(
        std::optional<murmex::AudioDeviceID>) override {
        throw std::logic_error("not used by the transcriber");
    }
    void pauseRecording() override {}
    void stopRecording() override {
        std::lock_guard lock(mutex_);
        ++stops;
        callback_ = nullptr;
    }
    void resumeRecordingLive(std::optional<murmex::AudioDeviceID>, SampleCallback) override {}
    std::shared_ptr<murmex::AudioProcessorOutputType> padOrTrim(const std::vector<float>& audioArray,
                                                                std::int64_t startAt, std::int64_t length) override {
        return padding_.padOrTrim(audioArray, startAt, length);
    }

    // Captures `seconds` of samples of `value`, one energy of `energy` per 0.1 s.
    void capture(int seconds, float value = 0.1f, float energy = 0.5f) {
        SampleCallback callback;
        std::vector<float> added(static_cast<std::size_t>(seconds) * 16000, value);
        {
            std::lock_guard lock(mutex_);
            samples_.insert(samples_.end(), added.begin(), added.end());
            energies_.insert(energies_.end(), static_cast<std::size_t>(seconds) * 10, energy);
            callback = callback_;
        }
        if (callback) callback(added);
    }

    int starts = 0;
    int stops = 0;
    bool failStart = false;
    std::optional<murmex::AudioDeviceID> startedWith;

private:
    mutable std::mutex mutex_;
    std::condition_variable startedChanged_;
    int started_ = 0;
    std::vector<float> samples_;
    std::vector<float> energies_;
    mutable std::vector<std::pair<std::int64_t, std::int64_t>> copies_;
    mutable int wholeCopies_ = 0;
    SampleCallback callback_;
    murmex::AudioProcessor padding_;
};

// Every state change, and a way to wait for a state.
class StateLog {
public:
    AudioStreamTranscriber::StateChangeCallback callback() {
        return [this](const State& old, const State& now) {
            std::lock_guard lock(mutex_);
            changes_.emplace_back(old, now);
            changed_.notify_all();
        };
    }
    // Waits (up to 20 s) until a state satisfies `wanted`; returns it.
    State waitFor(const std::function<bool(const State&)>& wanted) {
        std::unique_lock lock(mutex_);
        State found;
        const bool seen = changed_.wait_for(lock, 20s, [&] {
            for (const auto& change : changes_) {
                if (wanted(change.second)) {
                    found = change.second;
                    return true;
                }
            }
            return false;
        });
        EXPECT_TRUE(seen) << "the state never came";
        return found;
    }
    std::vector<std::pair<State, State>> changes() const {
        std::lock_guard lock(mutex_);
        return changes_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<State, State>> changes_;
};

// A transcriber over scripted stages and a fake capture, its loop on a thread of its own.
struct LiveRig {
    explicit LiveRig(int required = 2, bool useVAD = false, bool permitted = true,
                     norvel::test::ScriptedDecoderModel::Script script = speaksWords(2))
        : model(norvel::test::ScriptedDecoderModel::make({}, std::move(script))),
          decoder(std::make_shared<murmex::TextDecoder>()),
          features(std::make_shared<norvel::test::ScriptedFeatureExtractor>()),
          encoder(std::make_shared<norvel::test::ScriptedAudioEncoder>(model->encoderOutput())),
          capture(std::make_shared<FakeCapture>()) {
        auto tokenizer = std::make_shared<ScriptedTokenizer>();
        decoder->setModel(model);
        decoder->setTokenizer(tokenizer);
        decoder->setIsModelMultilingual(true);
        transcriber = AudioStreamTranscriber::create(
            encoder, features, std::make_shared<murmex::SegmentSeeker>(), decoder, tokenizer, capture, plainOptions(),
            required, 0.3f, 60, useVAD, murmex::AudioDeviceID{7}, log.callback(), [permitted] { return permitted; });
    }
    ~LiveRig() { stop(); }

    void start() {
        loop = std::thread([this] {
            try {
                transcriber->startStreamTranscription();
            } catch (...) {
                failure = std::current_exception();
            }
        });
    }
    void stop() {
        if (!loop.joinable()) return;
        transcriber->stopStreamTranscription();
        loop.join();
    }

    StateLog log;
    std::shared_ptr<norvel::test::ScriptedDecoderModel> model;
    std::shared_ptr<murmex::TextDecoder> decoder;
    std::shared_ptr<norvel::test::ScriptedFeatureExtractor> features;
    std::shared_ptr<norvel::test::ScriptedAudioEncoder> encoder;
    std::shared_ptr<FakeCapture> capture;
    std::shared_ptr<AudioStreamTranscriber> transcriber;
    std::thread loop;
    std::exception_ptr failure;
};

std::vector<std::pair<float, float>> spans(const std::vector<TranscriptionSegment>& segments) {
    std::vector<std::pair<float, float>> result;
    for (const auto& segment : segments) result.emplace_back(segment.start, segment.end);
    return result;
}

TEST(PipelinePeripheryLive, TrailingSegmentsStayUnconfirmedUntilNewerOnesFollow) {
    LiveRig rig(2);
    rig.capture->capture(70);  // before the start: dropped, capture starts empty
    rig.start();
    rig.capture->waitForStart();
    EXPECT_EQ(rig.capture->starts, 1);
    EXPECT_EQ(rig.capture->startedWith, murmex::AudioDeviceID{7});

    // 70 s: windows 0-30, 30-60, 60-70; the first is confirmed.
    rig.capture->capture(70);
    State state = rig.log.waitFor(
        [](const State& s) { return s.lastBufferSize == 70 * 16000 && s.unconfirmedSegments.size() == 2; });
    EXPECT_EQ(spans(state.confirmedSegments), (std::vector<std::pair<float, float>>{{0, 30}}));
    EXPECT_EQ(spans(state.unconfirmedSegments), (std::vector<std::pair<float, float>>{{30, 60}, {60, 70}}));
    EXPECT_EQ(state.lastConfirmedSegmentEndSeconds, 30.0f);

    // 80 s: from 30 s on, two segments only: both stay unconfirmed.
    rig.capture->capture(10);
    state = rig.log.waitFor([](const State& s) {
        return s.lastBufferSize == 80 * 16000 && s.unconfirmedSegments.size() == 2 &&
               s.unconfirmedSegments.back().end == 80.0f;
    });
    EXPECT_EQ(spans(state.confirmedSegments), (std::vector<std::pair<float, float>>{{0, 30}}));
    EXPECT_EQ(spans(state.unconfirmedSegments), (std::vector<std::pair<float, float>>{{30, 60}, {60, 80}}));

    // 100 s: 30-60 gets confirmed too.
    rig.capture->capture(20);
    state = rig.log.waitFor([](const State& s) { return s.confirmedSegments.size() == 2; });
    EXPECT_EQ(spans(state.confirmedSegments), (std::vector<std::pair<float, float>>{{0, 30}, {30, 60}}));
    EXPECT_EQ(state.lastConfirmedSegmentEndSeconds, 60.0f);

    rig.stop();
    EXPECT_FALSE(rig.failure);
    EXPECT_FALSE(rig.transcriber->state().isRecording);
    EXPECT_EQ(rig.capture->stops, 1);
    // Every capture callback carried the energies to the state.
    EXPECT_EQ(rig.transcriber->state().bufferEnergy.size(), 1000u);
}

// A pass reads the recording's length without copying it and copies only what it transcribes:
// from the last confirmed end to the end of the recording. Idle passes copy nothing.
TEST(PipelinePeripheryLive, PassesCopyOnlyTheAudioTheyTranscribe) {
    LiveRig rig(2);
    rig.start();
    rig.capture->waitForStart();
    rig.capture->capture(70);
    rig.log.waitFor([](const State& s) { return s.lastBufferSize == 70 * 16000 && s.unconfirmedSegments.size() == 2; });
    rig.capture->capture(10);
    const State state = rig.log.waitFor([](const State& s) {
        return s.lastBufferSize == 80 * 16000 && s.unconfirmedSegments.size() == 2 &&
               s.unconfirmedSegments.back().end == 80.0f;
    });
    // Moved back to their place in the recording.
    EXPECT_EQ(spans(state.unconfirmedSegments), (std::vector<std::pair<float, float>>{{30, 60}, {60, 80}}));
    EXPECT_EQ(state.unconfirmedSegments.front().seek, 30 * 16000);
    const auto copied = rig.capture->copies();
    std::this_thread::sleep_for(300ms);  // idle passes
    rig.stop();

    using Copy = std::pair<std::int64_t, std::int64_t>;
    EXPECT_EQ(copied, (std::vector<Copy>{{0, 70 * 16000}, {30 * 16000, 80 * 16000}}));
    EXPECT_EQ(rig.capture->copies(), copied) << "an idle pass copied audio";
    EXPECT_EQ(rig.capture->wholeCopies(), 0);
}

TEST(PipelinePeripheryLive, FewOrUnconfirmableSegmentsAreAllUnconfirmed) {
    struct Case {
        int required;
        int seconds;
        std::size_t confirmed;
        std::size_t unconfirmed;
    };
    // Windows of 30 s: 50 s give two segments, 100 s four.
    const Case cases[] = {{2, 50, 0, 2}, {0, 50, 2, 0}, {-1, 50, 2, 0}, {5, 100, 0, 4}};
    for (const auto& row : cases) {
        SCOPED_TRACE(row.required);
        LiveRig rig(row.required);
        rig.start();
        rig.capture->waitForStart();
        rig.capture->capture(row.seconds);
        const State state = rig.log.waitFor([&](const State& s) {
            return s.lastBufferSize == row.seconds * 16000 &&
                   s.confirmedSegments.size() + s.unconfirmedSegments.size() == row.confirmed + row.unconfirmed;
        });
        EXPECT_EQ(state.confirmedSegments.size(), row.confirmed);
        EXPECT_EQ(state.unconfirmedSegments.size(), row.unconfirmed);
    }
}

TEST(PipelinePeripheryLive, PassesWaitForMoreThanASecondOfVoicedAudio) {
    // A second or less of new audio: the waiting text, and no transcription.
    {
        LiveRig rig;
        rig.start();
        rig.log.waitFor([](const State& s) { return s.currentText == AudioStreamTranscriber::waitingText; });
        rig.capture->capture(1);
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(rig.encoder->windows(), 0);
        EXPECT_EQ(rig.transcriber->state().lastBufferSize, 0);
    }
    // With the voice test, silent new audio is skipped without moving the buffer position, so
    // that speech after it is measured from the same point.
    {
        LiveRig rig(2, true);
        LogCapture log;
        rig.start();
        rig.capture->waitForStart();
        rig.capture->capture(5, 0.0f, 0.0f);
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(rig.encoder->windows(), 0);
        EXPECT_EQ(rig.transcriber->state().lastBufferSize, 0);
        EXPECT_EQ(rig.transcriber->state().currentText, AudioStreamTranscriber::waitingText);
        EXPECT_TRUE(log.contains("No voice detected, skipping transcribe"));
        rig.capture->capture(3, 0.1f, 0.9f);
        const State state = rig.log.waitFor([](const State& s) { return s.lastBufferSize == 8 * 16000; });
        EXPECT_EQ(state.lastBufferSize, 8 * 16000);
    }
}

TEST(PipelinePeripheryLive, ANewWindowMovesTheFinishedTextAsThreeChanges) {
    // Progress reports arrive on the decoder's own thread, possibly after the pass; here each
    // step of the second window waits until the reports before it have been handled.
    auto decoderOfRig = std::make_shared<std::weak_ptr<murmex::TextDecoder>>();
    LiveRig rig(2, false, true,
                [decoderOfRig, words = speaksWords(2)](const norvel::test::ScriptedCall& call, int index) {
                    if (call.encoderMarker >= 1.0f) {
                        if (const auto decoder = decoderOfRig->lock()) decoder->waitForProgressCallbacks();
                    }
                    return words(call, index);
                });
    *decoderOfRig = rig.decoder;
    rig.start();
    rig.capture->waitForStart();
    rig.capture->capture(40);  // two windows
    rig.log.waitFor([](const State& s) { return s.lastBufferSize == 40 * 16000 && !s.unconfirmedSegments.empty(); });
    rig.stop();
    rig.decoder->waitForProgressCallbacks();

    const auto changes = rig.log.changes();
    bool found = false;
    for (std::size_t i = 0; i + 2 < changes.size(); ++i) {
        const auto& [old, now] = changes[i];
        if (now.unconfirmedText.size() != old.unconfirmedText.size() + 1) continue;
        found = true;
        EXPECT_EQ(now.unconfirmedText.back(), old.currentText) << "the finished window's text";
        // Then the current text and the fallbacks, each a change of its own.
        EXPECT_LT(changes[i + 1].second.currentText.size(), changes[i + 1].first.currentText.size());
        EXPECT_EQ(changes[i + 2].first.currentText, changes[i + 2].second.currentText);
        EXPECT_EQ(changes[i + 2].second.currentFallbacks, 0);
        break;
    }
    EXPECT_TRUE(found) << "no window was finished";
    for (const auto& [old, now] : changes) {
        // Each change is one assignment: old and new differ in at most one field.
        int differing = 0;
        differing += old.isRecording != now.isRecording;
        differing += old.currentFallbacks != now.currentFallbacks;
        differing += old.lastBufferSize != now.lastBufferSize;
        differing += old.lastConfirmedSegmentEndSeconds != now.lastConfirmedSegmentEndSeconds;
        differing += old.bufferEnergy != now.bufferEnergy;
        differing += old.currentText != now.currentText;
        differing += old.confirmedSegments != now.confirmedSegments;
        differing += old.unconfirmedSegments != now.unconfirmedSegments;
        differing += old.unconfirmedText != now.unconfirmedText;
        EXPECT_LE(differing, 1);
    }
}

TEST(PipelinePeripheryLive, StartingAndStopping) {
    // Without permission: a log line, nothing else.
    {
        LiveRig rig(2, false, false);
        LogCapture log;
        rig.transcriber->startStreamTranscription();
        EXPECT_TRUE(log.contains("Microphone access was not granted."));
        EXPECT_EQ(rig.capture->starts, 0);
        EXPECT_TRUE(rig.log.changes().empty());
    }
    // A capture that cannot start: recording again false, and the error to the caller.
    {
        LiveRig rig;
        rig.capture->failStart = true;
        EXPECT_THROW(rig.transcriber->startStreamTranscription(), murmex::WhisperError);
        EXPECT_FALSE(rig.transcriber->state().isRecording);
        EXPECT_EQ(rig.log.changes().size(), 2u);
    }
    // A second start while recording returns at once.
    {
        LiveRig rig;
        rig.start();
        rig.capture->waitForStart();
        const auto before = rig.log.changes().size();
        rig.transcriber->startStreamTranscription();
        EXPECT_EQ(rig.capture->starts, 1);
        EXPECT_GE(rig.log.changes().size(), before);
    }
    // A failing pass is logged, stops the capture and ends the loop normally.
    {
        LiveRig rig;
        LogCapture log;
        rig.features->fail = true;
        rig.start();
        rig.capture->waitForStart();
        rig.capture->capture(5);
        rig.log.waitFor([](const State& s) { return s.lastBufferSize > 0 && !s.isRecording; });
        rig.loop.join();
        EXPECT_FALSE(rig.failure);
        EXPECT_EQ(rig.capture->stops, 1);
        EXPECT_TRUE(log.contains("Error: Mel output is nil"));
        EXPECT_TRUE(log.contains("Realtime transcription has ended"));
    }
}

TEST(PipelinePeripheryLive, ARecordingStartedAgainIsTranscribedFromItsBeginning) {
    LiveRig rig;
    rig.start();
    rig.capture->waitForStart();
    rig.capture->capture(70);
    rig.log.waitFor(
        [](const State& s) { return s.confirmedSegments.size() == 1 && s.unconfirmedSegments.size() == 2; });
    rig.stop();

    // The new capture starts empty; its first 5 s are transcribed from 0 s.
    rig.start();
    rig.capture->waitForStart(2);
    rig.capture->capture(5);
    const State state = rig.log.waitFor([](const State& s) {
        return s.lastBufferSize == 5 * 16000 && !s.unconfirmedSegments.empty() &&
               s.unconfirmedSegments.back().end == 5.0f;
    });
    EXPECT_EQ(spans(state.unconfirmedSegments), (std::vector<std::pair<float, float>>{{0, 5}}));
    EXPECT_EQ(state.confirmedSegments.size(), 1u) << "what was confirmed before stays";
}

TEST(PipelinePeripheryLive, TheEarlyStopRuleWatchesRepetitionAndProbability) {
    DecodingOptions withThresholds;  // 2.4 and -1.0
    DecodingOptions without;
    without.compressionRatioThreshold = std::nullopt;
    without.logProbThreshold = std::nullopt;
    std::vector<int> varied;
    for (int i = 0; i < 100; ++i) varied.push_back(1000 + i * 37);
    const std::vector<int> repeated(100, 42);
    struct Case {
        const char* name;
        std::vector<int> tokens;
        std::optional<float> avgLogprob;
        DecodingOptions options;
        int window;
        std::optional<bool> answer;
    };
    const Case cases[] = {
        {"varied tokens", varied, -0.2f, withThresholds, 60, std::nullopt},
        {"a repeated token", repeated, -0.2f, withThresholds, 60, false},
        {"repetition within the window only counts", repeated, -0.2f, withThresholds, 100, std::nullopt},
        {"no threshold: stop once the tokens outnumber the window", varied, -0.2f, without, 60, false},
        {"no threshold, within the window", varied, -0.2f, without, 100, std::nullopt},
        {"a low average log-probability", varied, -1.5f, withThresholds, 60, false},
        {"no average", varied, std::nullopt, withThresholds, 60, std::nullopt},
        {"a negative window counts as none", varied, -0.2f, without, -5, std::nullopt},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        TranscriptionProgress progress;
        progress.tokens = row.tokens;
        progress.avgLogprob = row.avgLogprob;
        EXPECT_EQ(AudioStreamTranscriber::shouldStopEarly(progress, row.options, row.window), row.answer);
    }
}

// The rule's false answer stops only the repetitive window's decoding: the window is decoded
// again at a higher temperature, and the pass goes on with the windows after it.
TEST(PipelinePeripheryLive, ARepetitiveWindowIsRetriedAndThePassGoesOn) {
    auto attempts = std::make_shared<std::atomic<int>>(0);
    auto firstAttemptSteps = std::make_shared<std::atomic<int>>(0);
    LiveRig rig(2, false, true, [attempts, firstAttemptSteps](const norvel::test::ScriptedCall& call, int) {
        static const ScriptedTokenizer words;
        if (call.cacheLength == 0) ++*attempts;
        const int sampled = call.cacheLength - 3;
        if (sampled < 0) return norvel::test::ScriptedStep{.token = 7, .high = 30.0f};
        // The very first attempt says the same word until the decoder gives up on it.
        if (*attempts == 1) {
            ++*firstAttemptSteps;
            return norvel::test::ScriptedStep{.token = sampled < 200 ? 5 : words.specialTokens().endToken,
                                              .high = 30.0f};
        }
        return norvel::test::ScriptedStep{.token = sampled < 2 ? sampled + 1 : words.specialTokens().endToken,
                                          .high = 30.0f};
    });
    rig.start();
    rig.capture->waitForStart();
    rig.capture->capture(70);
    const State state = rig.log.waitFor([](const State& s) {
        return s.lastBufferSize == 70 * 16000 && s.confirmedSegments.size() == 1 && s.unconfirmedSegments.size() == 2;
    });
    rig.stop();
    EXPECT_FALSE(rig.failure);
    // The repetition check runs beside the token loop, so a loaded machine lets a few more steps
    // through before it answers; the script itself would go on for 200.
    EXPECT_LT(firstAttemptSteps->load(), 200) << "the rule stopped the repetition early";
    EXPECT_EQ(spans(state.confirmedSegments), (std::vector<std::pair<float, float>>{{0, 30}}));
    EXPECT_EQ(spans(state.unconfirmedSegments), (std::vector<std::pair<float, float>>{{30, 60}, {60, 70}}));
    EXPECT_GT(state.confirmedSegments[0].temperature, 0.0f) << "decoded again at a higher temperature";
    EXPECT_NE(state.confirmedSegments[0].text.find("w1 w2"), std::string::npos);
    EXPECT_EQ(state.unconfirmedSegments[0].temperature, 0.0f);
}

}  // namespace
