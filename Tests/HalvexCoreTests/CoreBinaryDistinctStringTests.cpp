#include "HalvexCore/External/Hub/BinaryDistinctString.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

using halvex::BinaryDistinctCharacter;
using halvex::BinaryDistinctString;

namespace {

const std::string kPrecomposedE = "\u00E9";        // é as one code point
const std::string kDecomposedE = "e\u0301";        // e + combining acute accent
const std::string kEmoji = "\U0001F600";           // outside the BMP: a surrogate pair
const std::string kFlag = "\U0001F1EB\U0001F1F7";  // two regional indicators, one character

TEST(CoreBinaryDistinctString, CanonicallyEquivalentTextsStayDistinct) {
    BinaryDistinctString precomposed(kPrecomposedE);
    BinaryDistinctString decomposed(kDecomposedE);
    EXPECT_NE(precomposed, decomposed);
    EXPECT_EQ(precomposed.value, std::u16string(u"\u00E9"));
    EXPECT_EQ(decomposed.value, std::u16string(u"e\u0301"));

    std::unordered_map<BinaryDistinctString, int> vocabulary{{precomposed, 1}, {decomposed, 2}};
    EXPECT_EQ(vocabulary.size(), 2u);
    EXPECT_EQ(vocabulary.at(BinaryDistinctString(kPrecomposedE)), 1);
    EXPECT_EQ(vocabulary.at(BinaryDistinctString(kDecomposedE)), 2);
    EXPECT_EQ(precomposed.hash(), BinaryDistinctString(u"\u00E9").hash());
}

TEST(CoreBinaryDistinctString, OrdersByCodeUnits) {
    struct Case {
        std::u16string smaller;
        std::u16string larger;
    };
    const std::vector<Case> cases = {
        {u"Z", u"a"},
        {u"a", u"ab"},
        {u"", u"a"},
        {u"z", u"\u00E9"},
        // Code-unit order, not code-point order: the high surrogate D83D sorts before E000.
        {u"\U0001F600", u"\uE000"},
    };
    for (const auto& c : cases) {
        BinaryDistinctString smaller(c.smaller), larger(c.larger);
        EXPECT_LT(smaller, larger) << smaller << " < " << larger;
        EXPECT_FALSE(larger < smaller) << larger;
        EXPECT_FALSE(smaller < smaller) << smaller;
        EXPECT_GE(larger, smaller);
    }
    std::map<BinaryDistinctString, int> ordered{{"b", 0}, {"B", 0}, {"a", 0}};
    EXPECT_EQ(ordered.begin()->first, BinaryDistinctString("B"));
}

TEST(CoreBinaryDistinctString, CountsAndIteratesCharacters) {
    struct Case {
        std::string text;
        std::size_t count;
        std::vector<std::u16string> characters;
    };
    const std::vector<Case> cases = {
        {"", 0, {}},
        {"abc", 3, {u"a", u"b", u"c"}},
        {kDecomposedE, 1, {u"e\u0301"}},
        {"a\r\nb", 3, {u"a", u"\r\n", u"b"}},
        {kEmoji, 1, {u"\U0001F600"}},
        {kFlag + "x", 2, {u"\U0001F1EB\U0001F1F7", u"x"}},
        {"h" + kDecomposedE + "llo", 5, {u"h", u"e\u0301", u"l", u"l", u"o"}},
    };
    for (const auto& c : cases) {
        BinaryDistinctString text(c.text);
        EXPECT_EQ(text.count(), c.count) << c.text;
        std::vector<std::u16string> units;
        for (const auto& character : text.characters()) units.push_back(character.bytes);
        EXPECT_EQ(units, c.characters) << c.text;
        EXPECT_EQ(BinaryDistinctString(text.characters()), text);
    }
    EXPECT_EQ(BinaryDistinctString(kEmoji).value.size(), 2u);
}

TEST(CoreBinaryDistinctString, PrefixSuffixAndConcatenation) {
    struct Case {
        std::string text;
        std::string affix;
        bool prefix;
        bool suffix;
    };
    const std::vector<Case> cases = {
        {"hello", "", true, true},         {"hello", "he", true, false}, {"hello", "lo", false, true},
        {"hello", "hello!", false, false}, {"", "", true, true},         {kDecomposedE, "e", true, false},
    };
    for (const auto& c : cases) {
        BinaryDistinctString text(c.text);
        EXPECT_EQ(text.hasPrefix(c.affix), c.prefix) << c.text << " / " << c.affix;
        EXPECT_EQ(text.hasSuffix(c.affix), c.suffix) << c.text << " / " << c.affix;
    }
    EXPECT_EQ(BinaryDistinctString("ab") + BinaryDistinctString(u"\u0301"), BinaryDistinctString(u"ab\u0301"));
}

TEST(CoreBinaryDistinctString, PositionsAndRanges) {
    for (const std::string& e : {kPrecomposedE, kDecomposedE}) {
        BinaryDistinctString hello("h" + e + "llo");
        EXPECT_EQ(hello.slice(1, 3), BinaryDistinctString(e + "l"));
        EXPECT_EQ(hello.slice(3), BinaryDistinctString("lo"));
        EXPECT_EQ(hello.slice(2, 2), BinaryDistinctString());
        EXPECT_EQ(hello.slice(0, 5), hello);
        EXPECT_EQ(hello.slice(5), BinaryDistinctString());
        EXPECT_EQ(hello.index(0, static_cast<std::ptrdiff_t>(hello.count())), 5);
        EXPECT_EQ(hello.index(5, -5), 0);
    }
    BinaryDistinctString text("abcdef");
    EXPECT_EQ(text.index(5, -2, 4), 3);
    EXPECT_EQ(text.index(2, 3, 4), std::nullopt);
    EXPECT_EQ(text.index(2, 2, 4), 4);
}

TEST(CoreBinaryDistinctStringDeathTest, PositionsOutsideTheTextStopTheProcess) {
    BinaryDistinctString hello("héllo");
    EXPECT_DEATH(hello.index(0, 6), "Index out of bounds");
    EXPECT_DEATH(hello.index(0, -1), "Index out of bounds");
    EXPECT_DEATH(hello.slice(0, 6), "Index out of bounds");
    EXPECT_DEATH(hello.slice(-1, 2), "Index out of bounds");
    EXPECT_DEATH(hello.slice(6), "Index out of bounds");
}

TEST(CoreBinaryDistinctString, LowercasesWithoutLocale) {
    struct Case {
        std::string text;
        std::string lowered;
    };
    const std::vector<Case> cases = {
        {"HeLLo", "hello"},
        {"\u00C0B\u00C7", "\u00E0b\u00E7"},
        {"\u0130", "i\u0307"},  // dotted capital I, root locale (not Turkish)
        {"\u03A3\u0391", "\u03C3\u03B1"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BinaryDistinctString(c.text).lowercased(), BinaryDistinctString(c.lowered)) << c.text;
    }
}

TEST(CoreBinaryDistinctString, ReplacesWholeCharactersByCanonicalEquivalence) {
    struct Case {
        std::string text;
        std::string target;
        std::string replacement;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"a-b-c", "-", "+", "a+b+c"},
        {"aaa", "aa", "b", "ba"},
        {"abc", "", "x", "abc"},
        {"abc", "z", "x", "abc"},
        // A precomposed target finds the decomposed form and the other way round.
        {"caf" + kDecomposedE + "!", kPrecomposedE, "e", "cafe!"},
        {"caf" + kPrecomposedE + "!", kDecomposedE, "E", "cafE!"},
        // A match never splits a character.
        {"caf" + kDecomposedE, "e", "x", "caf" + kDecomposedE},
        {kEmoji + "a" + kEmoji, kEmoji, "<>", "<>a<>"},
        {"line\r\nnext", "\r\n", " ", "line next"},
    };
    for (const auto& c : cases) {
        auto result = BinaryDistinctString(c.text).replacingOccurrences(c.target, c.replacement);
        EXPECT_EQ(result, BinaryDistinctString(c.expected)) << c.text << " / " << c.target;
    }
}

