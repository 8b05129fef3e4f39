#include "HalvexCore/External/Tokenizers/TextOperations.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utext.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "HalvexCore/External/Tokenizers/TokenizerError.h"

namespace halvex::text {

namespace {

[[noreturn]] void icuFailure(const char* what, UErrorCode status) {
    std::fprintf(stderr, "ICU failure in %s: %s\n", what, u_errorName(status));
    std::abort();
}

// Read-only ICU view of our code units (no copy).
icu::UnicodeString alias(TextView text) {
    return icu::UnicodeString(false, text.data(), static_cast<int32_t>(text.size()));
}

// Limits of one search. Time is counted in the engine's steps of about ten thousand operations
// (a fraction of a millisecond each): a fixed allowance plus one step per 64 code units of text,
// far above what a sound pattern needs (a run of 600,000 spaces takes under 100 steps), while a
// pattern that backtracks catastrophically runs into it within a fraction of a second. The
// backtracking stack may grow with the text (a long run of whitespace needs about 20 bytes per
// code unit), so that long but ordinary input is matched whole.
constexpr int64_t kRegexBaseSteps = 1000;
constexpr int64_t kRegexUnitsPerStep = 64;
constexpr int64_t kRegexBaseStackBytes = int64_t{8} << 20;
constexpr int64_t kRegexStackBytesPerUnit = 256;

std::string describedPattern(const icu::RegexMatcher& matcher) {
    std::string pattern;
    matcher.pattern().pattern().toUTF8String(pattern);
    if (pattern.size() > 80) pattern = pattern.substr(0, 77) + "...";
    return pattern;
}

// A text the engine cannot address (its positions are 32-bit) is refused before it is bound.
void checkSearchable(size_t length) {
    if (length > static_cast<size_t>(INT32_MAX)) {
        throw TokenizerError::tooLong("a text of " + std::to_string(length) +
                                      " UTF-16 code units is more than a regular expression can search");
    }
}

// Binds a matcher to a text with the limits above.
void prepareMatcher(icu::RegexMatcher& matcher, const icu::UnicodeString& input, size_t length) {
    matcher.reset(input);
    const auto units = static_cast<int64_t>(length);
    UErrorCode status = U_ZERO_ERROR;
    matcher.setTimeLimit(
        static_cast<int32_t>(std::min<int64_t>(kRegexBaseSteps + units / kRegexUnitsPerStep, INT32_MAX)), status);
    matcher.setStackLimit(
        static_cast<int32_t>(std::min<int64_t>(kRegexBaseStackBytes + units * kRegexStackBytesPerUnit, INT32_MAX)),
        status);
    if (U_FAILURE(status)) icuFailure("regex limits", status);
}

// A search that stopped on an error did not run to the end of the text: it must not pass for
// "no further match", which would drop the rest of the text.
[[noreturn]] void matchFailure(const icu::RegexMatcher& matcher, UErrorCode status, size_t length) {
    const std::string subject = "the regular expression \"" + describedPattern(matcher) + "\" on a text of " +
                                std::to_string(length) + " UTF-16 code units";
    if (status == U_REGEX_TIME_OUT) throw TokenizerError::tooLong(subject + " ran past its time limit");
    if (status == U_REGEX_STACK_OVERFLOW) throw TokenizerError::tooLong(subject + " ran out of backtracking memory");
    throw TokenizerError::tooLong(subject + " failed: " + u_errorName(status));
}

Text fromIcu(const icu::UnicodeString& s) { return Text(s.getBuffer(), static_cast<size_t>(s.length())); }

bool isAsciiAlnum(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

// One character break iterator per thread: creating one is far costlier than resetting it.
icu::BreakIterator& characterIterator(TextView text) {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> it(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !it) icuFailure("character break iterator", status);
        return it;
    }();
    UErrorCode status = U_ZERO_ERROR;
    UText ut = UTEXT_INITIALIZER;
    utext_openUChars(&ut, text.data(), static_cast<int64_t>(text.size()), &status);
    iterator->setText(&ut, status);
    utext_close(&ut);
    if (U_FAILURE(status)) icuFailure("setting break iterator text", status);
    return *iterator;
}

const icu::Normalizer2& normalizer(const char* form) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* n = nullptr;
    if (form[0] == 'C')
        n = icu::Normalizer2::getNFCInstance(status);
    else if (form[0] == 'D')
        n = icu::Normalizer2::getNFDInstance(status);
    else if (form[1] == 'C')
        n = icu::Normalizer2::getNFKCInstance(status);
    else
        n = icu::Normalizer2::getNFKDInstance(status);
    if (U_FAILURE(status) || !n) icuFailure("normalizer instance", status);
    return *n;
}

// The normalizer puts combining marks in canonical order by inserting each one into place,
// which takes time quadratic in the length of a run of marks. No real text has long runs (the
// stream-safe format allows 30 non-starters in a row), but a crafted one can hold a million.
constexpr size_t kLongMarkRun = 32;

bool hasLongMarkRun(const icu::Normalizer2& n, TextView text) {
    size_t run = 0;
    for (size_t i = 0; i < text.size();) {
        char32_t c = codePointAt(text, i);
        i += c >= 0x10000 ? 2 : 1;
        if (c >= 0x300 && !n.hasBoundaryBefore(static_cast<UChar32>(c))) {
            if (++run > kLongMarkRun) return true;
        } else {
            run = 0;
        }
    }
    return false;
}

// The full decomposition of the text (canonical, or compatibility when `compatibility` is set)
// with every run of non-starters sorted by combining class: the text in NFD (NFKD), built in
// time linear in its length plus a sort per run. Normalizing that is linear too, and since it
// is equivalent to the text, every normal form of it is the text's own.
Text decomposedInOrder(TextView text, bool compatibility) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* decomposer =
        compatibility ? icu::Normalizer2::getNFKDInstance(status) : icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status) || !decomposer) icuFailure("normalizer instance", status);
    std::vector<std::pair<uint8_t, char32_t>> scalars;  // (combining class, scalar)
    scalars.reserve(text.size());
    size_t runStart = 0;
    auto endRun = [&] {
        std::stable_sort(scalars.begin() + static_cast<std::ptrdiff_t>(runStart), scalars.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
    };
    auto add = [&](char32_t c) {
        auto combiningClass = static_cast<uint8_t>(u_getCombiningClass(static_cast<UChar32>(c)));
        if (combiningClass == 0) {
            endRun();
            scalars.emplace_back(0, c);
            runStart = scalars.size();
        } else {
            scalars.emplace_back(combiningClass, c);
        }
    };
    icu::UnicodeString mapping;
    for (size_t i = 0; i < text.size();) {
        char32_t c = codePointAt(text, i);
        i += c >= 0x10000 ? 2 : 1;
        if (c >= 0xA0 && decomposer->getDecomposition(static_cast<UChar32>(c), mapping)) {
            for (int32_t j = 0; j < mapping.length();) {
                UChar32 m = mapping.char32At(j);
                j += U16_LENGTH(m);
                add(static_cast<char32_t>(m));
            }
        } else {
            add(c);
        }
    }
    endRun();
    Text out;
    out.reserve(text.size() + text.size() / 2);
    for (const auto& scalar : scalars) appendCodePoint(out, scalar.second);
    return out;
}

