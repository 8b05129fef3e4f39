#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stop_token>
#include <vector>

#include "DecodingTestSupport.h"
#include "HalvexCore/External/Hub/CancellationError.h"
#include "Murmex/Audio/AudioProcessor.h"
#include "Murmex/Decoding/DecodingTextFormat.h"
#include "Murmex/Decoding/SegmentSeeker.h"
#include "Murmex/Decoding/TextDecoder.h"
#include "Murmex/Decoding/TranscribeTask.h"
#include "Murmex/Model/Constants.h"
#include "Murmex/Model/WhisperError.h"
#include "Support/ScriptedDecoder.h"
#include "Support/ScriptedDecoderStages.h"
#include "Support/ScriptedDecoderTokenizer.h"

namespace murmex {
namespace {

using decodingtest::errorOf;
using norvel::test::ScriptedAudioEncoder;
using norvel::test::ScriptedCall;
using norvel::test::ScriptedDecoderModel;
using norvel::test::ScriptedFeatureExtractor;
using norvel::test::ScriptedStep;
using norvel::test::ScriptedTokenizer;

const ScriptedTokenizer words;
const SpecialTokens& special = words.specialTokens();

// Seconds of audio whose every sample holds the whole second it lies in, so that a window's
// first sample tells where it starts.
std::vector<float> secondsOfAudio(int seconds) {
    std::vector<float> samples(static_cast<std::size_t>(seconds) * 16000);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(i / 16000);
    return samples;
}

// A task whose window hooks record what they see.
class RecordingTask : public TranscribeTask {
public:
    using TranscribeTask::TranscribeTask;

    void windowPreprocess(const std::shared_ptr<AudioProcessorOutputType>&, std::int64_t seek,
                          std::int64_t segmentSize) override {
        seeks.push_back(seek);
        sizes.push_back(segmentSize);
        completedBeforeWindow.push_back(progress ? progress->completedUnitCount() : -1);
    }
    std::vector<TranscriptionSegment> windowPostProcess(std::int64_t seek, std::int64_t segmentSize,
                                                        std::vector<TranscriptionSegment> segments) override {
        postProcessed.push_back(segments.size());
        if (renameSegments) {
            for (auto& segment : segments) segment.text = "renamed";
        }
        return TranscribeTask::windowPostProcess(seek, segmentSize, std::move(segments));
    }

    std::shared_ptr<halvex::Progress> progress;
    std::vector<std::int64_t> seeks;
    std::vector<std::int64_t> sizes;
    std::vector<std::int64_t> completedBeforeWindow;
    std::vector<std::size_t> postProcessed;
    bool renameSegments = false;
};

struct TaskRig {
    explicit TaskRig(ScriptedDecoderModel::Script script, ScriptedDecoderModel::Dimensions dimensions = {})
        : tokenizer(std::make_shared<ScriptedTokenizer>()),
          model(ScriptedDecoderModel::make(dimensions, std::move(script))),
          decoder(std::make_shared<TextDecoder>()),
          features(std::make_shared<ScriptedFeatureExtractor>()),
          encoder(std::make_shared<ScriptedAudioEncoder>(model->encoderOutput())),
          progress(std::make_shared<halvex::Progress>()) {
        decoder->setModel(model);
        decoder->setTokenizer(tokenizer);
        decoder->setIsModelMultilingual(true);
        task = std::make_unique<RecordingTask>(TranscriptionTimings(), progress, nullptr, encoder, features,
                                               std::make_shared<SegmentSeeker>(), decoder, tokenizer);
        task->progress = progress;
        task->setSegmentDiscoveryCallback([this](const std::vector<TranscriptionSegment>& segments) {
            std::lock_guard lock(mutex);
            discovered.push_back(segments);
        });
    }

    std::shared_ptr<TranscriptionResult> run(const std::vector<float>& audio, const DecodingOptions& options,
                                             const TranscriptionProgressCallback& callback = nullptr) {
        auto result = task->run(audio, options, callback);
        decoder->waitForProgressCallbacks();
        return result;
    }
    // Predictions made at cache position 0, one per decoding attempt or language pass.
    std::vector<ScriptedCall> firstSteps() const {
        std::vector<ScriptedCall> first;
        for (const auto& call : model->calls()) {
            if (call.cacheLength == 0) first.push_back(call);
        }
        return first;
    }

