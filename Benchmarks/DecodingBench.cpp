// Host-side cost of the token loop: everything the text decoder does per token besides the
// model's own prediction (filters, sampling, cache and mask copies, bookkeeping, progress
// dispatch), at the sizes of the tiny model.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "Murmex/Decoding/DecodingInputs.h"
#include "Murmex/Decoding/LogitsFilters.h"
#include "Murmex/Decoding/TextDecoder.h"
#include "Murmex/Decoding/TokenSamplers.h"
#include "Murmex/Model/ModelFeatureRecords.h"
#include "Platform/ML/AudioWindow.h"
#include "Platform/ML/Conversion/CheckpointGenerator.h"
#include "Platform/ML/Conversion/ModelConverter.h"
#include "Platform/ML/FeatureProvider.h"
#include "Platform/ML/Float16.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/ModelFolder.h"

namespace {

using platform::Float16;
using platform::MultiArray;
using platform::MultiArrayDataType;

constexpr int vocabulary = 51865;
constexpr int tinyLayers = 4;
constexpr int tinyWidth = 384;
constexpr int cacheEmbed = tinyLayers * tinyWidth;  // E of the tiny model
constexpr int sequence = 224;
constexpr int frames = platform::audiowindow::encoderFrames;

constexpr int endToken = 50257;
constexpr int startOfTranscript = 50258;
constexpr int english = 50259;
constexpr int transcribe = 50359;
constexpr int timeTokenBegin = 50364;

// A minimal tokenizer with the multilingual layout.
class BenchTokenizer : public murmex::WhisperTokenizer {
public:
    BenchTokenizer() {
        for (int id = english; id < 50358; ++id) languages_.insert(id);
    }
    std::vector<int> encode(const std::string&) const override { return {}; }
    std::string decode(const std::vector<int>& tokens) const override {
        std::string text;
        for (int token : tokens) text += token < endToken ? " w" : "<|x|>";
        return text;
    }
    std::optional<int> convertTokenToId(const std::string&) const override { return std::nullopt; }
    std::optional<std::string> convertIdToToken(int id) const override { return id == english ? "<|en|>" : "w"; }
    const murmex::SpecialTokens& specialTokens() const override { return special_; }
    const std::set<int>& allLanguageTokens() const override { return languages_; }
    murmex::WordTokens splitToWordTokens(const std::vector<int>&) const override { return {}; }

private:
    murmex::SpecialTokens special_;
    std::set<int> languages_;
};

// Logits spread like a trained model's: most mass on a few text tokens, timestamps well below.
std::vector<Float16> realisticLogits(int favoured, std::mt19937& random) {
    std::normal_distribution<float> spread(0.0f, 2.0f);
    std::vector<Float16> logits(vocabulary);
    for (int i = 0; i < vocabulary; ++i) logits[i] = Float16(spread(random) - (i >= timeTokenBegin ? 4.0f : 0.0f));
    logits[favoured] = Float16(18.0f);
    return logits;
}

// A decoder model that answers at once with prepared logits, so that the loop's time is the
// host's own. Its outputs are refilled in place rather than allocated.
class InstantDecoderModel : public platform::Model {
public:
    static std::shared_ptr<InstantDecoderModel> make(int sampledTokens) {
        return std::shared_ptr<InstantDecoderModel>(new InstantDecoderModel(sampledTokens));
    }

protected:
    std::shared_ptr<platform::FeatureProvider> predict(const platform::FeatureProvider& input,
                                                       const platform::PredictionOptions&) const override {
        const int step =
            static_cast<int>(input.featureValue("cache_length")->multiArrayValue()->value(std::int64_t{0}));
        const auto& source = step < sampledTokens_ + 3 ? steps_[static_cast<std::size_t>(step) % steps_.size()] : end_;
        std::memcpy(logits_.dataPointer(), source.data(), source.size() * sizeof(Float16));
        return outputs_;
    }

private:
    explicit InstantDecoderModel(int sampledTokens)
        : platform::Model(description(), platform::ComputeUnits::cpuOnly), sampledTokens_(sampledTokens) {
        std::mt19937 random(7);
        for (int i = 0; i < 16; ++i) steps_.push_back(realisticLogits(1000 + 37 * i, random));
        end_ = realisticLogits(endToken, random);
        logits_ = MultiArray({1, 1, vocabulary}, MultiArrayDataType::float16);
        auto outputs = std::make_shared<platform::DictionaryFeatureProvider>();
        outputs->set("logits", logits_);
        outputs->set("key_cache_updates",
                     MultiArray({1, cacheEmbed, 1, 1}, MultiArrayDataType::float16, Float16(0.5f)));
        outputs->set("value_cache_updates",
                     MultiArray({1, cacheEmbed, 1, 1}, MultiArrayDataType::float16, Float16(0.25f)));
        outputs->set("alignment_heads_weights", MultiArray({1, frames}, MultiArrayDataType::float16, Float16(0.001f)));
        outputs_ = outputs;
    }

