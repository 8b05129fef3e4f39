#pragma once

#include <filesystem>
#include <memory>

#include "HalvexCore/ModelState.h"
#include "Platform/ML/ComputeUnits.h"
#include "Platform/ML/Model.h"

namespace murmex {

// A speech stage that owns one model: the model (kept behind the stage's own lock), loading and
// unloading it.
class WhisperMLModel {
public:
    virtual ~WhisperMLModel() = default;

    virtual std::shared_ptr<platform::Model> model() const = 0;
    virtual void setModel(std::shared_ptr<platform::Model> model) = 0;

    // Loads the model at `modelURL` with the compute units and keeps it; in prewarm mode the
    // loaded model is dropped and the stage is left without one. A failure to load is thrown
    // unchanged and leaves the model as it was.
    virtual void loadModel(const std::filesystem::path& modelURL, platform::ComputeUnits computeUnits,
                           bool prewarmMode);
    // Drops the model.
    virtual void unloadModel();

    // Loaded when the stage holds a model, unloaded otherwise.
    halvex::ModelState modelState() const;
};

}  // namespace murmex
