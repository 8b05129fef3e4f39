#include "HalvexCore/StringHelpers.h"

#include "HalvexCore/External/Hub/BinaryDistinctString.h"
#include "HalvexCore/FatalError.h"

#include <algorithm>
#include <memory>
#include <string_view>

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/utf16.h>

namespace halvex {
namespace {

// One character of a text: its UTF-16 units.
using Character = std::u16string_view;

std::vector<Character> charactersOf(const std::u16string& units) {
    auto bounds = graphemeBoundaries(units);
    std::vector<Character> characters;
    characters.reserve(bounds.size() - 1);
    for (std::size_t c = 0; c + 1 < bounds.size(); ++c) {
        characters.push_back(std::u16string_view(units).substr(bounds[c], bounds[c + 1] - bounds[c]));
    }
    return characters;
}

UChar32 firstScalar(Character character) {
    UChar32 scalar = 0;
    std::size_t i = 0;
    U16_NEXT(character.data(), i, character.size(), scalar);
    return scalar;
}

bool isWhitespace(Character character) { return !character.empty() && u_isUWhiteSpace(firstScalar(character)); }

bool isOneOf(Character character, std::u16string_view set) {
    return character.size() == 1 && set.find(character[0]) != std::u16string_view::npos;
}

constexpr std::u16string_view kSentenceEnders = u".!?\u2026\u3002\uFF01\uFF1F";
constexpr std::u16string_view kClauseMarks = u",;:-\u2013";
constexpr std::u16string_view kClosers = u"\"'\u201D\u2019)]}\u00BB\u300D";
constexpr std::u16string_view kLineBreaks = u"\u000A\u000B\u000C\u000D\u0085\u2028\u2029";

bool isCloser(Character character) { return isOneOf(character, kClosers); }

bool containsLineBreak(Character character) {
    return std::any_of(character.begin(), character.end(),
                       [](char16_t u) { return kLineBreaks.find(u) != std::u16string_view::npos; });
}

// A last sentence is finished when what trails it (white space and closers) holds a line
// break, or else when its last other character ends a sentence.
bool isFinishedSentence(const std::vector<Character>& characters, std::size_t begin, std::size_t end) {
    std::size_t last = end;
    bool sawLineBreak = false;
    while (last > begin && (isWhitespace(characters[last - 1]) || isCloser(characters[last - 1]))) {
        sawLineBreak = sawLineBreak || containsLineBreak(characters[last - 1]);
        --last;
    }
    if (sawLineBreak) return true;
    return last > begin && isOneOf(characters[last - 1], kSentenceEnders);
}

// Sentence ranges (UTF-16 offsets, trailing white space included).
std::vector<std::pair<std::size_t, std::size_t>> sentenceRanges(const std::u16string& units) {
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    // The text outlives the iterator that refers to it.
    const icu::UnicodeString text(false, units.data(), static_cast<int32_t>(units.size()));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> iterator(
        icu::BreakIterator::createSentenceInstance(icu::Locale::getDefault(), status));
    if (U_FAILURE(status) || !iterator) {
        fatalError(std::string("ICU sentence break iterator unavailable: ") + u_errorName(status));
    }
    iterator->setText(text);
    int32_t start = iterator->first();
    for (int32_t end = iterator->next(); end != icu::BreakIterator::DONE; start = end, end = iterator->next()) {
        ranges.emplace_back(static_cast<std::size_t>(start), static_cast<std::size_t>(end));
    }
    return ranges;
}

}  // namespace

std::string trimmingWhitespaceAndNewlines(const std::string& text) {
    const std::u16string units = utf16FromUtf8(text);
    auto characters = charactersOf(units);
    std::size_t begin = 0;
    std::size_t end = characters.size();
    while (begin < end && isWhitespace(characters[begin])) ++begin;
    while (end > begin && isWhitespace(characters[end - 1])) --end;
    if (begin == end) return std::string();
    const std::size_t from = static_cast<std::size_t>(characters[begin].data() - units.data());
    const std::size_t to =
        static_cast<std::size_t>(characters[end - 1].data() - units.data()) + characters[end - 1].size();
    return utf8FromUtf16(std::u16string_view(units).substr(from, to - from));
}

std::string trimmingFromEnd(const std::string& text, const std::string& character, int upto) {
    if (upto <= 0 || character.empty()) return text;
    const std::u16string units = utf16FromUtf8(text);
    const std::u16string wanted = utf16FromUtf8(character);
    auto characters = charactersOf(units);
    std::size_t end = characters.size();
    for (int removed = 0; removed < upto && end > 0 && characters[end - 1] == wanted; ++removed) --end;
    if (end == characters.size()) return text;
    const std::size_t length =
        end == 0 ? 0 : static_cast<std::size_t>(characters[end - 1].data() - units.data()) + characters[end - 1].size();
    return utf8FromUtf16(std::u16string_view(units).substr(0, length));
}

std::optional<std::string> lastNaturalBoundary(const std::string& text, std::size_t minTokenCount,
                                               const std::function<std::vector<int>(const std::string&)>& encode) {
    const std::u16string units = utf16FromUtf8(text);
    auto qualifies = [&](const std::string& candidate) {
        return encode(trimmingWhitespaceAndNewlines(candidate)).size() >= minTokenCount;
    };
    auto prefix = [&](std::size_t unitCount) { return utf8FromUtf16(std::u16string_view(units).substr(0, unitCount)); };

    // 1. Sentences, from the last to the first.
    const auto sentences = sentenceRanges(units);
    for (std::size_t s = sentences.size(); s-- > 0;) {
        const auto [start, end] = sentences[s];
        if (s + 1 == sentences.size()) {
            const std::u16string sentence = units.substr(start, end - start);
            auto characters = charactersOf(sentence);
            if (!isFinishedSentence(characters, 0, characters.size())) continue;
        }
        std::string candidate = prefix(end);
        if (qualifies(candidate)) return candidate;
    }

    // 2. Clause marks followed by white space or the end.
    auto characters = charactersOf(units);
    for (std::size_t d = characters.size(); d >= 1; --d) {
        if (!isOneOf(characters[d - 1], kClauseMarks)) continue;
        if (d != characters.size() && !isWhitespace(characters[d])) continue;
        const std::size_t length = static_cast<std::size_t>(characters[d - 1].data() - units.data()) + 1;
        std::string candidate = prefix(length);
        if (qualifies(candidate)) return candidate;
    }

    // 3. Everything before the last space.
    const std::size_t space = units.rfind(u' ');
    if (space != std::u16string::npos) {
        std::string candidate = prefix(space);
        if (qualifies(candidate)) return candidate;
    }
    return std::nullopt;
}

}  // namespace halvex
