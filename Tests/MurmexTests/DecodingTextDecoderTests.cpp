#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <future>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "DecodingTestSupport.h"
#include "HalvexCore/External/Hub/CancellationError.h"
#include "Murmex/Audio/TaskCancellation.h"
#include "Murmex/Decoding/DecodingInputs.h"
#include "Murmex/Decoding/TextDecoder.h"
#include "Murmex/Decoding/TokenSamplers.h"
#include "Murmex/Model/WhisperError.h"
#include "Support/ScriptedDecoder.h"
#include "Support/ScriptedDecoderTokenizer.h"

namespace murmex {
namespace {

using decodingtest::errorOf;
using norvel::test::ScriptedCall;
using norvel::test::ScriptedDecoderModel;
using norvel::test::ScriptedStep;
using norvel::test::ScriptedTokenizer;

// A decoder over a scripted model with the stand-in tokenizer.
struct Rig {
    explicit Rig(ScriptedDecoderModel::Script script, ScriptedDecoderModel::Dimensions dimensions = {},
                 bool multilingual = true)
        : tokenizer(std::make_shared<ScriptedTokenizer>(std::map<int, std::string>{}, multilingual)),
          model(ScriptedDecoderModel::make(dimensions, std::move(script))),
          decoder(std::make_unique<TextDecoder>()) {
        decoder->setModel(model);
        decoder->setTokenizer(tokenizer);
        decoder->setIsModelMultilingual(multilingual);
    }

    const SpecialTokens& special() const { return tokenizer->specialTokens(); }
    std::shared_ptr<DecodingInputsType> inputs(std::vector<int> prompt) {
        auto prepared = decoder->prepareDecoderInputs(prompt);
        return prepared;
    }
    std::shared_ptr<AudioEncoderOutputType> encoder() const {
        return std::make_shared<MultiArrayValue>(model->encoderOutput());
    }
    DecodingResult decode(const std::vector<int>& prompt, const DecodingOptions& options,
                          const TranscriptionProgressCallback& callback = nullptr, float temperature = 0.0f) {
        GreedyTokenSampler sampler(platform::Float16(temperature), special().endToken, options);
        lastInputs = inputs(prompt);
        return decoder->decodeText(encoder(), lastInputs, sampler, options, callback);
    }
    std::vector<int> fedTokens() const {
        std::vector<int> fed;
        for (const auto& call : model->calls()) fed.push_back(call.inputId);
        return fed;
    }

