#include "Murmex/Core/WhisperTokenizerWrapper.h"

#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <utility>

#include "HalvexCore/External/Tokenizers/ByteLevelAlphabet.h"
#include "Murmex/Core/Constants.h"
#include "Murmex/Utilities/LanguageRecognizer.h"

namespace murmex {

namespace {

std::u32string codePoints(const std::string& utf8) {
    const icu::UnicodeString text = icu::UnicodeString::fromUTF8(utf8);
    std::u32string result;
    result.reserve(static_cast<std::size_t>(text.length()));
    for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1))
        result.push_back(static_cast<char32_t>(text.char32At(i)));
    return result;
}

constexpr char32_t replacementCharacter = U'\uFFFD';

}  // namespace

WhisperTokenizerWrapper::WhisperTokenizerWrapper(halvex::TokenizerWrapper tokenizer,
                                                 std::optional<std::filesystem::path> tokenizerFolder)
    : tokenizer_(std::move(tokenizer)), tokenizerFolder_(std::move(tokenizerFolder)) {
    auto idOf = [this](const char* text, int fallback) { return convertTokenToId(text).value_or(fallback); };
    specialTokens_ = SpecialTokens{
        .endToken = idOf("<|endoftext|>", 50257),
        .englishToken = idOf("<|en|>", 50259),
        // Vocabularies that predate the name "<|nospeech|>" call the same token "<|nocaptions|>";
        // the fixed id fits only one vocabulary size.
        .noSpeechToken = convertTokenToId("<|nospeech|>").value_or(idOf("<|nocaptions|>", 50362)),
        .noTimestampsToken = idOf("<|notimestamps|>", 50363),
        .specialTokenBegin = idOf("<|endoftext|>", 50257),
        .startOfPreviousToken = idOf("<|startofprev|>", 50361),
        .startOfTranscriptToken = idOf("<|startoftranscript|>", 50258),
        .timeTokenBegin = idOf("<|0.00|>", 50364),
        .transcribeToken = idOf("<|transcribe|>", 50359),
        .translateToken = idOf("<|translate|>", 50358),
        .whitespaceToken = idOf(" ", 220),
    };
    for (const auto& code : Constants::languageCodes()) {
        const auto id = convertTokenToId("<|" + code + "|>");
        if (id && *id > specialTokens_.specialTokenBegin) allLanguageTokens_.insert(*id);
    }
}

std::vector<int> WhisperTokenizerWrapper::encode(const std::string& text) const { return tokenizer_.encode(text); }

std::string WhisperTokenizerWrapper::decode(const std::vector<int>& tokens) const { return tokenizer_.decode(tokens); }

std::optional<int> WhisperTokenizerWrapper::convertTokenToId(const std::string& token) const {
    const auto id = tokenizer_.convertTokenToId(token);
    // A tokenizer may answer a text it does not know with its unknown token's id.
    if (id && id == tokenizer_.unknownTokenId() && tokenizer_.unknownToken() != token) return std::nullopt;
    return id;
}

std::optional<std::string> WhisperTokenizerWrapper::convertIdToToken(int id) const {
    return tokenizer_.convertIdToToken(id);
}

WordTokens WhisperTokenizerWrapper::splitToWordTokens(const std::vector<int>& tokenIds) const {
    std::vector<int> textTokens;
    std::copy_if(tokenIds.begin(), tokenIds.end(), std::back_inserter(textTokens),
                 [&](int token) { return token < specialTokens_.specialTokenBegin; });
    const auto language = LanguageRecognizer::dominantLanguage(decode(textTokens));
    static const std::set<std::string> unspacedLanguages = {"zh", "ja", "th", "lo", "my", "yue"};
    if (language && unspacedLanguages.count(*language)) return splitTokensOnUnicode(tokenIds);
    return splitTokensOnSpaces(tokenIds);
}

std::optional<std::vector<std::string>> WhisperTokenizerWrapper::tokenBytes(const std::vector<int>& tokens) const {
    std::vector<std::string> forms;
    forms.reserve(tokens.size());
    for (int token : tokens) {
        const auto text = tokenizer_.convertIdToToken(token);
        if (!text) return std::nullopt;
        const icu::UnicodeString characters = icu::UnicodeString::fromUTF8(*text);
        std::string bytes;
        for (int32_t i = 0; i < characters.length(); ++i) {
            const int byte = halvex::byteLevelByte(characters.charAt(i));
            if (byte < 0) return std::nullopt;
            bytes.push_back(static_cast<char>(byte));
        }
        forms.push_back(std::move(bytes));
    }
    return forms;
}

