// The whole road: a model folder converted from a generated checkpoint is served by the
// loopback hub, downloaded, loaded, prewarmed, and used to transcribe real speech.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "HalvexCore/ModelState.h"
#include "Murmex/Audio/AudioProcessor.h"
#include "Murmex/Model/ModelUtilities.h"
#include "Murmex/Pipeline/Murmex.h"
#include "MurmexTests/PipelineTestSupport.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"
#include "Support/GeneratedModel.h"
#include "Support/HubServer.h"

namespace {

using halvex::ModelState;
using murmex::Murmex;
using murmex::MurmexConfig;
using murmex::TranscriptionState;
using norvel::test::HubServer;
using norvel::test::ScopedEnvironment;
using norvel::test::TemporaryDirectory;
using namespace norvel::test::pipeline;
using norvel::test::thrownAs;

namespace fs = std::filesystem;

const std::string repoId = Murmex::defaultModelRepository;

// A pipeline over models generated into `folder`, with nothing downloaded.
std::shared_ptr<Murmex> pipelineOverGeneratedModels(const TemporaryDirectory& folder) {
    norvel::test::generateModelFolder(folder.path());
    return Murmex::create(MurmexConfig({.modelFolder = folder.path().string(), .download = false}));
}

// A model repository on the loopback hub holding one variant folder converted from a
// generated checkpoint, and the tokenizer repository of its size.
class ServedModel {
public:
    explicit ServedModel(bool tokenizerBesideModels) {
        const fs::path generated = work_.path() / "generated";
        norvel::test::generateModelFolder(generated);
        variantFolder_ = Murmex::modelFamilyOrganisation() + "_whisper-tiny";
        for (const auto& entry : fs::recursive_directory_iterator(generated)) {
            if (!entry.is_regular_file()) continue;
            const std::string relative = fs::relative(entry.path(), generated).generic_string();
            const bool tokenizerFile = relative.rfind("tokenizer", 0) == 0;
            if (tokenizerFile) {
                // The tokenizer repository of the size the models report always has the files.
                const auto tokenizerRepo = murmex::ModelUtilities::tokenizerNameForVariant(murmex::ModelVariant::base);
                server_.addFile(tokenizerRepo, relative, norvel::test::readText(entry.path()));
                if (!tokenizerBesideModels) continue;
            }
            server_.addFile(repoId, variantFolder_ + "/" + relative, norvel::test::readText(entry.path()));
        }
    }

    HubServer& server() { return server_; }
    fs::path base() const { return work_.path() / "hub"; }
    const std::string& variantFolder() const { return variantFolder_; }

    fs::path download(std::vector<double>* fractions = nullptr) {
        return Murmex::download("tiny", base(), false, repoId, std::nullopt, server_.endpoint(),
                                [fractions](const halvex::Progress& progress) {
                                    if (fractions) fractions->push_back(progress.fractionCompleted());
                                });
    }

