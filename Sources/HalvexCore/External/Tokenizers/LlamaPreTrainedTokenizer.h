#pragma once

// The tokenizer for configurations of the class "LlamaTokenizer": before the ordinary
// construction it may replace the normalizer and pre-tokenizer by a metaspace pre-tokenizer and
// add a template post-processor built from the begin and end token settings; in its
// non-legacy mode it marks the start of the text with "▁".

#include <optional>

#include "HalvexCore/External/Tokenizers/PreTrainedTokenizer.h"

namespace halvex {

class LlamaPreTrainedTokenizer : public PreTrainedTokenizer {
public:
    // Throws TokenizerError::mismatchedConfig when a begin or end token is asked for but not
    // given, and every error of PreTrainedTokenizer's construction.
    LlamaPreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, bool strict);

    using PreTrainedTokenizer::tokenize;
    std::vector<text::Text> tokenize(text::TextView text) const override;

    bool isLegacy() const { return isLegacy_; }

    // The tokenizer data this class builds from: the caller's data is not changed.
    static Config editedTokenizerData(const Config& tokenizerConfig, const Config& tokenizerData);

private:
    bool isLegacy_;
};

// A "TemplateProcessing" section made from the configuration's add_bos_token/bos_token and
// add_eos_token/eos_token, or none when `processorConfig` already builds a TemplateProcessing.
// Throws TokenizerError::mismatchedConfig when a token is asked for but not given.
std::optional<Config> maybeUpdatePostProcessor(const Config& tokenizerConfig, const Config& processorConfig);

}  // namespace halvex
