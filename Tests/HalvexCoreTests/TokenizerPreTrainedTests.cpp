#include <gtest/gtest.h>

#include "HalvexCore/External/Tokenizers/AddedTokenSplitter.h"
#include "HalvexCore/External/Tokenizers/BPETokenizer.h"
#include "HalvexCore/External/Tokenizers/LlamaPreTrainedTokenizer.h"
#include "HalvexCore/External/Tokenizers/PreTrainedTokenizer.h"
#include "TokenizerTestSupport.h"

using namespace halvex;
using namespace tokenizer_test;
using Strings = std::vector<std::string>;

namespace {

// A character-level model with added tokens: "ab" and "abc" (plain), "<s>" (special), "<lst>"
// (special, strips whitespace on its left), and "<noid>", which has no id.
constexpr const char* kConfig = R"({"tokenizer_class":"GPT2Tokenizer","unk_token":"<unk>","fuse_unk":true})";
constexpr const char* kData = R"({
  "added_tokens":[
    {"id":10,"content":"ab","special":false},
    {"id":11,"content":"abc","special":false},
    {"id":12,"content":"<s>","special":true},
    {"id":13,"content":"<lst>","special":true,"lstrip":true},
    {"content":"<noid>","special":true},
    {"id":"14","content":"<badid>","special":true}],
  "normalizer":null,
  "pre_tokenizer":{"type":"Metaspace","replacement":"▁","add_prefix_space":true,"prepend_scheme":"first"},
  "post_processor":{"type":"TemplateProcessing","single":[{"SpecialToken":{"id":"<s>"}},{"Sequence":{"id":"A"}}],"pair":[]},
  "decoder":{"type":"Metaspace","replacement":"▁","add_prefix_space":true},
  "model":{"type":"BPE","vocab":{"<unk>":0,"a":1,"b":2,"c":3,"d":4,"x":5,"y":6,"▁":7,"▁x":8,"<":20,"n":21,"o":22,"i":23,">":24},
           "merges":["▁ x"]}})";

PreTrainedTokenizer makeTokenizer(const std::string& config = kConfig, const std::string& data = kData) {
    return PreTrainedTokenizer(json(config), json(data), true);
}

}  // namespace

