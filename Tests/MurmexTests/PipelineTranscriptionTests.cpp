// Transcription through the pipeline facade, over scripted stages: the file road and its
// states, the route decision, moved segments, cancellation, and the end of runs that were
// stopped, by the progress callback (one window) or by a stop request (the whole run).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "HalvexCore/External/Hub/CancellationError.h"
#include "Murmex/Decoding/SegmentSeeker.h"
#include "Murmex/Decoding/TextDecoder.h"
#include "Murmex/Decoding/TranscribeTask.h"
#include "Murmex/Model/WhisperError.h"
#include "Murmex/Pipeline/Murmex.h"
#include "Murmex/Pipeline/MurmexTranscribeTask.h"
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

// The words of a segment's text: without its special tokens and the blank its first word
// brings.
std::string words(const TranscriptionSegment& segment) {
    std::string text;
    for (std::size_t i = 0; i < segment.text.size();) {
        if (segment.text.compare(i, 2, "<|") == 0) {
            const auto close = segment.text.find("|>", i);
            if (close != std::string::npos) {
                i = close + 2;
                continue;
            }
        }
        text += segment.text[i++];
    }
    const auto first = text.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first);
}

// A false answer cuts only the window that reported it short; the run goes on with the next
// window, and the window ids count the windows in order.
TEST(PipelineTranscription, ACallbackThatAnswersFalseEndsOnlyItsWindow) {
    PipelineRig rig(speaksWords(20));
    // Every answer arrives before the next prediction, so the stop lands at a known step.
    rig.model->setBeforePrediction([&](int) { rig.decoder->waitForProgressCallbacks(); });
    std::mutex mutex;
    std::vector<int> windowIds;
    const auto results = rig.pipeline->transcribe(
        seconds(150), plainOptions(),
        [&](const TranscriptionProgress& progress) -> std::optional<bool> {
            std::lock_guard lock(mutex);
            windowIds.push_back(progress.windowId);
            // Window 2 is stopped after its third word.
            return !(progress.windowId == 2 && progress.tokens.size() >= 7);
        },
        nullptr);
    rig.decoder->waitForProgressCallbacks();

    EXPECT_EQ(rig.encoder->windows(), 5);
    ASSERT_EQ(results.size(), 1u);
    const auto segments = results[0]->segments();
    ASSERT_EQ(segments.size(), 5u);
    std::string whole = "w1";
    for (int word = 2; word <= 20; ++word) whole += " w" + std::to_string(word);
    for (std::size_t i = 0; i < segments.size(); ++i) {
        SCOPED_TRACE(i);
        if (i == 2) {
            // The answer to the report of the third word is seen after that step or the next.
            const std::string stopped = words(segments[i]);
            EXPECT_TRUE(stopped == "w1 w2 w3" || stopped == "w1 w2 w3 w4") << stopped;
        } else {
            EXPECT_EQ(words(segments[i]), whole);
        }
    }
    std::lock_guard lock(mutex);
    EXPECT_TRUE(std::is_sorted(windowIds.begin(), windowIds.end()));
    EXPECT_EQ(windowIds.front(), 0);
    EXPECT_EQ(windowIds.back(), 4);
}

