#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Murmex/Model/WhisperTokenizer.h"

namespace norvel::test {

// A small stand-in for the Whisper tokenizer with the real special-token layout of the
// multilingual vocabulary (51865 ids) or the English-only one (51864 ids). Text ids decode as
// the words given to the constructor, or as " w<id>" when none was given; "<|0.00|>" and on are
// timestamps; the first language tokens are "<|en|>", "<|zh|>", "<|de|>", "<|es|>" and
// "<|xx|>" (a code no model supports), the rest "<|l<n>|>".
class ScriptedTokenizer : public murmex::WhisperTokenizer {
public:
    explicit ScriptedTokenizer(std::map<int, std::string> words = {}, bool multilingual = true);

    int vocabularySize() const { return multilingual_ ? 51865 : 51864; }
    // The id of the timestamp for `seconds` (a multiple of 0.02).
    int timestamp(double seconds) const;
    int languageToken(const std::string& code) const;

    std::vector<int> encode(const std::string& text) const override;
    std::string decode(const std::vector<int>& tokens) const override;
    std::optional<int> convertTokenToId(const std::string& token) const override;
    std::optional<std::string> convertIdToToken(int id) const override;
    const murmex::SpecialTokens& specialTokens() const override { return special_; }
    const std::set<int>& allLanguageTokens() const override { return languageTokens_; }
    // A word starts at each text token that begins with a space or is punctuation; every
    // special token is a word of its own.
    murmex::WordTokens splitToWordTokens(const std::vector<int>& tokenIds) const override;

private:
    std::map<int, std::string> words_;
    bool multilingual_;
    murmex::SpecialTokens special_;
    std::set<int> languageTokens_;
    std::map<std::string, int> specialIds_;
    std::map<int, std::string> specialTexts_;
};

}  // namespace norvel::test
