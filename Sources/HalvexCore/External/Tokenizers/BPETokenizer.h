#pragma once

// The byte-pair encoding model: splits one pre-tokenized piece into characters and merges
// adjacent pairs by the rank of a merge list until no listed pair remains; pieces outside the
// vocabulary are written as byte tokens.

#include <array>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "HalvexCore/External/Hub/Config.h"
#include "HalvexCore/External/Tokenizers/FlatTextMap.h"
#include "HalvexCore/External/Tokenizers/Tokenizer.h"

namespace halvex {

// A candidate merge of two adjacent pieces; equal when both parts are canonically equivalent.
struct BytePair {
    text::Text a;
    text::Text b;
    bool operator==(const BytePair& other) const {
        return text::canonicallyEqual(a, other.a) && text::canonicallyEqual(b, other.b);
    }
};

class BPETokenizer : public PreTrainedTokenizerModel {
public:
    // Throws TokenizerFileError "BPETokenizer requires merges" when the data's model has no
    // merge list, and TokenizerError::missingVocab when it has no vocabulary dictionary.
    BPETokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokenTable& addedTokens);

    // The merges of a `merges` value: a string is cut at every space (empty parts kept), an
    // array gives its string elements; other elements are skipped. None unless an array.
    static std::optional<std::vector<std::vector<text::Text>>> mergesFromConfig(const Config& value);

    int vocabCount() const { return static_cast<int>(tokensToIds_.size()); }

    std::vector<text::Text> tokenize(text::TextView text) const override;
    std::optional<int> convertTokenToId(text::TextView token) const override;
    std::optional<text::Text> convertIdToToken(int id) const override;

    // The byte-level characters of the text's UTF-8 bytes, one string per byte.
    std::vector<text::Text> byteEncode(text::TextView text) const;
    // One "<0xHH>" token per UTF-8 byte of each byte-level piece of the text.
    std::vector<text::Text> hexaEncode(text::TextView text) const;
    // The merged pieces of one token, joined with single spaces.
    text::Text bpe(text::TextView token) const;
    // The rank of a merge, when listed.
    std::optional<int> rank(const BytePair& pair) const;

    std::optional<text::Text> bosToken() const override { return bosToken_; }
    std::optional<int> bosTokenId() const override { return bosTokenId_; }
    std::optional<text::Text> eosToken() const override { return eosToken_; }
    std::optional<int> eosTokenId() const override { return eosTokenId_; }
    std::optional<text::Text> unknownToken() const override { return unknownToken_; }
    std::optional<int> unknownTokenId() const override { return unknownTokenId_; }
    bool fuseUnknownTokens() const override { return fuseUnknownTokens_; }

private:
    using Merge = FlatPairMap::Value;  // first: rank, second: symbol of the joined pair
    struct Span {
        int32_t symbol;  // -1 when the piece is no part of any merge and no token
        int32_t lower;
        int32_t upper;
    };

    void buildMerges(const Config& mergeList);
    void buildTokens(const Config& vocab, const AddedTokenTable& addedTokens);
    int32_t intern(text::TextView key);
    int32_t internKey(text::TextView key);
    int32_t symbolOf(text::TextView piece) const;
    const Merge* findMerge(int32_t a, int32_t b) const;
    // The merged pieces of a token as ranges of it.
    std::vector<Span> merge(text::TextView token) const;
    void appendTokens(text::TextView piece, std::vector<text::Text>& out) const;
    std::optional<int> idOf(text::TextView token) const;

    // Merges by pair of symbols. A symbol names the canonical key of a merge part: the index of
    // its entry in `tokensToIds_` when it is a token (as nearly every part is), otherwise the
    // size of that table plus its index in `extraSymbols_`.
    FlatTextMap extraSymbols_;
    std::array<int32_t, 0x300> simpleSymbols_{};
    FlatPairMap merges_;  // (rank, joined symbol) by pair of symbols

    FlatTextMap tokensToIds_;                // exact code units
    std::vector<int32_t> denseIdsToTokens_;  // entry of tokensToIds_ by id, -1 for none
    std::unordered_map<int, uint32_t> sparseIdsToTokens_;

    std::optional<text::Text> bosToken_;
    std::optional<int> bosTokenId_;
    std::optional<text::Text> eosToken_;
    std::optional<int> eosTokenId_;
    std::optional<text::Text> unknownToken_;
    std::optional<int> unknownTokenId_;
    bool fuseUnknownTokens_ = false;
};

}  // namespace halvex
