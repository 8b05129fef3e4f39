// Batch transcription through the pipeline facade, over scripted stages shared by inputs that
// run at once: batches and their limits, input order, per-input outcomes and errors, moved
// segments, files read whole.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "HalvexCore/External/Hub/CancellationError.h"
#include "Murmex/Audio/AudioFile.h"
#include "Murmex/Audio/AudioProcessor.h"
#include "Murmex/Model/Constants.h"
#include "Murmex/Model/WhisperError.h"
#include "Murmex/Pipeline/Murmex.h"
#include "MurmexTests/AudioTestSupport.h"
#include "MurmexTests/PipelineTestSupport.h"
#include "Support/Fixtures.h"
#include "Support/GeneratedModel.h"

namespace {

using murmex::DecodingOptions;
using murmex::Murmex;
using murmex::TranscriptionProgress;
using murmex::TranscriptionSegment;
using murmex::TranscriptionState;
using murmex::WhisperError;
using namespace norvel::test::pipeline;
using namespace std::chrono_literals;

using Segments = std::vector<TranscriptionSegment>;

// A scripted pipeline that notes when each input's transcription enters and leaves, and can
// hold each input until every input of its batch has entered.
class WatchedPipeline : public ScriptedPipeline {
public:
    using ScriptedPipeline::transcribe;

    Results transcribe(const std::vector<float>& audioArray, std::int64_t audioArrayOffset,
                       const std::optional<DecodingOptions>& decodeOptions,
                       const murmex::TranscriptionProgressCallback& callback,
                       const SegmentDiscoveryCallback& segmentCallback, std::stop_token stop) override {
        const int input = static_cast<int>(audioArray.size() / 16000);  // each test input has its own length
        {
            std::unique_lock lock(mutex);
            events.push_back("enter " + std::to_string(input));
            entered.insert(input);
            ++active;
            mostAtOnce = std::max(mostAtOnce, active);
            changed.notify_all();
            // Every batch is held until all of its inputs run at once (or a while has passed), so
            // that however the machine schedules them, no input of a batch can finish before
            // another one of it has started.
            for (const auto& batch : batches) {
                if (!batch.contains(input)) continue;
                changed.wait_for(lock, 10s, [&] {
                    return std::all_of(batch.begin(), batch.end(), [&](int other) { return entered.contains(other); });
                });
            }
        }
        // Longer inputs finish first: later inputs are shorter but wait longer here.
        std::this_thread::sleep_for(std::chrono::milliseconds(holdMilliseconds * (10 - input % 10)));
        Results results;
        try {
            results = Murmex::transcribe(audioArray, audioArrayOffset, decodeOptions, callback, segmentCallback, stop);
        } catch (...) {
            leave(input);
            throw;
        }
        leave(input);
        return results;
    }

