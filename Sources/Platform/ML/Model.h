#pragma once

#include "Platform/ML/ComputeUnits.h"
#include "Platform/ML/FeatureProvider.h"
#include "Platform/ML/ModelDescription.h"

#include <filesystem>
#include <memory>

namespace platform {

// Options of one prediction (none are needed by this runtime).
struct PredictionOptions {};

// A loaded model: its description and predictions. Predictions may run from several
// threads at once.
//
// `load` reads a model directory (NAME.mlmodelc/ with model.json and
// weights.safetensors) or the single file inside a package
// (NAME.mlpackage/Data/com.apple.CoreML/model.mlmodel). Tests may derive their own
// models from this class and implement `predict`.
class Model {
public:
    // Throws MLError: modelNotFound when the files are missing, invalidModel when they are
    // malformed, truncated or inconsistent.
    static std::shared_ptr<Model> load(const std::filesystem::path& url, ComputeUnits computeUnits = ComputeUnits::all);

    virtual ~Model() = default;
    Model(const Model&) = delete;
    Model& operator=(const Model&) = delete;

    const ModelDescription& modelDescription() const { return description_; }
    ComputeUnits computeUnits() const { return computeUnits_; }

    // Checks the input against the description (every required input present as a
    // multi-array of the described element type and shape; MLError featureMissing or
    // featureTypeMismatch otherwise), then runs the model. The result holds every
    // non-optional output; its arrays are fresh and belong to the caller.
    std::shared_ptr<FeatureProvider> prediction(const FeatureProvider& input,
                                                const PredictionOptions& options = {}) const;

    // The same prediction; it runs on the calling thread.
    std::shared_ptr<FeatureProvider> asyncPrediction(const FeatureProvider& input,
                                                     const PredictionOptions& options = {}) const {
        return prediction(input, options);
    }

protected:
    Model(ModelDescription description, ComputeUnits computeUnits)
        : description_(std::move(description)), computeUnits_(computeUnits) {}

    // Runs the model on an input that matches the description.
    virtual std::shared_ptr<FeatureProvider> predict(const FeatureProvider& input,
                                                     const PredictionOptions& options) const = 0;

private:
    void validateInput(const FeatureProvider& input) const;

    ModelDescription description_;
    ComputeUnits computeUnits_;
};

}  // namespace platform