    std::shared_ptr<ScriptedTokenizer> tokenizer;
    std::shared_ptr<ScriptedDecoderModel> model;
    std::shared_ptr<TextDecoder> decoder;
    std::shared_ptr<ScriptedFeatureExtractor> features;
    std::shared_ptr<ScriptedAudioEncoder> encoder;
    std::shared_ptr<halvex::Progress> progress;
    std::unique_ptr<RecordingTask> task;
    std::mutex mutex;
    std::vector<std::vector<TranscriptionSegment>> discovered;
};

ScriptedStep favour(int token) { return ScriptedStep{.token = token, .high = 30.0f}; }

// After the four-token prompt: `text` at the steps that follow, then the end token.
ScriptedDecoderModel::Script speaks(std::vector<int> text) {
    return [text](const ScriptedCall& call, int) {
        const int sampled = call.cacheLength - 3;
        if (sampled < 0) return favour(7);
        if (sampled < static_cast<int>(text.size())) return favour(text[static_cast<std::size_t>(sampled)]);
        return favour(special.endToken);
    };
}

DecodingOptions plainOptions() {
    DecodingOptions options;
    options.withoutTimestamps = true;
    return options;
}

// MARK: - Temperatures and finalization

TEST(DecodingTranscribeTask, FallbackTemperaturesAreHalfPrecisionSteps) {
    const auto temperatures = TranscribeTask::fallbackTemperatures(0.0f, 0.2f, 5);
    const std::vector<double> exact = {0.0, 0.199951171875, 0.39990234375, 0.599609375, 0.7998046875, 1.0};
    ASSERT_EQ(temperatures.size(), exact.size());
    std::string printed;
    for (std::size_t i = 0; i < exact.size(); ++i) {
        EXPECT_EQ(static_cast<double>(temperatures[i]), exact[i]);
        printed += (i ? ", " : "") + decodingtext::halfDescription(temperatures[i]);
    }
    EXPECT_EQ(printed, "0.0, 0.2, 0.4, 0.5996, 0.8, 1.0");
    EXPECT_EQ(TranscribeTask::fallbackTemperatures(0.5f, 0.2f, 0).size(), 1u);
    EXPECT_TRUE(TranscribeTask::fallbackTemperatures(0.0f, 0.2f, -1).empty());
}

TEST(DecodingTranscribeTask, FinalizeKeepsTextTokensAndTrimsSpacesAndTabs) {
    auto tokenizer =
        std::make_shared<ScriptedTokenizer>(std::map<int, std::string>{{1, " \tHello"}, {2, " world\n"}, {3, " \t "}});
    TranscribeTask task(TranscriptionTimings(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, tokenizer);
    struct Case {
        std::vector<int> tokens;
        std::optional<std::string> language;
        std::string text;
        std::string expectedLanguage;
    };
    const std::vector<Case> cases = {
        {{special.timeTokenBegin, 1, 2, special.endToken}, std::nullopt, "Hello world\n", "en"},
        {{1, 3}, "de", "Hello", "de"},
        {{}, std::nullopt, "", "en"},
    };
    for (const Case& c : cases) {
        TranscriptionSegment segment;
        segment.text = "kept";
        TranscriptionTimings timings;
        timings.encoding = 1.5;
        const auto result = task.finalizeTranscriptionResult(c.tokens, {segment}, c.language, timings);
        EXPECT_EQ(result->text(), c.text);
        EXPECT_EQ(result->language(), c.expectedLanguage);
        EXPECT_EQ(result->segments().size(), 1u);
        EXPECT_EQ(result->timings().encoding, 1.5);
        EXPECT_FALSE(result->seekTime().has_value());
    }
}

// MARK: - Window loop

TEST(DecodingTranscribeTask, WindowsFollowTheSeekThroughTheAudio) {
    struct Case {
        const char* name;
        int seconds;
        std::optional<std::int64_t> maxWindowSeek;
        std::vector<std::int64_t> seeks;
        std::vector<std::int64_t> sizes;
    };
    const std::vector<Case> cases = {
        {"no audio", 0, std::nullopt, {}, {}},
        {"one second", 1, std::nullopt, {}, {}},
        {"31 seconds: the last second is left", 31, std::nullopt, {0}, {480000}},
        {"65 seconds", 65, std::nullopt, {0, 480000, 960000}, {480000, 480000, 80000}},
        {"bounded seek", 25, 160000, {0, 160000, 320000}, {400000, 240000, 80000}},
        {"the largest bound is no bound",
         65,
         std::numeric_limits<std::int64_t>::max(),
         {0, 480000, 960000},
         {480000, 480000, 80000}},
    };
    for (const Case& c : cases) {
        TaskRig rig(speaks({1, 2}));
        DecodingOptions options = plainOptions();
        options.maxWindowSeek = c.maxWindowSeek;
        const auto result = rig.run(secondsOfAudio(c.seconds), options);
        EXPECT_EQ(rig.task->seeks, c.seeks) << c.name;
        EXPECT_EQ(rig.task->sizes, c.sizes) << c.name;
        std::vector<float> firstSamples;
        for (auto seek : c.seeks) firstSamples.push_back(static_cast<float>(seek / 16000));
        EXPECT_EQ(rig.features->firstSamples(), firstSamples) << c.name;
        for (auto length : rig.features->windowLengths()) EXPECT_EQ(length, 480000);
        const auto segments = result->segments();
        ASSERT_EQ(segments.size(), c.seeks.size()) << c.name;
        for (std::size_t i = 0; i < c.seeks.size(); ++i) {
            const auto& segment = segments[i];
            EXPECT_EQ(segment.id, static_cast<int>(i));
            EXPECT_EQ(segment.seek, c.seeks[i]);
            EXPECT_FLOAT_EQ(segment.start, static_cast<float>(c.seeks[i]) / 16000.0f);
        }
        EXPECT_EQ(result->text(), c.seeks.empty() ? "" : [&] {
            std::string text;
            for (std::size_t i = 0; i < c.seeks.size(); ++i) text += " w1 w2";
            return decodingtext::trimmingWhitespaces(text);
        }()) << c.name;
        EXPECT_EQ(result->language(), "en");
        EXPECT_EQ(rig.discovered.size(), c.seeks.size());
        EXPECT_EQ(result->timings().totalDecodingWindows, static_cast<double>(c.seeks.size()));
        EXPECT_EQ(result->timings().totalEncodingRuns, static_cast<double>(c.seeks.size()));
        EXPECT_EQ(rig.progress->completedUnitCount(), static_cast<std::int64_t>(c.seconds) * 16000) << c.name;
    }
}

TEST(DecodingTranscribeTask, ClipsDriveTheProgressAndEndWithTheSamples) {
    TaskRig rig(speaks({1}));
    DecodingOptions options = plainOptions();
    options.clipTimestamps = {0.0f, 10.0f, 20.0f, 40.0f, 39.5f, 90.0f};
    rig.run(secondsOfAudio(40), options);
    // The third clip reaches past the samples: it ends with them, too close to run a window.
    EXPECT_EQ(rig.task->seeks, (std::vector<std::int64_t>{0, 320000}));
    EXPECT_EQ(rig.task->sizes, (std::vector<std::int64_t>{160000, 320000}));
    // Within the second clip the count goes on from where the first clip left it.
    EXPECT_EQ(rig.task->completedBeforeWindow, (std::vector<std::int64_t>{0, 160000}));
    EXPECT_EQ(rig.progress->completedUnitCount(), 160000 + 320000 + 8000);
}

TEST(DecodingTranscribeTask, OptionsThatCannotBeHonouredAreRefused) {
    struct Case {
        const char* name;
        DecodingOptions options;
        WhisperError expected;
    };
    const std::vector<Case> cases = {
        {"zero maximum seek",
         {.maxWindowSeek = 0},
         WhisperError::transcriptionFailed("maxWindowSeek must be greater than 0, not 0")},
        {"negative maximum seek",
         {.maxWindowSeek = -5},
         WhisperError::transcriptionFailed("maxWindowSeek must be greater than 0, not -5")},
        {"infinite clip time",
         {.windowClipTime = INFINITY},
         WhisperError::transcriptionFailed("windowClipTime inf is not a valid time")},
        {"clip time out of range",
         {.windowClipTime = 1e30f},
         WhisperError::transcriptionFailed("windowClipTime 1e+30 is not a valid time")},
        {"NaN clip timestamp",
         {.clipTimestamps = {0.0f, NAN}},
         WhisperError::transcriptionFailed("clipTimestamps value nan is not a valid time")},
        {"negative fallback count", {.temperatureFallbackCount = -1}, WhisperError::decodingFailed("Decoding failed")},
        // Temperatures that would sample nonsense, or the suppressed tokens, are refused before
        // a window is decoded, and so is a list of fallbacks that cannot be built.
        {"NaN temperature",
         {.temperature = NAN},
         WhisperError::transcriptionFailed("temperature nan must be a finite number of at least 0")},
        {"negative temperature",
         {.temperature = -0.5f},
         WhisperError::transcriptionFailed("temperature -0.5 must be a finite number of at least 0")},
        {"temperature beyond half precision",
         {.temperature = 1e6f},
         WhisperError::transcriptionFailed("temperature 1e+06 must be a finite number of at least 0")},
        {"infinite increment",
         {.temperatureIncrementOnFallback = INFINITY},
         WhisperError::transcriptionFailed("temperatureIncrementOnFallback inf must be a finite number")},
        {"NaN increment",
         {.temperatureIncrementOnFallback = NAN},
         WhisperError::transcriptionFailed("temperatureIncrementOnFallback nan must be a finite number")},
        {"largest fallback count",
         {.temperatureFallbackCount = std::numeric_limits<std::int64_t>::max()},
         WhisperError::transcriptionFailed("temperatureFallbackCount 9223372036854775807 with "
                                           "temperatureIncrementOnFallback 0.2 reaches the temperature inf at "
                                           "fallback 65520, which is not a finite number of at least 0")},
        {"fallback count beyond 32 bits",
         {.temperatureIncrementOnFallback = 0.0f, .temperatureFallbackCount = 4294967296},
         WhisperError::transcriptionFailed("temperatureFallbackCount 4294967296 with temperatureIncrementOnFallback "
                                           "0.0 reaches the temperature nan at fallback 65520, which is not a finite "
                                           "number of at least 0")},
        // The tokenizer and the decoder hold token ids in 32 bits.
        {"prompt token beyond 32 bits",
         {.promptTokens = std::vector<std::int64_t>{440, 5000000000}},
         WhisperError::transcriptionFailed("promptTokens value 5000000000 is not a token id")},
        {"prefix token beyond 32 bits",
         {.prefixTokens = std::vector<std::int64_t>{-4294967296}},
         WhisperError::transcriptionFailed("prefixTokens value -4294967296 is not a token id")},
        {"suppressed token beyond 32 bits",
         {.suppressTokens = {4294967297}},
         WhisperError::transcriptionFailed("suppressTokens value 4294967297 is not a token id")},
        {"falling below zero",
         {.temperature = 0.5f, .temperatureIncrementOnFallback = -0.2f},
         WhisperError::transcriptionFailed("temperatureFallbackCount 5 with temperatureIncrementOnFallback -0.2 "
                                           "reaches the temperature -0.0996 at fallback 3, which is not a finite "
                                           "number of at least 0")},
    };
    for (const Case& c : cases) {
        TaskRig rig(speaks({1}));
        EXPECT_EQ(errorOf([&] { rig.run(secondsOfAudio(5), c.options); }), c.expected) << c.name;
        EXPECT_TRUE(rig.model->calls().empty()) << c.name;
    }
}

TEST(DecodingTranscribeTask, StageFailuresAndCancellation) {
    {
        TaskRig rig(speaks({1}));
        rig.features->fail = true;
        EXPECT_EQ(errorOf([&] { rig.run(secondsOfAudio(5), plainOptions()); }),
                  WhisperError::transcriptionFailed("Mel output is nil"));
    }
    {
        TaskRig rig(speaks({1}));
        rig.encoder->fail = true;
        EXPECT_EQ(errorOf([&] { rig.run(secondsOfAudio(5), plainOptions()); }),
                  WhisperError::transcriptionFailed("Encoder output is nil"));
    }
    {
        TaskRig rig(speaks({1}));
        std::stop_source stop;
        stop.request_stop();
        EXPECT_THROW(rig.task->run(secondsOfAudio(5), plainOptions(), nullptr, stop.get_token()),
                     halvex::CancellationError);
        EXPECT_EQ(rig.task->seeks.size(), 1u);
        EXPECT_TRUE(rig.features->firstSamples().empty());
    }
}

// A pair of time-zero timestamps: the seeker's new seek equals the window's start.
TEST(DecodingTranscribeTask, AWindowThatDoesNotMoveTheSeekIsStillLeftBehind) {
    TaskRig rig([](const ScriptedCall& call, int) {
        if (call.cacheLength < 2) return favour(7);
        if (call.cacheLength < 4) return favour(special.timeTokenBegin);
        return favour(special.endToken);
    });
    const auto result = rig.run(secondsOfAudio(40), DecodingOptions());
    EXPECT_EQ(rig.task->seeks, (std::vector<std::int64_t>{0, 480000}));
    ASSERT_EQ(result->segments().size(), 2u);
    EXPECT_EQ(result->segments()[0].tokens.back(), special.timeTokenBegin);
}

TEST(DecodingTranscribeTask, ASilentWindowLeavesTheDecoderInputsReset) {
    TaskRig rig(speaks({1, 2, 3}));
    DecodingOptions options = plainOptions();
    options.noSpeechThreshold = -0.5f;  // every window counts as silence
    options.logProbThreshold = std::nullopt;
    const auto result = rig.run(secondsOfAudio(65), options);
    EXPECT_EQ(rig.task->seeks, (std::vector<std::int64_t>{0, 480000, 960000}));
    EXPECT_TRUE(result->segments().empty());
    EXPECT_TRUE(rig.discovered.empty());
    EXPECT_TRUE(rig.task->postProcessed.empty());
    EXPECT_EQ(result->timings().totalDecodingWindows, 0.0);
    // Every window starts from the first cache position, with only that position open.
    const auto first = rig.firstSteps();
    ASSERT_EQ(first.size(), 3u);
    for (const auto& call : first) {
        EXPECT_EQ(call.updatePosition, 0);
        EXPECT_EQ(call.openPositions, 1);
    }
    // A window judged silent does not move the progress until the end of the run.
    EXPECT_EQ(rig.task->completedBeforeWindow, (std::vector<std::int64_t>{0, 0, 0}));
}

// The last window is mostly padding: a timestamp at 25 s in 10 s of audio, and words aligned
// to 8 s and 24 s, end with the audio.
TEST(DecodingTranscribeTask, SegmentsNeverReachPastTheAudio) {
    for (bool wordTimestamps : {false, true}) {
        TaskRig rig([](const ScriptedCall& call, int) {
            ScriptedStep step = favour(call.cacheLength < 3 ? 7 : special.endToken);
            if (call.cacheLength == 3) step = favour(1);
            if (call.cacheLength == 4) step = favour(words.timestamp(25.0));
            step.alignmentFrame = call.cacheLength < 3 ? 0 : (call.cacheLength == 3 ? 400 : 1200);
            return step;
        });
        DecodingOptions options;
        options.wordTimestamps = wordTimestamps;
        const auto result = rig.run(secondsOfAudio(10), options);
        const auto segments = result->segments();
        ASSERT_EQ(segments.size(), 1u);
        EXPECT_EQ(segments[0].tokens[5], words.timestamp(25.0));
        EXPECT_LT(segments[0].start, segments[0].end);
        if (wordTimestamps) {
            EXPECT_LE(segments[0].end, 10.0f);
        } else {
            EXPECT_FLOAT_EQ(segments[0].end, 10.0f);
        }
        EXPECT_EQ(segments[0].words.has_value(), wordTimestamps);
        for (const auto& word : segments[0].words.value_or(std::vector<WordTiming>{})) {
            EXPECT_LE(word.start, 10.0f);
            EXPECT_LE(word.end, 10.0f);
        }
        EXPECT_EQ(rig.task->seeks, (std::vector<std::int64_t>{0}));
    }
}

// 10 s of audio whose window decodes a second segment from 12 s to 14 s: clamped to the end of
// the audio it would be [10, 10], so it is left out, and its text with it.
TEST(DecodingTranscribeTask, SegmentsWhollyPastTheAudioAreDropped) {
    // After the forced ⟨0.00⟩ that opens the window.
    const std::vector<int> sampled = {1, words.timestamp(5.0),  words.timestamp(12.0),
                                      2, words.timestamp(14.0), special.endToken};
    TaskRig rig([sampled](const ScriptedCall& call, int) {
        const int step = call.cacheLength - 3;
        if (step < 0) return favour(7);
        return favour(step < static_cast<int>(sampled.size()) ? sampled[static_cast<std::size_t>(step)]
                                                              : special.endToken);
    });
    const auto result = rig.run(secondsOfAudio(10), DecodingOptions());
    const auto segments = result->segments();
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_FLOAT_EQ(segments[0].start, 0.0f);
    EXPECT_FLOAT_EQ(segments[0].end, 5.0f);
    EXPECT_EQ(result->text(), "w1");
    ASSERT_EQ(rig.discovered.size(), 1u);
    EXPECT_EQ(rig.discovered[0].size(), 1u);
    EXPECT_EQ(rig.task->postProcessed, (std::vector<std::size_t>{1}));
}

TEST(DecodingTranscribeTask, PostProcessingReplacesTheWindowSegmentsEverywhere) {
    TaskRig rig(speaks({1, 2}));
    rig.task->renameSegments = true;
    const auto result = rig.run(secondsOfAudio(10), plainOptions());
    ASSERT_EQ(result->segments().size(), 1u);
    EXPECT_EQ(result->segments()[0].text, "renamed");
    ASSERT_EQ(rig.discovered.size(), 1u);
    EXPECT_EQ(rig.discovered[0][0].text, "renamed");
    EXPECT_EQ(result->text(), "w1 w2");  // the text comes from the tokens
}

// MARK: - Fallback

TEST(DecodingTranscribeTask, FallbackRetriesAtRisingTemperaturesAndResetsTheInputs) {
    // The same token over and over compresses far too well at every temperature.
    TaskRig rig([](const ScriptedCall& call, int) {
        return favour(call.cacheLength < 3 ? 7 : (call.cacheLength < 60 ? 5 : special.endToken));
    });
    decodingtest::CapturedLog log;
    std::mutex mutex;
    std::set<int> windowIds;
    const auto result = rig.run(secondsOfAudio(10), plainOptions(), [&](const TranscriptionProgress& p) {
        std::lock_guard lock(mutex);
        windowIds.insert(p.windowId);
        return std::optional<bool>();
    });
    const auto first = rig.firstSteps();
    ASSERT_EQ(first.size(), 6u);
    for (const auto& call : first) {
        EXPECT_EQ(call.updatePosition, 0);
        EXPECT_EQ(call.openPositions, 1);
    }
    EXPECT_EQ(log.count("Decoding with temperatures [0.0, 0.2, 0.4, 0.5996, 0.8, 1.0]"), 1);
    EXPECT_EQ(log.count("Fallback #6 (compressionRatioThreshold)"), 1);
    EXPECT_EQ(log.count("Decoding Temperature: 0.5996"), 1);
    ASSERT_EQ(result->segments().size(), 1u);
    EXPECT_FLOAT_EQ(result->segments()[0].temperature, 1.0f);
    EXPECT_EQ(result->timings().totalDecodingFallbacks, 5.0);
    EXPECT_GT(result->timings().decodingFallback, 0.0);
    EXPECT_EQ(windowIds, (std::set<int>{0}));

    TaskRig once([](const ScriptedCall& call, int) {
        return favour(call.cacheLength < 3 ? 7 : (call.cacheLength < 60 ? 5 : special.endToken));
    });
    DecodingOptions single = plainOptions();
    single.temperatureFallbackCount = 0;
    const auto kept = once.run(secondsOfAudio(10), single);
    EXPECT_EQ(once.firstSteps().size(), 1u);
    EXPECT_EQ(kept->segments().size(), 1u);
    EXPECT_EQ(kept->timings().totalDecodingFallbacks, 0.0);
}

// Window 1 of three needs two fallbacks; the reports still number the windows 0, 1, 2 in
// order, so that a progress fraction built on them only grows.
TEST(DecodingTranscribeTask, WindowIdsAreTheWindowsPlacesWhateverTheirRetries) {
    auto attempts = std::make_shared<std::map<int, int>>();
    TaskRig rig([attempts](const ScriptedCall& call, int) {
        const int window = static_cast<int>(call.encoderMarker);
        if (call.cacheLength == 0) ++(*attempts)[window];
        const bool repeat = window == 1 && (*attempts)[window] <= 2;
        if (call.cacheLength < 3) return favour(7);
        if (repeat) return favour(call.cacheLength < 60 ? 5 : special.endToken);
        return favour(call.cacheLength == 3 ? 1 : special.endToken);
    });
    std::mutex mutex;
    std::vector<int> ids;
    const auto result = rig.run(secondsOfAudio(70), plainOptions(), [&](const TranscriptionProgress& p) {
        std::lock_guard lock(mutex);
        ids.push_back(p.windowId);
        return std::optional<bool>();
    });
    EXPECT_EQ((*attempts)[1], 3);
    EXPECT_EQ(result->timings().totalDecodingFallbacks, 1.0);
    std::lock_guard lock(mutex);
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
    EXPECT_EQ(std::set<int>(ids.begin(), ids.end()), (std::set<int>{0, 1, 2}));
}

// A stop request while a window is decoded: the prediction under way is the last one, no
// higher temperature is tried although the text asks for it, the window's segments are still
// delivered, and the run ends with the cancellation before the next window.
TEST(DecodingTranscribeTask, AStopRequestEndsTheWindowWithoutRetryAndEndsTheRun) {
    // The same token over and over: every attempt asks for a fallback.
    TaskRig rig([](const ScriptedCall& call, int) {
        return favour(call.cacheLength < 3 ? 7 : (call.cacheLength < 60 ? 5 : special.endToken));
    });
    std::stop_source stop;
    rig.model->setBeforePrediction([&](int prediction) {
        if (prediction == 30) stop.request_stop();
    });
    EXPECT_THROW(rig.task->run(secondsOfAudio(40), plainOptions(), nullptr, stop.get_token()),
                 halvex::CancellationError);
    rig.decoder->waitForProgressCallbacks();
    EXPECT_EQ(rig.model->calls().size(), 31u);
    EXPECT_EQ(rig.firstSteps().size(), 1u) << "no retry after the stop";
    EXPECT_EQ(rig.encoder->windows(), 1);
    std::lock_guard lock(rig.mutex);
    ASSERT_EQ(rig.discovered.size(), 1u);
    ASSERT_EQ(rig.discovered[0].size(), 1u);
    EXPECT_FALSE(rig.discovered[0][0].text.empty());
}

// A stop that comes before the window has sampled its first text token leaves nothing of the
// window, rather than an empty segment over the rest of it; one that comes after keeps the text.
TEST(DecodingTranscribeTask, AWindowStoppedBeforeItsFirstWordAddsNoSegment) {
    const struct {
        int stopAtPrediction;  // the predictions of the four-token prompt come first
        bool segment;
    } cases[] = {{0, false}, {2, false}, {3, true}, {10, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stopAtPrediction);
        TaskRig rig(speaks({100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111}));
        std::stop_source stop;
        rig.model->setBeforePrediction([&](int prediction) {
            if (prediction == c.stopAtPrediction) stop.request_stop();
        });
        EXPECT_THROW(rig.task->run(secondsOfAudio(40), plainOptions(), nullptr, stop.get_token()),
                     halvex::CancellationError);
        rig.decoder->waitForProgressCallbacks();
        EXPECT_EQ(rig.encoder->windows(), 1);
        std::lock_guard lock(rig.mutex);
        if (!c.segment) {
            EXPECT_TRUE(rig.discovered.empty());
            continue;
        }
        ASSERT_EQ(rig.discovered.size(), 1u);
        ASSERT_EQ(rig.discovered[0].size(), 1u);
        EXPECT_FALSE(rig.discovered[0][0].text.empty());
    }
}

TEST(DecodingTranscribeTask, LanguageDetectionRunsAtEveryAttemptWhenAsked) {
    const int german = words.languageToken("de");
    auto script = [german](const ScriptedCall& call, int) {
        if (call.cacheLength == 0) return favour(german);
        if (call.cacheLength < 3) return favour(7);
        return favour(call.cacheLength < 60 ? 5 : special.endToken);
    };
    struct Case {
        bool detectLanguage;
        std::size_t firstSteps;
        std::string language;
        int detections;
    };
    for (const Case& c : std::vector<Case>{{true, 12, "de", 6}, {false, 6, "en", 0}}) {
        TaskRig rig(script);
        DecodingOptions options = plainOptions();
        options.detectLanguage = c.detectLanguage;
        decodingtest::CapturedLog log;
        const auto result = rig.run(secondsOfAudio(10), options);
        EXPECT_EQ(rig.firstSteps().size(), c.firstSteps);
        EXPECT_EQ(log.count("Detecting language..."), c.detections);
        EXPECT_EQ(log.count("Prefill prompt updated to: [\"<|startoftranscript|>\", \"<|de|>\""), c.detections);
        EXPECT_EQ(result->language(), c.language);
        // Each decoding attempt was prefilled with the detected language.
        for (const auto& call : rig.model->calls()) {
            if (call.cacheLength == 1) {
                EXPECT_EQ(call.inputId, c.detectLanguage ? german : words.languageToken("en"));
            }
        }
    }
}

// MARK: - Word timings

// With a previous-text prompt the alignment rows of the window's tokens start at the
// start-of-transcript position, not at row 0.
TEST(DecodingTranscribeTask, WordTimingsUseTheRowsOfTheWindowTokens) {
    auto script = [](const ScriptedCall& call, int) {
        const int p = call.cacheLength;  // the step; its weights become row p + 1
        ScriptedStep step = favour(7);
        step.alignmentFrame = 0;
        if (p == 6) step = ScriptedStep{.token = 1, .high = 30.0f, .alignmentFrame = 10};
        if (p == 7) step = ScriptedStep{.token = 2, .high = 30.0f, .alignmentFrame = 30};
        if (p == 8) step = ScriptedStep{.token = special.endToken, .high = 30.0f};
        return step;
    };
    TaskRig rig(script);
    DecodingOptions options;
    options.promptTokens = std::vector<std::int64_t>{11, 12};
    options.wordTimestamps = true;
    options.withoutTimestamps = true;
    const auto result = rig.run(secondsOfAudio(20), options);
    ASSERT_EQ(result->segments().size(), 1u);
    const TranscriptionSegment segment = result->segments()[0];
    EXPECT_EQ(segment.tokens.front(), special.startOfTranscriptToken);
    ASSERT_TRUE(segment.words.has_value());
    ASSERT_EQ(segment.words->size(), 2u);

    // The same words from the seeker given the rows from the start-of-transcript position.
    const std::vector<int> frames = {0, 0, 0, 0, 10, 30};  // rows 3 to 8 (row 3 written by step 2)
    platform::MultiArray rows({7, 1500}, platform::MultiArrayDataType::float16);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        rows.setValue(platform::Shape{static_cast<int>(i), frames[i]}, 1.0);
    }
    TranscriptionSegment plain = segment;
    plain.words.reset();
    SegmentSeeker seeker;
    const auto expected = seeker.addWordTimestamps(
        {plain}, rows, words, 0, 320000, std::string(Constants::defaultPrependPunctuations),
        std::string(Constants::defaultAppendPunctuations), 0.0f, options, TranscriptionTimings());
    EXPECT_EQ(*segment.words, *(*expected)[0].words);
    EXPECT_LT((*segment.words)[0].end, (*segment.words)[1].end);
}

}  // namespace
}  // namespace murmex