Text normalizeWith(const icu::Normalizer2& n, TextView text, bool compatibility) {
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString src = alias(text);
    // Skip the copy when the text is already in the form.
    int32_t yes = n.spanQuickCheckYes(src, status);
    if (U_FAILURE(status)) icuFailure("normalization check", status);
    if (yes == src.length()) return Text(text);
    Text ordered;
    if (hasLongMarkRun(n, text.substr(static_cast<size_t>(yes)))) {
        ordered = decomposedInOrder(text, compatibility);
        src = alias(ordered);
    }
    icu::UnicodeString out;
    n.normalize(src, out, status);
    if (U_FAILURE(status)) icuFailure("normalization", status);
    return fromIcu(out);
}

// True for a pattern whose canonical occurrences are exactly its code units on character
// boundaries: ASCII without the three characters that other characters canonically decompose
// to alone (U+037E to ';', U+1FEF to '`', U+212A to 'K').
bool isPlainAsciiPattern(TextView pattern) {
    if (pattern.empty()) return false;
    for (char16_t c : pattern)
        if (c >= 0x80 || c == u';' || c == u'`' || c == u'K') return false;
    return true;
}

bool isCharacterBoundary(TextView text, int32_t pos) {
    if (pos <= 0 || pos >= static_cast<int32_t>(text.size())) return true;
    char16_t before = text[static_cast<size_t>(pos) - 1], after = text[static_cast<size_t>(pos)];
    if (before < 0x300 && after < 0x300) return !(before == u'\r' && after == u'\n');
    return characterIterator(text).isBoundary(pos);
}

