#pragma once

#include "Platform/ML/Conversion/ModelConverter.h"
#include "Platform/ML/Runtime/SafeTensors.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace platform::conversion {

// The dimensions of a published model size: "tiny", "base", "small", "medium",
// "large-v3" (128 mel bands, 51866 tokens), "large-v3-turbo" (large-v3 with four decoder
// layers); an ".en" suffix gives the English-only vocabulary of 51864 tokens. Nothing for an
// unknown name.
std::optional<CheckpointConfig> checkpointPreset(const std::string& name);

struct GeneratorOptions {
    std::uint64_t seed = 1;
    runtime::TensorDType dtype = runtime::TensorDType::F32;  // F32, F16 or BF16
    // When set, tokenizer files found there are copied into the checkpoint.
    std::optional<std::filesystem::path> tokenizerFolder;
    // Weights, biases and embeddings drawn from Student's t with 4 degrees of freedom, with the
    // spread the uniform values have: heavy tails, as trained weights have.
    bool heavyTailed = false;
    // Layer-norm gains 20 times larger on 0.5% of the channels (at least one; the same channels
    // in every norm), as the few outlier activation channels of trained models.
    bool outlierChannels = false;
};

// Writes a hub-style Whisper checkpoint with random weights: config.json,
// model.safetensors (the hub's tensor names), generation_config.json when `config` lists
// alignment heads, and the tokenizer files. The same seed and dimensions always give the
// same bytes: weights are uniform values made with exact single-precision arithmetic from
// a counter-based generator (or, heavy-tailed, those values' Student's t quantiles), scaled so
// that activations stay near unit size.
void generateCheckpoint(const std::filesystem::path& folder, const CheckpointConfig& config,
                        const GeneratorOptions& options = {});

}  // namespace platform::conversion
