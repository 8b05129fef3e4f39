#include "Murmex/Audio/AudioEncoder.h"

#include "HalvexCore/ModelUtilities.h"
#include "Murmex/Audio/TaskCancellation.h"
#include "Murmex/Model/LoggingCategories.h"
#include "Murmex/Model/ModelFeatureRecords.h"
#include "Murmex/Model/WhisperError.h"

namespace murmex {

std::optional<int> AudioEncoder::embedSize() const {
    const auto current = model();
    return halvex::ModelUtilities::getModelOutputDimension(current.get(), FeatureName::encoderOutputEmbeds, 1);
}

std::optional<int> AudioEncoder::sequenceLength() const {
    const auto current = model();
    return halvex::ModelUtilities::getModelOutputDimension(current.get(), FeatureName::encoderOutputEmbeds, 3);
}

std::shared_ptr<AudioEncoderOutputType> AudioEncoder::encodeFeatures(
    const std::shared_ptr<FeatureExtractorOutputType>& features) {
    const auto array = MultiArrayValue::arrayOf(features.get());
    if (!array) {
        throw WhisperError::audioProcessingFailed(std::string(WhisperErrorMessage::audioEncoderInputNotMultiArray));
    }
    auto embeddings = encodeFeatures(*array);
    if (!embeddings) {
        return nullptr;
    }
    return std::make_shared<MultiArrayValue>(std::move(*embeddings));
}

std::optional<platform::MultiArray> AudioEncoder::encodeFeatures(const platform::MultiArray& features) {
    // The model is held for this prediction only; an unload meanwhile does not wait for it.
    const auto current = model();
    if (!current) {
        throw WhisperError::modelsUnavailable(std::string(WhisperErrorMessage::modelsUnavailable));
    }
    TaskCancellation::checkCancellation();

    const Signposter& signposter = Logging::AudioEncoding::signposter();
    SignpostIntervalState interval = Logging::beginSignpost("EncodeAudio", signposter);
    std::shared_ptr<platform::FeatureProvider> output;
    try {
        output = current->asyncPrediction(AudioEncoderInput(features), platform::PredictionOptions{});
    } catch (...) {
        Logging::endSignpost("EncodeAudio", interval, signposter);
        throw;
    }
    std::optional<platform::MultiArray> embeddings;
    if (output) {
        if (auto value = output->featureValue(FeatureName::encoderOutputEmbeds)) {
            embeddings = value->multiArrayValue();
        }
    }
    Logging::endSignpost("EncodeAudio", interval, signposter);
    return embeddings;
}

}  // namespace murmex
