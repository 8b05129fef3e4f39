#include <gtest/gtest.h>

#include "HalvexCore/External/Tokenizers/PreTokenizer.h"
#include "TokenizerTestSupport.h"

using namespace halvex;
using namespace tokenizer_test;

namespace {

struct Case {
    const char* section;
    std::string input;
    bool firstSection;
    std::vector<std::string> expected;
};

void check(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.section) + " on " + c.input);
        auto preTokenizer = PreTokenizerFactory::fromConfig(json(c.section));
        ASSERT_NE(preTokenizer, nullptr);
        PreTokenizerOptions options;
        if (c.firstSection) options.insert(PreTokenizerOption::firstSection);
        EXPECT_EQ(utf8(preTokenizer->preTokenize(text::fromUtf8(c.input), options)), c.expected);
    }
}

}  // namespace

TEST(TokenizerPreTokenizers, MatchingPreTokenizersCutAtWhitespacePunctuationAndDigits) {
    check({
        {R"({"type":"Whitespace"})", "a  b\tc", true, {"a", "b", "c"}},
        {R"({"type":"WhitespaceSplit"})", "a  b\tc", true, {"a", "b", "c"}},
        {R"({"type":"Whitespace"})", "   ", true, {}},
        {R"({"type":"BertPreTokenizer"})", "Hello, world!", true, {"Hello", ",", "world", "!"}},
        {R"({"type":"BertPreTokenizer"})", "...", true, {".", ".", "."}},
        {R"({"type":"BertPreTokenizer"})", "a$b¿c", true, {"a", "$", "b", "¿", "c"}},
        {R"({"type":"Punctuation"})", "Hello, world!", true, {"Hello", ",", " world", "!"}},
        {R"({"type":"Punctuation"})", "...", true, {"..."}},
        {R"({"type":"Digits"})", "ab123c", true, {"ab", "123", "c"}},
        {R"({"type":"Digits","individual_digits":true})", "ab123c", true, {"ab", "1", "2", "3", "c"}},
        {R"({"type":"Sequence","pretokenizers":[{"type":"Whitespace"},{"type":"Digits"}]})",
         "ab12 c3",
         true,
         {"ab", "12", "c", "3"}},
        {R"({"type":"Sequence","pretokenizers":[]})", "a b", true, {"a b"}},
    });
}

TEST(TokenizerPreTokenizers, ByteLevelWritesEveryByteAsOneCharacter) {
    check({
        {R"({"type":"ByteLevel"})", "Hello world", true, {"Hello", "Ġworld"}},
        {R"({"type":"ByteLevel"})", "don't", true, {"don", "'t"}},
        {R"({"type":"ByteLevel","add_prefix_space":true})", "Hello world", true, {"ĠHello", "Ġworld"}},
        {R"({"type":"ByteLevel","add_prefix_space":true})", "Hello, world", false, {"ĠHello", "Ġ,", "Ġworld"}},
        {R"({"type":"ByteLevel","use_regex":false})", "Hello world", true, {"HelloĠworld"}},
        {R"({"type":"ByteLevel"})", "caf\u00e9\n\n", true, {"cafÃ©", "ĊĊ"}},
        {R"({"type":"ByteLevel"})", "a  b", true, {"a", "Ġ", "Ġb"}},
        {R"({"type":"ByteLevel"})", "\U0001F389!", true, {"ðŁİī!"}},
        {R"({"type":"ByteLevel"})", "", true, {}},
    });
}

TEST(TokenizerPreTokenizers, MetaspaceMarksWordsAndTheFirstSection) {
    const char* always = R"({"type":"Metaspace","replacement":"▁","add_prefix_space":true})";
    const char* first = R"({"type":"Metaspace","replacement":"▁","add_prefix_space":true,"prepend_scheme":"first"})";
    const char* never = R"({"type":"Metaspace","replacement":"▁","add_prefix_space":true,"prepend_scheme":"never"})";
    check({
        {always, "Hello world", false, {"▁Hello", "▁world"}},
        {first, "Hello world", true, {"▁Hello", "▁world"}},
        {first, "Hello world", false, {"Hello", "▁world"}},
        {never, "Hello world", true, {"Hello", "▁world"}},
        {R"({"type":"Metaspace","replacement":"▁"})", "Hello world", true, {"Hello", "▁world"}},
        {always, "▁Hi", true, {"▁Hi"}},
        {always, "a  b", true, {"▁a", "▁", "▁b"}},
        {R"({"type":"Metaspace","replacement":"▁","str_rep":"_","add_prefix_space":true})", "a b", true, {"_a_b"}},
        // Without a replacement spaces stay and each one starts a piece.
        {R"({"type":"Metaspace"})", "a b", true, {"a", " b"}},
        {R"({"type":"Metaspace","replacement":"▁","add_prefix_space":true,"prepend_scheme":"other"})",
         "a",
         false,
         {"▁a"}},
    });
}

TEST(TokenizerPreTokenizers, SplitByLiteralOrExpression) {
    check({
        {R"({"type":"Split","pattern":{"Regex":"\\s+"},"behavior":"Removed"})", "a  b", true, {"a", "  ", "b"}},
        {R"({"type":"Split","pattern":{"Regex":"\\s+"},"invert":true})", "a  b", true, {"a", "  ", "b"}},
        {R"({"type":"Split","pattern":{"String":"-"}})", "a-b", true, {"a", "-", "b"}},
        {R"({"type":"Split","pattern":{"String":"-"},"invert":true})", "a-b", true, {"a", "b"}},
        {R"({"type":"Split","pattern":{"String":"é"},"invert":true})", "xe\u0301y", true, {"x", "y"}},
        {R"({"type":"Split","pattern":{"Other":"-"}})", "a-b", true, {"a-b"}},
    });
}

TEST(TokenizerPreTokenizers, ListsOfTextsAreCutOneByOne) {
    auto preTokenizer = PreTokenizerFactory::fromConfig(json(R"({"type":"Whitespace"})"));
    EXPECT_EQ(utf8(preTokenizer->preTokenize(std::vector<text::Text>{u"a b", u"", u"c"})),
              (std::vector<std::string>{"a", "b", "c"}));
}

TEST(TokenizerPreTokenizers, SectionsWithoutTypeBuildNothingAndMalformedOnesAreFaults) {
    EXPECT_EQ(PreTokenizerFactory::fromConfig(Config()), nullptr);
    EXPECT_EQ(PreTokenizerFactory::fromConfig(json(R"({"add_prefix_space":true})")), nullptr);
    const std::vector<std::pair<const char*, std::string>> faults = {
        {R"({"type":"Foo"})", "Unsupported PreTokenizer type: Foo"},
        {R"({"type":""})", "Unsupported PreTokenizer type: "},
        {R"({"type":"Sequence"})", "No pretokenizers in Sequence"},
        {R"({"type":"Sequence","pretokenizers":[{"type":"Nope"}]})", "Unsupported PreTokenizer type: Nope"},
        {R"({"type":"Split","pattern":{"Regex":"[a"}})", "Cannot build regexp from [a"},
        {R"({"type":"Metaspace","replacement":"("})", "Cannot build regexp from ("},
    };
    for (const auto& [section, text] : faults) {
        EXPECT_EQ(fileFault([&] { PreTokenizerFactory::fromConfig(json(section)); }), text) << section;
    }
}
