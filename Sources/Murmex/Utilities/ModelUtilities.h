#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HalvexCore/ModelUtilities.h"
#include "Murmex/Core/ModelSupportConfig.h"
#include "Murmex/Core/ModelVariant.h"

namespace murmex {

class WhisperTokenizer;

// The core library's model-file helpers, with the speech library's own.
struct ModelUtilities : halvex::ModelUtilities {
    // The support of a device from `config`, or from the built-in table when none is given.
    static ModelSupport modelSupport(const std::string& deviceIdentifier,
                                     const std::optional<ModelSupportConfig>& config = std::nullopt);

    // The model variant of a vocabulary size and an encoder width.
    static ModelVariant detectVariant(int logitsDim, int encoderDim);

    // "openai/whisper-" followed by the variant's description.
    static std::string tokenizerNameForVariant(ModelVariant variant);

    // The distinct model folder names of a repository listing, ordered by model size.
    static std::vector<std::string> formatModelFiles(const std::vector<std::string>& paths);
};

}  // namespace murmex