    std::shared_ptr<ScriptedTokenizer> tokenizer;
    std::shared_ptr<ScriptedDecoderModel> model;
    std::unique_ptr<TextDecoder> decoder;
    std::shared_ptr<DecodingInputsType> lastInputs;
};

ScriptedStep favour(int token) { return ScriptedStep{.token = token}; }

std::vector<int> standardPrompt(const ScriptedTokenizer& t, bool timestamps = true) {
    const auto& s = t.specialTokens();
    return {s.startOfTranscriptToken, t.languageToken("en"), s.transcribeToken,
            timestamps ? s.timeTokenBegin : s.noTimestampsToken};
}

// MARK: - Decoder inputs

TEST(DecodingInputsPreparation, ArraysStartEmptyWithTheFirstPositionOpen) {
    Rig rig(ScriptedDecoderModel::sequence({favour(1)}), {.embed = 6, .sequence = 230, .window = 40});
    auto prepared = rig.inputs({5, 6});
    auto* inputs = dynamic_cast<DecodingInputs*>(prepared.get());
    ASSERT_NE(inputs, nullptr);
    EXPECT_EQ(inputs->initialPrompt(), (std::vector<int>{5, 6}));
    EXPECT_EQ(inputs->keyCache().shape(), (platform::Shape{1, 6, 1, 230}));
    EXPECT_EQ(inputs->valueCache().dataType(), platform::MultiArrayDataType::float16);
    EXPECT_EQ(inputs->alignmentWeights().shape(), (platform::Shape{230, 40}));
    EXPECT_EQ(inputs->kvCacheUpdateMask().dataType(), platform::MultiArrayDataType::int32);
    EXPECT_EQ(inputs->kvCacheUpdateMask().value(std::int64_t{0}), 1.0);
    EXPECT_EQ(inputs->kvCacheUpdateMask().value(std::int64_t{1}), 0.0);
    EXPECT_EQ(inputs->decoderKeyPaddingMask().value(std::int64_t{0}), 0.0);
    EXPECT_EQ(inputs->decoderKeyPaddingMask().value(std::int64_t{229}), -10000.0);
    for (float v : inputs->keyCache().floatValues()) ASSERT_EQ(v, 0.0f);

    TextDecoder unloaded;
    EXPECT_EQ(errorOf([&] { unloaded.prepareDecoderInputs({1}); }),
              WhisperError::prepareDecoderInputsFailed("Unable to determine kvCacheEmbedDim"));
}

// A tokenizer that knows no translate token.
class NoTranslateTokenizer : public ScriptedTokenizer {
public:
    std::optional<int> convertTokenToId(const std::string& token) const override {
        if (token == "<|translate|>") return std::nullopt;
        return ScriptedTokenizer::convertTokenToId(token);
    }
};

TEST(DecodingInputsPreparation, PrefillComposesThePromptTable) {
    const ScriptedTokenizer t;
    const auto& s = t.specialTokens();
    std::vector<std::int64_t> manyPromptTokens;
    for (int i = 0; i < 300; ++i) manyPromptTokens.push_back(1000 + i);
    std::vector<int> lastPrompt(manyPromptTokens.end() - 111, manyPromptTokens.end());
    std::vector<std::int64_t> prefix;
    for (int i = 0; i < 150; ++i) prefix.push_back(2000 + i);

    struct Case {
        const char* name;
        bool multilingual;
        std::optional<DecodingOptions> options;
        std::vector<int> expected;
        bool noTranslateToken = false;
    };
    auto concat = [](std::vector<std::vector<int>> parts) {
        std::vector<int> all;
        for (auto& part : parts) all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    const std::vector<Case> cases = {
        {"no options", true, std::nullopt, {s.startOfTranscriptToken}},
        {"defaults",
         true,
         DecodingOptions{},
         {s.startOfTranscriptToken, s.englishToken, s.transcribeToken, s.timeTokenBegin}},
        {"language and translate",
         true,
         DecodingOptions{.task = DecodingTask::translate, .language = "de", .withoutTimestamps = true},
         {s.startOfTranscriptToken, t.languageToken("de"), s.translateToken, s.noTimestampsToken}},
        {"unknown language",
         true,
         DecodingOptions{.language = "qq"},
         {s.startOfTranscriptToken, s.englishToken, s.transcribeToken, s.timeTokenBegin}},
        {"unknown task token",
         true,
         DecodingOptions{.task = DecodingTask::translate},
         {s.startOfTranscriptToken, s.englishToken, s.transcribeToken, s.timeTokenBegin},
         true},
        {"English-only model",
         false,
         DecodingOptions{.task = DecodingTask::translate, .language = "de"},
         {s.startOfTranscriptToken, s.timeTokenBegin}},
        {"special prompt tokens only",
         true,
         DecodingOptions{.promptTokens = std::vector<std::int64_t>{s.endToken, s.timeTokenBegin}},
         {s.startOfTranscriptToken, s.englishToken, s.transcribeToken, s.timeTokenBegin}},
        {"previous text and prefix",
         true,
         DecodingOptions{.promptTokens = std::vector<std::int64_t>{7, s.endToken, 8},
                         .prefixTokens = std::vector<std::int64_t>{9, s.timeTokenBegin, 10}},
         {s.startOfPreviousToken, 7, 8, s.startOfTranscriptToken, s.englishToken, s.transcribeToken, s.timeTokenBegin,
          9, 10}},
        {"300 prompt tokens and a long prefix", true,
         DecodingOptions{.promptTokens = manyPromptTokens, .prefixTokens = prefix},
         concat({{s.startOfPreviousToken},
                 lastPrompt,
                 {s.startOfTranscriptToken, s.englishToken, s.transcribeToken, s.timeTokenBegin},
                 std::vector<int>(prefix.end() - 106, prefix.end())})},
    };
    for (const Case& c : cases) {
        Rig rig(ScriptedDecoderModel::sequence({favour(1)}), {}, c.multilingual);
        if (c.noTranslateToken) rig.decoder->setTokenizer(std::make_shared<NoTranslateTokenizer>());
        auto inputs = rig.inputs({s.startOfTranscriptToken});
        auto* decodingInputs = dynamic_cast<DecodingInputs*>(inputs.get());
        decodingInputs->kvCacheUpdateMask().setValue(std::int64_t{0}, 0.0);
        decodingInputs->decoderKeyPaddingMask().setValue(std::int64_t{0}, -10000.0);
        const auto filled = rig.decoder->prefillDecoderInputs(inputs, c.options);
        EXPECT_EQ(filled.get(), inputs.get()) << c.name;
        const auto& prompt = filled->initialPrompt();
        const auto& expected = c.multilingual ? c.expected : [&] {
            // The English-only layout shifts every special id down by one.
            const auto& e = rig.special();
            return std::vector<int>{e.startOfTranscriptToken, e.timeTokenBegin};
        }();
        EXPECT_EQ(prompt, expected) << c.name;
        EXPECT_LE(prompt.size(), 222u);
        EXPECT_EQ(decodingInputs->kvCacheUpdateMask().value(std::int64_t{0}), 1.0) << c.name;
        EXPECT_EQ(decodingInputs->decoderKeyPaddingMask().value(std::int64_t{0}), 0.0) << c.name;
    }

    TextDecoder noTokenizer;
    EXPECT_EQ(errorOf([&] { noTokenizer.prefillDecoderInputs(nullptr, DecodingOptions()); }),
              WhisperError::tokenizerUnavailable("Tokenizer is unavailable"));
    class OtherInputs : public DecodingInputsType {
    public:
        std::vector<int>& initialPrompt() override { return prompt; }
        const std::vector<int>& initialPrompt() const override { return prompt; }
        platform::MultiArray& inputIds() override { return array; }
        const platform::MultiArray& inputIds() const override { return array; }
        platform::MultiArray& cacheLength() override { return array; }
        const platform::MultiArray& cacheLength() const override { return array; }
        void reset(int) override {}
        std::vector<int> prompt{1};
        platform::MultiArray array{{1}, platform::MultiArrayDataType::int32};
    };
    Rig rig(ScriptedDecoderModel::sequence({favour(1)}));
    EXPECT_EQ(errorOf([&] { rig.decoder->prefillDecoderInputs(std::make_shared<OtherInputs>(), std::nullopt); }),
              WhisperError::prepareDecoderInputsFailed("Unable to cast decoderInputs to DecodingInputs"));
    EXPECT_EQ(errorOf([&] {
                  rig.decoder->decodeText(
                      rig.encoder(), std::make_shared<OtherInputs>(),
                      *std::make_unique<GreedyTokenSampler>(platform::Float16(0.0f), 1, DecodingOptions()),
                      DecodingOptions(), nullptr);
              }),
              WhisperError::prepareDecoderInputsFailed("DecodingInputsType must be DecodingInputs"));
}

TEST(DecodingInputsPreparation, CacheAndAlignmentCopiesWriteOnePositionOnly) {
    using platform::Float16;
    using platform::MultiArray;
    using platform::MultiArrayDataType;
    MultiArray keys({1, 3, 1, 8}, MultiArrayDataType::float16, Float16(0.0f));
    MultiArray values({1, 3, 1, 8}, MultiArrayDataType::float16, Float16(0.0f));
    MultiArray keySlice({1, 3, 1, 1}, MultiArrayDataType::float16, Float16(2.5f));
    MultiArray valueSlice({1, 3, 1, 1}, MultiArrayDataType::float16, Float16(-1.5f));
    for (int position : {0, 5}) {
        TextDecodingBase::updateKVCache(keys, keySlice, values, valueSlice, position);
        for (int c = 0; c < 3; ++c) {
            for (int p = 0; p < 8; ++p) {
                const bool written = p == 0 || p == position;
                EXPECT_EQ(keys.value(platform::Shape{0, c, 0, p}), written ? 2.5 : 0.0);
                EXPECT_EQ(values.value(platform::Shape{0, c, 0, p}), written ? -1.5 : 0.0);
            }
        }
    }

    MultiArray alignment({10, 4}, MultiArrayDataType::float16, Float16(0.0f));
    MultiArray weights({1, 4}, MultiArrayDataType::float16, Float16(0.25f));
    TextDecodingBase::updateAlignmentWeights(alignment, weights, 5);
    for (int row = 0; row < 10; ++row) {
        for (int k = 0; k < 4; ++k) EXPECT_EQ(alignment.value(platform::Shape{row, k}), row == 6 ? 0.25 : 0.0);
    }
}

TEST(DecodingInputsPreparationDeathTest, CopiesBeyondTheArraysStopTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    using platform::MultiArray;
    using platform::MultiArrayDataType;
    MultiArray keys({1, 3, 1, 8}, MultiArrayDataType::float16);
    MultiArray slice({1, 3, 1, 1}, MultiArrayDataType::float16);
    EXPECT_DEATH(TextDecodingBase::updateKVCache(keys, slice, keys, slice, 8), "outside the cache");
    MultiArray alignment({10, 4}, MultiArrayDataType::float16);
    MultiArray weights({1, 4}, MultiArrayDataType::float16);
    EXPECT_DEATH(TextDecodingBase::updateAlignmentWeights(alignment, weights, 9), "outside the alignment weights");
}

// MARK: - Token loop

TEST(DecodingTokenLoop, ForcesThePromptThenSamplesUntilTheEndToken) {
    const ScriptedTokenizer t;
    const auto& s = t.specialTokens();
    const int early = t.timestamp(0.4), late = t.timestamp(1.0);
    Rig rig(ScriptedDecoderModel::sequence({{.token = 7, .alignmentFrame = 1},
                                            {.token = 7, .alignmentFrame = 2},
                                            {.token = early, .alignmentFrame = 3},
                                            {.token = 1, .alignmentFrame = 4},
                                            {.token = 2, .alignmentFrame = 5},
                                            {.token = late, .alignmentFrame = 6},
                                            {.token = s.endToken, .alignmentFrame = 7}}));
    decodingtest::CapturedLog log;
    const DecodingResult result = rig.decode(standardPrompt(t), DecodingOptions());

    // The model's own first timestamp replaces the prompt's time zero.
    EXPECT_EQ(rig.fedTokens(), (std::vector<int>{s.startOfTranscriptToken, t.languageToken("en"), s.transcribeToken,
                                                 early, 1, 2, late}));
    EXPECT_EQ(log.count("Forcing prompt tokenIndex: "), 3);
    EXPECT_EQ(log.count("Skipping prompt tokenIndex: 3, token: " + std::to_string(early)), 1);
    EXPECT_EQ(log.count("Running main loop for a maximum of 223 iterations"), 1);
    EXPECT_EQ(log.count("DECODER INPUTS DEBUG"), 4);
    const auto calls = rig.model->calls();
    ASSERT_EQ(calls.size(), 7u);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(calls[i].cacheLength, i);
        EXPECT_EQ(calls[i].updatePosition, i);
        EXPECT_EQ(calls[i].openPositions, i + 1);
        std::vector<float> written;
        for (int j = 0; j < i; ++j) written.push_back(static_cast<float>(j + 1));
        EXPECT_EQ(calls[i].keyCacheChannel0, written) << "step " << i;
    }

    EXPECT_EQ(result.tokens, (std::vector<int>{s.startOfTranscriptToken, t.languageToken("en"), s.transcribeToken,
                                               early, 1, 2, late, s.endToken}));
    ASSERT_EQ(result.tokenLogProbs.size(), result.tokens.size());
    float sum = 0;
    for (std::size_t i = 0; i < result.tokens.size(); ++i) {
        ASSERT_EQ(result.tokenLogProbs[i].size(), 1u);
        const float logProb = result.tokenLogProbs[i].at(result.tokens[i]);
        if (i < 4 || i == 7) {
            EXPECT_EQ(logProb, 0.0f);
        }
        EXPECT_LE(logProb, 0.0f);
        sum += logProb;
    }
    EXPECT_FLOAT_EQ(result.avgLogProb, sum / 8.0f);
    EXPECT_EQ(result.language, "en");
    EXPECT_EQ(result.languageProbs, (std::map<std::string, float>{{"en", 0.0f}}));
    EXPECT_EQ(result.text, t.decode(result.tokens));
    EXPECT_EQ(result.temperature, 0.0f);
    EXPECT_EQ(result.noSpeechProb, 0.0f);
    EXPECT_FALSE(result.fallback.has_value());
    ASSERT_TRUE(result.timings.has_value());
    EXPECT_EQ(result.timings->totalDecodingLoops, 6.0);  // the step that sampled the end token is not counted
    EXPECT_LT(result.timings->firstTokenTime, std::numeric_limits<double>::max());
    ASSERT_TRUE(result.cache && result.cache->alignmentWeights);
    // Row p + 1 holds the weights of step p; the end token's row is cleared.
    const auto& alignment = *result.cache->alignmentWeights;
    for (int step = 0; step < 6; ++step) EXPECT_EQ(alignment.value(platform::Shape{step + 1, step + 1}), 1.0);
    for (int k = 0; k < 10; ++k) EXPECT_EQ(alignment.value(platform::Shape{7, k}), 0.0);
}

// The model prefers what the timestamp rules forbid: the no-timestamps token at the first
// sampled position, then a timestamp earlier than the last one.
TEST(DecodingTokenLoop, TimestampRulesOverruleTheModel) {
    const ScriptedTokenizer t;
    const auto& s = t.specialTokens();
    Rig rig(ScriptedDecoderModel::sequence(
        {favour(7), favour(7), favour(7), ScriptedStep{.logits = {{s.noTimestampsToken, 30.0f}, {1, 20.0f}}},
         favour(t.timestamp(1.0)),
         ScriptedStep{.logits = {{t.timestamp(0.5), 30.0f}, {2, 25.0f}, {s.endToken, 20.0f}}}}));
    const DecodingResult result = rig.decode(standardPrompt(t), DecodingOptions());
    EXPECT_EQ(result.tokens, (std::vector<int>{s.startOfTranscriptToken, t.languageToken("en"), s.transcribeToken,
                                               s.timeTokenBegin, 1, t.timestamp(1.0), s.endToken}));
}

TEST(DecodingTokenLoop, LoopBoundsTable) {
    const ScriptedTokenizer t;
    const auto& s = t.specialTokens();
    struct Case {
        const char* name;
        std::vector<int> prompt;
        std::int64_t sampleLength;
        int favoured;
        std::size_t predictions;
        std::size_t resultTokens;
    };
    const std::vector<Case> cases = {
        {"one step that samples the end token", {s.startOfTranscriptToken}, 1, s.endToken, 1, 2},
        {"one step that samples text", {s.startOfTranscriptToken}, 1, 5, 1, 3},
        {"no step", {s.startOfTranscriptToken}, 0, 5, 0, 2},
        {"the 223-step bound", standardPrompt(t, false), 224, 5, 223, 224},
        {"sample length bound", standardPrompt(t, false), 10, 5, 13, 15},
        // The extremes do not overflow the bound.
        {"largest sample length", standardPrompt(t, false), std::numeric_limits<std::int64_t>::max(), 5, 223, 224},
        {"lowest sample length", {s.startOfTranscriptToken}, std::numeric_limits<std::int64_t>::min(), 5, 0, 2},
    };
    for (const Case& c : cases) {
        Rig rig(ScriptedDecoderModel::sequence({favour(c.favoured)}));
        DecodingOptions options;
        options.sampleLength = c.sampleLength;
        options.withoutTimestamps = true;
        options.compressionRatioThreshold = std::nullopt;
        const DecodingResult result = rig.decode(c.prompt, options);
        EXPECT_EQ(rig.model->calls().size(), c.predictions) << c.name;
        EXPECT_EQ(result.tokens.size(), c.resultTokens) << c.name;
        EXPECT_EQ(result.tokens.back(), s.endToken) << c.name;
        EXPECT_EQ(result.cache->alignmentWeights.has_value(), c.predictions > 0 && c.resultTokens > 2) << c.name;
    }
}

TEST(DecodingTokenLoop, FallbackVerdictsTable) {
    const ScriptedTokenizer t;
    const auto& s = t.specialTokens();
    const float negativeInfinity = -INFINITY;
    // Ten equally likely candidates per step, different at every step: log-probability −2.3.
    auto uncertain = [=](const ScriptedCall&, int index) {
        ScriptedStep step{.floor = negativeInfinity};
        if (index >= 23) return ScriptedStep{.token = s.endToken};
        for (int k = 0; k < 10; ++k) step.logits[100 * index + 10 + k] = 0.0f;
        return step;
    };
    auto repetitive = [=](const ScriptedCall&, int index) { return favour(index >= 60 ? s.endToken : 5); };
    auto flat = [](const ScriptedCall&, int) { return ScriptedStep{}; };
    struct Case {
        const char* name;
        ScriptedDecoderModel::Script script;
        DecodingOptions options;
        std::optional<DecodingFallback> expected;
        std::size_t resultTokens;
    };
    const std::vector<Case> cases = {
        {"first token too unlikely",
         flat,
         {.withoutTimestamps = true},
         DecodingFallback{true, "firstTokenLogProbThreshold"},
         5},
        {"repeated text compresses too well",
         repetitive,
         {.withoutTimestamps = true},
         DecodingFallback{true, "compressionRatioThreshold"},
         62},
        {"average log probability too low",
         uncertain,
         {.withoutTimestamps = true, .firstTokenLogProbThreshold = std::nullopt},
         DecodingFallback{true, "logProbThreshold"},
         25},
        {"silence needs no fallback",
         repetitive,
         {.withoutTimestamps = true, .noSpeechThreshold = -0.5f},
         DecodingFallback{false, "silence"},
         62},
        {"no thresholds",
         uncertain,
         {.withoutTimestamps = true,
          .compressionRatioThreshold = std::nullopt,
          .logProbThreshold = std::nullopt,
          .firstTokenLogProbThreshold = std::nullopt,
          .noSpeechThreshold = std::nullopt},
         std::nullopt,
         25},
    };
    for (const Case& c : cases) {
        Rig rig(c.script);
        const DecodingResult result = rig.decode(standardPrompt(t, false), c.options);
        EXPECT_EQ(result.fallback, c.expected) << c.name;
        EXPECT_EQ(result.tokens.size(), c.resultTokens) << c.name;
    }
}

TEST(DecodingTokenLoop, ResultLanguageFollowsTheOptionsOrTheTokens) {
    const ScriptedTokenizer t;
    const auto& s = t.specialTokens();
    struct Case {
        std::optional<std::string> optionLanguage;
        std::vector<int> prompt;
        std::string language;
    };
    const std::vector<Case> cases = {
        {std::nullopt, {s.startOfTranscriptToken, t.languageToken("de"), s.transcribeToken}, "de"},
        {"es", {s.startOfTranscriptToken, t.languageToken("de"), s.transcribeToken}, "es"},
        {std::nullopt, {s.startOfTranscriptToken}, "en"},
    };
    for (const Case& c : cases) {
        Rig rig(ScriptedDecoderModel::sequence({favour(s.endToken)}));
        DecodingOptions options;
        options.language = c.optionLanguage;
        options.withoutTimestamps = true;
        const DecodingResult result = rig.decode(c.prompt, options);
        EXPECT_EQ(result.language, c.language);
        EXPECT_EQ(result.languageProbs, (std::map<std::string, float>{{c.language, 0.0f}}));
    }
}

TEST(DecodingTokenLoop, ModelWithoutAlignmentOutputGivesNoAlignmentWeights) {
    const ScriptedTokenizer t;
    Rig rig(ScriptedDecoderModel::sequence({favour(5), favour(t.specialTokens().endToken)}), {.alignment = false});
    EXPECT_FALSE(rig.decoder->supportsWordTimestamps());
    const DecodingResult result = rig.decode({t.specialTokens().startOfTranscriptToken}, DecodingOptions());
    ASSERT_TRUE(result.cache.has_value());
    EXPECT_TRUE(result.cache->keyCache.has_value());
    EXPECT_FALSE(result.cache->alignmentWeights.has_value());
}

TEST(DecodingTokenLoop, ErrorsTable) {
    const ScriptedTokenizer t;
    Rig rig(ScriptedDecoderModel::sequence({favour(5)}));
    GreedyTokenSampler sampler(platform::Float16(0.0f), t.specialTokens().endToken, DecodingOptions());
    auto inputs = rig.inputs({t.specialTokens().startOfTranscriptToken});

    TextDecoder noTokenizer;
    EXPECT_EQ(errorOf([&] { noTokenizer.decodeText(rig.encoder(), inputs, sampler, DecodingOptions(), nullptr); }),
              WhisperError::tokenizerUnavailable("Tokenizer is unavailable"));
    auto empty = rig.inputs({});
    EXPECT_EQ(errorOf([&] { rig.decoder->decodeText(rig.encoder(), empty, sampler, DecodingOptions(), nullptr); }),
              WhisperError::prepareDecoderInputsFailed("Initial prompt must not be empty"));
    auto notAnArray = std::make_shared<AudioEncoderOutputType>();
    EXPECT_EQ(errorOf([&] { rig.decoder->decodeText(notAnArray, inputs, sampler, DecodingOptions(), nullptr); }),
              WhisperError::prepareDecoderInputsFailed("Input must be MLMultiArray"));
    // A suppressed id beyond 32 bits is not cut to the id of its low bits (2^32 + 1 to 1).
    const DecodingOptions wide{.suppressTokens = {4294967297}};
    EXPECT_EQ(errorOf([&] { rig.decoder->decodeText(rig.encoder(), inputs, sampler, wide, nullptr); }),
              WhisperError::transcriptionFailed("suppressTokens value 4294967297 is not a token id"));
    rig.decoder->unloadModel();
    EXPECT_EQ(errorOf([&] { rig.decoder->decodeText(rig.encoder(), inputs, sampler, DecodingOptions(), nullptr); }),
              WhisperError::decodingLogitsFailed("Unable to decode logits"));
    EXPECT_EQ(
        errorOf([&] { rig.decoder->predictLogits(std::make_shared<MultiArrayValue>(rig.model->encoderOutput())); }),
        WhisperError::transcriptionFailed("Input must be TextDecoderMLMultiArrayInputType"));
    // Every way out leaves no stop flag behind.
    EXPECT_TRUE(rig.decoder->earlyStopActor().shouldStop().empty());
}

// MARK: - Progress and early stop

TEST(DecodingTokenLoop, FalseFromTheCallbackStopsTheWindowButNotDuringEarlyPromptSteps) {
    const ScriptedTokenizer t;
    Rig rig(ScriptedDecoderModel::sequence({favour(5)}));
    TextDecoder* decoder = rig.decoder.get();
    auto raised = [decoder] {
        for (const auto& [id, stop] : decoder->earlyStopActor().shouldStop()) {
            if (stop) return true;
        }
        return false;
    };
    std::promise<void> fourthStepStarted;
    std::shared_future<void> fourthStep = fourthStepStarted.get_future().share();
    bool raisedDuringPrompt = true;
    rig.model->setBeforePrediction([&](int prediction) {
        if (prediction == 3) {
            // Every answer so far came from a prompt step before the last: all ignored.
            decoder->waitForProgressCallbacks();
            raisedDuringPrompt = raised();
        }
        if (prediction == 4) {
            fourthStepStarted.set_value();
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!raised() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            EXPECT_TRUE(raised());
        }
    });
    std::mutex mutex;
    std::vector<TranscriptionProgress> reports;
    DecodingOptions options;
    options.withoutTimestamps = true;
    const DecodingResult result = rig.decode(standardPrompt(t, false), options, [&](const TranscriptionProgress& p) {
        {
            std::lock_guard lock(mutex);
            reports.push_back(p);
        }
        // The answer of the first sampling step arrives while the next step runs.
        if (p.tokens.size() == 5) fourthStep.wait();
        return std::optional<bool>(false);
    });
    EXPECT_FALSE(raisedDuringPrompt);
    // Steps 3 and 4 sampled; the check after step 4 saw the flag.
    EXPECT_EQ(rig.model->calls().size(), 5u);
    EXPECT_EQ(result.tokens.size(), 7u);
    EXPECT_TRUE(decoder->earlyStopActor().shouldStop().empty());
    decoder->waitForProgressCallbacks();
    std::lock_guard lock(mutex);
    ASSERT_EQ(reports.size(), 5u);
    for (std::size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].windowId, 0);
        EXPECT_FALSE(reports[i].temperature.has_value());
        EXPECT_EQ(reports[i].tokens.size(), i < 3 ? 4u : i + 2);
        EXPECT_EQ(reports[i].text, t.decode(reports[i].tokens));
        EXPECT_TRUE(reports[i].avgLogprob.has_value());
        EXPECT_TRUE(reports[i].compressionRatio.has_value());
    }
}

