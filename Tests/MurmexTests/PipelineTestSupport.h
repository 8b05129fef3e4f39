#pragma once

// Test doubles and helpers for the pipeline facade's tests: stages that record how they are
// loaded instead of running a model, a small tokenizer, and a log collector.

#include <chrono>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "HalvexCore/Logging.h"
#include "Murmex/Decoding/TextDecoder.h"
#include "Murmex/Decoding/TranscribeTask.h"
#include "Murmex/Model/AudioEncoding.h"
#include "Murmex/Model/FeatureExtracting.h"
#include "Murmex/Model/TextDecoding.h"
#include "Murmex/Model/WhisperMLModel.h"
#include "Murmex/Model/WhisperTokenizer.h"
#include "Murmex/Pipeline/Murmex.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"
#include "Support/LogCapture.h"
#include "Support/ScopedEnvironment.h"
#include "Support/ScriptedDecoder.h"
#include "Support/ScriptedDecoderStages.h"
#include "Support/ScriptedDecoderTokenizer.h"
#include "Support/Thrown.h"

namespace norvel::test::pipeline {

// What the fake stages were asked to do, in order: "load MelSpectrogram.mlmodelc cpuAndGPU",
// "prewarm TextDecoder.mlmodelc cpuAndNeuralEngine", "unload AudioEncoder".
using Journal = std::shared_ptr<std::vector<std::string>>;

// A stage that owns a model in name only: loading records the request and keeps a flag.
class FakeModelOwner : public murmex::WhisperMLModel {
public:
    FakeModelOwner(std::string name, Journal journal) : name_(std::move(name)), journal_(std::move(journal)) {}

    std::shared_ptr<platform::Model> model() const override { return nullptr; }
    void setModel(std::shared_ptr<platform::Model>) override {}
    void loadModel(const std::filesystem::path& modelURL, platform::ComputeUnits computeUnits,
                   bool prewarmMode) override;
    void unloadModel() override;

    bool hasModel() const { return hasModel_; }
    // The next loads throw this error.
    void failLoadsWith(std::exception_ptr error) { failure_ = std::move(error); }
    // Each load takes at least this long.
    void setLoadDelay(std::chrono::milliseconds delay) { delay_ = delay; }

private:
    std::string name_;
    Journal journal_;
    bool hasModel_ = false;
    std::exception_ptr failure_;
    std::chrono::milliseconds delay_{0};
};

class FakeFeatureExtractor final : public murmex::FeatureExtracting, public FakeModelOwner {
public:
    explicit FakeFeatureExtractor(Journal journal) : FakeModelOwner("MelSpectrogram", std::move(journal)) {}
    std::optional<int> melCount() const override { return 80; }
    std::optional<int> windowSamples() const override { return windowSamples_; }
    std::shared_ptr<murmex::FeatureExtractorOutputType> logMelSpectrogram(
        const std::shared_ptr<murmex::AudioProcessorOutputType>&) override;

    std::optional<int> windowSamples_ = 480000;
};

class FakeAudioEncoder final : public murmex::AudioEncoding, public FakeModelOwner {
public:
    explicit FakeAudioEncoder(Journal journal) : FakeModelOwner("AudioEncoder", std::move(journal)) {}
    std::optional<int> embedSize() const override { return embedSize_; }
    std::shared_ptr<murmex::AudioEncoderOutputType> encodeFeatures(
        const std::shared_ptr<murmex::FeatureExtractorOutputType>&) override;

    std::optional<int> embedSize_ = 384;
};

// Holds the sizes and the tokenizer the facade reads; decoding is not its business.
class FakeTextDecoder final : public murmex::TextDecoding, public FakeModelOwner {
public:
    explicit FakeTextDecoder(Journal journal) : FakeModelOwner("TextDecoder", std::move(journal)) {}

