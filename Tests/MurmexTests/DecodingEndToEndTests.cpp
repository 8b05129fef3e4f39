#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <vector>

#include "Murmex/Audio/AudioEncoder.h"
#include "Murmex/Audio/AudioProcessor.h"
#include "Murmex/Audio/FeatureExtractor.h"
#include "Murmex/Decoding/SegmentSeeker.h"
#include "Murmex/Decoding/TextDecoder.h"
#include "Murmex/Decoding/TranscribeTask.h"
#include "Murmex/Model/ModelUtilities.h"
#include "Murmex/Model/ModelVariant.h"
#include "Support/Fixtures.h"
#include "Support/GeneratedModel.h"

namespace murmex {
namespace {

// The real stages over a generated model with random weights: the text means nothing, but
// every stage runs as it does for a user.
TEST(DecodingEndToEnd, GeneratedTinyModelTranscribesSpeechTheSameWayEveryTime) {
    norvel::test::TemporaryDirectory folder;
    norvel::test::generateModelFolder(folder.path());

    auto features = std::make_shared<FeatureExtractor>();
    features->loadModel(folder.path() / "MelSpectrogram.mlmodelc", platform::ComputeUnits::cpuOnly, false);
    auto encoder = std::make_shared<AudioEncoder>();
    encoder->loadModel(folder.path() / "AudioEncoder.mlmodelc", platform::ComputeUnits::cpuOnly, false);
    auto decoder = std::make_shared<TextDecoder>();
    decoder->loadModel(folder.path() / "TextDecoder.mlmodelc", platform::ComputeUnits::cpuOnly, false);
    auto tokenizer = ModelUtilities::loadTokenizer(ModelVariant::tiny, folder.path() / "no-hub-cache", {folder.path()});
    decoder->setTokenizer(tokenizer);
    decoder->setIsModelMultilingual(decoder->logitsSize() == 51865);

    const auto audio = AudioProcessor::loadAudioAsFloatArray(norvel::test::fixture("audio/jfk.flac").string());
    const float duration = static_cast<float>(audio.size()) / 16000.0f;
    ASSERT_GT(duration, 10.0f);

    auto transcribe = [&](DecodingOptions options) {
        TranscribeTask task(TranscriptionTimings(), nullptr, nullptr, encoder, features,
                            std::make_shared<SegmentSeeker>(), decoder, tokenizer);
        auto result = task.run(audio, options, [](const TranscriptionProgress&) { return std::optional<bool>(); });
        decoder->waitForProgressCallbacks();
        return result;
    };

    DecodingOptions options;
    options.temperatureFallbackCount = 0;  // temperature 0 only: the same tokens every time
    options.wordTimestamps = true;
    options.firstTokenLogProbThreshold = std::nullopt;  // random weights are never confident
    const auto first = transcribe(options);
    const auto second = transcribe(options);

    const auto segments = first->segments();
    ASSERT_FALSE(segments.empty());
    std::size_t wordCount = 0;
    for (const auto& segment : segments) {
        EXPECT_GE(segment.start, 0.0f);
        EXPECT_LE(segment.start, segment.end);
        EXPECT_LE(segment.end, duration);
        EXPECT_FALSE(segment.tokens.empty());
        for (const auto& word : segment.words.value_or(std::vector<WordTiming>{})) {
            ++wordCount;
            EXPECT_LE(word.start, word.end);
            EXPECT_LE(word.end, duration);
        }
    }
    EXPECT_GT(wordCount, 0u);
    EXPECT_EQ(segments, second->segments());
    EXPECT_EQ(first->text(), second->text());
    EXPECT_EQ(first->language(), "en");
    const auto timings = first->timings();
    EXPECT_GE(timings.totalEncodingRuns, 1.0);
    EXPECT_GT(timings.totalDecodingLoops, 0.0);
    EXPECT_LT(timings.firstTokenTime, std::numeric_limits<double>::max());
}

}  // namespace
}  // namespace murmex