TEST(TokenizerPreTrained, AddedTokensCutTheTextLongestFirst) {
    auto tokenizer = makeTokenizer();
    struct Case {
        std::string text;
        Strings tokens;
    };
    const std::vector<Case> cases = {
        {"abcd", {"abc", "d"}},
        {"xab", {"▁x", "ab"}},
        // The whitespace before an lstrip token vanishes.
        {"x  <lst>", {"▁x", "<lst>"}},
        {"x  <s>", {"▁x", "▁", "▁", "<s>"}},
        // A leading added token: the next section is no first section.
        {"<s>x", {"<s>", "x"}},
        {"x<s>x", {"▁x", "<s>", "x"}},
        // Content without an id still cuts, but is tokenized as text.
        {"x<noid>y", {"▁x", "<", "n", "o", "i", "d", ">", "y"}},
        // The empty text is one (first) section.
        {"", {"▁"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tokenizer.tokenize(c.text), c.tokens) << c.text;
    }
    EXPECT_TRUE(tokenizer.addedTokens().contains(u"ab"));
    EXPECT_FALSE(tokenizer.addedTokens().contains(u"<noid>"));
    EXPECT_FALSE(tokenizer.addedTokens().contains(u"<badid>"));
    EXPECT_EQ(tokenizer.specialTokens().size(), 2u);
    EXPECT_EQ(tokenizer.specialTokens().find(u"<lst>"), 13);
}

TEST(TokenizerPreTrained, EncodeRunsThePostProcessorAndFusesUnknownTokens) {
    auto tokenizer = makeTokenizer();
    EXPECT_EQ(tokenizer.encode(std::string("")), (std::vector<int>{12, 7}));
    EXPECT_EQ(tokenizer.encode("x", false), (std::vector<int>{8}));
    EXPECT_EQ(tokenizer.encode(std::string("x")), (std::vector<int>{12, 8}));
    EXPECT_EQ(tokenizer.callAsFunction("x", true), (std::vector<int>{12, 8}));
    // z is outside the vocabulary: its byte token has the unknown id, and a run of unknown
    // tokens keeps its first one.
    EXPECT_EQ(tokenizer.tokenize("xzzazb"), (Strings{"▁x", "<0x7A>", "a", "<0x7A>", "b"}));
    EXPECT_EQ(tokenizer.encode("xzzazb", false), (std::vector<int>{8, 0, 1, 0, 2}));
    EXPECT_EQ(tokenizer.convertTokensToIds({"a", "nothing"}), (std::vector<std::optional<int>>{1, 0}));
    EXPECT_EQ(tokenizer.convertIdsToTokens({2, 99}), (std::vector<std::optional<std::string>>{"b", std::nullopt}));
    EXPECT_EQ(tokenizer.unknownToken(), "<unk>");
    EXPECT_EQ(tokenizer.unknownTokenId(), 0);
}

TEST(TokenizerPreTrained, DecodeSkipsOnlySpecialTokensAndCleansUpSpaces) {
    auto tokenizer = makeTokenizer();
    EXPECT_EQ(tokenizer.decode({12, 8, 10, 13, 99}), "<s> xab<lst>");
    EXPECT_EQ(tokenizer.decode({12, 8, 10, 13, 99}, true), "xab");
    EXPECT_EQ(tokenizer.decode({}), "");

    const std::string data =
        R"({"model":{"vocab":{"do":1," n't":2," stop":3," ,":4," ok":5," ?":6," 's":7},"merges":[]}})";
    auto cleaned = makeTokenizer(R"({"tokenizer_class":"GPT2Tokenizer"})", data);
    EXPECT_EQ(cleaned.decode({1, 2, 3, 4, 5, 6}), "don't stop, ok?");
    // Without a pre-tokenizer the empty text gives no token.
    EXPECT_EQ(cleaned.encode(std::string("")), std::vector<int>{});
    auto kept = makeTokenizer(R"({"tokenizer_class":"GPT2Tokenizer","clean_up_tokenization_spaces":false})", data);
    EXPECT_EQ(kept.decode({1, 2, 3, 4, 5, 6}), "do n't stop , ok ?");
    EXPECT_EQ(cleaned.cleanUp(u"a ' b it 's we 're I 'm you 've no !"), u"a'b it's we're I'm you've no!");
}

TEST(TokenizerPreTrained, FaultsOfTheFilesFailConstruction) {
    const std::string base = R"({"model":{"vocab":{"a":1},"merges":[]},)";
    EXPECT_EQ(fileFault([&] { makeTokenizer(kConfig, base + R"("decoder":{"type":"Foo"}})"); }),
              "Unsupported Decoder type: Foo");
    EXPECT_EQ(fileFault([&] { makeTokenizer(kConfig, base + R"("normalizer":{"type":"Sequence"}})"); }),
              "No normalizers in Sequence");
    EXPECT_EQ(fileFault([&] { makeTokenizer(kConfig, base + R"("post_processor":{"type":"TemplateProcessing"}})"); }),
              "Missing `single` processor configuration");
    EXPECT_EQ(fileFault([&] { makeTokenizer(kConfig, base + R"("pre_tokenizer":{"type":"X"}})"); }),
              "Unsupported PreTokenizer type: X");
    try {
        makeTokenizer(R"({"tokenizer_class":"NopeTokenizer"})", base + "\"x\":1}");
        ADD_FAILURE() << "no error";
    } catch (const TokenizerError& e) {
        EXPECT_EQ(e.kind(), TokenizerError::Kind::unsupportedTokenizer);
    }
}

TEST(TokenizerPreTrained, ACatastrophicPatternFailsInsteadOfHanging) {
    // Nested repetition backtracks exponentially on a run of "a" that is not followed by the
    // end of the text; without limits, 28 letters take tens of seconds and each two more four
    // times as long.
    const std::vector<std::string> sections = {
        R"("pre_tokenizer":{"type":"Split","pattern":{"Regex":"(a+)+$"},"behavior":"Isolated"})",
        R"("normalizer":{"type":"Replace","pattern":{"Regex":"(a+)+$"},"content":"x"})",
        R"("decoder":{"type":"Sequence","decoders":[{"type":"Fuse"},
            {"type":"Replace","pattern":{"Regex":"(a+)+$"},"content":"x"}]})",
    };
    const std::string text = std::string(40, 'a') + "!";
    for (const auto& section : sections) {
        SCOPED_TRACE(section);
        auto tokenizer = makeTokenizer(R"({"tokenizer_class":"GPT2Tokenizer"})",
                                       R"({"model":{"vocab":{"a":1,"!":2},"merges":[]},)" + section + "}");
        std::vector<int> ids(40, 1);
        ids.push_back(2);
        try {
            if (section.find("decoder") != std::string::npos)
                tokenizer.decode(ids);
            else
                tokenizer.encode(text, false);
            ADD_FAILURE() << "no error";
        } catch (const TokenizerError& e) {
            EXPECT_EQ(e.kind(), TokenizerError::Kind::tooLong);
            EXPECT_NE(std::string(e.what()).find("(a+)+$"), std::string::npos) << e.what();
        }
        // The same pattern on text where it does not backtrack still works.
        EXPECT_NO_THROW(tokenizer.encode("aa", false));
        EXPECT_NO_THROW(tokenizer.decode({1, 1}));
    }
}

