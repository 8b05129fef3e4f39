#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HalvexCore/ModelUtilities.h"
#include "Murmex/Model/ModelSupportConfig.h"
#include "Murmex/Model/ModelVariant.h"

namespace murmex {

class WhisperTokenizer;

// The core library's model-file helpers, with the speech library's own.
struct ModelUtilities : halvex::ModelUtilities {
    // The support of a device from `config`, or from the built-in table when none is given.
    static ModelSupport modelSupport(const std::string& deviceIdentifier,
                                     const std::optional<ModelSupportConfig>& config = std::nullopt);

    // The Whisper tokenizer of a variant: from the first local folder that holds a
    // "tokenizer.json" (the variant's tokenizer repository under the hub's download base, which
    // is `tokenizerFolder` or the hub's default, then `tokenizerFolder` itself, then each
    // additional path), else downloaded from the hub. A local folder that fails to load is
    // logged and the hub is used; a failure of the hub load is thrown unchanged.
    static std::shared_ptr<WhisperTokenizer> loadTokenizer(
        ModelVariant variant, const std::optional<std::filesystem::path>& tokenizerFolder = std::nullopt,
        const std::vector<std::filesystem::path>& additionalSearchPaths = {}, bool useBackgroundSession = false);

    // The model variant of a vocabulary size and an encoder width.
    static ModelVariant detectVariant(int logitsDim, int encoderDim);

    // "openai/whisper-" followed by the variant's description.
    static std::string tokenizerNameForVariant(ModelVariant variant);

    // The distinct model folder names of a repository listing, ordered by model size.
    static std::vector<std::string> formatModelFiles(const std::vector<std::string>& paths);
};

}  // namespace murmex
