#include "HalvexCore/External/Tokenizers/UnigramTokenizer.h"

#include <algorithm>
#include <locale>
#include <sstream>

#include "HalvexCore/External/Hub/Config.h"
#include "HalvexCore/External/Tokenizers/ComponentConfig.h"
#include "HalvexCore/External/Tokenizers/TokenizerError.h"

namespace halvex {

using text::Text;
using text::TextView;

std::string TokenLatticeNode::description() const {
    std::ostringstream s;
    s.imbue(std::locale::classic());
    s << "TokenLatticeNode(tokenId: " << tokenId << ", startOffset: " << startOffset << ", length: " << length
      << ", score: " << score << ", prev: " << (prev < 0 ? std::string("nil") : std::to_string(prev))
      << ", backtraceScore: " << backtraceScore << ")";
    return s.str();
}

// ---------------------------------------------------------------------------------------------

TokenLattice::TokenLattice(TextView sentence, int bosTokenId, int eosTokenId)
    : sentence_(sentence),
      boundaries_(text::characterBoundaries(sentence)),
      bosTokenId_(bosTokenId),
      eosTokenId_(eosTokenId) {
    const auto n = static_cast<size_t>(characterCount());
    beginNodes_.resize(n + 1);
    endNodes_.resize(n + 1);
    nodes_.push_back(TokenLatticeNode{bosTokenId_, 0, 0, 0.0f, -1, 0.0f});
    nodes_.push_back(TokenLatticeNode{eosTokenId_, static_cast<int>(n), 0, 0.0f, -1, 0.0f});
    beginNodes_[n].push_back(1);
    endNodes_[0].push_back(0);
}

void TokenLattice::insert(int startOffset, int length, float score, int tokenId) {
    const int index = static_cast<int>(nodes_.size());
    nodes_.push_back(TokenLatticeNode{tokenId, startOffset, length, score, -1, 0.0f});
    beginNodes_[static_cast<size_t>(startOffset)].push_back(index);
    endNodes_[static_cast<size_t>(startOffset + length)].push_back(index);
}

std::vector<TokenLatticeNode> TokenLattice::viterbi() {
    const auto n = static_cast<size_t>(characterCount());
    for (size_t p = 0; p <= n; ++p) {
        if (beginNodes_[p].empty()) return {};
        for (int r : beginNodes_[p]) {
            TokenLatticeNode& right = nodes_[static_cast<size_t>(r)];
            right.prev = -1;
            if (endNodes_[p].empty()) continue;
            int best = -1;
            float bestScore = 0.0f;
            for (int l : endNodes_[p]) {
                float score = nodes_[static_cast<size_t>(l)].backtraceScore + right.score;
                if (best < 0 || score > bestScore) {
                    best = l;
                    bestScore = score;
                }
            }
            right.prev = best;
            right.backtraceScore = bestScore;
        }
    }
    const TokenLatticeNode& end = nodes_[static_cast<size_t>(beginNodes_[n].front())];
    if (end.prev < 0) return {};
    std::vector<TokenLatticeNode> path;
    for (int i = end.prev; i >= 0 && nodes_[static_cast<size_t>(i)].prev >= 0; i = nodes_[static_cast<size_t>(i)].prev)
        path.push_back(nodes_[static_cast<size_t>(i)]);
    std::reverse(path.begin(), path.end());
    return path;
}

std::vector<Text> TokenLattice::tokens() {
    std::vector<Text> out;
    for (const TokenLatticeNode& node : viterbi()) {
        int32_t lower = boundaries_[static_cast<size_t>(node.startOffset)];
        int32_t upper = boundaries_[static_cast<size_t>(node.startOffset + node.length)];
        out.push_back(sentence_.substr(static_cast<size_t>(lower), static_cast<size_t>(upper - lower)));
    }
    return out;
}

// ---------------------------------------------------------------------------------------------

Trie::Trie() : nodes_(1) {}

int Trie::child(int node, TextView character) const {
    const auto& children = nodes_[static_cast<size_t>(node)].children;
    auto it = text::isCanonicalKey(character) ? children.find(character) : children.find(text::canonicalKey(character));
    return it == children.end() ? -1 : it->second;
}

void Trie::insert(const std::vector<Text>& characters) {
    int node = 0;
    for (const Text& character : characters) {
        int next = child(node, character);
        if (next < 0) {
            next = static_cast<int>(nodes_.size());
            nodes_[static_cast<size_t>(node)].children.emplace(text::canonicalKey(character), next);
            nodes_.emplace_back();
        }
        node = next;
    }
    nodes_[static_cast<size_t>(node)].isLeaf = true;
}

void Trie::append(const std::vector<std::vector<Text>>& sequences) {
    for (const auto& sequence : sequences) insert(sequence);
}

LeavesWithCommonPrefixIterator::LeavesWithCommonPrefixIterator(const Trie& trie, const std::vector<Text>& text,
                                                               size_t from)
    : trie_(&trie), text_(&text), position_(from) {}

std::optional<std::vector<Text>> LeavesWithCommonPrefixIterator::next() {
    while (node_ >= 0 && position_ < text_->size()) {
        const Text& element = (*text_)[position_++];
        seq_.push_back(element);
        node_ = trie_->child(node_, element);
        if (node_ < 0) break;
        if (trie_->nodes_[static_cast<size_t>(node_)].isLeaf) return seq_;
    }
    node_ = -1;
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------

UnigramTokenizer::UnigramTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokenTable&) {
    Config model = tokenizerData["model"];
    const auto* vocab = model["vocab"].array();
    if (!vocab) throw TokenizerError::missingVocab();
    vocab_.reserve(vocab->size());
    for (const Config& element : *vocab) {
        const auto* pair = element.array();
        if (!pair || pair->empty()) throw TokenizerError::malformedVocab();
        const auto* token = pair->front().binaryDistinctString();
        const Config& last = pair->back();
        bool isNumber = last.kind() == Config::Kind::integer || last.kind() == Config::Kind::floating;
        if (!token || !isNumber) throw TokenizerError::malformedVocab();
        vocab_.push_back(SentencePieceToken{token->value, *last.floating()});
    }
    for (const auto& piece : vocab_) minScore_ = std::min(minScore_, piece.score);

    auto unkId = model["unkId"].integer();
    if (!unkId || *unkId < 0 || static_cast<size_t>(*unkId) >= vocab_.size()) throw TokenizerError::malformedVocab();
    unknownTokenId_ = static_cast<int>(*unkId);
    unknownPiece_ = SentencePieceToken{vocab_[static_cast<size_t>(*unkId)].token, minScore_ - 10.0f};

    tokensToIds_.reserve(vocab_.size());
    for (size_t i = 0; i < vocab_.size(); ++i) {
        if (!tokensToIds_.emplace(vocab_[i].token, static_cast<int>(i)).second) throw TokenizerError::malformedVocab();
    }
    if (auto it = tokensToIds_.find(TextView(u" ")); it != tokensToIds_.end()) bosTokenId_ = it->second;
    if (auto eos = component::textMember(tokenizerConfig, "eosToken")) {
        eosToken_ = *eos;
        if (auto it = tokensToIds_.find(TextView(*eos)); it != tokensToIds_.end()) eosTokenId_ = it->second;
    }
    for (const auto& piece : vocab_) trie_.insert(text::characters(piece.token));
}

std::vector<Text> UnigramTokenizer::tokenize(TextView text) const {
    TokenLattice lattice(text, bosTokenId_.value_or(0), eosTokenId_.value_or(0));
    const std::vector<Text> characters = text::characters(text);
    std::vector<int32_t> boundaries = text::characterBoundaries(text);
    const int unknownId = unknownTokenId_.value_or(0);
    for (size_t c = 0; c < characters.size(); ++c) {
        bool hasSingleCharacter = false;
        auto prefixes = trie_.commonPrefixSearchIterator(characters, c);
        while (auto found = prefixes.next()) {
            const size_t length = found->size();
            TextView prefix = text.substr(static_cast<size_t>(boundaries[c]),
                                          static_cast<size_t>(boundaries[c + length] - boundaries[c]));
            auto it = tokensToIds_.find(prefix);
            // The trie matches characters canonically, the table by exact code units: a
            // prefix the table lacks counts as unknown.
            int id = it == tokensToIds_.end() ? unknownId : it->second;
            float score = it == tokensToIds_.end() ? unknownPiece_.score : vocab_[static_cast<size_t>(id)].score;
            lattice.insert(static_cast<int>(c), static_cast<int>(length), score, id);
            if (length == 1) hasSingleCharacter = true;
        }
        if (!hasSingleCharacter) lattice.insert(static_cast<int>(c), 1, unknownPiece_.score, unknownId);
    }
    return lattice.tokens();
}

std::optional<int> UnigramTokenizer::convertTokenToId(TextView token) const {
    auto it = tokensToIds_.find(token);
    if (it == tokensToIds_.end()) return unknownTokenId_;
    return it->second;
}

std::optional<Text> UnigramTokenizer::convertIdToToken(int id) const {
    if (id < 0 || static_cast<size_t>(id) >= vocab_.size()) return std::nullopt;
    return vocab_[static_cast<size_t>(id)].token;
}

}  // namespace halvex