TEST(TokenizerPreTrained, LongWhitespaceAroundAddedTokensCutsInLinearTime) {
    // A token that takes the whitespace before it once made every position of a long run of
    // whitespace look through the rest of the run.
    auto tokenizer = makeTokenizer();
    const std::string spaces(80000, ' ');
    struct Case {
        std::string text;
        Strings tokens;
    };
    const std::vector<Case> cases = {
        {"<lst>" + spaces + "x", {"<lst>", "▁x"}},
        {"x" + spaces + "<lst>" + spaces, {"▁x", "<lst>"}},
        {spaces + "<s>" + spaces, {"<s>"}},
    };
    for (const auto& c : cases) {
        tokenizer_test::expectLinearTime("splitting at added tokens", std::chrono::seconds(30), [&] {
            std::vector<std::string> tokens = tokenizer.tokenize(c.text);
            // Runs of spaces become runs of "▁" tokens; only the other tokens are compared.
            std::erase(tokens, "▁");
            EXPECT_EQ(tokens, c.tokens);
        });
    }
}

TEST(TokenizerPreTrained, AnEmptyAddedTokenCutsNothing) {
    // An empty content would match between any two characters and scatter the text.
    const std::string data = R"({"added_tokens":[{"id":9,"content":""},{"id":10,"content":"ab"}],
        "model":{"vocab":{"a":1,"b":2,"c":3},"merges":[]}})";
    auto tokenizer = makeTokenizer(R"({"tokenizer_class":"GPT2Tokenizer"})", data);
    EXPECT_EQ(tokenizer.tokenize("cabc"), (Strings{"c", "ab", "c"}));
    EXPECT_EQ(tokenizer.tokenize("cc"), (Strings{"c", "c"}));
    EXPECT_EQ(tokenizer.encode("", false), std::vector<int>{});
}

TEST(TokenizerPreTrained, UnigramUnknownRunsFuseToOneToken) {
    const std::string data = R"({"pre_tokenizer":{"type":"Whitespace"},"model":{"type":"Unigram","unk_id":0,
        "vocab":[["<unk>",0],["a",-1],["b",-1]]}})";
    auto tokenizer = makeTokenizer(R"({"tokenizer_class":"XLMRobertaTokenizer"})", data);
    EXPECT_EQ(tokenizer.tokenize("xyz ab qq"), (Strings{"x", "a", "b", "q"}));
    EXPECT_EQ(tokenizer.encode("xyz ab qq", false), (std::vector<int>{0, 1, 2, 0}));
}

TEST(TokenizerLlama, NonLegacyMarksTheStartAndDropsAStrayMarkBeforeSpecialTokens) {
    const std::string data = R"({
      "added_tokens":[{"id":5,"content":"<s>","special":true},{"id":6,"content":"</s>","special":true}],
      "normalizer":{"type":"Lowercase"},
      "pre_tokenizer":{"type":"Whitespace"},
      "model":{"type":"BPE","vocab":{"▁":0,"a":1,"b":2,"▁a":3,"▁b":4,"A":7},"merges":["▁ a","▁ b"]}})";
    LlamaPreTrainedTokenizer modern(json(R"({"tokenizer_class":"LlamaTokenizer","legacy":false,"add_bos_token":true,
                                            "bos_token":{"content":"<s>"}})"),
                                    json(data), true);
    EXPECT_FALSE(modern.isLegacy());
    EXPECT_EQ(modern.tokenize("a\u2581b"), (Strings{"▁a", "▁b"}));
    EXPECT_EQ(modern.tokenize("A"), (Strings{"▁", "A"}));  // the lowercasing normalizer is gone
    EXPECT_EQ(modern.tokenize("<s>a"), (Strings{"<s>", "a"}));
    EXPECT_EQ(modern.tokenize(""), (Strings{"▁"}));
    EXPECT_EQ(modern.encode(std::string("a")), (std::vector<int>{5, 3}));

    LlamaPreTrainedTokenizer legacy(json(R"({"tokenizer_class":"LlamaTokenizer"})"), json(data), true);
    EXPECT_TRUE(legacy.isLegacy());
    EXPECT_EQ(legacy.tokenize("A b"), (Strings{"a", "b"}));
    EXPECT_EQ(legacy.encode(std::string("a")), (std::vector<int>{1}));
}

