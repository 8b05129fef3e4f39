#pragma once

#include "Platform/ML/Conversion/CheckpointConfig.h"
#include "Platform/ML/Conversion/ModelInstaller.h"
#include "Platform/ML/Runtime/ModelManifest.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

namespace platform::conversion {

class CompressionPlan;

struct ConversionOptions {
    int cacheLength = 224;  // S of the decoder's cache arrays
    bool packages = false;  // write NAME.mlpackage/… single files instead of NAME.mlmodelc/
    // The most bytes the model folder may take, all of its files counted. With a budget, the
    // layers' matrices and the token embedding are stored compressed, as wide as the budget
    // allows, and a budget that even the narrowest codes exceed is an error. Unset, the folder's
    // name gives it: a name ending in "_<N>MB" asks for N × 10^6 bytes; any other name, or
    // `halfPrecision`, keeps every matrix in half precision.
    std::optional<std::uint64_t> sizeBudget;
    bool halfPrecision = false;
    // Called with the compression plan once it is chosen, before any model is written.
    std::function<void(const CompressionPlan&)> planned;
    // Called with the fraction done (0 to 1, never decreasing) as the conversion goes on.
    std::function<void(double)> progress;
    // Checked throughout: while waiting for another conversion into the same destination,
    // before each tensor is read and after each is written, between the tokenizer files, and
    // once more just before the converted folder is put in place. Once requested, the
    // conversion stops with ConversionCancelled.
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
// atomically. Matrices are stored in half precision whatever the checkpoint's precision (or,
// with a size budget, the layers' matrices and the token embedding compressed: see
// CompressionPlan), vectors (norms, biases) and the filterbank in single precision. Without alignment heads in
// the checkpoint, every head of the second half of the decoder's layers is used. Throws
// MLError on missing or inconsistent input, with a message that names what is wrong
// ("Cannot convert: …"): a configuration the runtime could not run (CheckpointConfig),
// weights that are malformed, do not fit it (CheckpointReader), are not finite or do not fit
// half precision where they are stored in it, or tokenizer files that are not valid; a
// std::filesystem::filesystem_error of no_space_on_device when the destination's file system
// cannot hold the result.
void convertCheckpoint(const std::filesystem::path& checkpointFolder, const std::filesystem::path& modelFolder,
                       const ConversionOptions& options = {});

// Converts into a hidden folder beside `destination` (whose name, not the hidden folder's, gives
// the size budget when the options set none) and puts it in place once the three
// models and the checkpoint's tokenizer files are all written and load, as ModelInstaller
// says: the destination must be new, an empty folder or a complete model folder, and apart
// from the checkpoint folder; concurrent conversions into it take turns, and one that waited
// while another installed a complete folder there leaves it (installedByAnother). On any
// failure (cancellation too) `destination` is left as it was, so nothing half-written ever
// stands there.
InstallOutcome installConvertedModel(const std::filesystem::path& checkpointFolder,
                                     const std::filesystem::path& destination, const ConversionOptions& options = {});

}  // namespace platform::conversion
