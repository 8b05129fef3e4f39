// Incremental file transcription through the pipeline facade, over scripted stages: a stream
// of chunks transcribed one after the other and moved to their places, its states, errors and
// completion signals; whole files read piece by piece, alone and in batches.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

#include "HalvexCore/External/Hub/CancellationError.h"
#include "Murmex/Audio/IncrementalFileChunk.h"
#include "Murmex/Model/WhisperError.h"
#include "Murmex/Pipeline/Murmex.h"
#include "MurmexTests/AudioTestSupport.h"
#include "MurmexTests/PipelineTestSupport.h"
#include "Support/Fixtures.h"

namespace {

using murmex::AudioInputOptions;
using murmex::DecodingOptions;
using murmex::IncrementalFileChunk;
using murmex::Murmex;
using murmex::TranscriptionSegment;
using murmex::TranscriptionState;
using murmex::WhisperError;
using norvel::test::thrownAs;
using namespace norvel::test::pipeline;

using Segments = std::vector<TranscriptionSegment>;
using States = std::vector<TranscriptionState>;

// A scripted pipeline whose stream transcription the tests may call.
class StreamPipeline : public ScriptedPipeline {
public:
    using Murmex::transcribeFileStream;
};

struct StreamRig : ScriptedPipelineRig<StreamPipeline> {
    StreamRig() {
        pipeline->setTranscriptionStateCallback([this](TranscriptionState state) { states.push_back(state); });
    }
    States states;
};

// A stream already holding chunks of `length` seconds of `value` at the given offsets, and
// maybe ended (with an error when one is given). Each completion signal counts in `signals`.
struct ChunkFeed {
    explicit ChunkFeed(std::shared_ptr<std::atomic<int>> signals = std::make_shared<std::atomic<int>>(0))
        : signals(std::move(signals)) {
        auto [made, continuation] = Murmex::FileChunkStream::makeStream();
        stream = std::make_unique<Murmex::FileChunkStream>(std::move(made));
        producer = std::make_unique<Murmex::FileChunkStream::Continuation>(std::move(continuation));
    }
    ChunkFeed& chunk(std::int64_t offset, int length, float value = 0.1f) {
        IncrementalFileChunk chunk;
        chunk.audioChunk.seekOffsetIndex = offset;
        chunk.audioChunk.audioSamples.assign(static_cast<std::size_t>(length) * 16000, value);
        chunk.completionSignal = [counter = signals] { ++*counter; };
        producer->yield(std::move(chunk));
        return *this;
    }
    ChunkFeed& end(std::exception_ptr error = nullptr) {
        producer->finish(error);
        return *this;
    }
    Murmex::FileChunkStream take() { return std::move(*stream); }

    std::shared_ptr<std::atomic<int>> signals;
    std::unique_ptr<Murmex::FileChunkStream> stream;
    std::unique_ptr<Murmex::FileChunkStream::Continuation> producer;
};

TEST(PipelinePeripheryIncremental, StreamChunksAreMovedToTheirPlacesAndOrdered) {
    StreamRig rig;
    std::mutex mutex;
    std::vector<Segments> discovered;
    rig.pipeline->setSegmentDiscoveryCallback([&](const Segments& segments) {
        std::lock_guard lock(mutex);
        discovered.push_back(segments);
    });
    ChunkFeed feed;
    // Delivered out of order: 60 s, 0 s, 30 s.
    feed.chunk(960000, 5).chunk(0, 4).chunk(480000, 3).end();
    const auto results = rig.pipeline->transcribeFileStream(feed.take(), plainOptions(), nullptr, true);

    EXPECT_EQ(rig.states, (States{TranscriptionState::transcribing, TranscriptionState::finished}));
    EXPECT_EQ(*feed.signals, 3);
    ASSERT_EQ(results.size(), 3u);
    struct Expected {
        float seekTime;
        std::int64_t seek;
        float end;
    };
    const Expected expected[] = {{0.0f, 0, 4.0f}, {30.0f, 480000, 33.0f}, {60.0f, 960000, 65.0f}};
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(results[i]->seekTime(), expected[i].seekTime);
        const auto segments = results[i]->segments();
        ASSERT_EQ(segments.size(), 1u);
        EXPECT_EQ(segments[0].seek, expected[i].seek);
        EXPECT_EQ(segments[0].start, expected[i].seekTime);
        EXPECT_EQ(segments[0].end, expected[i].end);
    }
    // The window segments reach the instance's receiver already at their places.
    std::lock_guard lock(mutex);
    ASSERT_EQ(discovered.size(), 3u);
    EXPECT_EQ(discovered[0][0].seek, 960000);
    EXPECT_EQ(discovered[0][0].start, 60.0f);
    EXPECT_EQ(discovered[1][0].seek, 0);
    EXPECT_EQ(discovered[2][0].seek, 480000);
}

