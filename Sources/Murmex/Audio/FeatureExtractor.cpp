#include "Murmex/Audio/FeatureExtractor.h"

#include "HalvexCore/ModelUtilities.h"
#include "Murmex/Audio/TaskCancellation.h"
#include "Murmex/Model/LoggingCategories.h"
#include "Murmex/Model/ModelFeatureRecords.h"
#include "Murmex/Model/WhisperError.h"

namespace murmex {

std::optional<int> FeatureExtractor::melCount() const {
    const auto current = model();
    return halvex::ModelUtilities::getModelOutputDimension(current.get(), FeatureName::melspectrogramFeatures, 1);
}

std::optional<int> FeatureExtractor::windowSamples() const {
    const auto current = model();
    return halvex::ModelUtilities::getModelInputDimension(current.get(), FeatureName::audio, 0);
}

std::shared_ptr<FeatureExtractorOutputType> FeatureExtractor::logMelSpectrogram(
    const std::shared_ptr<AudioProcessorOutputType>& audio) {
    const auto window = MultiArrayValue::arrayOf(audio.get());
    if (!window) {
        throw WhisperError::audioProcessingFailed(std::string(WhisperErrorMessage::featureExtractorInputNotMultiArray));
    }
    // The model is held for this prediction only; an unload meanwhile does not wait for it.
    const auto current = model();
    if (!current) {
        throw WhisperError::modelsUnavailable(std::string(WhisperErrorMessage::modelsUnavailable));
    }
    TaskCancellation::checkCancellation();

    const Signposter& signposter = Logging::FeatureExtractor::signposter();
    SignpostIntervalState interval = Logging::beginSignpost("ExtractAudioFeatures", signposter);
    std::shared_ptr<platform::FeatureProvider> output;
    try {
        output = current->asyncPrediction(MelSpectrogramInput(*window), platform::PredictionOptions{});
    } catch (...) {
        Logging::endSignpost("ExtractAudioFeatures", interval, signposter);
        throw;
    }
    std::optional<platform::MultiArray> features;
    if (output) {
        if (auto value = output->featureValue(FeatureName::melspectrogramFeatures)) {
            features = value->multiArrayValue();
        }
    }
    Logging::endSignpost("ExtractAudioFeatures", interval, signposter);
    if (!features) {
        return nullptr;
    }
    return std::make_shared<MultiArrayValue>(std::move(*features));
}

}  // namespace murmex
