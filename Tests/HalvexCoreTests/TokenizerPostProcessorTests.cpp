#include <gtest/gtest.h>

#include "HalvexCore/External/Tokenizers/PostProcessor.h"
#include "TokenizerTestSupport.h"

using namespace halvex;
using namespace tokenizer_test;

namespace {

using Strings = std::vector<std::string>;

struct Case {
    const char* section;
    Strings tokens;
    std::optional<Strings> pair;
    bool addSpecialTokens;
    Strings expected;
};

constexpr const char* kTemplate = R"({"type":"TemplateProcessing",
    "single":[{"SpecialToken":{"id":"<s>","type_id":0}},{"Sequence":{"id":"A","type_id":0}},{"SpecialToken":{"id":"</s>","type_id":0}}],
    "pair":[{"Sequence":{"id":"A"}},{"SpecialToken":{"id":"</s>"}},{"Sequence":{"id":"B"}},{"SpecialToken":{"id":"</s>"}}]})";
constexpr const char* kOddItems = R"({"type":"TemplateProcessing",
    "single":[{"Sequence":{"id":"C"}},{"Other":{"id":"x"}},{"SpecialToken":{"id":5}},{"Sequence":{"id":"A"}},{"Sequence":{"id":"B"}}],
    "pair":[]})";
constexpr const char* kBert = R"({"type":"BertProcessing","sep":["[SEP]",102],"cls":["[CLS]",101]})";
constexpr const char* kRoberta = R"({"type":"RobertaProcessing","sep":["</s>",2],"cls":["<s>",0]})";

}  // namespace

TEST(TokenizerPostProcessors, AddSpecialTokensAroundOneInputOrAPair) {
    const std::vector<Case> cases = {
        {kTemplate, {"a", "b"}, std::nullopt, true, {"<s>", "a", "b", "</s>"}},
        {kTemplate, {"a", "b"}, std::nullopt, false, {"a", "b"}},
        {kTemplate, {"a", "b"}, Strings{}, true, {"a", "b", "</s>", "</s>"}},
        {kTemplate, {"a"}, Strings{"c"}, true, {"a", "</s>", "c", "</s>"}},
        {kOddItems, {"a"}, std::nullopt, true, {"a"}},
        {R"({"type":"ByteLevel","trim_offsets":true})", {"a"}, Strings{"b"}, true, {"a"}},
        {kBert, {"a"}, std::nullopt, true, {"[CLS]", "a", "[SEP]"}},
        {kBert, {"a"}, Strings{"b"}, true, {"[CLS]", "a", "[SEP]", "b", "[SEP]"}},
        {kBert, {"a"}, Strings{}, true, {"[CLS]", "a", "[SEP]"}},
        {kBert, {"a"}, Strings{"b"}, false, {"a", "b"}},
        // Roberta adds its tokens whatever it is told.
        {kRoberta, {"a"}, Strings{"b"}, true, {"<s>", "a", "</s>", "</s>", "b", "</s>"}},
        {kRoberta, {"a"}, Strings{"b"}, false, {"<s>", "a", "</s>", "</s>", "b", "</s>"}},
        {kRoberta, {"   x  ", " y", "   "}, std::nullopt, true, {"<s>", " x ", " y", " ", "</s>"}},
        {R"({"type":"RobertaProcessing","sep":["</s>",2],"cls":["<s>",0],"add_prefix_space":false})",
         {" \t x \n", "\u3000y"},
         std::nullopt,
         true,
         {"<s>", "x \n", "y", "</s>"}},
        {R"({"type":"RobertaProcessing","sep":["</s>",2],"cls":["<s>",0],"trim_offsets":false})",
         {"  x  "},
         std::nullopt,
         true,
         {"<s>", "  x  ", "</s>"}},
        {R"({"type":"Sequence","processors":[{"type":"ByteLevel"},)"
         "\n"
         R"({"type":"BertProcessing","sep":["[SEP]",102],"cls":["[CLS]",101]}]})",
         {"a"},
         Strings{"b"},
         true,
         {"[CLS]", "a", "[SEP]"}},
        {R"({"type":"Sequence","processors":[{"no":"type"},7]})", {"a"}, Strings{"b"}, true, {"a"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.section);
        auto processor = PostProcessorFactory::fromConfig(json(c.section));
        ASSERT_NE(processor, nullptr);
        std::optional<std::vector<text::Text>> pair;
        if (c.pair) pair = utf16(*c.pair);
        EXPECT_EQ(utf8(processor->postProcess(utf16(c.tokens), pair, c.addSpecialTokens)), c.expected);
    }
    EXPECT_EQ(RobertaProcessing::findSuffixIndex(u"x   "), 2u);
    EXPECT_EQ(RobertaProcessing::findSuffixIndex(u"x"), 0u);
    EXPECT_EQ(RobertaProcessing::findSuffixIndex(u""), 0u);
}

TEST(TokenizerPostProcessors, SectionsWithoutTypeBuildNothingAndMalformedOnesAreFaults) {
    EXPECT_EQ(PostProcessorFactory::fromConfig(Config()), nullptr);
    EXPECT_EQ(PostProcessorFactory::fromConfig(json(R"({"single":[]})")), nullptr);
    const std::vector<std::pair<const char*, std::string>> faults = {
        {R"({"type":"Foo"})", "Unsupported PostProcessor type: Foo"},
        {R"({"type":""})", "Unsupported PostProcessor type: "},
        {R"({"type":"TemplateProcessing","pair":[]})", "Missing `single` processor configuration"},
        {R"({"type":"TemplateProcessing","single":[]})", "Missing `pair` processor configuration"},
        {R"({"type":"BertProcessing","cls":["[CLS]",101]})", "Missing `sep` processor configuration"},
        {R"({"type":"RobertaProcessing","sep":["</s>",2],"cls":[0,"<s>"]})", "Missing `cls` processor configuration"},
        {R"({"type":"Sequence"})", "Missing `processors` configuration"},
        {R"({"type":"Sequence","processors":[{"type":"Nope"}]})", "Unsupported PostProcessor type: Nope"},
    };
    for (const auto& [section, text] : faults) {
        EXPECT_EQ(fileFault([&] { PostProcessorFactory::fromConfig(json(section)); }), text) << section;
    }
}
