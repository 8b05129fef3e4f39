#include "Murmex/Pipeline/Murmex.h"

#include "HalvexCore/External/Hub/HubErrors.h"
#include "HalvexCore/Logging.h"
#include "HalvexCore/ProcessInfo.h"
#include "Murmex/Audio/AudioEncoder.h"
#include "Murmex/Audio/AudioProcessor.h"
#include "Murmex/Audio/FeatureExtractor.h"
#include "Murmex/Decoding/SegmentSeeker.h"
#include "Murmex/Decoding/TextDecoder.h"
#include "Murmex/Model/Constants.h"

namespace murmex {

using halvex::Logging;
using halvex::ModelState;

std::string Murmex::deviceName() { return halvex::ProcessInfo::hwModel(); }

Murmex::Murmex() : progress_(std::make_shared<halvex::Progress>()) {}

Murmex::~Murmex() {
    if (!audioProcessor_) return;
    try {
        audioProcessor_->stopRecording();
    } catch (...) {
        Logging::error("Stopping the recording failed: " + halvex::localizedDescription(std::current_exception()));
    }
}

void Murmex::setTokenizer(std::shared_ptr<WhisperTokenizer> value) {
    tokenizer_ = value;
    if (auto decoder = textDecoder()) decoder->setTokenizer(std::move(value));
}

void Murmex::setModelState(ModelState value) {
    const ModelState previous = modelState_;
    modelState_ = value;
    if (modelStateCallback_) modelStateCallback_(previous, value);
}

void Murmex::initialize(const MurmexConfig& config) {
    modelCompute_ = config.computeOptions().value_or(ModelComputeOptions());
    audioInputOptions_ = config.audioInputConfig().value_or(AudioInputOptions());

    setAudioProcessor(config.audioProcessor() ? config.audioProcessor() : std::make_shared<AudioProcessor>());
    setFeatureExtractor(config.featureExtractor() ? config.featureExtractor() : std::make_shared<FeatureExtractor>());
    setAudioEncoder(config.audioEncoder() ? config.audioEncoder() : std::make_shared<AudioEncoder>());
    setTextDecoder(config.textDecoder() ? config.textDecoder() : std::make_shared<TextDecoder>());
    if (config.logitsFilters()) textDecoder()->setLogitsFilters(config.logitsFilters());
    setSegmentSeeker(config.segmentSeeker() ? config.segmentSeeker() : std::make_shared<SegmentSeeker>());
    setVoiceActivityDetector(config.voiceActivityDetector());

    setTokenizerFolder(config.tokenizerFolder() ? config.tokenizerFolder() : config.downloadBase());
    setUseBackgroundDownloadSession(config.useBackgroundDownloadSession());
    setCurrentTimings(TranscriptionTimings());

    Logging::updateLogLevel(config.verbose() ? config.logLevel() : Logging::LogLevel::none);

    setupModels(config.model(), config.downloadBase(), config.modelRepo(), config.modelToken(), config.modelFolder(),
                config.download(), std::string(Constants::defaultRemoteConfigName),
                config.modelEndpoint().value_or(Constants::defaultRemoteEndpoint()));

    if (config.prewarm().value_or(false)) {
        Logging::info("Prewarming models...");
        prewarmModels();
    }

    // A folder found by downloading does not count: without a configured folder the models
    // are loaded by the first transcription.
    const bool load = config.load().has_value() ? *config.load() : config.modelFolder().has_value();
    if (load) {
        Logging::info("Loading models...");
        loadModels(false);
    }
}

void Murmex::clearState() {
    if (auto processor = audioProcessor()) processor->stopRecording();
    setCurrentTimings(TranscriptionTimings());
}

void Murmex::loggingCallback(LogLineCallback callback) { Logging::updateCallback(std::move(callback)); }

}  // namespace murmex
