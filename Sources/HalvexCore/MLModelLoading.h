#pragma once

#include "Platform/ML/ComputeUnits.h"

#include <filesystem>

namespace halvex {

// Something that owns one model and can load and unload it.
class MLModelLoading {
public:
    virtual ~MLModelLoading() = default;

    virtual void loadModel(const std::filesystem::path& modelPath, platform::ComputeUnits computeUnits,
                           bool prewarmMode) = 0;
    virtual void unloadModel() = 0;

    // Loads without prewarming.
    void loadModel(const std::filesystem::path& modelPath, platform::ComputeUnits computeUnits) {
        loadModel(modelPath, computeUnits, false);
    }
};

}  // namespace halvex