    void leave(int input) {
        std::lock_guard lock(mutex);
        --active;
        events.push_back("leave " + std::to_string(input));
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;
    int active = 0;
    int mostAtOnce = 0;
    // The inputs (by length in seconds) expected to run together.
    std::vector<std::set<int>> batches;
    std::set<int> entered;
    int holdMilliseconds = 0;
};

std::vector<std::vector<float>> inputsOfSeconds(const std::vector<int>& lengths) {
    std::vector<std::vector<float>> inputs;
    for (int length : lengths) inputs.push_back(seconds(length));
    return inputs;
}

DecodingOptions withWorkers(std::int64_t count) {
    DecodingOptions options = plainOptions();
    options.concurrentWorkerCount = count;
    return options;
}

// The results of a successful outcome; a failed one fails the test.
const Murmex::Results& resultsOf(const Murmex::Outcome& outcome) {
    static const Murmex::Results none;
    if (const auto* results = std::get_if<Murmex::Results>(&outcome)) return *results;
    ADD_FAILURE() << "the input failed";
    return none;
}

template <class E>
std::optional<E> failureOf(const Murmex::Outcome& outcome) {
    const auto* error = std::get_if<std::exception_ptr>(&outcome);
    if (error == nullptr) return std::nullopt;
    try {
        std::rethrow_exception(*error);
    } catch (const E& typed) {
        return typed;
    } catch (...) {}
    return std::nullopt;
}

TEST(PipelinePeripheryBatch, MismatchedListsGiveOneFailureAndNoListsNothing) {
    struct Case {
        const char* name;
        int arrays;
        int options;
        std::optional<int> offsets;
        const char* message;
    };
    const Case cases[] = {
        {"three arrays, two options", 3, 2, std::nullopt,
         "The number of audio arrays and decoding options must be balanced."},
        {"two arrays and options, three offsets", 2, 2, 3,
         "The number of audio arrays and seek offset indexes must be balanced."},
        {"no arrays, one option", 0, 1, std::nullopt,
         "The number of audio arrays and decoding options must be balanced."},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        PipelineRig rig;
        const auto outcomes = rig.pipeline->transcribeWithOptions(
            inputsOfSeconds(std::vector<int>(static_cast<std::size_t>(row.arrays), 2)),
            std::vector<std::optional<DecodingOptions>>(static_cast<std::size_t>(row.options), plainOptions()),
            row.offsets ? std::optional(std::vector<std::int64_t>(static_cast<std::size_t>(*row.offsets), 0))
                        : std::nullopt,
            nullptr);
        ASSERT_EQ(outcomes.size(), 1u);
        const auto error = failureOf<WhisperError>(outcomes[0]);
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->kind(), WhisperError::Kind::transcriptionFailed);
        EXPECT_EQ(error->message(), row.message);
        EXPECT_EQ(rig.encoder->windows(), 0);
    }
    PipelineRig rig;
    EXPECT_TRUE(rig.pipeline->transcribeWithOptions({}, {}, std::nullopt, nullptr).empty());
    EXPECT_TRUE(rig.pipeline->transcribe(std::vector<std::vector<float>>{}, plainOptions(), nullptr).empty());
}

// The batches of a call, as the enter and leave events show them: every input of a batch
// enters after every input of the batch before has left.
std::vector<std::set<int>> batchesOf(const std::vector<std::string>& events) {
    std::vector<std::set<int>> batches;
    int running = 0;
    bool open = false;
    for (const auto& event : events) {
        const int input = std::stoi(event.substr(event.find(' ') + 1));
        if (event.rfind("enter", 0) == 0) {
            if (!open) batches.emplace_back();
            open = true;
            batches.back().insert(input);
            ++running;
        } else if (--running == 0) {
            open = false;
        }
    }
    return batches;
}

TEST(PipelinePeripheryBatch, InputsRunInBatchesOfTheLargestWorkerCountAndComeBackInOrder) {
    struct Case {
        const char* name;
        std::vector<std::optional<DecodingOptions>> options;  // one per input
        std::vector<std::set<int>> batches;
    };
    // Inputs last 2, 3, 4… seconds, so that input i is known by its length.
    const Case cases[] = {
        {"five inputs, two workers",
         {withWorkers(2), withWorkers(2), withWorkers(2), withWorkers(2), withWorkers(2)},
         {{2, 3}, {4, 5}, {6}}},
        {"counts 0, 4 and none: four at once",
         {withWorkers(0), withWorkers(4), std::nullopt, withWorkers(0), withWorkers(0), withWorkers(0)},
         {{2, 3, 4, 5}, {6, 7}}},
        {"no options: all at once", {std::nullopt, std::nullopt, std::nullopt}, {{2, 3, 4}}},
        {"a negative count counts as no limit", {withWorkers(-3), withWorkers(-1)}, {{2, 3}}},
        {"a count beyond 32 bits is not cut to its low bits (2)",
         {withWorkers(4294967298), withWorkers(0), withWorkers(0)},
         {{2, 3, 4}}},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        ScriptedPipelineRig<WatchedPipeline> rig;
        rig.pipeline->batches = row.batches;
        rig.pipeline->holdMilliseconds = 5;
        std::vector<std::vector<float>> inputs;
        for (std::size_t i = 0; i < row.options.size(); ++i) inputs.push_back(seconds(static_cast<int>(i) + 2));

        std::mutex mutex;
        std::map<int, int> reportsByWindow;
        const auto outcomes = rig.pipeline->transcribeWithOptions(
            inputs, row.options, std::nullopt, [&](const TranscriptionProgress& progress) -> std::optional<bool> {
                std::lock_guard lock(mutex);
                ++reportsByWindow[progress.windowId];
                return std::nullopt;
            });
        rig.decoder->waitForProgressCallbacks();

        EXPECT_EQ(batchesOf(rig.pipeline->events), row.batches);
        EXPECT_EQ(rig.pipeline->mostAtOnce, static_cast<int>(row.batches.front().size()));
        ASSERT_EQ(outcomes.size(), inputs.size());
        for (std::size_t i = 0; i < outcomes.size(); ++i) {
            const auto& results = resultsOf(outcomes[i]);
            ASSERT_EQ(results.size(), 1u);
            EXPECT_EQ(results[0]->timings().inputAudioSeconds, static_cast<double>(i + 2)) << "input " << i;
            EXPECT_EQ(results[0]->text(), "w1 w2");
        }
        std::lock_guard lock(mutex);
        ASSERT_EQ(reportsByWindow.size(), inputs.size()) << "each input reports under its own index";
        for (int i = 0; i < static_cast<int>(inputs.size()); ++i) EXPECT_GT(reportsByWindow[i], 0) << i;
    }
}

TEST(PipelinePeripheryBatch, EachInputHasItsOwnOutcome) {
    ScriptedPipelineRig<WatchedPipeline> rig;
    rig.pipeline->batches = {{2, 3, 4}};
    DecodingOptions refused = plainOptions();
    refused.maxWindowSeek = 0;
    const auto outcomes = rig.pipeline->transcribeWithOptions(
        inputsOfSeconds({2, 3, 4}), {plainOptions(), refused, plainOptions()}, std::nullopt, nullptr);
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_EQ(resultsOf(outcomes[0]).size(), 1u);
    const auto error = failureOf<WhisperError>(outcomes[1]);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), WhisperError::Kind::transcriptionFailed);
    EXPECT_EQ(resultsOf(outcomes[2]).size(), 1u);

    // The plain form gives no results for the failed input.
    const auto plain = rig.pipeline->transcribe(inputsOfSeconds({4, 5}), refused, nullptr);
    ASSERT_EQ(plain.size(), 2u);
    EXPECT_FALSE(plain[0].has_value());
    EXPECT_FALSE(plain[1].has_value());
}

