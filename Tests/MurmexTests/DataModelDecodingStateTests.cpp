// Decoder state records, the fallback rule, the model feature records and the stage
// interfaces as a replacement stage implements them.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "Murmex/Audio/AudioChunking.h"
#include "Murmex/Decoding/DecodingInputs.h"
#include "Murmex/Model/AudioEncoding.h"
#include "Murmex/Model/AudioProcessing.h"
#include "Murmex/Model/DecodingState.h"
#include "Murmex/Model/FeatureExtracting.h"
#include "Murmex/Model/ModelFeatureRecords.h"
#include "Platform/ML/MLError.h"

namespace murmex {
namespace {

using platform::Float16;
using platform::MultiArray;
using platform::MultiArrayDataType;

// Inputs laid out as the text decoder builds them, for a cache of `s` positions.
std::shared_ptr<DecodingInputs> makeInputs(int e, int s, int w) {
    MultiArray updateMask({1, s}, MultiArrayDataType::int32, std::int32_t{0});
    MultiArray paddingMask({1, s}, MultiArrayDataType::float16, Float16(-10000.0f));
    updateMask.setValue(std::int64_t{0}, 1);
    paddingMask.setValue(std::int64_t{0}, 0);
    return std::make_shared<DecodingInputs>(
        std::vector<int>{50258}, MultiArray({1}, MultiArrayDataType::int32, std::int32_t{0}),
        MultiArray({1}, MultiArrayDataType::int32, std::int32_t{0}),
        MultiArray({1, e, 1, s}, MultiArrayDataType::float16, Float16(0.0f)),
        MultiArray({1, e, 1, s}, MultiArrayDataType::float16, Float16(0.0f)),
        MultiArray({s, w}, MultiArrayDataType::float16, Float16(0.0f)), updateMask, paddingMask);
}

// Moves the inputs as decoding steps do: the cache fills, the masks advance.
void advance(DecodingInputs& inputs, int steps) {
    for (int step = 0; step < steps; ++step) {
        inputs.cacheLength().setValue(std::int64_t{0}, step + 1);
        inputs.kvCacheUpdateMask().setValue(std::int64_t{step}, 0);
        inputs.kvCacheUpdateMask().setValue(std::int64_t{step + 1}, 1);
        inputs.decoderKeyPaddingMask().setValue(std::int64_t{step + 1}, 0);
        inputs.keyCache().setValue({0, 0, 0, step}, 0.5);
    }
    inputs.inputIds().setValue(std::int64_t{0}, 440);
}

TEST(DataModelDecodingInputs, ResetReturnsTheMasksToTheirStartState) {
    auto inputs = makeInputs(4, 224, 8);
    advance(*inputs, 10);
    inputs->reset(224);
    EXPECT_EQ(inputs->cacheLength().value(std::int64_t{0}), 0);
    EXPECT_EQ(inputs->decoderKeyPaddingMask().value(std::int64_t{0}), 0);
    EXPECT_EQ(inputs->kvCacheUpdateMask().value(std::int64_t{0}), 1);
    for (std::int64_t i = 1; i < 224; ++i) {
        ASSERT_EQ(inputs->decoderKeyPaddingMask().value(i), -10000) << i;
        ASSERT_EQ(inputs->kvCacheUpdateMask().value(i), 0) << i;
    }
    // -10000 is exact in half precision.
    EXPECT_EQ(inputs->decoderKeyPaddingMask().data<Float16>()[5].bitPattern(), 0xF0E2);
    // Prompt, current token and the cached keys are kept.
    EXPECT_EQ(inputs->initialPrompt(), std::vector<int>{50258});
    EXPECT_EQ(inputs->inputIds().value(std::int64_t{0}), 440);
    EXPECT_EQ(inputs->keyCache().value({0, 0, 0, 9}), 0.5);
}

TEST(DataModelDecodingInputs, ResetStaysInsideShortAndPartialMasks) {
    // A context of 1 writes element 0 only.
    auto inputs = makeInputs(2, 16, 4);
    advance(*inputs, 3);
    inputs->reset(1);
    EXPECT_EQ(inputs->kvCacheUpdateMask().value(std::int64_t{0}), 1);
    EXPECT_EQ(inputs->kvCacheUpdateMask().value(std::int64_t{3}), 1);
    EXPECT_EQ(inputs->decoderKeyPaddingMask().value(std::int64_t{2}), 0);

    // A cache shorter than the context is reset to its end and nothing is written past it:
    // masks that are views into a larger block show whether a write went beyond them.
    auto block = std::make_shared<std::vector<std::int32_t>>(64, 7);
    MultiArray view = MultiArray::wrapping(block, block->data(), {1, 32}, MultiArrayDataType::int32, {32, 1});
    auto shortInputs = makeInputs(2, 32, 4);
    shortInputs->kvCacheUpdateMask() = view;
    shortInputs->reset(224);
    EXPECT_EQ((*block)[0], 1);
    for (int i = 1; i < 32; ++i) EXPECT_EQ((*block)[static_cast<std::size_t>(i)], 0) << i;
    for (int i = 32; i < 64; ++i) EXPECT_EQ((*block)[static_cast<std::size_t>(i)], 7) << i;
    EXPECT_EQ(shortInputs->decoderKeyPaddingMask().value(std::int64_t{31}), -10000);
}

TEST(DataModelDecodingFallback, RuleOrderAndStrictComparisons) {
    const DecodingOptions defaults;  // no-speech 0.6, compression 2.4, log-prob -1.0
    DecodingOptions unset = defaults;
    unset.noSpeechThreshold = unset.compressionRatioThreshold = unset.logProbThreshold = std::nullopt;
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();

    struct Case {
        const char* name;
        const DecodingOptions& options;
        bool firstTokenTooLow;
        float noSpeech, compression, avgLogProb;
        std::optional<DecodingFallback> expected;
    };
    const std::vector<Case> cases = {
        {"nothing set", unset, false, 0.9f, 9.0f, -9.0f, std::nullopt},
        {"first token wins", defaults, true, 0.9f, 9.0f, -9.0f, DecodingFallback{true, "firstTokenLogProbThreshold"}},
        {"silence before compression", defaults, false, 0.7f, 3.0f, 0.0f, DecodingFallback{false, "silence"}},
        {"compression", defaults, false, 0.1f, 3.0f, -9.0f, DecodingFallback{true, "compressionRatioThreshold"}},
        {"infinite compression", defaults, false, 0.1f, inf, 0.0f, DecodingFallback{true, "compressionRatioThreshold"}},
        {"log probability", defaults, false, 0.1f, 1.0f, -1.5f, DecodingFallback{true, "logProbThreshold"}},
        {"equal values do not trigger", defaults, false, 0.6f, 2.4f, -1.0f, std::nullopt},
        {"NaN never triggers", defaults, false, nan, nan, nan, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DecodingFallback::make(c.options, c.firstTokenTooLow, c.noSpeech, c.compression, c.avgLogProb),
                  c.expected)
            << c.name;
    }
    const DecodingResult& empty = DecodingResult::emptyResults();
    EXPECT_FALSE(empty.fallback);
    EXPECT_TRUE(empty.tokens.empty() && empty.text.empty() && empty.language.empty());
    EXPECT_EQ(empty.avgLogProb, 0);
}

TEST(DataModelFeatureRecords, InputsAnswerTheirExactNamesAtLookupTime) {
    MultiArray ids({1}, MultiArrayDataType::int32, std::int32_t{7});
    auto array = [](float v) { return MultiArray({1, 2}, MultiArrayDataType::float16, Float16(v)); };
    TextDecoderInput input(ids, MultiArray({1}, MultiArrayDataType::int32), array(1), array(2), array(3), array(4),
                           array(5));
    EXPECT_EQ(input.featureNames(),
              (std::set<std::string>{"input_ids", "cache_length", "key_cache", "value_cache", "kv_cache_update_mask",
                                     "encoder_output_embeds", "decoder_key_padding_mask"}));
    EXPECT_TRUE(input.featureValue("input_ids")->multiArrayValue()->sharesStorageWith(ids));
    EXPECT_EQ(input.featureValue("decoder_key_padding_mask")->multiArrayValue()->value(std::int64_t{0}), 5);
    for (const char* other : {"Input_ids", "input_id", "logits", ""}) EXPECT_FALSE(input.featureValue(other)) << other;
    // A field replaced after construction is what a lookup sees.
    MultiArray replaced({1}, MultiArrayDataType::int32, std::int32_t{9});
    input.input_ids = replaced;
    EXPECT_EQ(input.featureValue("input_ids")->multiArrayValue()->value(std::int64_t{0}), 9);

    MelSpectrogramInput mel(platform::ShapedArray<float>({2}, {0.25f, -1.0f}));
    EXPECT_EQ(mel.featureNames(), std::set<std::string>{"audio"});
    EXPECT_EQ(mel.featureValue("audio")->multiArrayValue()->dataType(), MultiArrayDataType::float32);
    EXPECT_EQ(mel.featureValue("audio")->multiArrayValue()->value(std::int64_t{1}), -1.0);
    AudioEncoderInput encoder(array(1));
    EXPECT_EQ(encoder.featureNames(), std::set<std::string>{"melspectrogram_features"});
    EXPECT_FALSE(encoder.featureValue("audio"));
}

TEST(DataModelFeatureRecords, OutputsWrapTheirProvider) {
    MultiArray logits({1, 1, 3}, MultiArrayDataType::float16, Float16(0.5f));
    MultiArray keys({1, 2, 1, 1}, MultiArrayDataType::float16, Float16(1.0f));
    MultiArray values({1, 2, 1, 1}, MultiArrayDataType::float16, Float16(2.0f));
    TextDecoderOutput built(logits, keys, values, MultiArray({1}, MultiArrayDataType::int32));
    EXPECT_EQ(built.featureNames(), (std::set<std::string>{"logits", "key_cache_updates", "value_cache_updates"}));
    EXPECT_TRUE(built.logits().sharesStorageWith(logits));
    EXPECT_EQ(built.logitsShapedArray().scalars()[2], Float16(0.5f));
    EXPECT_EQ(built.value_cache_updatesShapedArray().shape(), (platform::Shape{1, 2, 1, 1}));
    EXPECT_FALSE(built.alignment_heads_weights());
    EXPECT_FALSE(built.alignment_heads_weightsShapedArray());

    auto provider = std::make_shared<platform::DictionaryFeatureProvider>();
    provider->set("alignment_heads_weights", MultiArray({1, 4}, MultiArrayDataType::float16, Float16(0.25f)));
    TextDecoderOutput wrapped(provider);
    EXPECT_EQ(wrapped.alignment_heads_weightsShapedArray()->scalars().size(), 4u);
    // A missing required feature is reported, not read from nowhere.
    EXPECT_THROW(wrapped.logits(), platform::MLError);

    MelSpectrogramOutput mel(MultiArray({1, 80, 1, 4}, MultiArrayDataType::float16, Float16(-1.0f)));
    EXPECT_EQ(mel.featureNames(), std::set<std::string>{"melspectrogram_features"});
    EXPECT_EQ(mel.melspectrogram_featuresShapedArray().scalars().front(), Float16(-1.0f));
    AudioEncoderOutput encoder(MultiArray({1, 4, 1, 2}, MultiArrayDataType::float16));
    EXPECT_EQ(encoder.encoder_output_embeds().shape(), (platform::Shape{1, 4, 1, 2}));
}

// A replacement feature extractor with a representation of its own, and the standard test for
// a multi-array on the receiving side.
struct OwnSpectrogram : FeatureExtractorOutputType {
    std::vector<float> bands;
};

class ReplacementExtractor : public FeatureExtracting {
public:
    std::optional<int> melCount() const override { return 80; }
    std::optional<int> windowSamples() const override { return std::nullopt; }
    std::shared_ptr<FeatureExtractorOutputType> logMelSpectrogram(
        const std::shared_ptr<AudioProcessorOutputType>& audio) override {
        auto array = MultiArrayValue::arrayOf(audio.get());
        if (!array) return nullptr;
        auto spectrogram = std::make_shared<OwnSpectrogram>();
        spectrogram->bands = array->floatValues();
        return spectrogram;
    }
};

TEST(DataModelStageValues, MarkersCarryMultiArraysOrOwnValues) {
    ReplacementExtractor extractor;
    auto window = std::make_shared<MultiArrayValue>(MultiArray({3}, MultiArrayDataType::float32, 0.5f));
    auto features = extractor.logMelSpectrogram(window);
    ASSERT_TRUE(features);
    EXPECT_EQ(dynamic_cast<OwnSpectrogram&>(*features).bands, (std::vector<float>{0.5f, 0.5f, 0.5f}));
    // A standard consumer finds no multi-array in the replacement's value.
    EXPECT_FALSE(MultiArrayValue::arrayOf(features.get()));
    EXPECT_FALSE(extractor.logMelSpectrogram(std::make_shared<AudioProcessorOutputType>()));
}

}  // namespace
}  // namespace murmex
