#pragma once

#include "Platform/ML/AudioWindow.h"
#include "Platform/ML/Runtime/ModelManifest.h"

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <stop_token>
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
    int audioFrames = audiowindow::encoderFrames;     // max_source_positions
    int textContext = 448;                            // max_target_positions
    std::vector<std::pair<int, int>> alignmentHeads;  // from generation_config.json, if any

    // Reads config.json (and generation_config.json when present) of a checkpoint folder.
    // Throws MLError invalidModel when a value is missing or out of range.
    static CheckpointConfig read(const std::filesystem::path& checkpointFolder);
};

struct ConversionOptions {
    int cacheLength = 224;  // S of the decoder's cache arrays
    bool packages = false;  // write NAME.mlpackage/… single files instead of NAME.mlmodelc/
    // Called with the fraction done (0 to 1, never decreasing) as the conversion goes on.
    std::function<void(double)> progress;
    // Checked between tensors and between models; once requested, the conversion stops with
    // ConversionCancelled.
    std::stop_token stop;
};

// The conversion was stopped through its stop token.
class ConversionCancelled : public std::runtime_error {
public:
    ConversionCancelled() : std::runtime_error("The conversion was cancelled.") {}
};

// Turns a hub Whisper checkpoint folder (config.json, model.safetensors with the hub's
// tensor names, or its sharded form: model.safetensors.index.json naming the shard of every
// tensor; optional generation_config.json, tokenizer files) into a model folder laid out as
// ModelFolder says, with MelSpectrogram, AudioEncoder and TextDecoder in this runtime's format,
// the mel filterbank computed here, and the tokenizer files copied alongside. Each model appears
// atomically. Matrices are stored in half precision whatever the checkpoint's precision,
// vectors (norms, biases) and the filterbank in single precision. Without alignment heads in
// the checkpoint, every head of the second half of the decoder's layers is used. Throws
// MLError on missing or inconsistent input, with a message that names what is wrong
// ("Cannot convert: …"); a std::filesystem::filesystem_error of no_space_on_device when the
// destination's file system cannot hold the result.
void convertCheckpoint(const std::filesystem::path& checkpointFolder, const std::filesystem::path& modelFolder,
                       const ConversionOptions& options = {});

// Converts into a hidden folder beside `destination` and renames it into place once the three
// models and the checkpoint's tokenizer files are all written, replacing an earlier folder of
// that name; the hidden folder must then be complete by ModelFolder's rule. On any failure
// (cancellation too) the hidden folder is removed and `destination` is left as it was, so
// nothing half-written ever stands at the destination.
void installConvertedModel(const std::filesystem::path& checkpointFolder, const std::filesystem::path& destination,
                           const ConversionOptions& options = {});

}  // namespace platform::conversion