namespace {

// True when the bytes end with the start of a UTF-8 sequence that lacks continuation bytes.
bool endsInsideCharacter(const std::string& bytes) {
    std::size_t continuations = 0;
    for (auto it = bytes.rbegin(); it != bytes.rend() && continuations < 4; ++it) {
        const auto byte = static_cast<unsigned char>(*it);
        if ((byte & 0xC0) == 0x80) {
            ++continuations;
            continue;
        }
        const std::size_t length = byte >= 0xF0 && byte <= 0xF4 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC2 ? 2 : 1;
        return length > 1 && byte < 0xF5 && continuations < length - 1;
    }
    return false;
}

}  // namespace

WordTokens WhisperTokenizerWrapper::splitTokensOnUnicode(const std::vector<int>& tokens) const {
    WordTokens result;
    if (tokens.empty()) return result;
    std::vector<int> current;
    auto finish = [&](std::string decoded) {
        result.words.push_back(std::move(decoded));
        result.wordTokens.push_back(std::move(current));
        current.clear();
    };

    // Byte-level vocabularies show the bytes of every token: a piece is finished once its bytes
    // do not end inside a character. A replacement character that the text really holds is
    // whole bytes, so it finishes its piece like any other character.
    if (const auto forms = tokenBytes(tokens)) {
        std::string pendingBytes;
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            current.push_back(tokens[i]);
            pendingBytes += (*forms)[i];
            if (!endsInsideCharacter(pendingBytes)) {
                finish(decode(current));
                pendingBytes.clear();
            }
        }
        return result;  // ids of a character cut at the end belong to no word
    }

    // Otherwise by decoded text: a replacement character finishes the piece only when the full
    // text shows one at the same place, counted from the start of the piece, that is after the
    // words already emitted. The full text's last character is left out of the comparison: a
    // replacement character there may stand for a character the list cuts off, whose ids
    // belong to no word.
    std::u32string fullText = codePoints(decode(tokens));
    if (!fullText.empty() && fullText.back() == replacementCharacter) fullText.pop_back();
    std::size_t emittedLength = 0;
    for (int token : tokens) {
        current.push_back(token);
        std::string decoded = decode(current);
        const std::u32string piece = codePoints(decoded);
        const std::size_t replacement = piece.find(replacementCharacter);
        const bool finished =
            replacement == std::u32string::npos || (emittedLength + replacement < fullText.size() &&
                                                    fullText[emittedLength + replacement] == replacementCharacter);
        if (finished) {
            emittedLength += piece.size();
            finish(std::move(decoded));
        }
    }
    return result;
}

WordTokens WhisperTokenizerWrapper::splitTokensOnSpaces(const std::vector<int>& tokens) const {
    const WordTokens subwords = splitTokensOnUnicode(tokens);
    WordTokens result;
    for (std::size_t i = 0; i < subwords.words.size(); ++i) {
        const std::string& text = subwords.words[i];
        const std::vector<int>& ids = subwords.wordTokens[i];
        const bool special = !ids.empty() && ids.front() >= specialTokens_.specialTokenBegin;
        const bool withSpace = !text.empty() && text.front() == ' ';
        std::u32string trimmed = codePoints(text);
        auto blank = [](char32_t c) { return c == U' ' || c == U'\t'; };
        while (!trimmed.empty() && blank(trimmed.front())) trimmed.erase(trimmed.begin());
        while (!trimmed.empty() && blank(trimmed.back())) trimmed.pop_back();
        const bool punctuation = trimmed.size() == 1 && u_ispunct(static_cast<UChar32>(trimmed.front()));
        if (special || withSpace || punctuation || result.words.empty()) {
            result.words.push_back(text);
            result.wordTokens.push_back(ids);
        } else {
            result.words.back() += text;
            result.wordTokens.back().insert(result.wordTokens.back().end(), ids.begin(), ids.end());
        }
    }
    return result;
}

}  // namespace murmex
