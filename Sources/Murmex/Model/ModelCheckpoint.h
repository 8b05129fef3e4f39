#pragma once

#include <optional>
#include <string>
#include <vector>

namespace murmex {

// Where a model variant's weights are published as a hub Whisper checkpoint, which this
// library converts into its own model format on the user's machine when the model repository
// does not hold the variant in that format. Size-reduced variants ("…_216MB") come from the
// full checkpoint of their size; the converted folder keeps the variant's name.
struct ModelCheckpoint {
    std::string variantFolder;  // "openai_whisper-tiny"
    std::string repository;     // "openai/whisper-tiny"

    friend bool operator==(const ModelCheckpoint&, const ModelCheckpoint&) = default;

    // Every variant with a published checkpoint.
    static const std::vector<ModelCheckpoint>& all();
    // The checkpoint of the one variant folder whose name ends in `variant`; when several end
    // in it, the one of the main model family; nothing when none (or still several) do.
    static std::optional<ModelCheckpoint> forVariant(const std::string& variant);

    // The checkpoint files the conversion reads, as globs of the repository's listing: the
    // configuration, the weights in the safetensors format (whole or in shards) and the
    // tokenizer files. The repositories' other weight formats are never fetched.
    static const std::vector<std::string>& fileGlobs();
};

}  // namespace murmex