TEST(TokenizerLlama, TemplatePostProcessorFromTheBeginAndEndSettings) {
    auto items = [](const Config& processor, const char* form) {
        Strings out;
        for (const Config& item : *processor[form].array()) {
            if (auto special = item["SpecialToken"]["id"].string())
                out.push_back(*special + "/" + std::to_string(*item["SpecialToken"]["type_id"].integer()));
            else
                out.push_back(*item["Sequence"]["id"].string() + "/" +
                              std::to_string(*item["Sequence"]["type_id"].integer()));
        }
        return out;
    };
    auto plain = maybeUpdatePostProcessor(json("{}"), Config());
    ASSERT_TRUE(plain);
    EXPECT_EQ((*plain)["type"].string(), "TemplateProcessing");
    EXPECT_EQ(items(*plain, "single"), (Strings{"A/0"}));
    EXPECT_EQ(items(*plain, "pair"), (Strings{"A/0", "B/1"}));

    auto both = maybeUpdatePostProcessor(
        json(R"({"add_bos_token":true,"bos_token":"<s>","add_eos_token":true,"eos_token":{"content":"</s>"}})"),
        json(R"({"type":"ByteLevel"})"));
    ASSERT_TRUE(both);
    EXPECT_EQ(items(*both, "single"), (Strings{"<s>/0", "A/0", "</s>/0"}));
    EXPECT_EQ(items(*both, "pair"), (Strings{"<s>/0", "A/0", "</s>/0", "<s>/1", "B/1", "</s>/1"}));

    EXPECT_FALSE(maybeUpdatePostProcessor(json(R"({"add_bos_token":true})"),
                                          json(R"({"type":"TemplateProcessing","single":[],"pair":[]})")));
    const std::vector<std::pair<std::string, std::string>> mismatches = {
        {R"({"add_eos_token":true,"eos_token":null})",
         "Tokenizer configuration mismatch: add_eos_token is True but eos_token is nil"},
        {R"({"add_bos_token":true,"add_eos_token":true})",
         "Tokenizer configuration mismatch: add_bos_token is True but bos_token is nil"},
    };
    for (const auto& [config, description] : mismatches) {
        try {
            maybeUpdatePostProcessor(json(config), Config());
            ADD_FAILURE() << "no error for " << config;
        } catch (const TokenizerError& e) {
            EXPECT_EQ(e.kind(), TokenizerError::Kind::mismatchedConfig);
            EXPECT_EQ(e.what(), description);
        }
    }
    // The caller's data keeps its own sections.
    const Config data = json(R"({"normalizer":{"type":"NFC"},"model":{}})");
    Config edited = LlamaPreTrainedTokenizer::editedTokenizerData(json(R"({"legacy":false})"), data);
    EXPECT_TRUE(edited["normalizer"].isNull());
    EXPECT_EQ(edited["pre_tokenizer"]["prepend_scheme"].string(), "first");
    EXPECT_EQ(data["normalizer"]["type"].string(), "NFC");
}

TEST(TokenizerAddedTokenSplitter, CutsExactlyAsTheAlternationExpression) {
    // Alternatives in expression order, with overlapping contents, whitespace inside contents
    // and whitespace taken on either side.
    const std::vector<AddedTokenSplitter::Alternative> alternatives = {
        {u"<|ab|>", false, false},    {u"abc", true, false},  {u" x", true, true},
        {u"ab", false, true},         {u"<|a", false, false}, {u"x", false, false},
        {u"\U0001F600", true, false}, {u"b", false, false},   {u"ab", true, false},
    };
    text::Text expression;
    for (const auto& a : alternatives) {
        if (!expression.empty()) expression += u"|";
        if (a.prefix) expression += u"\\s*";
        expression.push_back(u'(');
        expression.append(text::escapedPattern(a.content));
        expression.push_back(u')');
        if (a.suffix) expression += u"\\s*";
    }
    auto regex = text::Regex::compile(expression);
    ASSERT_TRUE(regex);
    AddedTokenSplitter splitter(alternatives);

    const std::vector<text::Text> alphabet = {u"<",      u"|",      u"a",          u"b",      u"c",
                                              u"x",      u">",      u" ",          u"\t",     u"\n",
                                              u"\u3000", u"\u00e9", u"\U0001F600", u"\u2028", u"\u000B"};
    uint64_t state = 42;
    auto next = [&](uint64_t bound) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return (state >> 33) % bound;
    };
    for (int round = 0; round < 3000; ++round) {
        text::Text sample;
        for (uint64_t i = 0, n = next(24); i < n; ++i) sample += alphabet[next(alphabet.size())];
        ASSERT_EQ(utf8(splitter.split(sample)), utf8(text::split(sample, *regex))) << text::toUtf8(sample);
    }
}

TEST(TokenizerAddedTokenSplitter, WhitespaceIsWhatTheExpressionCallsWhitespace) {
    auto space = text::Regex::compile(u"\\s");
    ASSERT_TRUE(space);
    const auto pattern = text::SearchPattern::regularExpression(*space);
    for (char32_t c = 0; c < 0x10000; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        text::Text one;
        text::appendCodePoint(one, c);
        ASSERT_EQ(AddedTokenSplitter::isExpressionSpace(c), !text::ranges(one, pattern).empty())
            << std::hex << static_cast<uint32_t>(c);
    }
}
