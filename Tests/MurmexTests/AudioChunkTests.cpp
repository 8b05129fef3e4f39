#include "AudioTestSupport.h"

#include "Murmex/Audio/EnergyVAD.h"
#include "Murmex/Audio/VADAudioChunker.h"
#include "Murmex/Model/TranscriptionResult.h"
#include "Murmex/Model/WhisperError.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using murmex::AudioChunk;
using murmex::DecodingOptions;
using murmex::EnergyVAD;
using murmex::TranscriptionResult;
using murmex::TranscriptionResultsOrError;
using murmex::TranscriptionSegment;
using murmex::VADAudioChunker;
using murmex::WhisperError;
using murmex::WordTiming;
namespace support = murmex::test;

constexpr int kRate = 16000;
constexpr int kWindow = 480000;

// `seconds` of loud noise-like tone (every 0.1-s frame well above the detector's threshold) with
// the given stretches (seconds) set to silence. Every sample differs from its neighbours, so a
// chunk's samples show exactly where it was cut from.
std::vector<float> speechWithSilences(double seconds, const std::vector<std::pair<double, double>>& silences) {
    std::vector<float> samples(static_cast<size_t>(std::llround(seconds * kRate)));
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = 0.3f * static_cast<float>(std::sin(0.37 * double(i)) + 0.5 * std::sin(0.011 * double(i)));
    }
    for (const auto& [from, to] : silences) {
        for (auto i = static_cast<size_t>(std::llround(from * kRate));
             i < static_cast<size_t>(std::llround(to * kRate)); ++i) {
            samples[i] = 0.0f;
        }
    }
    return samples;
}

std::vector<std::pair<int64_t, int64_t>> rangesOf(const std::vector<AudioChunk>& chunks) {
    std::vector<std::pair<int64_t, int64_t>> ranges;
    for (const auto& chunk : chunks) {
        ranges.emplace_back(chunk.seekOffsetIndex, chunk.seekOffsetIndex + int64_t(chunk.audioSamples.size()));
    }
    return ranges;
}

