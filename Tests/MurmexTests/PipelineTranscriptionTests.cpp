// Transcription through the pipeline facade, over scripted stages: the file road and its
// states, the route decision, moved segments, cancellation, and the end of a run that the
// progress callback stopped.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "HalvexCore/External/Hub/CancellationError.h"
#include "Murmex/Core/Murmex.h"
#include "Murmex/Core/MurmexTranscribeTask.h"
#include "Murmex/Core/Text/SegmentSeeker.h"
#include "Murmex/Core/TextDecoder.h"
#include "Murmex/Core/TranscribeTask.h"
#include "Murmex/Utilities/WhisperError.h"
#include "MurmexTests/PipelineTestSupport.h"
#include "Support/Fixtures.h"
#include "Support/ScriptedDecoder.h"
#include "Support/ScriptedDecoderStages.h"
#include "Support/ScriptedDecoderTokenizer.h"

namespace {

using halvex::ModelState;
using murmex::DecodingOptions;
using murmex::Murmex;
using murmex::MurmexConfig;
using murmex::TranscriptionProgress;
using murmex::TranscriptionSegment;
using murmex::TranscriptionState;
using murmex::WhisperError;
using norvel::test::ScriptedAudioEncoder;
using norvel::test::ScriptedCall;
using norvel::test::ScriptedDecoderModel;
using norvel::test::ScriptedFeatureExtractor;
using norvel::test::ScriptedStep;
using norvel::test::ScriptedTokenizer;
using norvel::test::thrownAs;
using namespace norvel::test::pipeline;

using Segments = std::vector<TranscriptionSegment>;

// A false answer ends the run after its window; the plain task only cuts that window short.
TEST(PipelineTranscription, ACallbackThatAnswersFalseEndsTheRunAfterItsWindow) {
    struct Case {
        const char* name;
        bool plainTask;
        int stopWindow;
        int expectedWindows;
    };
    const Case cases[] = {
        {"stopped in the third window", false, 2, 3},
        {"stopped in the first window", false, 0, 1},
        {"never stopped", false, 99, 5},
        {"the plain task goes on", true, 2, 5},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        PipelineRig rig(speaksWords(20));
        rig.pipeline->plainTask = row.plainTask;
        std::mutex mutex;
        std::vector<Segments> delivered;
        int lastWindowReported = -1;
        const auto results = rig.pipeline->transcribe(
            seconds(150), plainOptions(),
            [&](const TranscriptionProgress& progress) -> std::optional<bool> {
                std::lock_guard lock(mutex);
                lastWindowReported = std::max(lastWindowReported, progress.windowId);
                return progress.windowId < row.stopWindow;
            },
            [&](const Segments& segments) {
                std::lock_guard lock(mutex);
                delivered.push_back(segments);
            });
        rig.decoder->waitForProgressCallbacks();

        EXPECT_EQ(rig.encoder->windows(), row.expectedWindows);
        ASSERT_EQ(results.size(), 1u);
        const auto result = results[0];
        std::lock_guard lock(mutex);
        EXPECT_EQ(lastWindowReported, row.expectedWindows - 1);
        // Everything delivered before the end is in the result, in order, with its text.
        Segments all;
        for (const auto& window : delivered) all.insert(all.end(), window.begin(), window.end());
        EXPECT_EQ(result->segments(), all);
        ASSERT_FALSE(all.empty());
        std::string windowText = "w1";
        for (int word = 2; word <= 20; ++word) windowText += " w" + std::to_string(word);
        if (row.stopWindow > 0) {
            EXPECT_EQ(result->text().substr(0, windowText.size()), windowText) << "whole windows are kept whole";
        } else {
            EXPECT_EQ(windowText.substr(0, result->text().size()), result->text());
        }
        EXPECT_EQ(result->language(), "en");
        const auto timings = result->timings();
        EXPECT_EQ(timings.totalEncodingRuns, row.expectedWindows);
        EXPECT_GT(timings.fullPipeline, 0.0);
        EXPECT_EQ(timings.inputAudioSeconds, 150.0);
    }
}

TEST(PipelineTranscription, OffsetsMoveOnlyWhatTheSegmentReceiverGets) {
    struct Case {
        std::int64_t offset;
        bool instanceReceiver;
        std::int64_t expectedSeekShift;
        float expectedTimeShift;
    };
    const Case cases[] = {
        {32000, false, 32000, 2.0f},
        {32000, true, 32000, 2.0f},
        {0, false, 0, 0.0f},
        {-16000, false, 0, 0.0f},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.offset);
        PipelineRig rig;
        Segments received;
        auto receiver = [&](const Segments& segments) { received = segments; };
        if (row.instanceReceiver) rig.pipeline->setSegmentDiscoveryCallback(receiver);
        const auto results =
            rig.pipeline->transcribe(seconds(5), row.offset, plainOptions(), nullptr,
                                     row.instanceReceiver ? Murmex::SegmentDiscoveryCallback() : receiver);
        ASSERT_EQ(results.size(), 1u);
        const auto kept = results[0]->segments();
        ASSERT_EQ(kept.size(), 1u);
        ASSERT_EQ(received.size(), 1u);
        EXPECT_EQ(kept[0].seek, 0);
        EXPECT_EQ(kept[0].start, 0.0f);
        EXPECT_EQ(received[0].seek, kept[0].seek + row.expectedSeekShift);
        EXPECT_EQ(received[0].start, kept[0].start + row.expectedTimeShift);
        EXPECT_EQ(received[0].end, kept[0].end + row.expectedTimeShift);
        EXPECT_EQ(received[0].text, kept[0].text);
        EXPECT_EQ(received[0].tokens, kept[0].tokens);
    }
}

