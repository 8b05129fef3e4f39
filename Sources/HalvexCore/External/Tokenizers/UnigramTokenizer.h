#pragma once

// The Unigram model: every vocabulary piece has a score, and a piece of text is split into the
// pieces whose scores add up to the highest total, found by a Viterbi search over a lattice of
// the pieces that occur in the text.

#include <optional>
#include <string>
#include <vector>

#include "HalvexCore/External/Tokenizers/Tokenizer.h"

namespace halvex {

struct TokenLatticeNode {
    int tokenId = 0;
    int startOffset = 0;  // in characters
    int length = 0;       // in characters
    float score = 0;
    int prev = -1;  // index of the previous node in the lattice, -1 for none
    float backtraceScore = 0;

    std::string description() const;
};

// The lattice of one sentence: nodes by the character position where they begin and end.
class TokenLattice {
public:
    TokenLattice(text::TextView sentence, int bosTokenId, int eosTokenId);

    // Adds a node; both positions must lie within the sentence.
    void insert(int startOffset, int length, float score, int tokenId);
    // The best path from the begin node to the end node, without those two.
    std::vector<TokenLatticeNode> viterbi();
    // The text of each node of the best path.
    std::vector<text::Text> tokens();

    int characterCount() const { return static_cast<int>(boundaries_.size()) - 1; }
    const std::vector<TokenLatticeNode>& nodes() const { return nodes_; }

private:
    text::Text sentence_;
    std::vector<int32_t> boundaries_;
    int bosTokenId_;
    int eosTokenId_;
    std::vector<TokenLatticeNode> nodes_;
    std::vector<std::vector<int>> beginNodes_;
    std::vector<std::vector<int>> endNodes_;
};

class Trie;

// Walks a trie along a text: each call of next() gives the next prefix of the text that is a
// whole entry of the trie, shortest first, and none once the text ends or leaves the tree.
class LeavesWithCommonPrefixIterator {
public:
    // The text as characters, walked from `from` on; both must outlive the iterator.
    LeavesWithCommonPrefixIterator(const Trie& trie, const std::vector<text::Text>& text, size_t from);
    std::optional<std::vector<text::Text>> next();

private:
    const Trie* trie_;
    const std::vector<text::Text>* text_;
    size_t position_;
    int node_ = 0;
    std::vector<text::Text> seq_;
};

// A prefix tree of characters; two characters are the same key when canonically equivalent.
class Trie {
public:
    Trie();
    void insert(const std::vector<text::Text>& characters);
    void append(const std::vector<std::vector<text::Text>>& sequences);
    LeavesWithCommonPrefixIterator commonPrefixSearchIterator(const std::vector<text::Text>& characters,
                                                              size_t from = 0) const {
        return LeavesWithCommonPrefixIterator(*this, characters, from);
    }

private:
    friend class LeavesWithCommonPrefixIterator;
    struct Node {
        bool isLeaf = false;
        text::TextMap<int> children;
    };
    int child(int node, text::TextView character) const;
    std::vector<Node> nodes_;
};

class UnigramTokenizer : public PreTrainedTokenizerModel {
public:
    struct SentencePieceToken {
        text::Text token;
        float score;
    };

    // Throws TokenizerError::missingVocab when the data's model has no vocabulary array, and
    // TokenizerError::malformedVocab for a malformed piece, a missing or out-of-range unk_id or
    // a token listed twice.
    UnigramTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokenTable& addedTokens);

    std::vector<text::Text> tokenize(text::TextView text) const override;
    std::optional<int> convertTokenToId(text::TextView token) const override;
    std::optional<text::Text> convertIdToToken(int id) const override;

    float unknownTokenScore() const { return unknownPiece_.score; }
    std::optional<text::Text> bosToken() const override { return bosToken_; }
    std::optional<int> bosTokenId() const override { return bosTokenId_; }
    std::optional<text::Text> eosToken() const override { return eosToken_; }
    std::optional<int> eosTokenId() const override { return eosTokenId_; }
    std::optional<text::Text> unknownToken() const override { return unknownPiece_.token; }
    std::optional<int> unknownTokenId() const override { return unknownTokenId_; }
    bool fuseUnknownTokens() const override { return true; }

    const std::vector<SentencePieceToken>& vocab() const { return vocab_; }
    float minScore() const { return minScore_; }

private:
    std::vector<SentencePieceToken> vocab_;
    SentencePieceToken unknownPiece_;
    std::optional<int> unknownTokenId_;
    float minScore_ = 999.0f;
    text::TextMap<int> tokensToIds_;
    std::optional<text::Text> bosToken_ = text::Text(u" ");
    std::optional<int> bosTokenId_;
    std::optional<text::Text> eosToken_;
    std::optional<int> eosTokenId_;
    Trie trie_;
};

// The Unigram model under the class name "T5Tokenizer"; it adds and changes nothing.
class T5Tokenizer : public UnigramTokenizer {
public:
    using UnigramTokenizer::UnigramTokenizer;
};

}  // namespace halvex