// A stop request ends every route with the prediction under way: no further prediction, no
// retry, and the windows finished until then are returned with the one that was stopped.
TEST(PipelineTranscription, AStopEndsEveryRouteWithinOnePredictionAndKeepsTheFinishedWindows) {
    enum class Route { singleTask, chunked, batch };
    struct Case {
        const char* name;
        Route route;
        int stopAtPrediction;
    };
    const Case cases[] = {
        {"one task, third window", Route::singleTask, 60},
        {"one task, first window", Route::singleTask, 5},
        {"voice-activity chunks", Route::chunked, 60},
        {"a batch of arrays", Route::batch, 60},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        PipelineRig rig(speaksWords(20));
        std::stop_source stop;
        rig.model->setBeforePrediction([&](int prediction) {
            if (prediction == row.stopAtPrediction) stop.request_stop();
        });
        DecodingOptions options = plainOptions();
        options.concurrentWorkerCount = 1;
        std::mutex mutex;
        Segments delivered;
        rig.pipeline->setSegmentDiscoveryCallback([&](const Segments& segments) {
            std::lock_guard lock(mutex);
            delivered.insert(delivered.end(), segments.begin(), segments.end());
        });

        Segments kept;
        if (row.route == Route::batch) {
            const auto outcomes = rig.pipeline->transcribeWithResults(
                std::vector<std::vector<float>>{seconds(40), seconds(40), seconds(40)}, options, nullptr,
                stop.get_token());
            ASSERT_EQ(outcomes.size(), 3u);
            for (std::size_t i = 0; i < 2; ++i) {
                const auto* results = std::get_if<Murmex::Results>(&outcomes[i]);
                ASSERT_NE(results, nullptr) << "input " << i << " ran and keeps its text";
                for (const auto& result : *results) {
                    for (const auto& segment : result->segments()) kept.push_back(segment);
                }
            }
            ASSERT_TRUE(std::holds_alternative<std::exception_ptr>(outcomes[2]));
            EXPECT_THROW(std::rethrow_exception(std::get<std::exception_ptr>(outcomes[2])), halvex::CancellationError);
        } else {
            if (row.route == Route::chunked) options.chunkingStrategy = murmex::ChunkingStrategy::vad;
            const auto results = rig.pipeline->transcribe(seconds(150), options, nullptr, nullptr, stop.get_token());
            for (const auto& result : results) {
                for (const auto& segment : result->segments()) kept.push_back(segment);
            }
        }
        rig.decoder->waitForProgressCallbacks();

        EXPECT_EQ(rig.model->calls().size(), static_cast<std::size_t>(row.stopAtPrediction) + 1);
        ASSERT_FALSE(kept.empty());
        // The stopped window keeps the words decoded before the stop, and nothing follows it.
        std::string whole = "w1";
        for (int word = 2; word <= 20; ++word) whole += " w" + std::to_string(word);
        const std::string stopped = words(kept.back());
        EXPECT_FALSE(stopped.empty());
        EXPECT_LT(stopped.size(), whole.size());
        EXPECT_EQ(whole.substr(0, stopped.size()), stopped);
        std::lock_guard lock(mutex);
        ASSERT_EQ(kept.size(), delivered.size());
        for (std::size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(kept[i].text, delivered[i].text) << i;
        EXPECT_EQ(rig.pipeline->progress()->totalUnitCount(), 0) << "a stopped run leaves a fresh progress";
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
    const std::string speech = norvel::test::fixture("audio/jfk.flac").string();
    struct Case {
        const char* name;
        std::string path;
        bool giveTokenizer;
        std::vector<TranscriptionState> expectedStates;
        bool succeeds;
    };
    const Case cases[] = {
        {"transcribed",
         speech,
         true,
         {TranscriptionState::convertingAudio, TranscriptionState::transcribing, TranscriptionState::finished},
         true},
        {"no such file", "/nonexistent/speech.wav", true, {TranscriptionState::convertingAudio}, false},
        {"failed transcription",
         speech,
         false,
         {TranscriptionState::convertingAudio, TranscriptionState::transcribing, TranscriptionState::finished},
         false},
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
    auto error =
        thrownAs<WhisperError>([&] { bare.pipeline->transcribe(seconds(3), plainOptions(), nullptr, nullptr); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), WhisperError::Kind::tokenizerUnavailable);
    EXPECT_STREQ(error->what(), "Tokenizer is unavailable");
    EXPECT_EQ(bare.encoder->windows(), 0);
}

TEST(PipelineTranscription, CancellationEndsTheRunAndRenewsTheProgress) {
    // Before the task starts there is nothing to keep.
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
    // Between windows: the finished window is the result, and no further window is encoded.
    // Run after run, the progress starts afresh.
    {
        PipelineRig rig;
        for (int run = 0; run < 4; ++run) {
            SCOPED_TRACE(run);
            std::stop_source stop;
            const int windowsBefore = rig.encoder->windows();
            const auto results = rig.pipeline->transcribe(
                seconds(150), plainOptions(), nullptr, [&](const Segments&) { stop.request_stop(); }, stop.get_token());
            EXPECT_EQ(rig.encoder->windows() - windowsBefore, 1);
            ASSERT_EQ(results.size(), 1u);
            EXPECT_EQ(results[0]->segments().size(), 1u);
            EXPECT_EQ(rig.pipeline->progress()->totalUnitCount(), 0);
            EXPECT_EQ(rig.pipeline->progress()->fractionCompleted(), 0.0);
        }
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
