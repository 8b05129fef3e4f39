#include "MurmexTests/PipelineTestSupport.h"

#include <stdexcept>

#include "Support/Fixtures.h"

namespace norvel::test::pipeline {

void FakeModelOwner::loadModel(const std::filesystem::path& modelURL, platform::ComputeUnits computeUnits,
                               bool prewarmMode) {
    journal_->push_back(std::string(prewarmMode ? "prewarm " : "load ") + modelURL.filename().string() + " " +
                        platform::description(computeUnits));
    if (delay_.count() > 0) std::this_thread::sleep_for(delay_);
    if (failure_) std::rethrow_exception(failure_);
    hasModel_ = !prewarmMode;
}

void FakeModelOwner::unloadModel() {
    journal_->push_back("unload " + name_);
    hasModel_ = false;
}

std::shared_ptr<murmex::FeatureExtractorOutputType> FakeFeatureExtractor::logMelSpectrogram(
    const std::shared_ptr<murmex::AudioProcessorOutputType>&) {
    throw std::logic_error("the fake feature extractor computes nothing");
}

std::shared_ptr<murmex::AudioEncoderOutputType> FakeAudioEncoder::encodeFeatures(
    const std::shared_ptr<murmex::FeatureExtractorOutputType>&) {
    throw std::logic_error("the fake audio encoder computes nothing");
}

std::shared_ptr<murmex::TextDecoderOutputType> FakeTextDecoder::predictLogits(
    const std::shared_ptr<murmex::TextDecoderInputType>&) {
    throw std::logic_error("the fake text decoder decodes nothing");
}

std::shared_ptr<murmex::DecodingInputsType> FakeTextDecoder::prepareDecoderInputs(const std::vector<int>&) {
    throw std::logic_error("the fake text decoder decodes nothing");
}

std::shared_ptr<murmex::DecodingInputsType> FakeTextDecoder::prefillDecoderInputs(
    const std::shared_ptr<murmex::DecodingInputsType>&, const std::optional<murmex::DecodingOptions>&) {
    throw std::logic_error("the fake text decoder decodes nothing");
}

murmex::DecodingResult FakeTextDecoder::decodeText(const std::shared_ptr<murmex::AudioEncoderOutputType>&,
                                                   const std::shared_ptr<murmex::DecodingInputsType>&,
                                                   murmex::TokenSampling&, const murmex::DecodingOptions&,
                                                   const murmex::TranscriptionProgressCallback&) {
    throw std::logic_error("the fake text decoder decodes nothing");
}

murmex::DecodingResult FakeTextDecoder::detectLanguage(const std::shared_ptr<murmex::AudioEncoderOutputType>&,
                                                       const std::shared_ptr<murmex::DecodingInputsType>&,
                                                       murmex::TokenSampling&, const murmex::DecodingOptions&,
                                                       platform::Float16) {
    throw std::logic_error("the fake text decoder decodes nothing");
}

murmex::MurmexConfig FakeStages::config(murmex::MurmexConfig::Arguments arguments) const {
    arguments.featureExtractor = featureExtractor;
    arguments.audioEncoder = audioEncoder;
    arguments.textDecoder = textDecoder;
    return murmex::MurmexConfig(std::move(arguments));
}

void makeModelFolder(const std::filesystem::path& folder, const std::vector<std::string>& without) {
    for (const char* name : {"MelSpectrogram", "AudioEncoder", "TextDecoder"}) {
        if (std::find(without.begin(), without.end(), name) != without.end()) continue;
        std::filesystem::create_directories(folder / (std::string(name) + ".mlmodelc"));
    }
}

void StateRecorder::attach(murmex::Murmex& pipeline) {
    pipeline.setModelStateCallback([this](std::optional<halvex::ModelState> previous, halvex::ModelState current) {
        changes.emplace_back(previous, current);
    });
}

ScriptedDecoderModel::Script speaksWords(int length) {
    return [length](const ScriptedCall& call, int) {
        static const ScriptedTokenizer scriptedWords;
        const int sampled = call.cacheLength - 3;
        if (sampled < 0) return ScriptedStep{.token = 7, .high = 30.0f};
        if (sampled < length) return ScriptedStep{.token = sampled + 1, .high = 30.0f};
        return ScriptedStep{.token = scriptedWords.specialTokens().endToken, .high = 30.0f};
    };
}

murmex::DecodingOptions plainOptions() {
    murmex::DecodingOptions options;
    options.withoutTimestamps = true;
    return options;
}

std::vector<float> seconds(int count) { return std::vector<float>(static_cast<std::size_t>(count) * 16000, 0.1f); }

void ScriptedPipeline::loadModels(bool prewarmMode) {
    ++loads;
    setModelState(prewarmMode ? halvex::ModelState::prewarming : halvex::ModelState::loading);
    if (auto decoder = std::dynamic_pointer_cast<murmex::TextDecoder>(textDecoder()); decoder && !prewarmMode)
        decoder->setModel(scriptedModel);
    if (giveTokenizer && !tokenizer()) setTokenizer(std::make_shared<ScriptedTokenizer>());
    setModelState(prewarmMode ? halvex::ModelState::prewarmed : halvex::ModelState::loaded);
}

std::shared_ptr<murmex::TranscribeTask> ScriptedPipeline::setupTranscribeTask(
    const murmex::TranscriptionTimings& timings, const std::shared_ptr<halvex::Progress>& progress,
    const std::shared_ptr<murmex::AudioProcessing>& audioProcessor,
    const std::shared_ptr<murmex::AudioEncoding>& audioEncoder,
    const std::shared_ptr<murmex::FeatureExtracting>& featureExtractor,
    const std::shared_ptr<murmex::SegmentSeeking>& segmentSeeker,
    const std::shared_ptr<murmex::TextDecoding>& textDecoder,
    const std::shared_ptr<murmex::WhisperTokenizer>& tokenizer) {
    {
        std::lock_guard lock(mutex_);
        lastTimings_ = timings;
    }
    if (!plainTask) {
        return Murmex::setupTranscribeTask(timings, progress, audioProcessor, audioEncoder, featureExtractor,
                                           segmentSeeker, textDecoder, tokenizer);
    }
    return std::make_shared<murmex::TranscribeTask>(timings, progress, audioProcessor, audioEncoder, featureExtractor,
                                                    segmentSeeker, textDecoder, tokenizer);
}

std::shared_ptr<murmex::FeatureExtractorOutputType> PickyFeatureExtractor::logMelSpectrogram(
    const std::shared_ptr<murmex::AudioProcessorOutputType>& audio) {
    const auto samples = murmex::MultiArrayValue::arrayOf(audio.get());
    if (samples && samples->count() > probe_ && static_cast<float>(samples->value(probe_)) == failing_) return nullptr;
    return ScriptedFeatureExtractor::logMelSpectrogram(audio);
}

murmex::TranscriptionTimings ScriptedPipeline::lastTimings() const {
    std::lock_guard lock(mutex_);
    return lastTimings_;
}

}  // namespace norvel::test::pipeline
