#include "Support/ScriptedDecoderTokenizer.h"

#include <cmath>
#include <cstdio>
#include <sstream>

namespace norvel::test {

namespace {

bool isPunctuation(const std::string& text) {
    static const std::set<std::string> marks = {".", ",", "!", "?", ":", "\"", "'", "(", ")", "-", "\u3002"};
    return marks.contains(text);
}

}  // namespace

ScriptedTokenizer::ScriptedTokenizer(std::map<int, std::string> words, bool multilingual)
    : words_(std::move(words)), multilingual_(multilingual) {
    const int shift = multilingual ? 0 : -1;
    special_.endToken = 50257 + shift;
    special_.specialTokenBegin = 50257 + shift;
    special_.startOfTranscriptToken = 50258 + shift;
    special_.englishToken = 50259 + shift;
    special_.translateToken = 50358 + shift;
    special_.transcribeToken = 50359 + shift;
    special_.startOfPreviousToken = 50361 + shift;
    special_.noSpeechToken = 50362 + shift;
    special_.noTimestampsToken = 50363 + shift;
    special_.timeTokenBegin = 50364 + shift;
    special_.whitespaceToken = 220;

    auto addSpecial = [&](int id, const std::string& text) {
        specialIds_[text] = id;
        specialTexts_[id] = text;
    };
    addSpecial(special_.endToken, "<|endoftext|>");
    addSpecial(special_.startOfTranscriptToken, "<|startoftranscript|>");
    addSpecial(special_.translateToken, "<|translate|>");
    addSpecial(special_.transcribeToken, "<|transcribe|>");
    addSpecial(50360 + shift, "<|startoflm|>");
    addSpecial(special_.startOfPreviousToken, "<|startofprev|>");
    addSpecial(special_.noSpeechToken, "<|nospeech|>");
    addSpecial(special_.noTimestampsToken, "<|notimestamps|>");
    const std::vector<std::string> codes = {"en", "zh", "de", "es", "xx"};
    for (int id = special_.englishToken; id < special_.translateToken; ++id) {
        const int n = id - special_.englishToken;
        std::string text = "<|";
        text.append(n < static_cast<int>(codes.size()) ? codes[n] : std::string("l").append(std::to_string(n)));
        text.append("|>");
        addSpecial(id, text);
        if (multilingual) languageTokens_.insert(id);
    }
}

int ScriptedTokenizer::timestamp(double seconds) const {
    return special_.timeTokenBegin + static_cast<int>(std::lround(seconds / 0.02));
}

int ScriptedTokenizer::languageToken(const std::string& code) const {
    return specialIds_.at(std::string("<|").append(code).append("|>"));
}

std::vector<int> ScriptedTokenizer::encode(const std::string& text) const {
    std::vector<int> ids;
    for (const auto& [id, word] : words_) {
        if (word == text) ids.push_back(id);
    }
    return ids;
}

std::string ScriptedTokenizer::decode(const std::vector<int>& tokens) const {
    std::string text;
    for (int token : tokens) text += convertIdToToken(token).value_or("");
    return text;
}

std::optional<int> ScriptedTokenizer::convertTokenToId(const std::string& token) const {
    if (auto found = specialIds_.find(token); found != specialIds_.end()) return found->second;
    double seconds = 0;
    char tail = 0;
    if (std::sscanf(token.c_str(), "<|%lf|%c", &seconds, &tail) == 2 && tail == '>') return timestamp(seconds);
    for (const auto& [id, word] : words_) {
        if (word == token) return id;
    }
    return std::nullopt;
}

std::optional<std::string> ScriptedTokenizer::convertIdToToken(int id) const {
    if (id < 0 || id >= vocabularySize()) return std::nullopt;
    if (id >= special_.timeTokenBegin) {
        char text[32];
        std::snprintf(text, sizeof text, "<|%.2f|>", (id - special_.timeTokenBegin) * 0.02);
        return std::string(text);
    }
    if (auto found = specialTexts_.find(id); found != specialTexts_.end()) return found->second;
    if (id >= special_.specialTokenBegin) return std::string("<|special").append(std::to_string(id)).append("|>");
    if (auto found = words_.find(id); found != words_.end()) return found->second;
    return std::string(" w").append(std::to_string(id));
}

murmex::WordTokens ScriptedTokenizer::splitToWordTokens(const std::vector<int>& tokenIds) const {
    murmex::WordTokens split;
    bool previousWasSpecial = true;
    for (int id : tokenIds) {
        const std::string text = convertIdToToken(id).value_or("");
        const bool special = id >= special_.specialTokenBegin;
        const bool startsWord = special || previousWasSpecial || split.words.empty() ||
                                (!text.empty() && text.front() == ' ') || isPunctuation(text);
        if (startsWord) {
            split.words.push_back(text);
            split.wordTokens.push_back({id});
        } else {
            split.words.back() += text;
            split.wordTokens.back().push_back(id);
        }
        previousWasSpecial = special || isPunctuation(text);
    }
    return split;
}

}  // namespace norvel::test