// A stop request ends the stream with the prediction under way: the chunks transcribed until
// then (the stopped one with its words so far, and without a segment when it had none) are
// returned, and no further chunk is read.
TEST(PipelinePeripheryIncremental, AStopKeepsTheChunksTranscribedSoFarAndReadsNoMore) {
    // The first chunk takes predictions 0 to 5; the second's prompt takes 6 to 9, the last of
    // which gives its first word.
    const struct {
        int stopAtPrediction;
        std::size_t stoppedChunkSegments;
    } cases[] = {{8, 0}, {9, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stopAtPrediction);
        StreamRig rig;
        std::stop_source stop;
        rig.model->setBeforePrediction([&](int prediction) {
            if (prediction == c.stopAtPrediction) stop.request_stop();
        });
        ChunkFeed feed;
        feed.chunk(0, 30).chunk(480000, 30).chunk(960000, 30).end();
        const auto results =
            rig.pipeline->transcribeFileStream(feed.take(), plainOptions(), nullptr, true, stop.get_token());

        EXPECT_EQ(rig.model->calls().size(), std::size_t(c.stopAtPrediction + 1));
        EXPECT_EQ(rig.states, (States{TranscriptionState::transcribing, TranscriptionState::finished}));
        EXPECT_EQ(*feed.signals, 2) << "the third chunk was never taken";
        ASSERT_EQ(results.size(), 2u);
        EXPECT_EQ(results[0]->seekTime(), 0.0f);
        EXPECT_EQ(results[0]->segments().size(), 1u);
        EXPECT_EQ(results[1]->seekTime(), 30.0f);
        ASSERT_EQ(results[1]->segments().size(), c.stoppedChunkSegments);
        for (const auto& segment : results[1]->segments()) {
            EXPECT_EQ(segment.seek, 480000);
            EXPECT_FALSE(segment.text.empty());
        }
    }

    // Stopped before any chunk: nothing to keep.
    StreamRig early;
    std::stop_source stopped;
    stopped.request_stop();
    ChunkFeed unread;
    unread.chunk(0, 30).end();
    EXPECT_THROW(
        early.pipeline->transcribeFileStream(unread.take(), plainOptions(), nullptr, true, stopped.get_token()),
        halvex::CancellationError);
    EXPECT_EQ(early.states, (States{TranscriptionState::transcribing, TranscriptionState::finished}));
    EXPECT_TRUE(early.model->calls().empty());
}

TEST(PipelinePeripheryIncremental, StreamErrorsEndTheTranscriptionAfterReportingItsEnd) {
    DecodingOptions clipped = plainOptions();
    clipped.clipTimestamps = {1.0f};
    struct Case {
        const char* name;
        std::function<void(ChunkFeed&)> feed;
        DecodingOptions options;
        bool emitStates;
        States states;
        int signals;
        std::string message;  // empty: success with no results
    };
    const Case cases[] = {
        {"an empty stream",
         [](ChunkFeed& feed) { feed.end(); },
         plainOptions(),
         true,
         {TranscriptionState::transcribing, TranscriptionState::finished},
         0,
         ""},
        {"states off", [](ChunkFeed& feed) { feed.chunk(0, 3).end(); }, plainOptions(), false, {}, 1, ""},
        {"clip times, refused before anything",
         [](ChunkFeed& feed) { feed.chunk(0, 3).end(); },
         clipped,
         true,
         {},
         0,
         "clipTimestamps is not supported with AudioLoadingMode.incremental. Use .fullFile, or transcribe the "
         "desired range as a separate call."},
        {"a failing second chunk",
         [](ChunkFeed& feed) { feed.chunk(0, 3).chunk(48000, 3, 0.7f).chunk(96000, 3).end(); },
         plainOptions(),
         true,
         {TranscriptionState::transcribing, TranscriptionState::finished},
         2,
         "Mel output is nil"},
        {"a stream that ends with an error",
         [](ChunkFeed& feed) {
             feed.chunk(0, 3).end(std::make_exception_ptr(WhisperError::loadAudioFailed("the file broke off")));
         },
         plainOptions(),
         true,
         {TranscriptionState::transcribing, TranscriptionState::finished},
         1,
         "the file broke off"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        StreamRig rig;
        rig.pipeline->setFeatureExtractor(std::make_shared<PickyFeatureExtractor>(0, 0.7f));
        ChunkFeed feed;
        row.feed(feed);
        Murmex::Results results;
        const auto error = thrownAs<WhisperError>(
            [&] { results = rig.pipeline->transcribeFileStream(feed.take(), row.options, nullptr, row.emitStates); });
        EXPECT_EQ(rig.states, row.states);
        EXPECT_EQ(*feed.signals, row.signals) << "each chunk read is signalled complete, also a failed one";
        if (row.message.empty()) {
            EXPECT_FALSE(error.has_value());
            EXPECT_EQ(results.size(), static_cast<std::size_t>(row.signals));
        } else {
            ASSERT_TRUE(error.has_value());
            EXPECT_EQ(error->message(), row.message);
        }
    }
}

// 70 s of sound with pauses at 24-25 s and 50-51 s.
std::vector<float> seventySeconds() {
    std::vector<float> samples(70 * 16000, 0.1f);
    for (int pause : {24, 50}) std::fill(samples.begin() + pause * 16000, samples.begin() + (pause + 1) * 16000, 0.0f);
    return samples;
}

AudioInputOptions incremental(double pieceSeconds = 20, int slots = 1) {
    AudioInputOptions options;
    options.audioLoadingMode = AudioInputOptions::AudioLoadingMode::incremental(pieceSeconds, slots);
    return options;
}

TEST(PipelinePeripheryIncremental, AFileReadPieceByPieceIsTranscribedChunkByChunk) {
    norvel::test::TemporaryDirectory folder;
    const auto path = folder / "long.wav";
    murmex::test::writeFloatWav(path, {seventySeconds()}, 16000);

    StreamRig rig;
    LogCapture log;
    const auto results = rig.pipeline->transcribe(path.string(), incremental(), plainOptions(), nullptr);
    EXPECT_EQ(rig.states, (States{TranscriptionState::transcribing, TranscriptionState::finished}));
    // Cut in the middle of each pause.
    ASSERT_EQ(results.size(), 3u);
    const float starts[] = {0.0f, 24.5f, 50.5f};
    const float ends[] = {24.5f, 50.5f, 70.0f};
    double transcribing = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(results[i]->seekTime(), starts[i]);
        const auto segments = results[i]->segments();
        ASSERT_EQ(segments.size(), 1u);
        EXPECT_EQ(segments[0].start, starts[i]);
        EXPECT_EQ(segments[0].end, ends[i]);
        EXPECT_EQ(segments[0].seek, static_cast<std::int64_t>(starts[i] * 16000));
        transcribing += results[i]->timings().fullPipeline;
    }
    // The loading time covers reading and transcribing alike.
    EXPECT_GE(rig.pipeline->currentTimings().audioLoading, transcribing);
    EXPECT_TRUE(log.contains("Audio streaming and transcription time: "));

    // A file that cannot be had: the loader's error, the time still taken, no state.
    StreamRig missing;
    const auto error = thrownAs<WhisperError>(
        [&] { missing.pipeline->transcribe((folder / "none.wav").string(), incremental(), plainOptions(), nullptr); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), WhisperError::Kind::loadAudioFailed);
    EXPECT_TRUE(missing.states.empty());
    EXPECT_GT(missing.pipeline->currentTimings().audioLoading, 0.0);
}

