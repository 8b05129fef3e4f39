#pragma once

#include "HalvexCore/Protected.h"
#include "Murmex/Model/FeatureExtracting.h"
#include "Murmex/Model/WhisperMLModel.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/MultiArray.h"

#include <memory>
#include <optional>

namespace murmex {

// The mel-spectrogram stage: runs the model that turns one padded window of 16 kHz samples
// ("audio") into its log-mel features ("melspectrogram_features"). The model is kept behind
// the stage's lock only while it is read; predictions run outside it, so several windows may
// be processed at once and an unload never waits for a prediction.
class FeatureExtractor : public FeatureExtracting, public WhisperMLModel {
public:
    FeatureExtractor() = default;

    std::shared_ptr<platform::Model> model() const override { return model_.get(); }
    void setModel(std::shared_ptr<platform::Model> model) override { model_.set(std::move(model)); }

    // Read from the model's description on every access; nothing without a model.
    std::optional<int> melCount() const override;
    std::optional<int> windowSamples() const override;

    // The features of a window given as a multi-array. Throws WhisperError.audioProcessingFailed
    // ("FeatureExtractor input must be MLMultiArray") for any other input,
    // WhisperError.modelsUnavailable without a model, halvex::CancellationError when the current
    // task is cancelled, and the prediction's own error. Nothing when the prediction gives no
    // features.
    std::shared_ptr<FeatureExtractorOutputType> logMelSpectrogram(
        const std::shared_ptr<AudioProcessorOutputType>& audio) override;

private:
    halvex::Protected<std::shared_ptr<platform::Model>> model_;
};

}  // namespace murmex
