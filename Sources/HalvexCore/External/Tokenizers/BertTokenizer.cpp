#include "HalvexCore/External/Tokenizers/BertTokenizer.h"

#include <climits>

#include "HalvexCore/External/Hub/Config.h"
#include "HalvexCore/External/Tokenizers/ComponentConfig.h"
#include "HalvexCore/External/Tokenizers/Normalizer.h"
#include "HalvexCore/External/Tokenizers/TokenizerError.h"

namespace halvex {

using text::Text;
using text::TextView;

namespace {

bool isAsciiPunctuationOrSymbol(char32_t c) {
    return (c >= 33 && c <= 47) || (c >= 58 && c <= 64) || (c >= 91 && c <= 96) || (c >= 123 && c <= 126);
}

std::optional<int> smallInteger(const Config& value) {
    auto i = value.integer();
    if (!i || *i < INT_MIN || *i > INT_MAX) return std::nullopt;
    return static_cast<int>(*i);
}

}  // namespace

BasicTokenizer::BasicTokenizer(bool doLowerCase)
    : doLowerCase_(doLowerCase), neverSplit_{u"[UNK]", u"[SEP]", u"[PAD]", u"[CLS]", u"[MASK]"} {}

std::vector<Text> BasicTokenizer::tokenize(TextView input) const {
    Text folded = doLowerCase_ ? text::foldingDiacritics(input) : Text(input);
    std::vector<Text> words;

    auto handleComponent = [&](TextView component) {
        if (component.empty()) return;
        for (const Text& never : neverSplit_) {
            if (text::canonicallyEqual(component, never)) {
                words.emplace_back(component);
                return;
            }
        }
        Text word = doLowerCase_ ? text::lowercased(component) : Text(component);
        std::vector<int32_t> b = text::characterBoundaries(word);
        Text current;
        for (size_t i = 0; i + 1 < b.size(); ++i) {
            TextView character = TextView(word).substr(static_cast<size_t>(b[i]), static_cast<size_t>(b[i + 1] - b[i]));
            char32_t first = text::codePointAt(character, 0);
            if (text::isPunctuation(first) || isAsciiPunctuationOrSymbol(first)) {
                if (!current.empty()) words.push_back(std::move(current));
                current.clear();
                words.emplace_back(character);
            } else {
                current.append(character);
            }
        }
        if (!current.empty()) words.push_back(std::move(current));
    };

    // Components between the separators (space separators and the tab; not line breaks).
    size_t start = 0;
    for (size_t i = 0; i < folded.size();) {
        char32_t c = text::codePointAt(folded, i);
        size_t length = c >= 0x10000 ? 2 : 1;
        if (text::isSpaceSeparatorOrTab(c)) {
            handleComponent(TextView(folded).substr(start, i - start));
            start = i + length;
        }
        i += length;
    }
    handleComponent(TextView(folded).substr(start));
    return words;
}

WordpieceTokenizer::WordpieceTokenizer(const AddedTokenTable& vocab) : vocab_(vocab) {}

std::vector<Text> WordpieceTokenizer::tokenize(TextView word) const {
    std::vector<int32_t> b = text::characterBoundaries(word);
    const size_t count = b.size() - 1;
    if (count > static_cast<size_t>(maxInputCharsPerWord_)) return {unkToken_};
    std::vector<Text> pieces;
    size_t start = 0;
    while (start < count) {
        std::optional<Text> found;
        size_t end = count;
        for (; end > start; --end) {
            Text candidate = start > 0 ? Text(u"##") : Text();
            candidate.append(word.substr(static_cast<size_t>(b[start]), static_cast<size_t>(b[end] - b[start])));
            if (vocab_.contains(candidate)) {
                found = std::move(candidate);
                break;
            }
        }
        if (!found) return {unkToken_};
        pieces.push_back(std::move(*found));
        start = end;
    }
    return pieces;
}

BertTokenizer::BertTokenizer(AddedTokenTable vocab, const std::optional<std::vector<Text>>&, bool tokenizeChineseChars,
                             std::optional<Text> bosToken, std::optional<Text> eosToken, bool fuseUnknownTokens,
                             bool doLowerCase)
    : vocab_(std::move(vocab)),
      basicTokenizer_(doLowerCase),
      wordpieceTokenizer_(vocab_),
      tokenizeChineseChars_(tokenizeChineseChars),
      bosToken_(std::move(bosToken)),
      eosToken_(std::move(eosToken)),
      fuseUnknownTokens_(fuseUnknownTokens) {
    for (const auto& [token, id] : vocab_.entries()) idsToTokens_.try_emplace(id, token);
    if (bosToken_) bosTokenId_ = vocab_.find(*bosToken_);
    if (eosToken_) eosTokenId_ = vocab_.find(*eosToken_);
}

namespace {

AddedTokenTable wordPieceVocabulary(const Config& tokenizerData, const AddedTokenTable& addedTokens) {
    AddedTokenTable table;
    const bool isDictionary = tokenizerData["model"]["vocab"].forEachMember([&](TextView key, const Config& value) {
        if (auto id = smallInteger(value)) table.set(Text(key), *id);
    });
    if (!isDictionary) throw TokenizerError::missingVocab();
    if (const auto* elements = tokenizerData["addedTokens"].array()) {
        for (const Config& element : *elements) {
            auto id = smallInteger(element["id"]);
            auto content = component::textMember(element, "content");
            if (id && content) table.set(*content, *id);
        }
    }
    for (const auto& [content, id] : addedTokens.entries()) table.set(content, id);
    return table;
}

std::optional<Text> stringMember(const Config& config, const char* key) { return component::textMember(config, key); }

}  // namespace

BertTokenizer::BertTokenizer(const Config& tokenizerConfig, const Config& tokenizerData,
                             const AddedTokenTable& addedTokens)
    : BertTokenizer(wordPieceVocabulary(tokenizerData, addedTokens), std::nullopt,
                    tokenizerConfig["handleChineseChars"].boolean().value_or(true),
                    stringMember(tokenizerConfig, "bosToken"), stringMember(tokenizerConfig, "eosToken"),
                    tokenizerConfig["fuseUnk"].boolean().value_or(false),
                    tokenizerConfig["doLowerCase"].boolean().value_or(true)) {}

Text BertTokenizer::tokenizeChineseCharsIfNeed(TextView text) const {
    if (!tokenizeChineseChars_) return Text(text);
    return spaceChineseCharacters(text);
}

std::vector<Text> BertTokenizer::tokenize(TextView text) const {
    std::vector<Text> pieces;
    for (const Text& word : basicTokenizer_.tokenize(tokenizeChineseCharsIfNeed(text))) {
        for (Text& piece : wordpieceTokenizer_.tokenize(word)) pieces.push_back(std::move(piece));
    }
    return pieces;
}

std::optional<int> BertTokenizer::convertTokenToId(TextView token) const {
    if (auto id = vocab_.find(token)) return id;
    return unknownTokenId();
}

std::optional<Text> BertTokenizer::convertIdToToken(int id) const {
    auto it = idsToTokens_.find(id);
    if (it == idsToTokens_.end()) return std::nullopt;
    return it->second;
}

}  // namespace halvex