// A stop request of the running task lets the prediction under way finish and starts no
// other; the window keeps the tokens decoded until then. The prediction itself refuses to run
// for a stopped task.
TEST(DecodingTokenLoop, AStopRequestEndsTheWindowBeforeTheNextPrediction) {
    const ScriptedTokenizer t;
    const struct {
        const char* name;
        int stopAtPrediction;  // -1: before the first
        std::size_t predictions;
        std::size_t tokens;  // in the result, end token included
    } cases[] = {
        {"before the first prediction", -1, 0, 5},
        {"during a prompt step", 1, 2, 5},
        {"during the fifth prediction", 4, 5, 7},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        Rig rig(ScriptedDecoderModel::sequence({favour(5)}));
        std::stop_source stop;
        if (row.stopAtPrediction < 0) stop.request_stop();
        rig.model->setBeforePrediction([&](int prediction) {
            if (prediction == row.stopAtPrediction) stop.request_stop();
        });
        DecodingOptions options;
        options.withoutTimestamps = true;
        const TaskCancellation::Scope scope(stop.get_token());
        const DecodingResult result = rig.decode(standardPrompt(t, false), options);
        EXPECT_EQ(rig.model->calls().size(), row.predictions);
        EXPECT_EQ(result.tokens.size(), row.tokens);
        EXPECT_EQ(result.tokens.back(), t.specialTokens().endToken);
        EXPECT_TRUE(rig.decoder->earlyStopActor().shouldStop().empty());

        const auto input = std::make_shared<TextDecoderMLMultiArrayInputType>(
            rig.lastInputs->inputIds(), rig.lastInputs->cacheLength(),
            dynamic_cast<DecodingInputs&>(*rig.lastInputs).keyCache(),
            dynamic_cast<DecodingInputs&>(*rig.lastInputs).valueCache(),
            dynamic_cast<DecodingInputs&>(*rig.lastInputs).kvCacheUpdateMask(), rig.model->encoderOutput(),
            dynamic_cast<DecodingInputs&>(*rig.lastInputs).decoderKeyPaddingMask());
        EXPECT_THROW(rig.decoder->predictLogits(input), halvex::CancellationError);
        EXPECT_EQ(rig.model->calls().size(), row.predictions);
    }
}

