#include "HalvexCore/External/Tokenizers/Tokenizer.h"

#include <algorithm>

#include "HalvexCore/External/Hub/Config.h"
#include "HalvexCore/External/Tokenizers/ComponentConfig.h"

namespace halvex {

std::string Tokenizer::decode(const std::vector<int>& tokens) const { return decode(tokens, false); }

std::vector<std::optional<int>> Tokenizer::convertTokensToIds(const std::vector<std::string>& tokens) const {
    std::vector<std::optional<int>> ids;
    ids.reserve(tokens.size());
    for (const auto& token : tokens) ids.push_back(convertTokenToId(token));
    return ids;
}

std::vector<std::optional<std::string>> Tokenizer::convertIdsToTokens(const std::vector<int>& ids) const {
    std::vector<std::optional<std::string>> tokens;
    tokens.reserve(ids.size());
    for (int id : ids) tokens.push_back(convertIdToToken(id));
    return tokens;
}

std::vector<std::optional<int>> TokenizingModel::convertTokensToIds(const std::vector<text::Text>& tokens) const {
    std::vector<std::optional<int>> ids;
    ids.reserve(tokens.size());
    for (const auto& token : tokens) ids.push_back(convertTokenToId(token));
    return ids;
}

std::vector<std::optional<text::Text>> TokenizingModel::convertIdsToTokens(const std::vector<int>& ids) const {
    std::vector<std::optional<text::Text>> tokens;
    tokens.reserve(ids.size());
    for (int id : ids) tokens.push_back(convertIdToToken(id));
    return tokens;
}

void AddedTokenTable::set(const text::Text& content, int id) {
    // A text equivalent to the content decomposes to the content's full decomposition, and no
    // scalar decomposes to nothing: it has at most as many scalars, each of one or two units.
    longestEquivalent_ = std::max(longestEquivalent_, 2 * text::nfd(content).size());
    auto [it, inserted] = index_.try_emplace(text::canonicalKey(content), entries_.size());
    if (inserted)
        entries_.emplace_back(content, id);
    else
        entries_[it->second].second = id;
}

std::optional<int> AddedTokenTable::find(text::TextView content) const {
    if (entries_.empty() || content.size() > longestEquivalent_) return std::nullopt;
    auto it = text::isCanonicalKey(content) ? index_.find(content) : index_.find(text::canonicalKey(content));
    if (it == index_.end()) return std::nullopt;
    return entries_[it->second].second;
}

bool AddedTokenTable::containsId(int id) const {
    for (const auto& entry : entries_)
        if (entry.second == id) return true;
    return false;
}

std::optional<text::Text> addedTokenAsString(const std::optional<Config>& value) {
    if (!value) return std::nullopt;
    if (const auto* s = value->binaryDistinctString()) return s->value;
    if (value->dictionary()) {
        return component::textMember(*value, "content");
    }
    return std::nullopt;
}

}  // namespace halvex