    std::shared_ptr<murmex::WhisperTokenizer> tokenizer() const override { return tokenizer_; }
    void setTokenizer(std::shared_ptr<murmex::WhisperTokenizer> tokenizer) override {
        tokenizer_ = std::move(tokenizer);
    }
    bool isModelMultilingual() const override { return multilingual_; }
    void setIsModelMultilingual(bool multilingual) override { multilingual_ = multilingual; }
    bool supportsWordTimestamps() const override { return false; }
    std::optional<int> logitsSize() const override { return logitsSize_; }
    std::optional<std::vector<std::shared_ptr<murmex::LogitsFiltering>>> logitsFilters() const override {
        return filters_;
    }
    void setLogitsFilters(std::optional<std::vector<std::shared_ptr<murmex::LogitsFiltering>>> filters) override {
        filters_ = std::move(filters);
    }
    std::optional<int> kvCacheEmbedDim() const override { return std::nullopt; }
    std::optional<int> kvCacheMaxSequenceLength() const override { return std::nullopt; }
    std::optional<int> windowSize() const override { return std::nullopt; }
    std::optional<int> embedSize() const override { return std::nullopt; }

    std::shared_ptr<murmex::TextDecoderOutputType> predictLogits(
        const std::shared_ptr<murmex::TextDecoderInputType>&) override;
    std::shared_ptr<murmex::DecodingInputsType> prepareDecoderInputs(const std::vector<int>&) override;
    std::shared_ptr<murmex::DecodingInputsType> prefillDecoderInputs(
        const std::shared_ptr<murmex::DecodingInputsType>&, const std::optional<murmex::DecodingOptions>&) override;
    murmex::DecodingResult decodeText(const std::shared_ptr<murmex::AudioEncoderOutputType>&,
                                      const std::shared_ptr<murmex::DecodingInputsType>&, murmex::TokenSampling&,
                                      const murmex::DecodingOptions&,
                                      const murmex::TranscriptionProgressCallback&) override;
    murmex::DecodingResult detectLanguage(const std::shared_ptr<murmex::AudioEncoderOutputType>&,
                                          const std::shared_ptr<murmex::DecodingInputsType>&, murmex::TokenSampling&,
                                          const murmex::DecodingOptions&, platform::Float16) override;

    std::optional<int> logitsSize_ = 51865;

private:
    std::shared_ptr<murmex::WhisperTokenizer> tokenizer_;
    bool multilingual_ = false;
    std::optional<std::vector<std::shared_ptr<murmex::LogitsFiltering>>> filters_ =
        std::vector<std::shared_ptr<murmex::LogitsFiltering>>{};
};

// A tokenizer with nothing in it, for pipelines whose tokenizer is never asked anything.
class EmptyTokenizer final : public murmex::WhisperTokenizer {
public:
    std::vector<int> encode(const std::string&) const override { return {}; }
    std::string decode(const std::vector<int>&) const override { return {}; }
    std::optional<int> convertTokenToId(const std::string&) const override { return std::nullopt; }
    std::optional<std::string> convertIdToToken(int) const override { return std::nullopt; }
    const murmex::SpecialTokens& specialTokens() const override { return specialTokens_; }
    const std::set<int>& allLanguageTokens() const override { return languages_; }
    murmex::WordTokens splitToWordTokens(const std::vector<int>&) const override { return {}; }

private:
    murmex::SpecialTokens specialTokens_;
    std::set<int> languages_;
};

// The three fake stages of one pipeline, sharing one journal.
struct FakeStages {
    Journal journal = std::make_shared<std::vector<std::string>>();
    std::shared_ptr<FakeFeatureExtractor> featureExtractor = std::make_shared<FakeFeatureExtractor>(journal);
    std::shared_ptr<FakeAudioEncoder> audioEncoder = std::make_shared<FakeAudioEncoder>(journal);
    std::shared_ptr<FakeTextDecoder> textDecoder = std::make_shared<FakeTextDecoder>(journal);