bool allBelow0300(TextView text) {
    for (char16_t c : text)
        if (c >= 0x300) return false;
    return true;
}

Text slice(TextView text, int32_t lower, int32_t upper) {
    return Text(text.substr(static_cast<size_t>(lower), static_cast<size_t>(upper - lower)));
}

// Finds the occurrences of one pattern in one text, keeping what it computed about the text
// between calls.
class Searcher {
public:
    Searcher(TextView text, const SearchPattern& pattern) : text_(text), pattern_(pattern) {
        if (pattern.isRegularExpression()) {
            UErrorCode status = U_ZERO_ERROR;
            checkSearchable(text.size());
            textAlias_ = alias(text);
            matcher_.reset(pattern.regex()->icuPattern().matcher(status));
            if (U_FAILURE(status) || !matcher_) icuFailure("regex matcher", status);
            prepareMatcher(*matcher_, textAlias_, text.size());
        } else {
            simple_ = pattern.simple() && isSimple(text);
            plainAscii_ = !simple_ && isPlainAsciiPattern(pattern.text());
        }
    }

    // The first occurrence that begins at or after `from`.
    std::optional<Range> find(int32_t from) {
        const auto end = static_cast<int32_t>(text_.size());
        if (from > end) return std::nullopt;
        if (matcher_) {
            UErrorCode status = U_ZERO_ERROR;
            matcher_->region(from, end, status);
            if (U_FAILURE(status)) icuFailure("regex region", status);
            if (!matcher_->find(status)) {
                if (U_FAILURE(status)) matchFailure(*matcher_, status, text_.size());
                return std::nullopt;
            }
            int32_t lower = matcher_->start(status);
            int32_t upper = matcher_->end(status);
            if (U_FAILURE(status)) return std::nullopt;
            return Range{lower, upper};
        }
        const Text& needle = simple_ ? pattern_.text() : pattern_.decomposed();
        if (needle.empty()) return std::nullopt;
        if (simple_) {
            auto pos = text_.find(needle, static_cast<size_t>(from));
            if (pos == TextView::npos) return std::nullopt;
            return Range{static_cast<int32_t>(pos), static_cast<int32_t>(pos + needle.size())};
        }
        if (plainAscii_) {
            for (auto pos = static_cast<size_t>(from); (pos = text_.find(needle, pos)) != TextView::npos; ++pos) {
                auto lower = static_cast<int32_t>(pos), upper = static_cast<int32_t>(pos + needle.size());
                if (isCharacterBoundary(text_, lower) && isCharacterBoundary(text_, upper)) return Range{lower, upper};
            }
            return std::nullopt;
        }
        return findCanonical(from, needle);
    }

    // The search position after an empty occurrence at `pos` (pos < end).
    int32_t characterAfter(int32_t pos) {
        ensureBoundaries();
        auto it = std::upper_bound(boundaries_.begin(), boundaries_.end(), pos);
        return it == boundaries_.end() ? static_cast<int32_t>(text_.size()) : *it;
    }

private:
    void ensureBoundaries() {
        if (!boundariesReady_) {
            boundaries_ = characterBoundaries(text_);
            boundariesReady_ = true;
        }
    }

