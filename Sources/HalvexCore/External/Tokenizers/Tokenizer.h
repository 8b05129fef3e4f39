#pragma once

// The interfaces of the tokenization subsystem: a complete tokenizer (`Tokenizer`), a
// tokenization model that knows a vocabulary (`TokenizingModel`), and the models that can be
// built from tokenizer files (`PreTrainedTokenizerModel`).

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "HalvexCore/External/Tokenizers/TextOperations.h"

namespace halvex {

class Config;

// A complete tokenizer. Texts and token strings are UTF-8 at this surface.
class Tokenizer {
public:
    virtual ~Tokenizer() = default;

    // The token strings of the text, before post-processing.
    virtual std::vector<std::string> tokenize(const std::string& text) const = 0;
    // The ids of the text with the special tokens of the post-processor added.
    virtual std::vector<int> encode(const std::string& text) const = 0;
    virtual std::vector<int> encode(const std::string& text, bool addSpecialTokens) const = 0;
    virtual std::vector<int> callAsFunction(const std::string& text, bool addSpecialTokens) const = 0;
    // Decoding that keeps special tokens.
    virtual std::string decode(const std::vector<int>& tokens) const;
    virtual std::string decode(const std::vector<int>& tokens, bool skipSpecialTokens) const = 0;

    virtual std::optional<int> convertTokenToId(const std::string& token) const = 0;
    virtual std::vector<std::optional<int>> convertTokensToIds(const std::vector<std::string>& tokens) const;
    virtual std::optional<std::string> convertIdToToken(int id) const = 0;
    virtual std::vector<std::optional<std::string>> convertIdsToTokens(const std::vector<int>& ids) const;

    virtual std::optional<std::string> bosToken() const = 0;
    virtual std::optional<int> bosTokenId() const = 0;
    virtual std::optional<std::string> eosToken() const = 0;
    virtual std::optional<int> eosTokenId() const = 0;
    virtual std::optional<std::string> unknownToken() const = 0;
    virtual std::optional<int> unknownTokenId() const = 0;
};

// The part of a tokenizer that knows the vocabulary: it turns one pre-tokenized piece of text
// into token strings and converts between tokens and ids.
class TokenizingModel {
public:
    virtual ~TokenizingModel() = default;

    virtual std::vector<text::Text> tokenize(text::TextView text) const = 0;
    virtual std::vector<text::Text> callAsFunction(text::TextView text) const { return tokenize(text); }
    std::vector<text::Text> operator()(text::TextView text) const { return callAsFunction(text); }

    virtual std::optional<int> convertTokenToId(text::TextView token) const = 0;
    std::vector<std::optional<int>> convertTokensToIds(const std::vector<text::Text>& tokens) const;
    virtual std::optional<text::Text> convertIdToToken(int id) const = 0;
    std::vector<std::optional<text::Text>> convertIdsToTokens(const std::vector<int>& ids) const;

    virtual std::optional<text::Text> bosToken() const = 0;
    virtual std::optional<int> bosTokenId() const = 0;
    virtual std::optional<text::Text> eosToken() const = 0;
    virtual std::optional<int> eosTokenId() const = 0;
    virtual std::optional<text::Text> unknownToken() const = 0;
    virtual std::optional<int> unknownTokenId() const = 0;
    virtual bool fuseUnknownTokens() const = 0;
};

// A table from token text to id whose keys compare as Unicode text: canonically equivalent
// contents are one key. An entry keeps the text it was first set with and the id it was last
// set with. Holds the added tokens, the special tokens and the WordPiece vocabulary.
class AddedTokenTable {
public:
    void set(const text::Text& content, int id);
    std::optional<int> find(text::TextView content) const;
    bool contains(text::TextView content) const { return find(content).has_value(); }
    bool containsId(int id) const;
    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    // The entries in the order their keys were first set.
    const std::vector<std::pair<text::Text, int>>& entries() const { return entries_; }

private:
    std::vector<std::pair<text::Text, int>> entries_;
    text::TextMap<size_t> index_;  // canonical key -> entry
    // No text longer than this (in code units) is equivalent to a key: such a text is refused
    // without being normalized.
    size_t longestEquivalent_ = 0;
};

// A tokenization model built from the tokenizer files. Every implementation has a constructor
// taking (tokenizer configuration, tokenizer data, added tokens) that may throw TokenizerError;
// the registry constructs the chosen one through it.
class PreTrainedTokenizerModel : public TokenizingModel {};

// A string value gives itself; a dictionary gives its `content` member when that is a string;
// anything else, and an absent value, gives none.
std::optional<text::Text> addedTokenAsString(const std::optional<Config>& value);

}  // namespace halvex