TEST(PipelinePeripheryIncremental, FilesStreamedInABatchHaveTheirOwnOutcomes) {
    norvel::test::TemporaryDirectory folder;
    const auto first = folder / "first.wav";
    const auto third = folder / "third.wav";
    murmex::test::writeFloatWav(first, {seventySeconds()}, 16000);
    murmex::test::writeFloatWav(third, {std::vector<float>(10 * 16000, 0.1f)}, 16000);

    StreamRig rig;
    DecodingOptions options = plainOptions();
    options.concurrentWorkerCount = 2;
    const auto outcomes = rig.pipeline->transcribeWithResults(
        {first.string(), (folder / "missing.wav").string(), third.string()}, incremental(30, 2), options, nullptr);
    EXPECT_EQ(rig.states, (States{TranscriptionState::transcribing, TranscriptionState::finished}))
        << "the files' own stream transcriptions report nothing";
    ASSERT_EQ(outcomes.size(), 3u);
    const auto* streamed = std::get_if<Murmex::Results>(&outcomes[0]);
    ASSERT_NE(streamed, nullptr);
    ASSERT_EQ(streamed->size(), 3u);
    EXPECT_EQ((*streamed)[2]->segments().at(0).end, 70.0f);
    ASSERT_TRUE(std::holds_alternative<std::exception_ptr>(outcomes[1]));
    try {
        std::rethrow_exception(std::get<std::exception_ptr>(outcomes[1]));
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.message(), "Audio file not found at path: " + (folder / "missing.wav").string());
    } catch (...) {
        ADD_FAILURE() << "not the loader's error";
    }
    const auto* shortFile = std::get_if<Murmex::Results>(&outcomes[2]);
    ASSERT_NE(shortFile, nullptr);
    ASSERT_EQ(shortFile->size(), 1u);
    EXPECT_EQ(shortFile->at(0)->segments().at(0).end, 10.0f);
    EXPECT_GT(rig.pipeline->currentTimings().audioProcessing, 0.0);

    StreamRig empty;
    LogCapture log;
    EXPECT_TRUE(
        empty.pipeline->transcribeWithResults(std::vector<std::string>{}, incremental(), options, nullptr).empty());
    EXPECT_EQ(empty.states, (States{TranscriptionState::transcribing, TranscriptionState::finished}));
    EXPECT_TRUE(log.contains("Total Audio Streaming and Transcription Time: "));
}

}  // namespace
