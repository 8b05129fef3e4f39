#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The layout of a model folder, and the one rule for when such a folder is complete.
//
// A model folder holds three models, MelSpectrogram, AudioEncoder and TextDecoder, each either
// compiled (NAME.mlmodelc/, a folder with model.json and weights.safetensors) or as a package
// (NAME.mlpackage/Data/com.apple.CoreML/model.mlmodel, one weights file whose metadata carries
// the description). A folder converted from a checkpoint also carries the checkpoint's
// tokenizer files beside the models.
//
// The model store counts a folder as downloaded, the converter's install step accepts what it
// wrote, and the speech library loads a folder, all by this type, so a folder that counts as
// downloaded is one whose every model the loader finds with all of its files.
struct ModelFolder {
    static constexpr std::string_view melSpectrogram = "MelSpectrogram";
    static constexpr std::string_view audioEncoder = "AudioEncoder";
    static constexpr std::string_view textDecoder = "TextDecoder";
    static constexpr std::array<std::string_view, 3> modelNames = {melSpectrogram, audioEncoder, textDecoder};

    static constexpr std::string_view compiledExtension = ".mlmodelc";
    static constexpr std::string_view packageExtension = ".mlpackage";
    // Inside a package folder.
    static constexpr std::string_view packageModelFile = "Data/com.apple.CoreML/model.mlmodel";
    // Inside a compiled model folder.
    static constexpr std::string_view manifestFile = "model.json";
    static constexpr std::string_view weightsFile = "weights.safetensors";

    // The tokenizer files that a converted folder carries and that a checkpoint must therefore
    // provide: the vocabulary with its merges, and the tokenizer's configuration.
    static const std::vector<std::string>& requiredTokenizerFiles();
    // Every tokenizer file a converted folder carries when the checkpoint has it: the required
    // ones first, then the optional ones.
    static const std::vector<std::string>& tokenizerFiles();

    // `folder/NAME.mlmodelc`.
    static std::filesystem::path compiledModel(const std::filesystem::path& folder, std::string_view name);
    // `folder/NAME.mlpackage`.
    static std::filesystem::path packageFolder(const std::filesystem::path& folder, std::string_view name);
    // `folder/NAME.mlpackage/Data/com.apple.CoreML/model.mlmodel`.
    static std::filesystem::path packageModel(const std::filesystem::path& folder, std::string_view name);
    // The location the loader is given for the model: the compiled form, unless only the
    // package's model file exists. Never checks that the result exists; never throws.
    static std::filesystem::path modelLocation(const std::filesystem::path& folder, std::string_view name);

    // Whether each of the three models is whole at the location the loader is given for it: a
    // compiled form is a folder holding model.json and weights.safetensors, a package's model
    // file is a file, and every one of these files is a regular file (a link to one counts) that
    // is not empty. A compiled form that exists but lacks a file therefore makes the folder
    // incomplete even beside a whole package of the same model, since the loader would take the
    // compiled form. The tokenizer files are not required: the tokenizer has its own search,
    // which falls back to the hub. Never throws.
    static bool isComplete(const std::filesystem::path& folder);

    // The bytes of every regular file below `folder`, hidden ones included: what the folder
    // takes, as its size budget counts it. Throws std::filesystem::filesystem_error when the
    // folder cannot be read.
    static std::uint64_t bytesOnDisk(const std::filesystem::path& folder);
};

}  // namespace platform