    // Candidates start and end on character boundaries and are compared in their canonical
    // decomposition.
    std::optional<Range> findCanonical(int32_t from, const Text& needle) {
        ensureBoundaries();
        if (decomposedCharacters_.empty() && boundaries_.size() > 1) {
            decomposedCharacters_.reserve(boundaries_.size() - 1);
            for (size_t i = 0; i + 1 < boundaries_.size(); ++i)
                decomposedCharacters_.push_back(nfd(text_.substr(
                    static_cast<size_t>(boundaries_[i]), static_cast<size_t>(boundaries_[i + 1] - boundaries_[i]))));
        }
        auto first = std::lower_bound(boundaries_.begin(), boundaries_.end(), from);
        for (auto bi = static_cast<size_t>(first - boundaries_.begin()); bi + 1 < boundaries_.size(); ++bi) {
            Text accumulated;
            for (size_t bj = bi; bj + 1 < boundaries_.size(); ++bj) {
                accumulated += decomposedCharacters_[bj];
                if (accumulated.size() >= needle.size()) {
                    if (accumulated == needle) return Range{boundaries_[bi], boundaries_[bj + 1]};
                    break;
                }
                if (needle.compare(0, accumulated.size(), accumulated) != 0) break;
            }
        }
        return std::nullopt;
    }

    TextView text_;
    const SearchPattern& pattern_;
    icu::UnicodeString textAlias_;
    std::unique_ptr<icu::RegexMatcher> matcher_;
    bool simple_ = false;
    bool plainAscii_ = false;
    bool boundariesReady_ = false;
    std::vector<int32_t> boundaries_;
    std::vector<Text> decomposedCharacters_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Conversion

Text fromUtf8(std::string_view utf8) {
    Text out;
    out.reserve(utf8.size());
    const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
    const size_t n = utf8.size();
    size_t i = 0;
    while (i < n) {
        unsigned char b = s[i];
        if (b < 0x80) {
            out.push_back(static_cast<char16_t>(b));
            ++i;
            continue;
        }
        int need = 0;
        unsigned char lower = 0x80, upper = 0xBF;
        char32_t cp = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
            cp = b & 0x1F;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            cp = b & 0x0F;
            if (b == 0xE0) lower = 0xA0;
            if (b == 0xED) upper = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            cp = b & 0x07;
            if (b == 0xF0) lower = 0x90;
            if (b == 0xF4) upper = 0x8F;
        } else {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool ok = true;
        for (int k = 0; k < need; ++k) {
            if (j >= n || s[j] < lower || s[j] > upper) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (s[j] & 0x3F);
            lower = 0x80;
            upper = 0xBF;
            ++j;
        }
        if (ok)
            appendCodePoint(out, cp);
        else
            out.push_back(u'\uFFFD');
        i = j;
    }
    return out;
}

void appendUtf8(TextView text, std::string& out) {
    forEachUtf8Byte(text, [&](unsigned char byte) { out.push_back(static_cast<char>(byte)); });
}

std::string toUtf8(TextView text) {
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    appendUtf8(text, out);
    return out;
}

char32_t codePointAt(TextView text, size_t pos) {
    char32_t c = text[pos];
    if (c >= 0xD800 && c <= 0xDBFF && pos + 1 < text.size() && text[pos + 1] >= 0xDC00 && text[pos + 1] <= 0xDFFF)
        return 0x10000 + ((c - 0xD800) << 10) + (text[pos + 1] - 0xDC00);
    return c;
}

void appendCodePoint(Text& text, char32_t c) {
    if (c < 0x10000) {
        text.push_back(static_cast<char16_t>(c));
    } else {
        c -= 0x10000;
        text.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        text.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    }
}

// ---------------------------------------------------------------------------------------------
// Characters

bool isSimple(TextView text) {
    for (char16_t c : text)
        if (c >= 0x300 || c == u'\r') return false;
    return true;
}

std::vector<int32_t> characterBoundaries(TextView text) {
    std::vector<int32_t> boundaries;
    if (isSimple(text)) {
        boundaries.resize(text.size() + 1);
        for (size_t i = 0; i <= text.size(); ++i) boundaries[i] = static_cast<int32_t>(i);
        return boundaries;
    }
    boundaries.reserve(text.size() + 1);
    icu::BreakIterator& it = characterIterator(text);
    for (int32_t b = it.first(); b != icu::BreakIterator::DONE; b = it.next()) boundaries.push_back(b);
    if (boundaries.empty()) boundaries.push_back(0);
    return boundaries;
}

size_t characterCount(TextView text) { return characterBoundaries(text).size() - 1; }

std::vector<Text> characters(TextView text) {
    std::vector<int32_t> b = characterBoundaries(text);
    std::vector<Text> result;
    result.reserve(b.size() - 1);
    for (size_t i = 0; i + 1 < b.size(); ++i) result.push_back(slice(text, b[i], b[i + 1]));
    return result;
}

int32_t nextCharacterBoundary(TextView text, int32_t pos) {
    const auto end = static_cast<int32_t>(text.size());
    if (pos >= end) return end;
    char16_t c = text[static_cast<size_t>(pos)];
    if (c < 0x300 && c != u'\r' && (pos + 1 == end || text[static_cast<size_t>(pos) + 1] < 0x300)) return pos + 1;
    icu::BreakIterator& it = characterIterator(text);
    int32_t next = it.following(pos);
    return next == icu::BreakIterator::DONE ? end : next;
}

// ---------------------------------------------------------------------------------------------
// Normalization and case

Text nfc(TextView text) { return normalizeWith(normalizer("C"), text, false); }
Text nfd(TextView text) { return normalizeWith(normalizer("D"), text, false); }
Text nfkc(TextView text) { return normalizeWith(normalizer("KC"), text, true); }
Text nfkd(TextView text) { return normalizeWith(normalizer("KD"), text, true); }

Text canonicalKey(TextView text) {
    if (allBelow0300(text)) return Text(text);
    return nfc(text);
}

bool isCanonicalKey(TextView text) { return allBelow0300(text); }

bool canonicallyEqual(TextView a, TextView b) {
    if (a == b) return true;
    if (allBelow0300(a) && allBelow0300(b)) return false;
    return nfc(a) == nfc(b);
}

Text lowercased(TextView text) {
    Text out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char16_t c = text[i];
        if (c < 0x80) {
            out.push_back(c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c);
            ++i;
            continue;
        }
        size_t len =
            (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) ? 2
                                                                                                                  : 1;
        // One scalar at a time, so that no context (such as a final sigma) applies.
        char16_t buffer[8];
        UErrorCode status = U_ZERO_ERROR;
        int32_t n = u_strToLower(buffer, 8, text.data() + i, static_cast<int32_t>(len), "", &status);
        if (U_FAILURE(status) || n > 8)
            out.append(text.substr(i, len));
        else
            out.append(buffer, static_cast<size_t>(n));
        i += len;
    }
    return out;
}