TEST(PipelinePeripheryBatch, SeekOffsetsMoveOnlyWhatTheSegmentCallbackReceives) {
    PipelineRig rig;
    std::mutex mutex;
    std::vector<Segments> received;
    rig.pipeline->setSegmentDiscoveryCallback([&](const Segments& segments) {
        std::lock_guard lock(mutex);
        received.push_back(segments);
    });
    const auto outcomes = rig.pipeline->transcribeWithOptions(inputsOfSeconds({5, 5}), {plainOptions(), plainOptions()},
                                                              std::vector<std::int64_t>{0, 32000}, nullptr);
    ASSERT_EQ(outcomes.size(), 2u);
    for (const auto& outcome : outcomes) {
        const auto segments = resultsOf(outcome).at(0)->segments();
        ASSERT_EQ(segments.size(), 1u);
        EXPECT_EQ(segments[0].seek, 0);
        EXPECT_EQ(segments[0].start, 0.0f);
        EXPECT_EQ(segments[0].end, 5.0f);
    }
    std::lock_guard lock(mutex);
    ASSERT_EQ(received.size(), 2u);
    std::sort(received.begin(), received.end(),
              [](const Segments& a, const Segments& b) { return a[0].seek < b[0].seek; });
    EXPECT_EQ(received[0][0].seek, 0);
    EXPECT_EQ(received[0][0].start, 0.0f);
    EXPECT_EQ(received[1][0].seek, 32000);
    EXPECT_EQ(received[1][0].start, 2.0f);
    EXPECT_EQ(received[1][0].end, 7.0f);
    EXPECT_EQ(received[1][0].text, received[0][0].text);
}

TEST(PipelinePeripheryBatch, ACancelledCallFailsEveryInputWithTheCancellation) {
    PipelineRig rig;
    std::stop_source stop;
    stop.request_stop();
    const auto outcomes =
        rig.pipeline->transcribeWithResults(inputsOfSeconds({2, 2, 2}), plainOptions(), nullptr, stop.get_token());
    ASSERT_EQ(outcomes.size(), 3u);
    for (const auto& outcome : outcomes) EXPECT_TRUE(failureOf<halvex::CancellationError>(outcome).has_value());
    EXPECT_EQ(rig.encoder->windows(), 0);
}