TEST(DecodingTokenLoop, ProgressIsReportedInOrderWithoutSpecialTokensWhenAsked) {
    const ScriptedTokenizer t;
    Rig rig(ScriptedDecoderModel::sequence(
        {favour(5), favour(6), favour(7), favour(8), favour(9), favour(10), favour(t.specialTokens().endToken)}));
    std::mutex mutex;
    std::vector<std::string> texts;
    DecodingOptions options;
    options.withoutTimestamps = true;
    options.skipSpecialTokens = true;
    const DecodingResult result = rig.decode(standardPrompt(t, false), options, [&](const TranscriptionProgress& p) {
        std::lock_guard lock(mutex);
        texts.push_back(p.text);
        return std::optional<bool>();
    });
    rig.decoder->waitForProgressCallbacks();
    std::lock_guard lock(mutex);
    ASSERT_EQ(texts.size(), 6u);
    EXPECT_EQ(texts[2], "");
    EXPECT_EQ(texts[3], " w8");
    EXPECT_EQ(texts[5], " w8 w9 w10");
    EXPECT_NE(result.text.find("<|startoftranscript|>"), std::string::npos);
}

TEST(DecodingTokenLoop, StopFlagNeverOutlivesItsCall) {
    const ScriptedTokenizer t;
    Rig rig(ScriptedDecoderModel::sequence({favour(5), favour(t.specialTokens().endToken)}));
    std::promise<void> returned;
    std::shared_future<void> decoded = returned.get_future().share();
    DecodingOptions options;
    options.withoutTimestamps = true;
    // The answer arrives only after the call has ended.
    rig.decode({t.specialTokens().startOfTranscriptToken}, options, [decoded](const TranscriptionProgress&) {
        decoded.wait();
        return std::optional<bool>(false);
    });
    returned.set_value();
    rig.decoder->waitForProgressCallbacks();
    EXPECT_TRUE(rig.decoder->earlyStopActor().shouldStop().empty());
}

