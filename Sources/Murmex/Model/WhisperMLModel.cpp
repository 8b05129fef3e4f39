#include "Murmex/Model/WhisperMLModel.h"

namespace murmex {

void WhisperMLModel::loadModel(const std::filesystem::path& modelURL, platform::ComputeUnits computeUnits,
                               bool prewarmMode) {
    std::shared_ptr<platform::Model> loaded = platform::Model::load(modelURL, computeUnits);
    setModel(prewarmMode ? nullptr : std::move(loaded));
}

void WhisperMLModel::unloadModel() { setModel(nullptr); }

halvex::ModelState WhisperMLModel::modelState() const {
    return model() ? halvex::ModelState::loaded : halvex::ModelState::unloaded;
}

}  // namespace murmex
