#pragma once

#include "Platform/ML/Runtime/ModelManifest.h"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace platform::conversion {

// The dimensions of a Whisper checkpoint, from the hub's config.json.
struct CheckpointConfig {
    int melCount = 80;
    int width = 384;
    int encoderLayers = 4;
    int encoderHeads = 6;
    int decoderLayers = 4;
    int decoderHeads = 6;
    int vocabulary = 51865;
    int audioFrames = 1500;  // max_source_positions
    int textContext = 448;   // max_target_positions
    std::vector<std::pair<int, int>> alignmentHeads;  // from generation_config.json, if any

    // Reads config.json (and generation_config.json when present) of a checkpoint folder.
    // Throws MLError invalidModel when a value is missing or out of range.
    static CheckpointConfig read(const std::filesystem::path& checkpointFolder);
};

struct ConversionOptions {
    int cacheLength = 224;   // S of the decoder's cache arrays
    bool packages = false;   // write NAME.mlpackage/… single files instead of NAME.mlmodelc/
};

// Turns a hub Whisper checkpoint folder (config.json, model.safetensors with the hub's
// tensor names, optional generation_config.json, tokenizer files) into a model folder
// with MelSpectrogram, AudioEncoder and TextDecoder in this runtime's format, the mel
// filterbank computed here, and the tokenizer files copied alongside. Each model appears
// atomically. Matrices are stored in half precision whatever the checkpoint's precision,
// vectors (norms, biases) and the filterbank in single precision. Without alignment heads in the checkpoint, every head of the second half of
// the decoder's layers is used. Throws MLError on missing or inconsistent input.
void convertCheckpoint(const std::filesystem::path& checkpointFolder, const std::filesystem::path& modelFolder,
                       const ConversionOptions& options = {});

// Files copied from a checkpoint folder into the model folder when present.
const std::vector<std::string>& tokenizerFileNames();

}  // namespace platform::conversion