TEST(PipelinePeripheryBatch, FilesReadWholeKeepTheirPlaceAndTheirLoadErrors) {
    norvel::test::TemporaryDirectory folder;
    const auto first = folder / "first.wav";
    const auto third = folder / "third.wav";
    murmex::test::writeFloatWav(first, {std::vector<float>(3 * 16000, 0.1f)}, 16000);
    murmex::test::writeFloatWav(third, {std::vector<float>(7 * 16000, 0.1f)}, 16000);
    const std::vector<std::string> paths = {first.string(), (folder / "missing.wav").string(), third.string()};

    PipelineRig rig;
    std::vector<TranscriptionState> states;
    rig.pipeline->setTranscriptionStateCallback([&](TranscriptionState state) { states.push_back(state); });
    const auto outcomes = rig.pipeline->transcribeWithResults(paths, std::nullopt, plainOptions(), nullptr);
    EXPECT_EQ(states,
              (std::vector<TranscriptionState>{TranscriptionState::convertingAudio, TranscriptionState::transcribing,
                                               TranscriptionState::finished}));
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_EQ(resultsOf(outcomes[0]).at(0)->timings().inputAudioSeconds, 3.0);
    const auto error = failureOf<WhisperError>(outcomes[1]);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), WhisperError::Kind::loadAudioFailed);
    EXPECT_EQ(resultsOf(outcomes[2]).at(0)->timings().inputAudioSeconds, 7.0);
    EXPECT_EQ(rig.encoder->windows(), 2) << "the missing file never reaches transcription";
    EXPECT_GT(rig.pipeline->currentTimings().audioLoading, 0.0);
    EXPECT_EQ(resultsOf(outcomes[0]).at(0)->timings().audioLoading, rig.pipeline->currentTimings().audioLoading);

    const auto plain = rig.pipeline->transcribe(paths, std::nullopt, plainOptions(), nullptr);
    ASSERT_EQ(plain.size(), 3u);
    EXPECT_TRUE(plain[0].has_value());
    EXPECT_FALSE(plain[1].has_value());
    EXPECT_TRUE(plain[2].has_value());
}

// The standard stages over a generated model, shared by inputs that run at once: the same
// results as one input at a time, and one on-demand model load for all.
TEST(PipelinePeripheryBatch, InputsAtOnceOnTheStandardStagesMatchInputsOneByOne) {
    norvel::test::TemporaryDirectory folder;
    norvel::test::generateModelFolder(folder.path());
    murmex::MurmexConfig::Arguments arguments;
    arguments.modelFolder = folder.path().string();
    arguments.load = false;
    arguments.download = false;
    auto pipeline = Murmex::create(murmex::MurmexConfig(arguments));
    StateRecorder recorder;
    recorder.attach(*pipeline);

    const auto speech = murmex::AudioProcessor::loadAudioAsFloatArray(norvel::test::fixture("audio/jfk.flac").string());
    std::vector<std::vector<float>> inputs = {speech, std::vector<float>(speech.begin() + 3 * 16000, speech.end())};
    std::vector<float> quieter = speech;
    for (auto& sample : quieter) sample *= 0.3f;
    inputs.push_back(quieter);
    std::vector<float> longer;
    while (longer.size() < 40u * 16000u) longer.insert(longer.end(), speech.begin(), speech.end());
    inputs.push_back(longer);

    // Without fallbacks decoding is greedy, so every run of an input gives the same tokens.
    DecodingOptions options;
    options.temperatureFallbackCount = 0;
    options.concurrentWorkerCount = 0;
    const auto outcomes = pipeline->transcribeWithResults(inputs, options, nullptr);
    EXPECT_EQ(recorder.changes.size(), 2u) << "one load for all inputs";
    EXPECT_EQ(pipeline->modelState(), halvex::ModelState::loaded);

    ASSERT_EQ(outcomes.size(), inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& together = resultsOf(outcomes[i]);
        const auto alone = pipeline->transcribe(inputs[i], options, nullptr, nullptr);
        ASSERT_EQ(together.size(), 1u);
        ASSERT_EQ(alone.size(), 1u);
        EXPECT_EQ(together[0]->text(), alone[0]->text());
        const auto a = together[0]->segments();
        const auto b = alone[0]->segments();
        ASSERT_EQ(a.size(), b.size());
        for (std::size_t k = 0; k < a.size(); ++k) {
            EXPECT_EQ(a[k].tokens, b[k].tokens);
            EXPECT_EQ(a[k].start, b[k].start);
            EXPECT_EQ(a[k].end, b[k].end);
        }
    }

    // Language detection on the same stages gives a code of the language table.
    const auto detected = pipeline->detectLangauge(speech);
    EXPECT_EQ(murmex::Constants::languageCodes().count(detected.language), 1u);
    EXPECT_EQ(detected.langProbs.count(detected.language), 1u);
}

}  // namespace
