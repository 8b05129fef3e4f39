#pragma once

// The WordPiece model: spaces out Chinese characters, cuts words at whitespace and
// punctuation, then splits each word into the longest vocabulary pieces from the left,
// marking every piece after the first with "##".

#include <optional>
#include <vector>

#include "HalvexCore/External/Tokenizers/Tokenizer.h"

namespace halvex {

class BasicTokenizer {
public:
    explicit BasicTokenizer(bool doLowerCase);
    std::vector<text::Text> tokenize(text::TextView text) const;

    bool doLowerCase() const { return doLowerCase_; }
    const std::vector<text::Text>& neverSplit() const { return neverSplit_; }

private:
    bool doLowerCase_;
    std::vector<text::Text> neverSplit_;
};

class WordpieceTokenizer {
public:
    explicit WordpieceTokenizer(const AddedTokenTable& vocab);
    std::vector<text::Text> tokenize(text::TextView word) const;

    const text::Text& unkToken() const { return unkToken_; }
    int maxInputCharsPerWord() const { return maxInputCharsPerWord_; }

private:
    text::Text unkToken_ = u"[UNK]";
    int maxInputCharsPerWord_ = 100;
    const AddedTokenTable& vocab_;
};

class BertTokenizer : public PreTrainedTokenizerModel {
public:
    BertTokenizer(AddedTokenTable vocab, const std::optional<std::vector<text::Text>>& merges,
                  bool tokenizeChineseChars, std::optional<text::Text> bosToken, std::optional<text::Text> eosToken,
                  bool fuseUnknownTokens, bool doLowerCase);
    // Throws TokenizerError::missingVocab when the data's model has no vocabulary dictionary.
    BertTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, const AddedTokenTable& addedTokens);
    BertTokenizer(const BertTokenizer&) = delete;
    BertTokenizer& operator=(const BertTokenizer&) = delete;

    std::vector<text::Text> tokenize(text::TextView text) const override;
    std::optional<int> convertTokenToId(text::TextView token) const override;
    std::optional<text::Text> convertIdToToken(int id) const override;

    std::optional<text::Text> bosToken() const override { return bosToken_; }
    std::optional<int> bosTokenId() const override { return bosTokenId_; }
    std::optional<text::Text> eosToken() const override { return eosToken_; }
    std::optional<int> eosTokenId() const override { return eosTokenId_; }
    std::optional<text::Text> unknownToken() const override { return wordpieceTokenizer_.unkToken(); }
    std::optional<int> unknownTokenId() const override { return vocab_.find(wordpieceTokenizer_.unkToken()); }
    bool fuseUnknownTokens() const override { return fuseUnknownTokens_; }

    int maxLen() const { return maxLen_; }
    bool tokenizeChineseChars() const { return tokenizeChineseChars_; }

private:
    text::Text tokenizeChineseCharsIfNeed(text::TextView text) const;

    AddedTokenTable vocab_;
    BasicTokenizer basicTokenizer_;
    WordpieceTokenizer wordpieceTokenizer_;
    int maxLen_ = 512;
    bool tokenizeChineseChars_;
    std::unordered_map<int, text::Text> idsToTokens_;
    std::optional<text::Text> bosToken_;
    std::optional<int> bosTokenId_;
    std::optional<text::Text> eosToken_;
    std::optional<int> eosTokenId_;
    bool fuseUnknownTokens_;
};

}  // namespace halvex