    // A configuration that uses these stages and the given values.
    murmex::MurmexConfig config(murmex::MurmexConfig::Arguments arguments = {}) const;
};

// Empty model directories named as the pipeline looks for them; `without` names those left out.
void makeModelFolder(const std::filesystem::path& folder, const std::vector<std::string>& without = {});

using norvel::test::copyTokenizerFiles;
using norvel::test::LogCapture;

// Every (previous, new) pair that a pipeline's model state callback received.
struct StateRecorder {
    std::vector<std::pair<std::optional<halvex::ModelState>, halvex::ModelState>> changes;
    void attach(murmex::Murmex& pipeline);
};

// After the prompt, the text tokens 1 to `length`, then the end token.
ScriptedDecoderModel::Script speaksWords(int length);

// Default options without timestamps: each window gives one segment.
murmex::DecodingOptions plainOptions();

// `count` seconds of samples of 0.1.
std::vector<float> seconds(int count);

// A pipeline whose models need no files: its load hands over the scripted tokenizer. Its task
// factory can build the plain task instead of the facade's own.
class ScriptedPipeline : public murmex::Murmex {
public:
    void loadModels(bool prewarmMode) override;

    std::shared_ptr<murmex::TranscribeTask> setupTranscribeTask(
        const murmex::TranscriptionTimings& timings, const std::shared_ptr<halvex::Progress>& progress,
        const std::shared_ptr<murmex::AudioProcessing>& audioProcessor,
        const std::shared_ptr<murmex::AudioEncoding>& audioEncoder,
        const std::shared_ptr<murmex::FeatureExtracting>& featureExtractor,
        const std::shared_ptr<murmex::SegmentSeeking>& segmentSeeker,
        const std::shared_ptr<murmex::TextDecoding>& textDecoder,
        const std::shared_ptr<murmex::WhisperTokenizer>& tokenizer) override;

    // The timings the latest task was built with.
    murmex::TranscriptionTimings lastTimings() const;

    std::shared_ptr<ScriptedDecoderModel> scriptedModel;
    int loads = 0;
    bool giveTokenizer = true;
    bool plainTask = false;

private:
    mutable std::mutex mutex_;
    murmex::TranscriptionTimings lastTimings_;
};

// A mel stage that gives nothing for windows whose sample at `probe` is `failing`.
class PickyFeatureExtractor : public ScriptedFeatureExtractor {
public:
    PickyFeatureExtractor(std::int64_t probe, float failing) : probe_(probe), failing_(failing) {}
    std::shared_ptr<murmex::FeatureExtractorOutputType> logMelSpectrogram(
        const std::shared_ptr<murmex::AudioProcessorOutputType>& audio) override;

private:
    std::int64_t probe_;
    float failing_;
};

// A scripted pipeline of type T (ScriptedPipeline or a subclass) over the real text decoder
// with a scripted model and scripted mel and encoder stages.
template <class T = ScriptedPipeline>
struct ScriptedPipelineRig {
    explicit ScriptedPipelineRig(ScriptedDecoderModel::Script script = speaksWords(2),
                                 murmex::MurmexConfig::Arguments arguments = {})
        : model(ScriptedDecoderModel::make({}, std::move(script))),
          decoder(std::make_shared<murmex::TextDecoder>()),
          features(std::make_shared<ScriptedFeatureExtractor>()),
          encoder(std::make_shared<ScriptedAudioEncoder>(model->encoderOutput())) {
        decoder->setModel(model);
        decoder->setIsModelMultilingual(true);
        arguments.featureExtractor = features;
        arguments.audioEncoder = encoder;
        arguments.textDecoder = decoder;
        arguments.download = false;
        pipeline = murmex::Murmex::create<T>(murmex::MurmexConfig(arguments));
        pipeline->scriptedModel = model;
    }

    std::shared_ptr<ScriptedDecoderModel> model;
    std::shared_ptr<murmex::TextDecoder> decoder;
    std::shared_ptr<ScriptedFeatureExtractor> features;
    std::shared_ptr<ScriptedAudioEncoder> encoder;
    std::shared_ptr<T> pipeline;
};

using PipelineRig = ScriptedPipelineRig<>;

}  // namespace norvel::test::pipeline
