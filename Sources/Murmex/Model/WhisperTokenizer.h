#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace murmex {

// The ids of the Whisper control tokens.
struct SpecialTokens {
    int endToken = 50257;                // "<|endoftext|>"
    int englishToken = 50259;            // "<|en|>"
    int noSpeechToken = 50362;           // "<|nospeech|>"
    int noTimestampsToken = 50363;       // "<|notimestamps|>"
    int specialTokenBegin = 50257;       // "<|endoftext|>": every id at or above it is special
    int startOfPreviousToken = 50361;    // "<|startofprev|>"
    int startOfTranscriptToken = 50258;  // "<|startoftranscript|>"
    int timeTokenBegin = 50364;          // "<|0.00|>": every id at or above it is a timestamp
    int transcribeToken = 50359;         // "<|transcribe|>"
    int translateToken = 50358;          // "<|translate|>"
    int whitespaceToken = 220;           // " "

    friend bool operator==(const SpecialTokens&, const SpecialTokens&) = default;
};

// Words and, in parallel, the token ids that make each word.
struct WordTokens {
    std::vector<std::string> words;
    std::vector<std::vector<int>> wordTokens;
};

// The tokenizer as the speech stages use it.
class WhisperTokenizer {
public:
    virtual ~WhisperTokenizer() = default;

    virtual std::vector<int> encode(const std::string& text) const = 0;
    // Special tokens stay in the text.
    virtual std::string decode(const std::vector<int>& tokens) const = 0;
    // No value when the token or id is not in the vocabulary.
    virtual std::optional<int> convertTokenToId(const std::string& token) const = 0;
    virtual std::optional<std::string> convertIdToToken(int id) const = 0;
    virtual const SpecialTokens& specialTokens() const = 0;
    virtual const std::set<int>& allLanguageTokens() const = 0;
    // Splits the ids into words, each with the ids that make it.
    virtual WordTokens splitToWordTokens(const std::vector<int>& tokenIds) const = 0;
};

}  // namespace murmex