    static platform::ModelDescription description() {
        platform::ModelDescription d;
        auto add = [](auto& table, const std::string& name, platform::Shape shape, MultiArrayDataType type) {
            table[name] = platform::FeatureDescription{name, platform::FeatureType::multiArray, false,
                                                       platform::MultiArrayConstraint{shape, type}};
        };
        add(d.inputDescriptionsByName, "input_ids", {1}, MultiArrayDataType::int32);
        add(d.inputDescriptionsByName, "cache_length", {1}, MultiArrayDataType::int32);
        add(d.inputDescriptionsByName, "key_cache", {1, cacheEmbed, 1, sequence}, MultiArrayDataType::float16);
        add(d.inputDescriptionsByName, "value_cache", {1, cacheEmbed, 1, sequence}, MultiArrayDataType::float16);
        add(d.inputDescriptionsByName, "kv_cache_update_mask", {1, sequence}, MultiArrayDataType::int32);
        add(d.inputDescriptionsByName, "encoder_output_embeds", {1, tinyWidth, 1, frames}, MultiArrayDataType::float16);
        add(d.inputDescriptionsByName, "decoder_key_padding_mask", {1, sequence}, MultiArrayDataType::float16);
        add(d.outputDescriptionsByName, "logits", {1, 1, vocabulary}, MultiArrayDataType::float16);
        add(d.outputDescriptionsByName, "key_cache_updates", {1, cacheEmbed, 1, 1}, MultiArrayDataType::float16);
        add(d.outputDescriptionsByName, "value_cache_updates", {1, cacheEmbed, 1, 1}, MultiArrayDataType::float16);
        add(d.outputDescriptionsByName, "alignment_heads_weights", {1, frames}, MultiArrayDataType::float16);
        return d;
    }

