#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "HalvexCore/TokenizerWrapper.h"
#include "Murmex/Model/WhisperTokenizer.h"

namespace murmex {

// The Whisper tokenizer over a loaded general tokenizer: its special tokens, its language
// tokens and word splitting. A token text the vocabulary lacks counts as missing even where
// the general tokenizer answers with its unknown token's id, so that the fixed fallback ids
// apply to the special tokens and callers see "no such token". The no-speech token is also
// found under its earlier name "<|nocaptions|>".
class WhisperTokenizerWrapper : public WhisperTokenizer {
public:
    WhisperTokenizerWrapper(halvex::TokenizerWrapper tokenizer, std::optional<std::filesystem::path> tokenizerFolder);

    const halvex::TokenizerWrapper& tokenizer() const { return tokenizer_; }
    // The folder the tokenizer files were read from.
    const std::optional<std::filesystem::path>& tokenizerFolder() const { return tokenizerFolder_; }

    std::vector<int> encode(const std::string& text) const override;
    std::string decode(const std::vector<int>& tokens) const override;
    std::optional<int> convertTokenToId(const std::string& token) const override;
    std::optional<std::string> convertIdToToken(int id) const override;
    const SpecialTokens& specialTokens() const override { return specialTokens_; }
    const std::set<int>& allLanguageTokens() const override { return allLanguageTokens_; }

    // Text in Chinese, Japanese, Thai, Lao, Burmese or Cantonese is split into decodable
    // pieces; any other text at spaces and punctuation. Special tokens are words of their own.
    WordTokens splitToWordTokens(const std::vector<int>& tokenIds) const override;

private:
    // The bytes of each token of a byte-level vocabulary; no value when a token is not byte-level.
    std::optional<std::vector<std::string>> tokenBytes(const std::vector<int>& tokens) const;
    WordTokens splitTokensOnUnicode(const std::vector<int>& tokens) const;
    WordTokens splitTokensOnSpaces(const std::vector<int>& tokens) const;

    halvex::TokenizerWrapper tokenizer_;
    std::optional<std::filesystem::path> tokenizerFolder_;
    SpecialTokens specialTokens_;
    std::set<int> allLanguageTokens_;
};

}  // namespace murmex
