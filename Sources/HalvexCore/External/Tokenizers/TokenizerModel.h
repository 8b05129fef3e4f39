#pragma once

// The model registry: maps the tokenizer class named in a tokenizer configuration to the
// tokenization model that serves it.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "HalvexCore/External/Tokenizers/Tokenizer.h"

namespace halvex {

class TokenizerModel {
public:
    TokenizerModel() = delete;

    using Factory = std::function<std::unique_ptr<PreTrainedTokenizerModel>(
        const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokenTable& addedTokens)>;

    // The factory registered for a class name (matched exactly), or none.
    static const Factory* registered(const std::string& className);

    // Builds the model for the configuration's `tokenizer_class` (every "Fast" removed).
    // Throws TokenizerError::missingTokenizerClassInConfig when the class is not a string, and
    // for an unregistered class TokenizerError::unsupportedTokenizer when strict; otherwise
    // prints a warning line and builds the byte-pair encoding model. Errors of the model's
    // construction pass through.
    static std::unique_ptr<PreTrainedTokenizerModel> from(const Config& tokenizerConfig, const Config& tokenizerData,
                                                          const AddedTokenTable& addedTokens, bool strict);

    // The configuration's `unk_token`: the `content` of a dictionary, or the string itself.
    static std::optional<text::Text> unknownToken(const Config& tokenizerConfig);
};

// Every occurrence of "Fast" removed.
std::string removingFast(std::string className);

}  // namespace halvex
