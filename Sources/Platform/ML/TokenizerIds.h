#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace platform {

// What the model runtime must know of a tokenizer.json: the highest token id the tokenizer
// can give or take, which must lie below the text decoder's vocabulary (its special and
// timestamp tokens come last).
struct TokenizerIds {
    // Tokenizer files of the published models take about 2.5 MB.
    static constexpr std::size_t maximumFileBytes = std::size_t{32} << 20;

    std::int64_t highestId = -1;  // -1 when the file lists no token
    std::string highestToken;     // the token of that id, shortened for messages

    // Reads the ids of the vocabulary (model.vocab) and the added tokens of a tokenizer.json,
    // scanning its text without building the whole document. Throws MLError (invalidModel)
    // naming the file when it is not a regular file, larger than maximumFileBytes, not a JSON
    // object (text that is not UTF-8 included), or gives a token an id that is not a whole
    // number of at least 0.
    static TokenizerIds read(const std::filesystem::path& file);
};

}  // namespace platform