Text foldingDiacritics(TextView text) {
    if (allBelow0300(text)) {
        bool ascii = true;
        for (char16_t c : text)
            if (c >= 0x80) ascii = false;
        if (ascii) return Text(text);
    }
    Text decomposed = nfd(text);
    Text kept;
    kept.reserve(decomposed.size());
    for (size_t i = 0; i < decomposed.size();) {
        char32_t c = codePointAt(decomposed, i);
        size_t len = c >= 0x10000 ? 2 : 1;
        if (u_charType(static_cast<UChar32>(c)) != U_NON_SPACING_MARK) kept.append(decomposed.substr(i, len));
        i += len;
    }
    return nfc(kept);
}

bool isWhiteSpace(char32_t c) { return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE); }

bool isSpaceSeparatorOrTab(char32_t c) {
    return c == U'\t' || u_charType(static_cast<UChar32>(c)) == U_SPACE_SEPARATOR;
}

bool isPunctuation(char32_t c) {
    switch (u_charType(static_cast<UChar32>(c))) {
        case U_CONNECTOR_PUNCTUATION:
        case U_DASH_PUNCTUATION:
        case U_START_PUNCTUATION:
        case U_END_PUNCTUATION:
        case U_INITIAL_PUNCTUATION:
        case U_FINAL_PUNCTUATION:
        case U_OTHER_PUNCTUATION: return true;
        default: return false;
    }
}

// ---------------------------------------------------------------------------------------------
// Regular expressions

Regex::Regex(Text pattern, std::shared_ptr<const icu::RegexPattern> compiled, int32_t groupCount)
    : pattern_(std::move(pattern)), groupCount_(groupCount), compiled_(std::move(compiled)) {}

