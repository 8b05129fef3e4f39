#pragma once

// The text operations every tokenizer component shares: UTF-8/UTF-16 conversion, characters
// (extended grapheme clusters), canonical equivalence, case mapping, regular expressions with
// ICU syntax, and the searching and splitting operations the components cut text with.
//
// Text is held as UTF-16 code units (`Text`), so positions agree with the regular-expression
// engine. A position is a code-unit offset; a "character" is an extended grapheme cluster.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class RegexPattern;
U_NAMESPACE_END

namespace halvex::text {

using Text = std::u16string;
using TextView = std::u16string_view;

// Hash for tables keyed by Text that can be searched with a TextView.
struct TextHash {
    using is_transparent = void;
    size_t operator()(TextView text) const noexcept { return std::hash<TextView>{}(text); }
};
template <typename Value>
using TextMap = std::unordered_map<Text, Value, TextHash, std::equal_to<>>;
using TextSet = std::unordered_set<Text, TextHash, std::equal_to<>>;

// ---------------------------------------------------------------------------------------------
// Conversion

// Decodes UTF-8; every maximal ill-formed subpart becomes one U+FFFD.
Text fromUtf8(std::string_view utf8);
// Encodes as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string toUtf8(TextView text);
// Appends the UTF-8 bytes of `text` to `out` (same rules as toUtf8).
void appendUtf8(TextView text, std::string& out);
// Calls `byte(unsigned char)` with each UTF-8 byte of `text` in order (same rules as toUtf8).
template <class ByteFunction>
void forEachUtf8Byte(TextView text, ByteFunction&& byte) {
    const size_t n = text.size();
    for (size_t i = 0; i < n; ++i) {
        char32_t c = text[i];
        if (c < 0x80) {
            byte(static_cast<unsigned char>(c));
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x800) {
            byte(static_cast<unsigned char>(0xC0 | (c >> 6)));
        } else if (c < 0x10000) {
            byte(static_cast<unsigned char>(0xE0 | (c >> 12)));
            byte(static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F)));
        } else {
            byte(static_cast<unsigned char>(0xF0 | (c >> 18)));
            byte(static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F)));
            byte(static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F)));
        }
        byte(static_cast<unsigned char>(0x80 | (c & 0x3F)));
    }
}

// The code point starting at `pos` (an unpaired surrogate is returned as itself); `pos` must
// lie inside the text.
char32_t codePointAt(TextView text, size_t pos);
// Appends one code point as UTF-16.
void appendCodePoint(Text& text, char32_t c);

// ---------------------------------------------------------------------------------------------
// Characters (extended grapheme clusters)

// True when every code unit is below U+0300 and the text holds no carriage return: then every
// code unit is one character and the text is already in NFC. Byte-level text always is.
bool isSimple(TextView text);

// Character boundaries of the text: 0, the end of each character, ..., text.size().
// An empty text gives {0}.
std::vector<int32_t> characterBoundaries(TextView text);
// The number of characters.
size_t characterCount(TextView text);
// The characters of the text, each as its own string.
std::vector<Text> characters(TextView text);
// The boundary that follows `pos` (pos < text.size()).
int32_t nextCharacterBoundary(TextView text, int32_t pos);

// ---------------------------------------------------------------------------------------------
// Normalization and case

Text nfc(TextView text);
Text nfd(TextView text);
Text nfkc(TextView text);
Text nfkd(TextView text);

// The key under which canonically equivalent strings are one: the NFC form.
Text canonicalKey(TextView text);
// True when canonicalKey(text) is the text itself without work: every unit below U+0300.
bool isCanonicalKey(TextView text);
// True when the two strings are canonically equivalent.
bool canonicallyEqual(TextView a, TextView b);

// Default full lowercase mapping, scalar by scalar, independent of locale and context
// (a capital sigma always becomes σ).
Text lowercased(TextView text);
// Removes diacritical marks (nonspacing marks after canonical decomposition) and recomposes.
Text foldingDiacritics(TextView text);