// MARK: - Language detection

TEST(DecodingLanguagePass, DetectsTheSampledLanguage) {
    const ScriptedTokenizer t;
    const auto& s = t.specialTokens();
    struct Case {
        std::string sampledCode;
        std::string language;
    };
    for (const Case& c : std::vector<Case>{{"de", "de"}, {"xx", "en"}}) {
        // The most likely token is text; the language filter leaves only the languages.
        Rig rig(ScriptedDecoderModel::sequence(
            {ScriptedStep{.token = 5, .high = 20.0f, .logits = {{t.languageToken(c.sampledCode), 4.0f}}}}));
        auto inputs = rig.inputs({s.startOfTranscriptToken, 9});
        inputs->inputIds().setValue(std::int64_t{0}, 77.0);
        inputs->cacheLength().setValue(std::int64_t{0}, 5.0);
        GreedyTokenSampler sampler(platform::Float16(0.0f), s.endToken, DecodingOptions());
        decodingtest::CapturedLog log;
        const DecodingResult result =
            rig.decoder->detectLanguage(rig.encoder(), inputs, sampler, DecodingOptions(), platform::Float16(1.0f));
        EXPECT_EQ(result.language, c.language);
        ASSERT_EQ(result.languageProbs.size(), 1u);
        // The sampled language at logit 4 among 99 languages; the others at 0.
        EXPECT_NEAR(result.languageProbs.at(c.sampledCode), 4.0 - std::log(std::exp(4.0) + 98.0), 1e-5);
        EXPECT_TRUE(result.tokens.empty());
        EXPECT_TRUE(result.text.empty());
        EXPECT_FALSE(result.cache.has_value());
        EXPECT_FALSE(result.fallback.has_value());
        ASSERT_TRUE(result.timings.has_value());
        EXPECT_GT(result.timings->decodingPredictions, 0.0);
        const auto calls = rig.model->calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].inputId, s.startOfTranscriptToken);
        EXPECT_EQ(calls[0].cacheLength, 0);
        if (c.language != c.sampledCode) {
            EXPECT_EQ(log.count("Detected language xx is not supported, defaulting to en"), 1);
        }
        EXPECT_NE(rig.decoder->languageLogitsFilter(), nullptr);
        rig.decoder->unloadModel();
        EXPECT_EQ(rig.decoder->languageLogitsFilter(), nullptr);
    }
}

TEST(DecodingLanguagePass, WithoutAModelFailsBeforeTouchingTheInputs) {
    const ScriptedTokenizer t;
    Rig rig(ScriptedDecoderModel::sequence({favour(5)}));
    auto inputs = rig.inputs({t.specialTokens().startOfTranscriptToken});
    inputs->inputIds().setValue(std::int64_t{0}, 77.0);
    rig.decoder->unloadModel();
    GreedyTokenSampler sampler(platform::Float16(0.0f), 1, DecodingOptions());
    EXPECT_EQ(errorOf([&] {
                  rig.decoder->detectLanguage(rig.encoder(), inputs, sampler, DecodingOptions(),
                                              platform::Float16(0.0f));
              }),
              WhisperError::modelsUnavailable("Failed to read logits size from model"));
    EXPECT_EQ(inputs->inputIds().value(std::int64_t{0}), 77.0);
}

}  // namespace
}  // namespace murmex
