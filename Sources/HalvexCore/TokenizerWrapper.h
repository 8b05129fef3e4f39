#pragma once

// A loaded tokenizer as the speech library holds it: every call is forwarded to the tokenizer
// inside. Copies share that tokenizer.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HalvexCore/External/Tokenizers/Tokenizer.h"

namespace halvex {

struct TokenizerWrapper {
    std::shared_ptr<const Tokenizer> impl;

    explicit TokenizerWrapper(std::shared_ptr<const Tokenizer> tokenizer) : impl(std::move(tokenizer)) {}

    std::vector<std::string> tokenize(const std::string& text) const { return impl->tokenize(text); }
    // The ids with the special tokens of the post-processor added.
    std::vector<int> encode(const std::string& text) const { return impl->encode(text); }
    std::vector<int> encode(const std::string& text, bool addSpecialTokens) const {
        return impl->encode(text, addSpecialTokens);
    }
    // Decoding that keeps special tokens.
    std::string decode(const std::vector<int>& tokens) const { return impl->decode(tokens); }
    std::string decode(const std::vector<int>& tokens, bool skipSpecialTokens) const {
        return impl->decode(tokens, skipSpecialTokens);
    }
    std::optional<int> convertTokenToId(const std::string& token) const { return impl->convertTokenToId(token); }
    std::vector<std::optional<int>> convertTokensToIds(const std::vector<std::string>& tokens) const {
        return impl->convertTokensToIds(tokens);
    }
    std::optional<std::string> convertIdToToken(int id) const { return impl->convertIdToToken(id); }
    std::vector<std::optional<std::string>> convertIdsToTokens(const std::vector<int>& ids) const {
        return impl->convertIdsToTokens(ids);
    }
    std::optional<std::string> bosToken() const { return impl->bosToken(); }
    std::optional<int> bosTokenId() const { return impl->bosTokenId(); }
    std::optional<std::string> eosToken() const { return impl->eosToken(); }
    std::optional<int> eosTokenId() const { return impl->eosTokenId(); }
    std::optional<std::string> unknownToken() const { return impl->unknownToken(); }
    std::optional<int> unknownTokenId() const { return impl->unknownTokenId(); }
};

}  // namespace halvex