// Unicode White_Space property of a code point.
bool isWhiteSpace(char32_t c);
// The space separators (general category Zs) and the tab; not line breaks.
bool isSpaceSeparatorOrTab(char32_t c);
// Punctuation general categories Pc, Pd, Ps, Pe, Pi, Pf, Po.
bool isPunctuation(char32_t c);

// ---------------------------------------------------------------------------------------------
// Regular expressions (ICU syntax)

// A compiled regular expression. Immutable and shareable between threads: every operation
// makes its own matcher.
class Regex {
public:
    // Compiles the pattern without options; no value when it does not compile.
    static std::optional<Regex> compile(TextView pattern);

    const Text& pattern() const { return pattern_; }
    const icu::RegexPattern& icuPattern() const { return *compiled_; }
    int32_t groupCount() const { return groupCount_; }

    // Every match of the expression replaced by `replacementTemplate`, where "$n" inserts
    // capture group n and a backslash makes the next character literal.
    Text replaceAll(TextView text, TextView replacementTemplate) const;

private:
    Regex(Text pattern, std::shared_ptr<const icu::RegexPattern> compiled, int32_t groupCount);
    Text pattern_;
    int32_t groupCount_ = 0;
    std::shared_ptr<const icu::RegexPattern> compiled_;
};

// A pattern that matches the given text literally (every character that is not an ASCII
// letter or digit is written as an escape), so that it always compiles.
Text escapedPattern(TextView literal);

// ---------------------------------------------------------------------------------------------
// Searching and splitting

// Half-open range of code-unit positions.
struct Range {
    int32_t lower = 0;
    int32_t upper = 0;
    bool empty() const { return lower == upper; }
    bool operator==(const Range&) const = default;
};

enum class SearchOptions {
    // Plain text search treating canonically equivalent sequences as equal; occurrences begin
    // and end on character boundaries.
    none,
    // The pattern is a regular expression.
    regularExpression,
};

enum class SplitDelimiterBehavior { removed, isolated, mergedWithPrevious, mergedWithNext };

// What a search looks for: a literal text (plain search) or a compiled regular expression.
class SearchPattern {
public:
    static SearchPattern literal(TextView pattern);
    static SearchPattern regularExpression(Regex regex);
    // With SearchOptions::regularExpression the text is compiled; no value when it does not
    // compile.
    static std::optional<SearchPattern> make(TextView pattern, SearchOptions options);

    bool isRegularExpression() const { return regex_.has_value(); }
    const Text& text() const { return text_; }
    const std::optional<Regex>& regex() const { return regex_; }
    // For literal patterns: the canonical decomposition, and whether the fast code-unit
    // comparison applies.
    const Text& decomposed() const { return decomposed_; }
    bool simple() const { return simple_; }

private:
    SearchPattern() = default;
    Text text_;
    Text decomposed_;
    bool simple_ = false;
    std::optional<Regex> regex_;
};

// The ranges of all occurrences, in text order. After an empty occurrence the search goes on
// one character further; an empty occurrence at the end of the text ends the search.
std::vector<Range> ranges(TextView text, const SearchPattern& pattern);

// The non-empty pieces between occurrences, with the occurrences themselves when
// `includeSeparators` is set. The empty text gives no piece.
std::vector<Text> split(TextView text, const SearchPattern& pattern, bool includeSeparators);

// The pieces by delimiter behaviour.
std::vector<Text> split(TextView text, const SearchPattern& pattern, SplitDelimiterBehavior behavior);

// The pieces between matches and, for each match, the text of its highest-numbered capture
// group that took part (the whole match when none did). No match: the text alone.
std::vector<Text> split(TextView text, const Regex& regex);

// True when the text begins with `prefix` under plain search (canonical, whole characters).
bool hasPrefix(TextView text, TextView prefix);

// Every occurrence of `target` (plain search) replaced by `replacement`.
Text replacingOccurrences(TextView text, TextView target, TextView replacement);

}  // namespace halvex::text