TEST(CoreBinaryDistinctString, CharacterDescriptionAndEquality) {
    EXPECT_EQ(BinaryDistinctCharacter("a").description(), R"(BinaryDistinctCharacter('a', bytes: ["0x61"]))");
    EXPECT_EQ(BinaryDistinctCharacter("\u2581").description(),
              "BinaryDistinctCharacter('\u2581', bytes: [\"0x2581\"])");
    EXPECT_EQ(BinaryDistinctCharacter(kDecomposedE).description(),
              "BinaryDistinctCharacter('" + kDecomposedE + R"(', bytes: ["0x65", "0x301"]))");
    EXPECT_NE(BinaryDistinctCharacter(kPrecomposedE), BinaryDistinctCharacter(kDecomposedE));
    EXPECT_EQ(BinaryDistinctString(BinaryDistinctCharacter(kEmoji)).value, std::u16string(u"\U0001F600"));
}

TEST(CoreBinaryDistinctString, ConvertsBetweenEncodings) {
    // Well-formed text round-trips; ill-formed input decodes to U+FFFD.
    for (const std::string& text : {std::string("plain"), kDecomposedE, kEmoji, std::string("\uFEFFbom")}) {
        EXPECT_EQ(BinaryDistinctString(text).string(), text);
    }
    EXPECT_EQ(halvex::utf16FromUtf8("a\xFF"
                                    "b"),
              std::u16string(u"a\uFFFDb"));
    EXPECT_EQ(BinaryDistinctString(std::u16string(u"x") + char16_t(0xD800)).string(), "x\uFFFD");
    // The stored units are never altered by decoding.
    BinaryDistinctString lone(std::u16string(1, char16_t(0xDC00)));
    EXPECT_EQ(lone.value.size(), 1u);
    EXPECT_EQ(lone.value[0], 0xDC00);
}

TEST(CoreBinaryDistinctString, MergesDictionariesWithAStrategy) {
    using Map = std::unordered_map<BinaryDistinctString, int>;
    const Map receiver{{"a", 5}, {"b", 2}};
    const Map incoming{{"a", 1}};
    const std::unordered_map<std::string, int> incomingPlain{{"a", 1}, {"c", 3}};

    auto added = halvex::merging(receiver, incoming, [](int a, int b) { return a + b; });
    EXPECT_EQ(added, (Map{{"a", 6}, {"b", 2}}));
    auto kept = halvex::merging(receiver, incoming, [](int a, int) { return a; });
    EXPECT_EQ(kept, receiver);
    auto replaced = halvex::merging(receiver, incomingPlain, [](int, int b) { return b; });
    EXPECT_EQ(replaced, (Map{{"a", 1}, {"b", 2}, {"c", 3}}));
    EXPECT_EQ(receiver, (Map{{"a", 5}, {"b", 2}}));

    Map changed = receiver;
    halvex::merge(changed, incoming, [](int a, int b) { return a * 10 + b; });
    EXPECT_EQ(changed.at("a"), 51);
}

}  // namespace