// Only options that ask for voice-activity chunking, on samples longer than one window, take
// the chunked route (whose results carry the seek time of their chunk).
TEST(PipelineTranscription, OnlyLongAudioWithChunkingOptionsTakesTheChunkedRoute) {
    DecodingOptions vad = plainOptions();
    vad.chunkingStrategy = murmex::ChunkingStrategy::vad;
    struct Case {
        const char* name;
        std::size_t samples;
        std::optional<DecodingOptions> options;
        bool chunked;
    };
    const Case cases[] = {
        {"exactly one window", 480000, vad, false},
        {"one sample more", 480001, vad, true},
        {"long audio without options", 496000, std::nullopt, false},
        {"long audio without a chunking strategy", 496000, plainOptions(), false},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        PipelineRig rig;
        const auto results =
            rig.pipeline->transcribe(std::vector<float>(row.samples, 0.1f), row.options, nullptr, nullptr);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0]->seekTime().has_value(), row.chunked);
    }
}

TEST(PipelineTranscription, AFileReportsItsStatesAndAudioLoadingTime) {
    const std::string speech = norvel::test::sharedFixture("audio/jfk.flac").string();
    struct Case {
        const char* name;
        std::string path;
        bool giveTokenizer;
        std::vector<TranscriptionState> expectedStates;
        bool succeeds;
    };
    const Case cases[] = {
        {"transcribed", speech, true,
         {TranscriptionState::convertingAudio, TranscriptionState::transcribing, TranscriptionState::finished}, true},
        {"no such file", "/nonexistent/speech.wav", true, {TranscriptionState::convertingAudio}, false},
        {"failed transcription", speech, false,
         {TranscriptionState::convertingAudio, TranscriptionState::transcribing, TranscriptionState::finished}, false},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        PipelineRig rig;
        rig.pipeline->giveTokenizer = row.giveTokenizer;
        std::vector<TranscriptionState> states;
        rig.pipeline->setTranscriptionStateCallback([&](TranscriptionState state) { states.push_back(state); });
        std::vector<std::shared_ptr<murmex::TranscriptionResult>> results;
        std::exception_ptr failure;
        try {
            results = rig.pipeline->transcribe(row.path, std::nullopt, plainOptions(), nullptr);
        } catch (...) {
            failure = std::current_exception();
        }
        EXPECT_EQ(states, row.expectedStates);
        EXPECT_EQ(failure == nullptr, row.succeeds);
        EXPECT_GT(rig.pipeline->currentTimings().audioLoading, 0.0);
        if (!row.succeeds) continue;
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0]->timings().audioLoading, rig.pipeline->currentTimings().audioLoading);
        EXPECT_NEAR(results[0]->timings().inputAudioSeconds, 11.0, 0.01);
        EXPECT_EQ(rig.pipeline->lastTimings().audioLoading, rig.pipeline->currentTimings().audioLoading)
            << "the task starts from the pipeline's timings";
    }
}