std::optional<Regex> Regex::compile(TextView pattern) {
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError;
    icu::UnicodeString source(pattern.data(), static_cast<int32_t>(pattern.size()));
    std::shared_ptr<const icu::RegexPattern> compiled(icu::RegexPattern::compile(source, 0, parseError, status));
    if (U_FAILURE(status) || !compiled) return std::nullopt;
    std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(status));
    if (U_FAILURE(status) || !matcher) return std::nullopt;
    return Regex(Text(pattern), std::move(compiled), matcher->groupCount());
}

Text Regex::replaceAll(TextView text, TextView replacementTemplate) const {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(compiled_->matcher(status));
    if (U_FAILURE(status) || !matcher) icuFailure("regex matcher", status);
    checkSearchable(text.size());
    icu::UnicodeString input = alias(text);
    prepareMatcher(*matcher, input, text.size());
    const icu::UnicodeString replacement = alias(replacementTemplate);
    icu::UnicodeString result;
    while (matcher->find(status)) {
        matcher->appendReplacement(result, replacement, status);
        // A template that names a group the expression lacks cannot be applied; the text stays.
        if (U_FAILURE(status)) return Text(text);
    }
    if (U_FAILURE(status)) matchFailure(*matcher, status, text.size());
    matcher->appendTail(result);
    return fromIcu(result);
}

Text escapedPattern(TextView literal) {
    Text out;
    out.reserve(literal.size() * 2);
    for (size_t i = 0; i < literal.size();) {
        char16_t c = literal[i];
        if (isAsciiAlnum(c)) {
            out.push_back(c);
            ++i;
            continue;
        }
        char32_t cp = codePointAt(literal, i);
        i += cp >= 0x10000 ? 2 : 1;
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "\\x{%X}", static_cast<unsigned>(cp));
        for (const char* p = buffer; *p; ++p) out.push_back(static_cast<char16_t>(*p));
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Searching and splitting

SearchPattern SearchPattern::literal(TextView pattern) {
    SearchPattern p;
    p.text_ = Text(pattern);
    p.simple_ = isSimple(pattern);
    p.decomposed_ = nfd(pattern);
    return p;
}

SearchPattern SearchPattern::regularExpression(Regex regex) {
    SearchPattern p;
    p.text_ = regex.pattern();
    p.regex_ = std::move(regex);
    return p;
}

std::optional<SearchPattern> SearchPattern::make(TextView pattern, SearchOptions options) {
    if (options == SearchOptions::none) return literal(pattern);
    auto regex = Regex::compile(pattern);
    if (!regex) return std::nullopt;
    return regularExpression(std::move(*regex));
}

std::vector<Range> ranges(TextView text, const SearchPattern& pattern) {
    std::vector<Range> result;
    Searcher searcher(text, pattern);
    const auto end = static_cast<int32_t>(text.size());
    int32_t start = 0;
    while (start <= end) {
        auto occurrence = searcher.find(start);
        if (!occurrence) break;
        result.push_back(*occurrence);
        if (!occurrence->empty()) {
            start = occurrence->upper;
        } else {
            // An empty occurrence at the end would be found again and again.
            if (occurrence->lower >= end) break;
            start = searcher.characterAfter(occurrence->lower);
        }
    }
    return result;
}

std::vector<Text> split(TextView text, const SearchPattern& pattern, bool includeSeparators) {
    std::vector<Text> result;
    Searcher searcher(text, pattern);
    const auto end = static_cast<int32_t>(text.size());
    int32_t pieceStart = 0;
    int32_t searchFrom = 0;
    while (searchFrom <= end) {
        auto occurrence = searcher.find(searchFrom);
        if (!occurrence) break;
        if (pieceStart < occurrence->lower) result.push_back(slice(text, pieceStart, occurrence->lower));
        if (includeSeparators && !occurrence->empty())
            result.push_back(slice(text, occurrence->lower, occurrence->upper));
        pieceStart = std::max(pieceStart, occurrence->upper);
        if (!occurrence->empty()) {
            searchFrom = occurrence->upper;
        } else {
            // An empty separator takes no text: the next piece still starts here.
            if (occurrence->lower >= end) break;
            searchFrom = searcher.characterAfter(occurrence->lower);
        }
    }
    if (pieceStart < end) result.push_back(slice(text, pieceStart, end));
    return result;
}

std::vector<Text> split(TextView text, const SearchPattern& pattern, SplitDelimiterBehavior behavior) {
    switch (behavior) {
        case SplitDelimiterBehavior::removed: return split(text, pattern, false);
        case SplitDelimiterBehavior::isolated: return split(text, pattern, true);
        case SplitDelimiterBehavior::mergedWithPrevious:
        case SplitDelimiterBehavior::mergedWithNext: break;
    }
    const auto end = static_cast<int32_t>(text.size());
    std::vector<int32_t> boundaries{0};
    for (const Range& r : ranges(text, pattern)) {
        int32_t b = behavior == SplitDelimiterBehavior::mergedWithPrevious ? r.upper : r.lower;
        if (b > boundaries.back()) boundaries.push_back(b);
    }
    std::vector<Text> result;
    for (size_t i = 0; i < boundaries.size(); ++i) {
        int32_t upper = i + 1 < boundaries.size() ? boundaries[i + 1] : end;
        if (boundaries[i] < upper) result.push_back(slice(text, boundaries[i], upper));
    }
    return result;
}

std::vector<Text> split(TextView text, const Regex& regex) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(regex.icuPattern().matcher(status));
    if (U_FAILURE(status) || !matcher) icuFailure("regex matcher", status);
    checkSearchable(text.size());
    icu::UnicodeString input = alias(text);
    prepareMatcher(*matcher, input, text.size());
    const auto end = static_cast<int32_t>(text.size());
    const int32_t groups = matcher->groupCount();
    std::vector<Text> result;
    int32_t last = 0;
    bool matched = false;
    while (matcher->find(status)) {
        int32_t lower = matcher->start(status);
        int32_t upper = matcher->end(status);
        if (U_FAILURE(status) || lower < 0 || upper > end || lower > upper) {
            status = U_ZERO_ERROR;
            continue;
        }
        matched = true;
        if (last < lower) result.push_back(slice(text, last, lower));
        int32_t groupLower = lower, groupUpper = upper;
        for (int32_t g = groups; g >= 1; --g) {
            int32_t s = matcher->start(g, status);
            if (U_SUCCESS(status) && s != -1) {
                groupLower = s;
                groupUpper = matcher->end(g, status);
                break;
            }
            status = U_ZERO_ERROR;
        }
        result.push_back(slice(text, groupLower, groupUpper));
        last = upper;
    }
    if (U_FAILURE(status)) matchFailure(*matcher, status, text.size());
    if (!matched) return {Text(text)};
    if (last < end) result.push_back(slice(text, last, end));
    return result;
}