TEST(AudioChunker, CutsInTheMiddleOfTheLongestSilenceNearTheWindowsEnd) {
    struct Case {
        const char* name;
        double seconds;
        std::vector<std::pair<double, double>> silences;
        std::vector<float> clipTimestamps;
        int frameLength;  // of the detector, in samples
        int windowPadding;
        std::vector<std::pair<int64_t, int64_t>> chunks;
    };
    const std::vector<Case> cases{
        // The search covers 15-30 s; the silence's frames are 90-99 of it, the middle one starts at 24.5 s.
        {"silence at 24-25 s", 40, {{24.0, 25.0}}, {}, 1600, 16000, {{0, 392000}, {392000, 640000}}},
        // Silence in the first half of the window is never looked at: the chunk takes the whole window.
        {"silence only before 15 s", 40, {{5.0, 9.0}}, {}, 1600, 16000, {{0, 480000}, {480000, 640000}}},
        // Of two silences the longer wins, whichever comes first.
        {"longer silence wins", 40, {{17.0, 17.5}, {26.0, 27.5}}, {}, 1600, 16000, {{0, 427200}, {427200, 640000}}},
        // The last 8000 samples lie within the padding after the cut and form no chunk.
        {"tail within the padding", 30.5, {}, {}, 1600, 16000, {{0, 480000}}},
        {"tail beyond a small padding", 30.5, {}, {}, 1600, 4000, {{0, 480000}, {480000, 488000}}},
        // The middle frame depends on the detector's frame length: frames of 1600 give frame 94 of
        // the silent 90-98, frames of 800 give frame 189 of the silent 180-197.
        {"frames of 1600", 40, {{24.0, 24.9}}, {}, 1600, 16000, {{0, 390400}, {390400, 640000}}},
        {"frames of 800", 40, {{24.0, 24.9}}, {}, 800, 16000, {{0, 391200}, {391200, 640000}}},
        // A long stretch becomes a run of chunks, each cut at its own silence.
        {"three windows",
         75,
         {{20.0, 21.0}, {45.0, 46.0}},
         {},
         1600,
         16000,
         {{0, 328000}, {328000, 728000}, {728000, 1200000}}},
        // Clip times choose the stretches that are chunked.
        {"one clip", 60, {}, {10.0f, 20.0f}, 1600, 16000, {{160000, 320000}}},
        {"two clips", 60, {}, {0.0f, 5.0f, 40.0f}, 1600, 16000, {{0, 80000}, {640000, 960000}}},
        {"clip not longer than the padding", 60, {}, {10.0f, 10.5f}, 1600, 16000, {}},
        {"clip from past the end to the end", 60, {}, {70.0f}, 1600, 16000, {}},
        // A clip that ends beyond the audio ends where the audio ends.
        {"clip end past the end", 60, {}, {50.0f, 80.0f}, 1600, 16000, {{800000, 960000}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto audio = speechWithSilences(c.seconds, c.silences);
        VADAudioChunker chunker(c.windowPadding, std::make_shared<EnergyVAD>(kRate, c.frameLength, 0, 0.02f));
        std::optional<DecodingOptions> options;
        if (!c.clipTimestamps.empty()) {
            options = DecodingOptions();
            options->clipTimestamps = c.clipTimestamps;
        }
        const auto chunks = chunker.chunkAll(audio, kWindow, options);
        EXPECT_EQ(rangesOf(chunks), c.chunks);
        for (const auto& chunk : chunks) {
            ASSERT_LE(chunk.audioSamples.size(), size_t(kWindow));
            const auto from = audio.begin() + chunk.seekOffsetIndex;
            EXPECT_TRUE(std::equal(chunk.audioSamples.begin(), chunk.audioSamples.end(), from))
                << "chunk at " << chunk.seekOffsetIndex << " is not a copy of its samples";
        }
    }
}

TEST(AudioChunker, AudioOfOneWindowIsOneChunkWhateverTheOptions) {
    // Clip times that would fail on longer audio are not even looked at.
    DecodingOptions options;
    options.clipTimestamps = {70.0f, 80.0f};
    VADAudioChunker chunker;
    for (size_t length : {size_t(0), size_t(1000), size_t(kWindow)}) {
        SCOPED_TRACE(length);
        const auto audio = speechWithSilences(double(length) / kRate, {});
        const auto chunks = chunker.chunkAll(audio, kWindow, options);
        ASSERT_EQ(chunks.size(), 1u);
        EXPECT_EQ(chunks[0].seekOffsetIndex, 0);
        EXPECT_EQ(chunks[0].audioSamples, audio);
    }
}

TEST(AudioChunker, StandardDetectorAndLogLines) {
    VADAudioChunker chunker;
    EXPECT_EQ(chunker.windowPadding(), 16000);
    const auto* detector = dynamic_cast<const EnergyVAD*>(chunker.vad().get());
    ASSERT_NE(detector, nullptr);
    EXPECT_EQ(detector->frameLengthSamples(), 1600);
    EXPECT_EQ(detector->frameOverlapSamples(), 0);
    EXPECT_FLOAT_EQ(detector->energyThreshold(), 0.02f);

    support::LogCapture log;
    const auto chunks = chunker.chunkAll(speechWithSilences(40, {{24.0, 25.0}}), kWindow, std::nullopt);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_TRUE(log.hasLine("Found chunk from 0.00 to 24.50"));
    EXPECT_TRUE(log.hasLine("Found chunk from 24.50 to 40.00"));
}

TEST(AudioChunker, ClipsStartingOutsideTheAudioAndUnusableLengthsAreRefused) {
    const auto audio = speechWithSilences(60, {});
    VADAudioChunker chunker;
    struct Case {
        std::vector<float> clipTimestamps;
        int maxChunkLength;
        std::string message;
    };
    const std::vector<Case> cases{
        {{70.0f, 80.0f}, kWindow, "startIndex is outside the buffer size"},
        {{-1.0f, 20.0f}, kWindow, "startIndex is outside the buffer size"},
        {{}, 0, "Chunk length must be greater than 0"},
        {{}, -5, "Chunk length must be greater than 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        DecodingOptions options;
        options.clipTimestamps = c.clipTimestamps;
        try {
            chunker.chunkAll(audio, c.maxChunkLength, options);
            ADD_FAILURE() << "no error";
        } catch (const WhisperError& error) {
            EXPECT_EQ(error.kind(), WhisperError::Kind::audioProcessingFailed);
            EXPECT_EQ(error.message(), c.message);
        }
    }
}

TranscriptionSegment segment(int id, int64_t seek, float start, float end, bool withWords) {
    TranscriptionSegment s;
    s.id = id;
    s.seek = seek;
    s.start = start;
    s.end = end;
    s.text = " text " + std::to_string(id);
    s.tokens = {id, id + 1};
    s.tokenLogProbs = {{{id, -0.5f}}};
    s.temperature = 0.2f;
    s.avgLogprob = -0.3f;
    s.compressionRatio = 1.5f;
    s.noSpeechProb = 0.1f;
    if (withWords) {
        s.words = std::vector<WordTiming>{{" text", {id}, start, start + 0.5f, 0.9f},
                                          {" more", {id + 1}, start + 0.5f, end, 0.8f}};
    }
    return s;
}

TEST(AudioChunkResults, SegmentsAndWordsMoveToTheirPlaceInTheWholeAudio) {
    struct Case {
        int64_t chunkOffset;
        float seconds;      // the offset in seconds, single precision
        int64_t seekShift;  // read back from the seconds: one short for some offsets
    };
    for (Case c : {Case{480000, 30.0f, 480000}, Case{0, 0.0f, 0}, Case{251, 251.0f / 16000.0f, 250}}) {
        SCOPED_TRACE(c.chunkOffset);
        const std::vector<TranscriptionSegment> original{segment(0, 0, 0.0f, 2.5f, true),
                                                         segment(1, 32000, 2.5f, 4.0f, false)};
        auto result = std::make_shared<TranscriptionResult>("text", original, "en");
        const std::vector<AudioChunk> chunks{AudioChunk{c.chunkOffset, {}}};
        VADAudioChunker chunker;
        const auto updated = chunker.updateSeekOffsetsForResults(
            {TranscriptionResultsOrError{std::vector<std::shared_ptr<TranscriptionResult>>{result}}}, chunks);
        ASSERT_EQ(updated.size(), 1u);
        EXPECT_EQ(updated[0], result) << "the result is changed in place";
        EXPECT_EQ(result->seekTime(), std::optional<float>(c.seconds));

        const auto moved = result->segments();
        ASSERT_EQ(moved.size(), original.size());
        for (size_t i = 0; i < moved.size(); ++i) {
            auto expected = original[i];
            expected.seek += c.seekShift;
            expected.start += c.seconds;
            expected.end += c.seconds;
            if (expected.words) {
                for (auto& word : *expected.words) {
                    word.start += c.seconds;
                    word.end += c.seconds;
                }
            }
            EXPECT_EQ(moved[i], expected) << "segment " << i;
        }
        EXPECT_EQ(result->text(), "text");
        EXPECT_EQ(result->language(), "en");
    }
}

TEST(AudioChunkResults, FailedChunksAreLeftOutAndTheOthersKeepTheirOrder) {
    auto first = std::make_shared<TranscriptionResult>("a", std::vector{segment(0, 0, 1.0f, 2.0f, false)});
    auto second = std::make_shared<TranscriptionResult>("b", std::vector{segment(0, 0, 0.5f, 1.0f, false)});
    auto third = std::make_shared<TranscriptionResult>("c", std::vector{segment(1, 0, 3.0f, 4.0f, false)});
    const std::vector<AudioChunk> chunks{{0, {}}, {480000, {}}, {960000, {}}};
    const std::vector<TranscriptionResultsOrError> outcomes{
        std::vector<std::shared_ptr<TranscriptionResult>>{first},
        std::make_exception_ptr(std::runtime_error("decoder failed")),
        std::vector<std::shared_ptr<TranscriptionResult>>{second, third},
    };
    support::LogCapture log;
    const auto updated = VADAudioChunker().updateSeekOffsetsForResults(outcomes, chunks);
    ASSERT_EQ(updated.size(), 3u);
    EXPECT_EQ(updated[0], first);
    EXPECT_EQ(updated[1], second);
    EXPECT_EQ(updated[2], third);
    EXPECT_FLOAT_EQ(first->segments()[0].start, 1.0f);
    EXPECT_FLOAT_EQ(second->segments()[0].start, 60.5f);
    EXPECT_EQ(third->segments()[0].seek, 960000);
    EXPECT_TRUE(log.hasLine("Error transcribing chunk 1: decoder failed"));
}

TEST(AudioChunkResultsDeathTest, OutcomesAndChunksOfDifferentLengthsStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::vector<AudioChunk> chunks{{0, {}}, {480000, {}}};
    const std::vector<TranscriptionResultsOrError> outcomes{std::vector<std::shared_ptr<TranscriptionResult>>{}};
    EXPECT_DEATH(VADAudioChunker().updateSeekOffsetsForResults(outcomes, chunks), "one outcome per chunk");
}

}  // namespace