TEST(PipelineTranscription, ModelsAreLoadedOnDemandAndATokenizerIsRequired) {
    PipelineRig rig;
    EXPECT_EQ(rig.pipeline->modelState(), ModelState::unloaded);
    rig.pipeline->transcribe(seconds(3), plainOptions(), nullptr, nullptr);
    rig.pipeline->transcribe(seconds(3), plainOptions(), nullptr, nullptr);
    EXPECT_EQ(rig.pipeline->loads, 1);
    rig.pipeline->unloadModels();
    EXPECT_EQ(rig.decoder->model(), nullptr);
    rig.pipeline->transcribe(seconds(3), plainOptions(), nullptr, nullptr);
    EXPECT_EQ(rig.pipeline->loads, 2);
    EXPECT_EQ(rig.encoder->windows(), 3);

    PipelineRig bare;
    bare.pipeline->giveTokenizer = false;
    auto error = thrownAs<WhisperError>([&] { bare.pipeline->transcribe(seconds(3), plainOptions(), nullptr, nullptr); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), WhisperError::Kind::tokenizerUnavailable);
    EXPECT_STREQ(error->what(), "Tokenizer is unavailable");
    EXPECT_EQ(bare.encoder->windows(), 0);
}

TEST(PipelineTranscription, CancellationEndsTheRunAndRenewsTheProgress) {
    // Before the task starts.
    {
        PipelineRig rig;
        const auto before = rig.pipeline->progress();
        std::stop_source stop;
        stop.request_stop();
        EXPECT_THROW(rig.pipeline->transcribe(seconds(40), plainOptions(), nullptr, nullptr, stop.get_token()),
                     halvex::CancellationError);
        EXPECT_NE(rig.pipeline->progress(), before);
        EXPECT_EQ(rig.pipeline->progress()->totalUnitCount(), 0);
        EXPECT_EQ(rig.encoder->windows(), 0);
    }
    // While it runs: a cancelled caller gets the cancellation, not a partial result.
    {
        PipelineRig rig;
        std::stop_source stop;
        auto error = thrownAs<halvex::CancellationError>([&] {
            rig.pipeline->transcribe(
                seconds(150), plainOptions(), nullptr,
                [&](const Segments&) { stop.request_stop(); }, stop.get_token());
        });
        EXPECT_TRUE(error.has_value());
        EXPECT_EQ(rig.encoder->windows(), 1);
        EXPECT_EQ(rig.pipeline->progress()->totalUnitCount(), 0);
    }
}

TEST(PipelineTranscription, AFinishedRunLeavesAFreshProgress) {
    PipelineRig rig;
    const auto before = rig.pipeline->progress();
    rig.pipeline->transcribe(seconds(40), plainOptions(), nullptr, nullptr);
    EXPECT_NE(rig.pipeline->progress(), before);
    EXPECT_EQ(rig.pipeline->progress()->totalUnitCount(), 0);
    EXPECT_EQ(rig.pipeline->progress()->completedUnitCount(), 0);
}

TEST(PipelineTranscription, VerboseOptionsLogTheResults) {
    for (bool verbose : {false, true}) {
        PipelineRig rig;
        LogCapture log;
        DecodingOptions options = plainOptions();
        options.verbose = verbose;
        rig.pipeline->transcribe(seconds(3), options, nullptr, nullptr);
        EXPECT_EQ(log.contains("Total Transcription Results: 1"), verbose);
        EXPECT_EQ(log.contains("[Result 0]"), verbose);
    }
}

}  // namespace