    int sampledTokens_;
    std::vector<std::vector<Float16>> steps_;
    std::vector<Float16> end_;
    MultiArray logits_;
    std::shared_ptr<platform::FeatureProvider> outputs_;
};

// The whole token loop over an instant model: the time per token is the host side's.
void BM_DecodingHostLoopPerToken(benchmark::State& state) {
    const bool withProgress = state.range(0) != 0;
    const int sampledTokens = 100;
    auto tokenizer = std::make_shared<BenchTokenizer>();
    murmex::TextDecoder decoder;
    decoder.setModel(InstantDecoderModel::make(sampledTokens));
    decoder.setTokenizer(tokenizer);
    decoder.setIsModelMultilingual(true);
    auto encoder =
        std::make_shared<murmex::MultiArrayValue>(MultiArray({1, tinyWidth, 1, frames}, MultiArrayDataType::float16));
    auto inputs = decoder.prepareDecoderInputs({startOfTranscript});
    murmex::DecodingOptions options;
    options.compressionRatioThreshold = std::nullopt;
    options.logProbThreshold = std::nullopt;
    murmex::TranscriptionProgressCallback callback;
    if (withProgress) callback = [](const murmex::TranscriptionProgress&) { return std::optional<bool>(); };

    double tokens = 0;
    double hostSeconds = 0;
    for (auto _ : state) {
        inputs->initialPrompt() = {startOfTranscript, english, transcribe, timeTokenBegin};
        inputs->reset(sequence);
        murmex::GreedyTokenSampler sampler(Float16(0.0f), endToken, options);
        const auto result = decoder.decodeText(encoder, inputs, sampler, options, callback);
        benchmark::DoNotOptimize(result.tokens.data());
        tokens += result.timings->totalDecodingLoops + 1;
        hostSeconds += result.timings->decodingLoop - result.timings->decodingPredictions;
    }
    decoder.waitForProgressCallbacks();
    state.counters["host_us_per_token"] = hostSeconds / tokens * 1e6;
    state.counters["tokens_per_window"] = tokens / static_cast<double>(state.iterations());
}
BENCHMARK(BM_DecodingHostLoopPerToken)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The pieces of one step, each on its own.
void BM_DecodingTimestampRules(benchmark::State& state) {
    std::mt19937 random(3);
    const auto values = realisticLogits(1200, random);
    MultiArray logits({1, 1, vocabulary}, MultiArrayDataType::float16);
    murmex::SpecialTokens special;
    murmex::TimestampRulesFilter filter(special, 4, std::nullopt, true);
    std::vector<int> tokens = {startOfTranscript, english, transcribe, timeTokenBegin, 1200, 1300, 1400};
    for (auto _ : state) {
        std::memcpy(logits.dataPointer(), values.data(), values.size() * sizeof(Float16));
        benchmark::DoNotOptimize(filter.filterLogits(logits, tokens));
    }
}
BENCHMARK(BM_DecodingTimestampRules)->Unit(benchmark::kMicrosecond);

void BM_DecodingGreedySample(benchmark::State& state) {
    std::mt19937 random(5);
    const auto values = realisticLogits(1200, random);
    MultiArray logits({1, 1, vocabulary}, MultiArrayDataType::float16);
    std::memcpy(logits.dataPointer(), values.data(), values.size() * sizeof(Float16));
    murmex::GreedyTokenSampler sampler(Float16(static_cast<float>(state.range(0)) / 10.0f), endToken,
                                       murmex::DecodingOptions());
    for (auto _ : state) benchmark::DoNotOptimize(sampler.sample(logits));
}
BENCHMARK(BM_DecodingGreedySample)->Arg(0)->Arg(5)->Unit(benchmark::kMicrosecond);

void BM_DecodingCacheUpdate(benchmark::State& state) {
    MultiArray keys({1, cacheEmbed, 1, sequence}, MultiArrayDataType::float16, Float16(0.0f));
    MultiArray values({1, cacheEmbed, 1, sequence}, MultiArrayDataType::float16, Float16(0.0f));
    MultiArray keySlice({1, cacheEmbed, 1, 1}, MultiArrayDataType::float16, Float16(1.0f));
    MultiArray valueSlice({1, cacheEmbed, 1, 1}, MultiArrayDataType::float16, Float16(2.0f));
    MultiArray alignment({sequence, frames}, MultiArrayDataType::float16, Float16(0.0f));
    MultiArray weights({1, frames}, MultiArrayDataType::float16, Float16(0.5f));
    int position = 0;
    for (auto _ : state) {
        murmex::TextDecodingBase::updateKVCache(keys, keySlice, values, valueSlice, position);
        murmex::TextDecodingBase::updateAlignmentWeights(alignment, weights, position);
        position = (position + 1) % (sequence - 1);
    }
}
BENCHMARK(BM_DecodingCacheUpdate)->Unit(benchmark::kMicrosecond);

// A decoder with random weights at the tiny model's published size, made once per process.
std::filesystem::path tinyModelFolder() {
    static const std::filesystem::path folder = [] {
        namespace fs = std::filesystem;
        const fs::path base = fs::temp_directory_path() / ("murmex-bench-decoding-" + std::to_string(getpid()));
        const fs::path checkpoint = base / "checkpoint";
        const fs::path models = base / "models";
        platform::conversion::generateCheckpoint(checkpoint, *platform::conversion::checkpointPreset("tiny"));
        platform::conversion::convertCheckpoint(checkpoint, models);
        fs::remove_all(checkpoint);
        return models;
    }();
    return folder;
}

// The real decoder at the tiny size: the model's own time per token against the host's, over
// windows of 223 steps (the end token is kept out so that every window runs to the bound).
void BM_DecodingTinyModelPerToken(benchmark::State& state) {
    auto tokenizer = std::make_shared<BenchTokenizer>();
    murmex::TextDecoder decoder;
    decoder.loadModel(platform::ModelFolder::compiledModel(tinyModelFolder(), platform::ModelFolder::textDecoder),
                      platform::ComputeUnits::cpuOnly, false);
    decoder.setTokenizer(tokenizer);
    decoder.setIsModelMultilingual(true);
    decoder.setLogitsFilters(std::vector<std::shared_ptr<murmex::LogitsFiltering>>{
        std::make_shared<murmex::SuppressTokensFilter>(std::vector<int>{endToken})});
    const auto* description = decoder.model()->modelDescription().input("encoder_output_embeds");
    MultiArray encoderArray(description->multiArrayConstraint->shape, description->multiArrayConstraint->dataType);
    std::mt19937 random(9);
    std::normal_distribution<double> spread(0.0, 1.0);
    for (std::int64_t i = 0; i < encoderArray.count(); ++i) encoderArray.setValue(i, spread(random));
    auto encoder = std::make_shared<murmex::MultiArrayValue>(encoderArray);
    auto inputs = decoder.prepareDecoderInputs({startOfTranscript});
    murmex::DecodingOptions options;
    options.compressionRatioThreshold = std::nullopt;
    options.logProbThreshold = std::nullopt;
    options.firstTokenLogProbThreshold = std::nullopt;
    const murmex::TranscriptionProgressCallback callback = [](const murmex::TranscriptionProgress&) {
        return std::optional<bool>();
    };

    double steps = 0, hostSeconds = 0, modelSeconds = 0;
    for (auto _ : state) {
        inputs->initialPrompt() = {startOfTranscript, english, transcribe, timeTokenBegin};
        inputs->reset(sequence);
        murmex::GreedyTokenSampler sampler(Float16(0.0f), endToken, options);
        const auto result = decoder.decodeText(encoder, inputs, sampler, options, callback);
        benchmark::DoNotOptimize(result.tokens.data());
        steps += result.timings->totalDecodingLoops;
        modelSeconds += result.timings->decodingPredictions;
        hostSeconds += result.timings->decodingLoop - result.timings->decodingPredictions;
    }
    decoder.waitForProgressCallbacks();
    state.counters["model_us_per_token"] = modelSeconds / steps * 1e6;
    state.counters["host_us_per_token"] = hostSeconds / steps * 1e6;
    state.counters["host_share_percent"] = hostSeconds / modelSeconds * 100.0;
}
BENCHMARK(BM_DecodingTinyModelPerToken)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