    MurmexConfig config(const fs::path& modelFolder) const {
        MurmexConfig::Arguments arguments;
        arguments.modelFolder = modelFolder.string();
        arguments.tokenizerFolder = base();
        arguments.prewarm = true;
        arguments.load = true;
        arguments.download = false;
        return MurmexConfig(arguments);
    }

private:
    ScopedEnvironment online_{"CI_DISABLE_NETWORK_MONITOR", "1"};
    HubServer server_;
    ScopedEnvironment endpoint_{"HF_ENDPOINT", server_.endpoint()};
    TemporaryDirectory work_;
    std::string variantFolder_;
};

TEST(PipelineEndToEnd, DownloadsLoadsAndTranscribesSpeech) {
    for (bool tokenizerBesideModels : {true, false}) {
        SCOPED_TRACE(tokenizerBesideModels ? "tokenizer beside the models" : "tokenizer from the hub");
        ServedModel served(tokenizerBesideModels);
        std::vector<double> fractions;
        const fs::path folder = served.download(&fractions);
        EXPECT_EQ(folder, served.base() / "models" / repoId / served.variantFolder());
        ASSERT_FALSE(fractions.empty());
        EXPECT_DOUBLE_EQ(fractions.back(), 1.0);

        auto pipeline = Murmex::create(served.config(folder));
        EXPECT_EQ(pipeline->modelState(), ModelState::loaded);
        ASSERT_NE(pipeline->tokenizer(), nullptr);
        EXPECT_EQ(pipeline->modelVariant(), murmex::ModelVariant::base) << "a 64-wide multilingual model";
        const auto tokenizerRequests = served.server().countRequests("GET", "/openai/");
        EXPECT_EQ(tokenizerRequests > 0, !tokenizerBesideModels);
        const auto& loadTimings = pipeline->currentTimings();
        EXPECT_GT(loadTimings.decoderSpecializationTime, 0.0);
        EXPECT_GT(loadTimings.encoderLoadTime, 0.0);
        EXPECT_GE(loadTimings.modelLoading, loadTimings.prewarmLoadTime);

        std::vector<TranscriptionState> states;
        pipeline->setTranscriptionStateCallback([&](TranscriptionState state) { states.push_back(state); });
        std::atomic<int> progressCalls{0};
        const auto results =
            pipeline->transcribe(norvel::test::fixture("audio/jfk.flac").string(), std::nullopt, std::nullopt,
                                 [&](const murmex::TranscriptionProgress&) -> std::optional<bool> {
                                     ++progressCalls;
                                     return std::nullopt;
                                 });

        EXPECT_EQ(states,
                  (std::vector<TranscriptionState>{TranscriptionState::convertingAudio,
                                                   TranscriptionState::transcribing, TranscriptionState::finished}));
        ASSERT_EQ(results.size(), 1u);
        const auto timings = results[0]->timings();
        EXPECT_NEAR(timings.inputAudioSeconds, 11.0, 0.01);
        EXPECT_EQ(timings.totalEncodingRuns, 1.0);
        EXPECT_GT(timings.totalDecodingLoops, 0.0);
        EXPECT_GT(timings.audioLoading, 0.0) << "the task starts from the pipeline's timings";
        EXPECT_EQ(timings.audioLoading, pipeline->currentTimings().audioLoading);
        EXPECT_EQ(timings.modelLoading, pipeline->currentTimings().modelLoading);
        EXPECT_GT(progressCalls.load(), 0);
        EXPECT_EQ(results[0]->language(), "en");
    }
}

// A long recording: speech repeated for a little over three minutes.
std::vector<float> longSpeech() {
    const auto speech = murmex::AudioProcessor::loadAudioAsFloatArray(norvel::test::fixture("audio/jfk.flac").string());
    std::vector<float> samples;
    while (samples.size() < 200u * 16000u) samples.insert(samples.end(), speech.begin(), speech.end());
    return samples;
}

// The application cancels from its progress callback: it answers false and requests the run's
// stop. The run ends in the window the stop arrived in and keeps what was decoded.
TEST(PipelineEndToEnd, AStopFromTheProgressCallbackEndsTheRunInItsWindow) {
    TemporaryDirectory folder;
    auto pipeline = pipelineOverGeneratedModels(folder);
    const auto samples = longSpeech();

    // Stop at the first report, or once the first window has delivered its segments.
    for (bool afterFirstWindow : {false, true}) {
        SCOPED_TRACE(afterFirstWindow ? "stop in the second window" : "stop in the first window");
        std::mutex mutex;
        std::stop_source stopSource;
        std::vector<std::vector<murmex::TranscriptionSegment>> delivered;
        int falseAnswers = 0;
        // Windows whose segments had arrived when the callback first answered false. Reports reach
        // the callback asynchronously, so a late report of a finished window may be the one.
        std::optional<std::size_t> windowsDoneAtStop;
        const auto results = pipeline->transcribe(
            samples, std::nullopt,
            [&](const murmex::TranscriptionProgress&) -> std::optional<bool> {
                std::lock_guard lock(mutex);
                const bool stop = !afterFirstWindow || !delivered.empty();
                if (stop && falseAnswers++ == 0) windowsDoneAtStop = delivered.size();
                if (stop) stopSource.request_stop();
                return !stop;
            },
            [&](const std::vector<murmex::TranscriptionSegment>& segments) {
                std::lock_guard lock(mutex);
                delivered.push_back(segments);
            },
            stopSource.get_token());

        ASSERT_EQ(results.size(), 1u) << "a stopped run still returns its result";
        std::lock_guard lock(mutex);
        EXPECT_GT(falseAnswers, 0);
        const auto timings = results[0]->timings();
        ASSERT_TRUE(windowsDoneAtStop.has_value());
        // The run ends with the window in which the stop arrived: at most one more is encoded.
        EXPECT_GE(timings.totalEncodingRuns, std::max<double>(1.0, static_cast<double>(*windowsDoneAtStop)));
        EXPECT_LE(timings.totalEncodingRuns, static_cast<double>(*windowsDoneAtStop + 1))
            << "no window is encoded after the stop";
        // What was decoded before the stop is kept.
        std::size_t deliveredCount = 0;
        for (const auto& window : delivered) deliveredCount += window.size();
        EXPECT_EQ(results[0]->segments().size(), deliveredCount);
        if (afterFirstWindow) {
            EXPECT_FALSE(delivered.empty());
        }
    }
}

// Progress callbacks run on the decoder's own thread, but a run returns only once the ones it
// reported have run: they may use what the caller frees after the call. Slow callbacks let the
// reports queue up behind the decoding.
TEST(PipelineEndToEnd, NoProgressCallbackRunsAfterTheTranscriptionReturns) {
    TemporaryDirectory folder;
    auto pipeline = pipelineOverGeneratedModels(folder);
    const auto speech = murmex::AudioProcessor::loadAudioAsFloatArray(norvel::test::fixture("audio/jfk.flac").string());

    for (bool stopped : {false, true}) {
        SCOPED_TRACE(stopped ? "stopped run" : "whole run");
        std::atomic<int> calls{0};
        std::atomic<bool> inCallback{false};
        std::stop_source stopSource;
        const auto results = pipeline->transcribe(
            speech, std::nullopt,
            [&](const murmex::TranscriptionProgress&) -> std::optional<bool> {
                inCallback = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                if (stopped && calls.load() == 3) stopSource.request_stop();
                ++calls;
                inCallback = false;
                return std::nullopt;
            },
            nullptr, stopSource.get_token());
        ASSERT_EQ(results.size(), 1u);
        EXPECT_FALSE(inCallback.load());
        const int callsAtReturn = calls.load();
        EXPECT_GT(callsAtReturn, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(calls.load(), callsAtReturn) << "a progress callback ran after the run returned";
    }
}

TEST(PipelineEndToEnd, UnloadedModelsAreLoadedAgainByTheNextTranscription) {
    TemporaryDirectory folder;
    auto pipeline = pipelineOverGeneratedModels(folder);
    const auto tokenizer = pipeline->tokenizer();
    pipeline->unloadModels();
    StateRecorder recorder;
    recorder.attach(*pipeline);

    const std::vector<float> silence(3 * 16000, 0.0f);
    const auto results = pipeline->transcribe(silence, std::nullopt, nullptr, nullptr);
    EXPECT_EQ(results.size(), 1u);
    EXPECT_EQ(pipeline->modelState(), ModelState::loaded);
    EXPECT_EQ(pipeline->tokenizer(), tokenizer) << "the tokenizer is kept, not loaded again";
    EXPECT_EQ(recorder.changes.size(), 2u);
}

// A compressed folder runs every part of the pipeline that the half-precision one does: prewarm,
// language detection, word timings from the alignment heads, unload and load again.
TEST(PipelineEndToEnd, ACompressedFolderTranscribesWithLanguageAndWordTimings) {
    TemporaryDirectory folder;
    norvel::test::generateModelFolder(folder.path(), {.sizeBudget = 6'000'000});
    for (const char* stage : {"AudioEncoder.mlmodelc", "TextDecoder.mlmodelc"})
        ASSERT_NE(norvel::test::readText(folder.path() / stage / "model.json").find("\"blockwise\""), std::string::npos)
            << stage;
    auto pipeline =
        Murmex::create(MurmexConfig({.modelFolder = folder.path().string(), .prewarm = true, .download = false}));
    ASSERT_EQ(pipeline->modelState(), ModelState::loaded);
    murmex::DecodingOptions options;
    options.usePrefillPrompt = false;
    options.detectLanguage = true;
    options.wordTimestamps = true;
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass == 0 ? "prewarmed" : "loaded again after an unload");
        const auto results =
            pipeline->transcribe(norvel::test::fixture("audio/jfk.flac").string(), std::nullopt, options, nullptr);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_FALSE(results[0]->language().empty());
        const auto segments = results[0]->segments();
        ASSERT_FALSE(segments.empty());
        std::size_t words = 0;
        for (const auto& segment : segments) {
            if (!segment.words) continue;  // a segment without text has no words
            for (const auto& word : *segment.words) {
                ++words;
                EXPECT_LE(word.start, word.end);
                EXPECT_GE(word.start, segment.start - 0.01f);
            }
        }
        // Random weights may sample no text at all in a window, so how many words come out is
        // not fixed; those that do lie inside their segments, in order.
        RecordProperty("words", static_cast<int>(words));
        pipeline->unloadModels();
    }
}

}  // namespace
