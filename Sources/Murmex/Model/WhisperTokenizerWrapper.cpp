#include "Murmex/Model/WhisperTokenizerWrapper.h"

#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <string_view>
#include <utility>

#include "HalvexCore/External/Tokenizers/ByteLevelAlphabet.h"
#include "Murmex/Model/Constants.h"
#include "Murmex/Model/LanguageRecognizer.h"

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

// The number of bytes of the UTF-8 sequence a byte starts; 1 for a byte that starts no longer one.
std::size_t sequenceLength(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 1;
}

// True when `byte` may stand at `index` (1 to 3) of the sequence that `lead` starts. The byte after
// the lead has a narrower range for some leads: no overlong forms, surrogates or code points above
// U+10FFFF.
bool continuesSequence(unsigned char lead, std::size_t index, unsigned char byte) {
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (index == 1) {
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    }
    return byte >= low && byte <= high;
}

// The bytes that end `bytes` when they are the well-formed start of a character still lacking
// continuation bytes; empty when the bytes end at a character's end or with a broken sequence.
std::string_view openSequence(std::string_view bytes) {
    for (std::size_t back = 1; back <= std::min<std::size_t>(3, bytes.size()); ++back) {
        const std::size_t start = bytes.size() - back;
        const auto lead = static_cast<unsigned char>(bytes[start]);
        if ((lead & 0xC0) == 0x80) continue;
        if (back >= sequenceLength(lead)) return {};
        for (std::size_t i = 1; i < back; ++i)
            if (!continuesSequence(lead, i, static_cast<unsigned char>(bytes[start + i]))) return {};
        return bytes.substr(start);
    }
    return {};
}

// True when the bytes of the tokens from `next` on cannot complete the open sequence: the full
// text then holds a replacement character there too. A list that ends before the sequence is
// complete leaves it open.
bool brokenByFollowingBytes(std::string_view open, const std::vector<std::string>& forms, std::size_t next) {
    const auto lead = static_cast<unsigned char>(open.front());
    const std::size_t length = sequenceLength(lead);
    std::size_t index = open.size();
    for (std::size_t token = next; token < forms.size() && index < length; ++token) {
        for (std::size_t i = 0; i < forms[token].size() && index < length; ++i, ++index)
            if (!continuesSequence(lead, index, static_cast<unsigned char>(forms[token][i]))) return true;
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
    // do not end inside a character that the following bytes complete. A replacement character
    // that the full text also holds, whether encoded whole or standing for a sequence the next
    // bytes break, finishes its piece like any other character.
    if (const auto forms = tokenBytes(tokens)) {
        std::string pendingBytes;
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            current.push_back(tokens[i]);
            pendingBytes += (*forms)[i];
            const std::string_view open = openSequence(pendingBytes);
            if (open.empty() || brokenByFollowingBytes(open, *forms, i + 1)) {
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
