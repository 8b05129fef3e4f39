#include <gtest/gtest.h>

#include <set>

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include "HalvexCore/External/Tokenizers/ByteLevelAlphabet.h"
#include "HalvexCore/External/Tokenizers/TextOperations.h"

using namespace halvex;
using namespace halvex::text;

namespace {

std::vector<std::string> utf8(const std::vector<Text>& pieces) {
    std::vector<std::string> out;
    for (const auto& p : pieces) out.push_back(toUtf8(p));
    return out;
}

SearchPattern pattern(TextView p, SearchOptions options) {
    auto made = SearchPattern::make(p, options);
    EXPECT_TRUE(made.has_value());
    return *made;
}

}  // namespace

TEST(TokenizerTextOperations, RangesFindEveryOccurrenceAndEndAfterAnEmptyMatchAtTheEnd) {
    struct Case {
        Text text;
        Text pattern;
        SearchOptions options;
        std::vector<Range> expected;
    };
    const std::vector<Case> cases = {
        {u"a  bc", u"\\S+", SearchOptions::regularExpression, {{0, 1}, {3, 5}}},
        // Empty matches step one character on; the empty match at the end is the last one.
        {u"ab", u"\\s*", SearchOptions::regularExpression, {{0, 0}, {1, 1}, {2, 2}}},
        {u"a ", u"\\s*", SearchOptions::regularExpression, {{0, 0}, {1, 2}, {2, 2}}},
        {u"", u"x*", SearchOptions::regularExpression, {{0, 0}}},
        // An empty match steps over a whole character, not a code unit.
        {u"e\u0301b", u"x*", SearchOptions::regularExpression, {{0, 0}, {2, 2}, {3, 3}}},
        {u"abcabc", u"bc", SearchOptions::none, {{1, 3}, {4, 6}}},
        // Plain search is canonical and never cuts a character apart.
        {u"e\u0301x e", u"e", SearchOptions::none, {{4, 5}}},
        {u"cafe\u0301!", u"\u00e9", SearchOptions::none, {{3, 5}}},
        {u"caf\u00e9!", u"e\u0301", SearchOptions::none, {{3, 4}}},
        {u"abc", u"", SearchOptions::none, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(toUtf8(c.text) + " / " + toUtf8(c.pattern));
        EXPECT_EQ(ranges(c.text, pattern(c.pattern, c.options)), c.expected);
    }
}

TEST(TokenizerTextOperations, SplitWithAndWithoutSeparators) {
    struct Case {
        Text text;
        Text pattern;
        SearchOptions options;
        bool includeSeparators;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {u",a,,b,", u",", SearchOptions::none, false, {"a", "b"}},
        {u",a,,b,", u",", SearchOptions::none, true, {",", "a", ",", ",", "b", ","}},
        {u"abc", u",", SearchOptions::none, true, {"abc"}},
        {u"", u",", SearchOptions::none, true, {}},
        {u"a  b", u"\\s+", SearchOptions::regularExpression, true, {"a", "  ", "b"}},
        // An expression that matches empty cuts between characters and loses none of them.
        {u"ab", u"x*", SearchOptions::regularExpression, true, {"a", "b"}},
        {u"a b", u"\\s*", SearchOptions::regularExpression, false, {"a", "b"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(toUtf8(c.text) + " / " + toUtf8(c.pattern));
        EXPECT_EQ(utf8(split(c.text, pattern(c.pattern, c.options), c.includeSeparators)), c.expected);
    }
}

TEST(TokenizerTextOperations, SplitByDelimiterBehaviour) {
    using B = SplitDelimiterBehavior;
    struct Case {
        Text text;
        B behavior;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {u"\u2581Hello\u2581world", B::mergedWithNext, {"▁Hello", "▁world"}},
        {u"Hello\u2581world", B::mergedWithNext, {"Hello", "▁world"}},
        {u"a\u2581\u2581b", B::mergedWithNext, {"a", "▁", "▁b"}},
        {u"\u2581Hello\u2581world", B::mergedWithPrevious, {"▁", "Hello▁", "world"}},
        {u"Hello\u2581world", B::mergedWithPrevious, {"Hello▁", "world"}},
        {u"a\u2581\u2581b", B::mergedWithPrevious, {"a▁", "▁", "b"}},
        {u"a\u2581\u2581b", B::removed, {"a", "b"}},
        {u"a\u2581\u2581b", B::isolated, {"a", "▁", "▁", "b"}},
        {u"", B::mergedWithNext, {}},
        {u"", B::mergedWithPrevious, {}},
        {u"abc", B::mergedWithPrevious, {"abc"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(toUtf8(c.text) + " behaviour " + std::to_string(static_cast<int>(c.behavior)));
        EXPECT_EQ(utf8(split(c.text, pattern(u"\u2581", SearchOptions::regularExpression), c.behavior)), c.expected);
        EXPECT_EQ(utf8(split(c.text, pattern(u"\u2581", SearchOptions::none), c.behavior)), c.expected);
    }
}

TEST(TokenizerTextOperations, RegexSplitKeepsTheHighestParticipatingGroup) {
    struct Case {
        Text expression;
        Text text;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {u"(<s>|</s>)", u"x<s>y</s>", {"x", "<s>", "y", "</s>"}},
        {u"(<s>|</s>)", u"plain", {"plain"}},
        {u"(<s>|</s>)", u"", {""}},
        // Whitespace around the group is consumed, only the group's text is kept.
        {u"\\s*(<a>)|(<b>)\\s*", u"x  <a>y<b>  z", {"x", "<a>", "y", "<b>", "z"}},
        // No group: the whole match.
        {u"-+", u"a--b", {"a", "--", "b"}},
        // A group that took part but matched nothing gives an empty piece.
        {u"a(x?)b", u"1ab2", {"1", "", "2"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(toUtf8(c.expression) + " on " + toUtf8(c.text));
        auto regex = Regex::compile(c.expression);
        ASSERT_TRUE(regex);
        EXPECT_EQ(utf8(split(c.text, *regex)), c.expected);
    }
}

TEST(TokenizerTextOperations, CharactersAreExtendedGraphemeClusters) {
    struct Case {
        Text text;
        size_t count;
    };
    const std::vector<Case> cases = {
        {u"", 0},
        {u"abc", 3},
        {u"e\u0301", 1},
        {u"\r\n", 1},
        {u"a\r\nb", 3},
        {u"\U0001F468\u200D\U0001F469\u200D\U0001F467", 1},
        {u"\U0001F44D\U0001F3FD!", 2},
        {u"\u0915\u094D\u0937", 1},
        {u"\uAC00\u11A8", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(toUtf8(c.text));
        EXPECT_EQ(characterCount(c.text), c.count);
        auto chars = characters(c.text);
        EXPECT_EQ(chars.size(), c.count);
        Text joined;
        for (const auto& ch : chars) joined += ch;
        EXPECT_EQ(joined, c.text);
    }
    EXPECT_EQ(nextCharacterBoundary(u"e\u0301x", 0), 2);
    EXPECT_EQ(nextCharacterBoundary(u"ab", 0), 1);
    EXPECT_EQ(nextCharacterBoundary(u"a\r\n", 1), 3);
}

TEST(TokenizerTextOperations, Utf8DecodingReplacesEachMaximalIllFormedSubpart) {
    struct Case {
        std::string bytes;
        Text expected;
    };
    const std::vector<Case> cases = {
        {"abc", u"abc"},
        {"\xC3\xA9", u"\u00e9"},
        {"\xF0\x9F\x8E\x89", u"\U0001F389"},
        {"\xE2\x96", u"\uFFFD"},
        {"\xE2\x96"
         "A",
         u"\uFFFDA"},
        {"\xF0\x80\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"\xC0\xAF", u"\uFFFD\uFFFD"},
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"\xFF"
         "b",
         u"\uFFFDb"},
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"\xE2\x96\x81\xE2", u"\u2581\uFFFD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fromUtf8(c.bytes), c.expected) << c.bytes;
    }
    EXPECT_EQ(toUtf8(u"\u00e9\U0001F389"), "\xC3\xA9\xF0\x9F\x8E\x89");
    EXPECT_EQ(toUtf8(Text(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(TokenizerTextOperations, CaseMappingNormalizationAndFolding) {
    // Scalar-by-scalar lowercasing: a final capital sigma is not treated specially.
    EXPECT_EQ(lowercased(u"\u03A3\u0391\u03A3"), u"\u03C3\u03B1\u03C3");
    EXPECT_EQ(lowercased(u"HeLLo \u00C9"), u"hello \u00E9");
    EXPECT_EQ(lowercased(u"\u0130"), u"i\u0307");
    EXPECT_EQ(foldingDiacritics(u"H\u00e9llo, Cafe\u0301"), u"Hello, Cafe");
    EXPECT_EQ(nfc(u"e\u0301"), u"\u00e9");
    EXPECT_EQ(nfd(u"\u00e9"), u"e\u0301");
    EXPECT_EQ(nfkc(u"\uFB01"), u"fi");
    EXPECT_EQ(nfkd(u"\u00e9\uFB01"), u"e\u0301fi");
    EXPECT_TRUE(canonicallyEqual(u"caf\u00e9", u"cafe\u0301"));
    EXPECT_FALSE(canonicallyEqual(u"cafe", u"caf\u00e9"));
    EXPECT_EQ(canonicalKey(u"cafe\u0301"), canonicalKey(u"caf\u00e9"));
    EXPECT_EQ(replacingOccurrences(u"caf\u00e9 cafe\u0301 cafe", u"\u00e9", u"E"), u"cafE cafE cafe");
    EXPECT_EQ(replacingOccurrences(u"a b c", u" ", u"\u2581"), u"a\u2581b\u2581c");
}

TEST(TokenizerTextOperations, LongRunsOfMarksNormalizeAsTheUnicodeAlgorithmSays) {
    // Runs of marks longer than real text has are put in order before normalizing; the result
    // must be exactly the normal form. Pieces: letters, marks of several classes, marks and
    // starters that decompose into marks (U+0344, U+0F73), precomposed and compatibility
    // characters (U+1E69, U+FF9E, U+00A0, U+2460), Hangul syllables and jamo.
    const std::vector<Text> pieces = {u"a",      u"e",      u"\u0301", u"\u0316", u"\u0323", u"\u0307",
                                      u"\u0344", u"\u0F73", u"\u0F71", u"\u1E69", u"\uFF9E", u"\u3099",
                                      u"\u00A0", u"\u2460", u"\uAC00", u"\u1161", u"\u05B0", u"\U0001D165"};
    UErrorCode status = U_ZERO_ERROR;
    struct Form {
        const char* name;
        Text (*ours)(TextView);
        const icu::Normalizer2* reference;
    };
    const std::vector<Form> forms = {
        {"NFC", nfc, icu::Normalizer2::getNFCInstance(status)},
        {"NFD", nfd, icu::Normalizer2::getNFDInstance(status)},
        {"NFKC", nfkc, icu::Normalizer2::getNFKCInstance(status)},
        {"NFKD", nfkd, icu::Normalizer2::getNFKDInstance(status)},
    };
    ASSERT_TRUE(U_SUCCESS(status));
    uint64_t state = 7;
    auto next = [&](uint64_t bound) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return (state >> 33) % bound;
    };
    for (int round = 0; round < 300; ++round) {
        Text sample;
        // Mostly marks, so that runs of more than 32 are common.
        for (uint64_t i = 0, n = 20 + next(120); i < n; ++i)
            sample += next(8) == 0 ? pieces[next(pieces.size())] : pieces[2 + next(4)];
        for (const auto& form : forms) {
            icu::UnicodeString expected;
            form.reference->normalize(icu::UnicodeString(sample.data(), static_cast<int32_t>(sample.size())), expected,
                                      status);
            ASSERT_TRUE(U_SUCCESS(status));
            ASSERT_EQ(toUtf8(form.ours(sample)),
                      toUtf8(Text(expected.getBuffer(), static_cast<size_t>(expected.length()))))
                << form.name << " of " << toUtf8(sample);
        }
    }
}

TEST(TokenizerTextOperations, EscapedPatternsMatchTheirTextLiterally) {
    const std::vector<Text> literals = {u"<|endoftext|>",    u"a.b", u"(x)*", u"\\d", u"[MASK]", u"$1",
                                        u"\u2581\U0001F389", u" "};
    for (const auto& literal : literals) {
        SCOPED_TRACE(toUtf8(literal));
        auto regex = Regex::compile(escapedPattern(literal));
        ASSERT_TRUE(regex);
        Text haystack = u"x" + literal + u"y";
        auto found = ranges(haystack, SearchPattern::regularExpression(*regex));
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0], (Range{1, static_cast<int32_t>(1 + literal.size())}));
    }
    auto dot = Regex::compile(escapedPattern(u"a.b"));
    EXPECT_TRUE(ranges(u"axb", SearchPattern::regularExpression(*dot)).empty());
    EXPECT_FALSE(Regex::compile(u"(unclosed"));
}

TEST(TokenizerTextOperations, RegexReplacementTemplates) {
    auto regex = Regex::compile(u"(\\w+)@(\\w+)");
    ASSERT_TRUE(regex);
    EXPECT_EQ(regex->replaceAll(u"me@home you@work", u"$2:$1"), u"home:me work:you");
    EXPECT_EQ(regex->replaceAll(u"me@home", u"\\$1"), u"$1");
    auto spaces = Regex::compile(u" {2,}");
    EXPECT_EQ(spaces->replaceAll(u"a   b  c d", u" "), u"a b c d");
}

TEST(TokenizerByteLevelAlphabet, MapsEveryByteToItsOwnCharacterAndBack) {
    const auto& encoder = byteEncoder();
    const auto& decoder = byteDecoder();
    EXPECT_EQ(decoder.size(), 256u);
    EXPECT_EQ(encoder[65], u'A');
    EXPECT_EQ(encoder[0], u'\u0100');
    EXPECT_EQ(encoder[32], u'\u0120');
    EXPECT_EQ(encoder[10], u'\u010A');
    EXPECT_EQ(encoder[173], u'\u0143');
    EXPECT_EQ(decoder.at(u'\u0120'), 32);
    std::set<char16_t> seen;
    for (int b = 0; b < 256; ++b) {
        char16_t c = encoder[static_cast<size_t>(b)];
        EXPECT_TRUE(seen.insert(c).second) << b;
        EXPECT_EQ(decoder.at(c), b);
        EXPECT_EQ(byteLevelByte(c), b);
    }
    EXPECT_EQ(byteLevelByte(u' '), -1);
    EXPECT_EQ(byteLevelByte(u'\u0144'), -1);
}
