#include "HalvexCore/External/Tokenizers/PreTrainedTokenizer.h"

#include <algorithm>
#include <climits>

#include "HalvexCore/External/Tokenizers/ComponentConfig.h"
#include "HalvexCore/External/Tokenizers/TokenizerError.h"
#include "HalvexCore/External/Tokenizers/TokenizerModel.h"

namespace halvex {

using text::Text;
using text::TextView;

namespace {

struct AddedTokenPattern {
    Text content;
    bool prefix;
    bool suffix;
    size_t characters;
};

std::optional<std::string> utf8(const std::optional<Text>& t) {
    if (!t) return std::nullopt;
    return text::toUtf8(*t);
}

}  // namespace

PreTrainedTokenizer::PreTrainedTokenizer(const Config& tokenizerConfig, const Config& tokenizerData, bool strict)
    : tokenizerConfig_(tokenizerConfig) {
    std::vector<AddedTokenPattern> patterns;
    if (const auto* elements = tokenizerData["addedTokens"].array()) {
        for (const Config& element : *elements) {
            auto content = component::textMember(element, "content");
            auto id = element["id"].integer();
            if (id && content && *id >= INT_MIN && *id <= INT_MAX) {
                addedTokens_.set(*content, static_cast<int>(*id));
                if (element["special"].boolean().value_or(false)) specialTokens_.set(*content, static_cast<int>(*id));
            }
            // Every string content cuts the text, with or without an id. An empty content would
            // match between any two characters, so it cuts nothing.
            if (content && !content->empty()) {
                patterns.push_back(AddedTokenPattern{*content, element["lstrip"].boolean().value_or(false),
                                                     element["rstrip"].boolean().value_or(false),
                                                     text::characterCount(*content)});
            }
        }
    }
    for (const auto& [content, id] : specialTokens_.entries()) specialTokenIds_.insert(id);

    // Longest contents first, so that a token is never cut short by one of its prefixes.
    std::stable_sort(patterns.begin(), patterns.end(), [](const AddedTokenPattern& a, const AddedTokenPattern& b) {
        return a.characters > b.characters;
    });
    if (!patterns.empty()) {
        Text expression;
        for (const auto& p : patterns) {
            if (!expression.empty()) expression.push_back(u'|');
            if (p.prefix) expression += u"\\s*";
            expression.push_back(u'(');
            expression.append(text::escapedPattern(p.content));
            expression.push_back(u')');
            if (p.suffix) expression += u"\\s*";
        }
        addedTokensRegex_ = text::Regex::compile(expression);
        // Without the expression, special tokens would be encoded as plain text.
        if (!addedTokensRegex_) throw TokenizerFileError("Cannot build regexp from the added tokens");
        std::vector<AddedTokenSplitter::Alternative> alternatives;
        alternatives.reserve(patterns.size());
        for (auto& p : patterns) alternatives.push_back({std::move(p.content), p.prefix, p.suffix});
        addedTokenSplitter_.emplace(std::move(alternatives));
    }

    std::vector<Text> addedTokenContents;
    addedTokenContents.reserve(addedTokens_.size());
    for (const auto& [content, id] : addedTokens_.entries()) addedTokenContents.push_back(content);

    preTokenizer_ = PreTokenizerFactory::fromConfig(tokenizerData["preTokenizer"]);
    normalizer_ = NormalizerFactory::fromConfig(tokenizerData["normalizer"]);
    postProcessor_ = PostProcessorFactory::fromConfig(tokenizerData["postProcessor"]);
    decoder_ = DecoderFactory::fromConfig(tokenizerData["decoder"], &addedTokenContents);
    cleanUpTokenizationSpaces_ = tokenizerConfig["cleanUpTokenizationSpaces"].boolean().value_or(true);
    model_ = TokenizerModel::from(tokenizerConfig, tokenizerData, addedTokens_, strict);
}

PreTrainedTokenizer::~PreTrainedTokenizer() = default;

// ---------------------------------------------------------------------------------------------
// Steps

std::vector<Text> PreTrainedTokenizer::preTokenize(TextView text, PreTokenizerOptions options) const {
    if (!preTokenizer_) return {Text(text)};
    return preTokenizer_->preTokenize(text, options);
}

Text PreTrainedTokenizer::normalize(TextView text) const {
    return normalizer_ ? normalizer_->normalize(text) : Text(text);
}

std::vector<Text> PreTrainedTokenizer::postProcess(const std::vector<Text>& tokens, bool addSpecialTokens) const {
    return postProcessor_ ? postProcessor_->postProcess(tokens, std::nullopt, addSpecialTokens) : tokens;
}

std::vector<Text> PreTrainedTokenizer::decodeTokens(const std::vector<Text>& tokens) const {
    return decoder_ ? decoder_->decode(tokens) : tokens;
}

Text PreTrainedTokenizer::cleanUp(TextView text) const {
    if (!cleanUpTokenizationSpaces_) return Text(text);
    // Every rule removes a space: a text without one stays as it is.
    if (text.find(u' ') == TextView::npos) return Text(text);
    static const std::pair<const char16_t*, const char16_t*> rules[] = {
        {u" .", u"."},     {u" ?", u"?"},   {u" !", u"!"},   {u" ,", u","},     {u" ' ", u"'"},
        {u" n't", u"n't"}, {u" 'm", u"'m"}, {u" 's", u"'s"}, {u" 've", u"'ve"}, {u" 're", u"'re"},
    };
    Text out(text);
    for (const auto& [from, to] : rules) out = text::replacingOccurrences(out, from, to);
    return out;
}

std::vector<Text> PreTrainedTokenizer::fuseUnknown(const std::vector<Text>& tokens) const {
    if (!model_->fuseUnknownTokens()) return tokens;
    const auto unknownId = model_->unknownTokenId();
    std::vector<Text> fused;
    fused.reserve(tokens.size());
    bool previousUnknown = false;
    for (const Text& token : tokens) {
        bool unknown = model_->convertTokenToId(token) == unknownId;
        if (!(unknown && previousUnknown)) fused.push_back(token);
        previousUnknown = unknown;
    }
    return fused;
}

std::vector<Text> PreTrainedTokenizer::tokenize(TextView text) const {
    std::vector<Text> sections;
    if (addedTokenSplitter_)
        sections = addedTokenSplitter_->split(text);
    else
        sections.emplace_back(text);

    std::vector<Text> tokens;
    for (size_t i = 0; i < sections.size(); ++i) {
        const Text& section = sections[i];
        std::vector<Text> sectionTokens;
        if (!section.empty() && !addedTokens_.empty() && addedTokens_.contains(section)) {
            sectionTokens.push_back(section);
        } else {
            PreTokenizerOptions options;
            if (i == 0) options.insert(PreTokenizerOption::firstSection);
            for (const Text& piece : preTokenize(normalize(section), options)) {
                for (Text& token : (*model_)(piece)) sectionTokens.push_back(std::move(token));
            }
        }
        if (model_->fuseUnknownTokens()) sectionTokens = fuseUnknown(sectionTokens);
        for (Text& token : sectionTokens) tokens.push_back(std::move(token));
    }
    return tokens;
}

std::vector<int> PreTrainedTokenizer::encode(TextView text, bool addSpecialTokens) const {
    std::vector<Text> tokens = tokenize(text);
    if (postProcessor_) tokens = postProcess(tokens, addSpecialTokens);
    std::vector<int> ids;
    ids.reserve(tokens.size());
    // A token without an id (possible only with a model that has no unknown token) is left out.
    for (const Text& token : tokens)
        if (auto id = model_->convertTokenToId(token)) ids.push_back(*id);
    return ids;
}

Text PreTrainedTokenizer::decodeText(const std::vector<int>& ids, bool skipSpecialTokens) const {
    std::vector<Text> tokens;
    tokens.reserve(ids.size());
    for (int id : ids) {
        if (skipSpecialTokens && specialTokenIds_.count(id)) continue;
        if (auto token = model_->convertIdToToken(id)) tokens.push_back(std::move(*token));
    }
    Text joined;
    for (const Text& piece : decodeTokens(tokens)) joined += piece;
    return cleanUp(joined);
}

// ---------------------------------------------------------------------------------------------
// Tokenizer

std::vector<std::string> PreTrainedTokenizer::tokenize(const std::string& text) const {
    std::vector<std::string> out;
    for (const Text& token : tokenize(TextView(text::fromUtf8(text)))) out.push_back(text::toUtf8(token));
    return out;
}

std::vector<int> PreTrainedTokenizer::encode(const std::string& text) const { return encode(text, true); }

std::vector<int> PreTrainedTokenizer::encode(const std::string& text, bool addSpecialTokens) const {
    return encode(TextView(text::fromUtf8(text)), addSpecialTokens);
}

std::vector<int> PreTrainedTokenizer::callAsFunction(const std::string& text, bool addSpecialTokens) const {
    return encode(text, addSpecialTokens);
}

std::string PreTrainedTokenizer::decode(const std::vector<int>& tokens, bool skipSpecialTokens) const {
    return text::toUtf8(decodeText(tokens, skipSpecialTokens));
}

std::optional<int> PreTrainedTokenizer::convertTokenToId(const std::string& token) const {
    return model_->convertTokenToId(text::fromUtf8(token));
}

std::optional<std::string> PreTrainedTokenizer::convertIdToToken(int id) const {
    return utf8(model_->convertIdToToken(id));
}

std::optional<std::string> PreTrainedTokenizer::bosToken() const { return utf8(model_->bosToken()); }
std::optional<int> PreTrainedTokenizer::bosTokenId() const { return model_->bosTokenId(); }
std::optional<std::string> PreTrainedTokenizer::eosToken() const { return utf8(model_->eosToken()); }
std::optional<int> PreTrainedTokenizer::eosTokenId() const { return model_->eosTokenId(); }
std::optional<std::string> PreTrainedTokenizer::unknownToken() const { return utf8(model_->unknownToken()); }
std::optional<int> PreTrainedTokenizer::unknownTokenId() const { return model_->unknownTokenId(); }
bool PreTrainedTokenizer::fuseUnknownTokens() const { return model_->fuseUnknownTokens(); }

}  // namespace halvex
