#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace norvel::test {

// A model folder with random weights, made in a few hundred milliseconds: small widths,
// the real vocabulary and tokenizer files, so the whole pipeline can run on it.
struct GeneratedModelOptions {
    int width = 64;
    int heads = 4;
    int layers = 2;
    int melCount = 80;
    bool englishOnly = false;  // vocabulary 51864 and the English tokenizer, else 51865 multilingual
    std::uint64_t seed = 11;   // the seed of the committed golden files
    int cacheLength = 224;
    bool packages = false;  // NAME.mlpackage/… instead of NAME.mlmodelc/
    bool withTokenizer = true;
    // With a budget, the matrices are stored compressed to fit it, as a "…_<N>MB" folder is.
    std::optional<std::uint64_t> sizeBudget{};
};

// Writes MelSpectrogram, AudioEncoder and TextDecoder (and, unless disabled, tokenizer.json
// and tokenizer_config.json) into `folder`, which is created when missing.
void generateModelFolder(const std::filesystem::path& folder, const GeneratedModelOptions& options = {});

}  // namespace norvel::test
