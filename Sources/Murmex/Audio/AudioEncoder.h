#pragma once

#include "HalvexCore/Protected.h"
#include "Murmex/Model/AudioEncoding.h"
#include "Murmex/Model/WhisperMLModel.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/MultiArray.h"

#include <memory>
#include <optional>

namespace murmex {

// The audio-encoder stage: runs the model that turns one window's log-mel features
// ("melspectrogram_features") into its embeddings ("encoder_output_embeds"). The model is kept
// behind the stage's lock only while it is read; predictions run outside it.
class AudioEncoder : public AudioEncoding, public WhisperMLModel {
public:
    AudioEncoder() = default;

    std::shared_ptr<platform::Model> model() const override { return model_.get(); }
    void setModel(std::shared_ptr<platform::Model> model) override { model_.set(std::move(model)); }

    // Read from the model's description on every access; nothing without a model.
    std::optional<int> embedSize() const override;
    std::optional<int> sequenceLength() const;

    // Throws WhisperError.audioProcessingFailed ("AudioEncoder input must be MLMultiArray") when
    // the features are not a multi-array, then as the multi-array form.
    std::shared_ptr<AudioEncoderOutputType> encodeFeatures(
        const std::shared_ptr<FeatureExtractorOutputType>& features) override;
    // The embeddings of the features. Throws WhisperError.modelsUnavailable without a model,
    // halvex::CancellationError when the current task is cancelled, and the prediction's own
    // error. Nothing when the prediction gives no embeddings.
    std::optional<platform::MultiArray> encodeFeatures(const platform::MultiArray& features);

private:
    halvex::Protected<std::shared_ptr<platform::Model>> model_;
};

}  // namespace murmex
