#pragma once

// The tokenizer built from the hub's tokenizer files: added tokens, one tokenization model and
// up to four components (normalizer, pre-tokenizer, post-processor, decoder), run in a fixed
// order. Built once and never changed afterwards; safe to use from several threads.

#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "HalvexCore/External/Hub/Config.h"
#include "HalvexCore/External/Tokenizers/AddedTokenSplitter.h"
#include "HalvexCore/External/Tokenizers/Decoder.h"
#include "HalvexCore/External/Tokenizers/Normalizer.h"
#include "HalvexCore/External/Tokenizers/PostProcessor.h"
#include "HalvexCore/External/Tokenizers/PreTokenizer.h"
#include "HalvexCore/External/Tokenizers/TextOperations.h"
#include "HalvexCore/External/Tokenizers/Tokenizer.h"

namespace halvex {

class PreTrainedTokenizer : public Tokenizer {
public:
    // Throws the registry's and the model's TokenizerError, and TokenizerFileError for a
    // malformed component section.
    PreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, bool strict);
    ~PreTrainedTokenizer() override;

    // Tokenizer
    std::vector<std::string> tokenize(const std::string& text) const override;
    std::vector<int> encode(const std::string& text) const override;
    std::vector<int> encode(const std::string& text, bool addSpecialTokens) const override;
    std::vector<int> callAsFunction(const std::string& text, bool addSpecialTokens) const override;
    using Tokenizer::decode;
    std::string decode(const std::vector<int>& tokens, bool skipSpecialTokens) const override;
    std::optional<int> convertTokenToId(const std::string& token) const override;
    std::optional<std::string> convertIdToToken(int id) const override;
    std::optional<std::string> bosToken() const override;
    std::optional<int> bosTokenId() const override;
    std::optional<std::string> eosToken() const override;
    std::optional<int> eosTokenId() const override;
    std::optional<std::string> unknownToken() const override;
    std::optional<int> unknownTokenId() const override;
    bool fuseUnknownTokens() const;

    // The steps, on UTF-16 text.
    virtual std::vector<text::Text> tokenize(text::TextView text) const;
    virtual std::vector<text::Text> preTokenize(text::TextView text, PreTokenizerOptions options) const;
    virtual text::Text normalize(text::TextView text) const;
    virtual std::vector<text::Text> postProcess(const std::vector<text::Text>& tokens, bool addSpecialTokens) const;
    virtual std::vector<text::Text> decodeTokens(const std::vector<text::Text>& tokens) const;
    virtual text::Text cleanUp(text::TextView text) const;
    virtual std::vector<text::Text> fuseUnknown(const std::vector<text::Text>& tokens) const;
    std::vector<int> encode(text::TextView text, bool addSpecialTokens) const;
    text::Text decodeText(const std::vector<int>& tokens, bool skipSpecialTokens) const;

    const TokenizingModel& model() const { return *model_; }
    // Contents of the added tokens that have an integer id.
    const AddedTokenTable& addedTokens() const { return addedTokens_; }
    // Content to id of the added tokens marked special.
    const AddedTokenTable& specialTokens() const { return specialTokens_; }
    const std::optional<text::Regex>& addedTokensRegex() const { return addedTokensRegex_; }
    const PreTokenizer* preTokenizer() const { return preTokenizer_.get(); }
    const Normalizer* normalizer() const { return normalizer_.get(); }
    const PostProcessor* postProcessor() const { return postProcessor_.get(); }
    const Decoder* decoder() const { return decoder_.get(); }
    const Config& tokenizerConfig() const { return tokenizerConfig_; }
    bool cleanUpTokenizationSpaces() const { return cleanUpTokenizationSpaces_; }

private:
    AddedTokenTable addedTokens_;
    AddedTokenTable specialTokens_;
    std::unordered_set<int> specialTokenIds_;
    std::optional<text::Regex> addedTokensRegex_;
    std::optional<AddedTokenSplitter> addedTokenSplitter_;  // cuts exactly as the expression does
    std::unique_ptr<PreTokenizer> preTokenizer_;
    std::unique_ptr<Normalizer> normalizer_;
    std::unique_ptr<PostProcessor> postProcessor_;
    std::unique_ptr<Decoder> decoder_;
    Config tokenizerConfig_;
    bool cleanUpTokenizationSpaces_ = true;
    std::unique_ptr<TokenizingModel> model_;
};

}  // namespace halvex
