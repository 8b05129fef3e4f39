#pragma once

#include "Platform/ML/AudioWindow.h"
#include "Platform/ML/Runtime/ModelManifest.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform::conversion {

// The dimensions of a Whisper checkpoint, from the hub's config.json.
struct CheckpointConfig {
    // config.json, generation_config.json and the shard index are a few kilobytes.
    static constexpr std::size_t maximumConfigBytes = 1'000'000;

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
    // Throws MLError: modelNotFound without config.json; invalidModel when a file is not a
    // regular file, larger than maximumConfigBytes, not JSON or names a key twice, or a value
    // is missing or out of range (alignment heads outside the decoder's layers and heads too).
    static CheckpointConfig read(const std::filesystem::path& checkpointFolder);

    // The hyper-parameters of the three models converted from the checkpoint; without
    // alignment heads in the checkpoint, every head of the second half of the decoder's layers.
    runtime::MelHyperparameters melParameters() const;
    runtime::EncoderHyperparameters encoderParameters() const;
    runtime::DecoderHyperparameters decoderParameters(int cacheLength) const;

    // Throws MLError (invalidModel, "Cannot convert: …") when the runtime could not run the
    // converted models: the runtime's own checks of the three descriptions, a window of
    // max_source_positions too short for one FFT, a cache length outside
    // 1...max_target_positions, or a vocabulary that does not reach `highestTokenId` (the
    // highest id of the checkpoint's tokenizer, when it has one).
    void requireRunnable(int cacheLength, std::optional<std::int64_t> highestTokenId = std::nullopt,
                         const std::string& highestToken = {}) const;
};

// Reads one of a checkpoint's small JSON files (configuration, generation configuration, shard
// index). Throws MLError: modelNotFound when the file is missing, invalidModel ("Cannot convert:
// …" naming the file) when it is not a regular file, larger than
// CheckpointConfig::maximumConfigBytes, not JSON or names a key twice in one object.
nlohmann::json readCheckpointJson(const std::filesystem::path& path);

// Checks a tokenizer file of a checkpoint before it is copied into a model folder, so that the
// folder never carries one its tokenizer loader would fail on: a regular file of at most
// 32 MiB, valid JSON for the .json files and UTF-8 text for the others. Throws MLError
// (invalidModel, "Cannot convert: …") naming the file.
void checkTokenizerFile(const std::filesystem::path& file);

}  // namespace platform::conversion
