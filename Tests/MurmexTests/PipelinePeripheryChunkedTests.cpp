// The voice-activity route of the pipeline facade, over scripted stages: long audio cut at
// silences, chunks transcribed as a batch, and their segments put back at their places.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "HalvexCore/External/Hub/CancellationError.h"
#include "Murmex/Model/WhisperError.h"
#include "Murmex/Pipeline/Murmex.h"
#include "MurmexTests/PipelineTestSupport.h"

namespace {

using murmex::DecodingOptions;
using murmex::TranscriptionSegment;
using murmex::WhisperError;
using norvel::test::thrownAs;
using namespace norvel::test::pipeline;

using Segments = std::vector<TranscriptionSegment>;

DecodingOptions chunked() {
    DecodingOptions options = plainOptions();
    options.chunkingStrategy = murmex::ChunkingStrategy::vad;
    return options;
}

// 40 s of sound with one quiet second, 24 to 25 s: the chunker cuts at 24.5 s. The sound
// before the pause is 0.1, after it 0.3, so a window's sample at 1 s tells its chunk.
std::vector<float> speechWithOnePause() {
    std::vector<float> samples(40 * 16000, 0.1f);
    std::fill(samples.begin() + 24 * 16000, samples.begin() + 25 * 16000, 0.0f);
    std::fill(samples.begin() + 25 * 16000, samples.end(), 0.3f);
    return samples;
}

TEST(PipelinePeripheryChunked, ChunksAreTranscribedAndPutBackAtTheirPlaces) {
    for (const std::int64_t arrayOffset : {std::int64_t{0}, std::int64_t{32000}}) {
        SCOPED_TRACE(arrayOffset);
        PipelineRig rig;
        std::mutex mutex;
        std::vector<Segments> discovered;
        rig.pipeline->setSegmentDiscoveryCallback([&](const Segments& segments) {
            std::lock_guard lock(mutex);
            discovered.push_back(segments);
        });
        Segments ignored;
        const auto results = rig.pipeline->transcribe(speechWithOnePause(), arrayOffset, chunked(), nullptr,
                                                      [&](const Segments& segments) { ignored = segments; });

        // Two chunks: 0 to 24.5 s and 24.5 to 40 s, each one window with one segment.
        EXPECT_EQ(rig.encoder->windows(), 2);
        ASSERT_EQ(results.size(), 2u);
        EXPECT_EQ(results[0]->seekTime(), 0.0f);
        EXPECT_EQ(results[1]->seekTime(), 24.5f);
        const auto first = results[0]->segments();
        const auto second = results[1]->segments();
        ASSERT_EQ(first.size(), 1u);
        ASSERT_EQ(second.size(), 1u);
        EXPECT_EQ(first[0].seek, 0);
        EXPECT_EQ(first[0].start, 0.0f);
        EXPECT_EQ(first[0].end, 24.5f);
        EXPECT_EQ(second[0].seek, 392000) << "the results move by the chunk's place, not by the array's offset";
        EXPECT_EQ(second[0].start, 24.5f);
        EXPECT_EQ(second[0].end, 40.0f);
        EXPECT_EQ(results[1]->text(), "w1 w2");

        // The window segments reach the instance's receiver, moved by the array's offset too;
        // the call's own receiver is not used on this route.
        EXPECT_TRUE(ignored.empty());
        std::lock_guard lock(mutex);
        ASSERT_EQ(discovered.size(), 2u);
        std::sort(discovered.begin(), discovered.end(),
                  [](const Segments& a, const Segments& b) { return a[0].seek < b[0].seek; });
        EXPECT_EQ(discovered[0][0].seek, arrayOffset);
        EXPECT_EQ(discovered[1][0].seek, 392000 + arrayOffset);
        EXPECT_FLOAT_EQ(discovered[1][0].start, 24.5f + static_cast<float>(arrayOffset) / 16000.0f);
    }
}

TEST(PipelinePeripheryChunked, ClipRangesChooseTheChunksAndAreNotAppliedTwice) {
    PipelineRig rig;
    DecodingOptions options = chunked();
    options.clipTimestamps = {10.0f, 20.0f};
    const auto results = rig.pipeline->transcribe(seconds(60), options, nullptr, nullptr);
    ASSERT_EQ(results.size(), 1u);
    const auto segments = results[0]->segments();
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_EQ(segments[0].seek, 160000);
    EXPECT_EQ(segments[0].start, 10.0f);
    EXPECT_EQ(segments[0].end, 20.0f);
    EXPECT_EQ(rig.features->windowLengths().size(), 1u);
}

TEST(PipelinePeripheryChunked, FailedChunksAreLeftOutUnlessNothingSucceeded) {
    // One failing chunk among good ones is dropped.
    {
        murmex::MurmexConfig::Arguments arguments;
        ScriptedPipelineRig<> rig(speaksWords(2), arguments);
        rig.pipeline->setFeatureExtractor(std::make_shared<PickyFeatureExtractor>(16000, 0.3f));
        const auto results = rig.pipeline->transcribe(speechWithOnePause(), chunked(), nullptr, nullptr);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0]->seekTime(), 0.0f);
        EXPECT_EQ(results[0]->segments().at(0).end, 24.5f);
    }
    // When every chunk failed, the failure is the caller's: not an empty success.
    {
        PipelineRig rig;
        rig.features->fail = true;
        const auto error = thrownAs<WhisperError>(
            [&] { rig.pipeline->transcribe(speechWithOnePause(), chunked(), nullptr, nullptr); });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->message(), "Mel output is nil");
    }
    // A cancelled run ends with the cancellation.
    {
        PipelineRig rig;
        std::stop_source stop;
        stop.request_stop();
        EXPECT_THROW(rig.pipeline->transcribe(speechWithOnePause(), chunked(), nullptr, nullptr, stop.get_token()),
                     halvex::CancellationError);
    }
    // A clip that starts past the audio fails before any chunk is transcribed.
    {
        PipelineRig rig;
        DecodingOptions options = chunked();
        options.clipTimestamps = {70.0f, 80.0f};
        const auto error =
            thrownAs<WhisperError>([&] { rig.pipeline->transcribe(seconds(60), options, nullptr, nullptr); });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->kind(), WhisperError::Kind::audioProcessingFailed);
        EXPECT_EQ(rig.encoder->windows(), 0);
    }
}

}  // namespace