bool hasPrefix(TextView text, TextView prefix) {
    if (prefix.empty()) return true;
    if (isSimple(text) && isSimple(prefix)) return text.substr(0, prefix.size()) == prefix;
    if (isPlainAsciiPattern(prefix))
        return text.substr(0, prefix.size()) == prefix &&
               isCharacterBoundary(text, static_cast<int32_t>(prefix.size()));
    const Text needle = nfd(prefix);
    std::vector<int32_t> b = characterBoundaries(text);
    Text accumulated;
    for (size_t i = 0; i + 1 < b.size(); ++i) {
        accumulated += nfd(text.substr(static_cast<size_t>(b[i]), static_cast<size_t>(b[i + 1] - b[i])));
        if (accumulated.size() >= needle.size()) return accumulated == needle;
        if (needle.compare(0, accumulated.size(), accumulated) != 0) return false;
    }
    return false;
}

Text replacingOccurrences(TextView text, TextView target, TextView replacement) {
    SearchPattern pattern = SearchPattern::literal(target);
    Searcher searcher(text, pattern);
    Text out;
    int32_t start = 0;
    const auto end = static_cast<int32_t>(text.size());
    while (start < end) {
        auto occurrence = searcher.find(start);
        if (!occurrence || occurrence->empty()) break;
        out.append(text.substr(static_cast<size_t>(start), static_cast<size_t>(occurrence->lower - start)));
        out.append(replacement);
        start = occurrence->upper;
    }
    out.append(text.substr(static_cast<size_t>(start)));
    return out;
}

}  // namespace halvex::text
