#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "DecodingTestSupport.h"
#include "Murmex/Decoding/LogitsFilters.h"
#include "Support/ScriptedDecoderTokenizer.h"

namespace murmex {
namespace {

using decodingtest::idRange;
using decodingtest::suppressedIds;
using decodingtest::uniformLogits;
using decodingtest::unite;

const norvel::test::ScriptedTokenizer multilingual;
const norvel::test::ScriptedTokenizer englishOnly({}, false);

TEST(DecodingFilters, SuppressTokensSkipsNegativeAndOutOfRangeIdsAndLogsOnce) {
    decodingtest::CapturedLog log;
    SuppressTokensFilter filter({-1, 5, 51865, 5, -7});
    EXPECT_EQ(filter.suppressTokenIndexes().size(), 5u);
    EXPECT_EQ(filter.suppressTokenIndexes()[0], (platform::Shape{0, 0, -1}));
    EXPECT_EQ(log.count("SuppressTokensFilter: ignoring negative ids in suppressTokens; the -1 sentinel "
                        "(suppress default non-speech tokens) is not supported"),
              1);

    const auto logits = uniformLogits(51865);
    for (int step = 0; step < 2; ++step) {  // the same at every step, whatever the tokens
        const auto out = filter.filterLogits(logits, std::vector<int>(step * 3, 1));
        EXPECT_TRUE(out.sharesStorageWith(logits));
        EXPECT_EQ(suppressedIds(logits), (std::set<int>{5}));
    }
    SuppressTokensFilter quiet({1, 2});
    EXPECT_EQ(log.count("ignoring negative ids"), 1);
}

TEST(DecodingFilters, SuppressBlankActsOnlyAtTheFirstSampledPosition) {
    const SpecialTokens& special = multilingual.specialTokens();
    SuppressBlankFilter filter(special, 4);
    EXPECT_EQ(filter.suppressTokenIndexes(),
              (std::vector<platform::Shape>{{0, 0, special.whitespaceToken}, {0, 0, special.endToken}}));
    struct Case {
        int count;
        std::set<int> suppressed;
    };
    for (const Case& c : std::vector<Case>{{4, {special.whitespaceToken, special.endToken}}, {3, {}}, {5, {}}}) {
        const auto logits = uniformLogits(51865);
        filter.filterLogits(logits, std::vector<int>(static_cast<std::size_t>(c.count), 7));
        EXPECT_EQ(suppressedIds(logits), c.suppressed) << "count " << c.count;
    }
}

TEST(DecodingFilters, LanguageFilterLetsOnlyLanguageTokensThrough) {
    const std::set<int> languages = multilingual.allLanguageTokens();
    LanguageLogitsFilter filter(languages, 51865, 0);
    EXPECT_EQ(filter.nonLanguageTokens().size(), 51865u - languages.size());
    EXPECT_TRUE(std::is_sorted(filter.nonLanguageTokens().begin(), filter.nonLanguageTokens().end()));

    const auto logits = uniformLogits(51865, 1.5f);
    filter.filterLogits(logits, {multilingual.specialTokens().startOfTranscriptToken});
    const auto suppressed = suppressedIds(logits);
    EXPECT_EQ(suppressed.size(), 51865u - languages.size());
    for (int id : languages) {
        EXPECT_FALSE(suppressed.contains(id));
        EXPECT_EQ(logits.value(platform::Shape{0, 0, id}), 1.5);
    }

    LanguageLogitsFilter later(languages, 51865, 2);
    const auto untouched = uniformLogits(51865);
    later.filterLogits(untouched, {1});
    EXPECT_TRUE(suppressedIds(untouched).empty());
}

// The rules of the timestamp filter, with logits that leave the timestamp-mass rule out (one
// text token far more probable than all timestamps together).
TEST(DecodingFilters, TimestampRulesTable) {
    const SpecialTokens& m = multilingual.specialTokens();
    const SpecialTokens& e = englishOnly.specialTokens();
    const auto ts = [](const norvel::test::ScriptedTokenizer& t, double s) { return t.timestamp(s); };
    const int text = 100;
    const std::vector<int> prompt = {m.startOfTranscriptToken, multilingual.languageToken("en"), m.transcribeToken,
                                     m.timeTokenBegin};
    auto with = [&](std::vector<int> tail) {
        std::vector<int> tokens = prompt;
        tokens.insert(tokens.end(), tail.begin(), tail.end());
        return tokens;
    };
    struct Case {
        const char* name;
        bool multilingualModel;
        int sampleBegin;
        std::vector<int> tokens;
        std::set<int> suppressed;
        int raised = 100;  // the token made far more probable than the timestamps
    };
    const int V = 51865;
    const std::vector<Case> cases = {
        {"first sampled position", true, 4, prompt, {m.noTimestampsToken}},
        {"before the first sampled position", true, 5, prompt, {}},
        {"one sampled timestamp", true, 4, with({ts(multilingual, 1.0)}),
         unite({m.noTimestampsToken}, idRange(m.timeTokenBegin, V))},
        {"text then timestamp", true, 4, with({text, ts(multilingual, 1.0)}),
         unite(unite({m.noTimestampsToken}, idRange(0, m.endToken)), idRange(m.timeTokenBegin, ts(multilingual, 1.0))),
         m.endToken},
        {"two timestamps at the end", true, 4, with({ts(multilingual, 0.5), ts(multilingual, 0.5)}),
         unite({m.noTimestampsToken}, idRange(m.timeTokenBegin, V))},
        {"timestamp then text", true, 4, with({ts(multilingual, 0.5), text}),
         unite({m.noTimestampsToken}, idRange(m.timeTokenBegin, ts(multilingual, 0.5) + 1))},
        {"previous-text prompt hides the task token",
         true,
         4,
         {m.startOfPreviousToken, 5, 6, m.startOfTranscriptToken, multilingual.languageToken("en"), m.transcribeToken,
          m.timeTokenBegin, text},
         {}},
        {"task token found later than sampleBegin",
         true,
         1,
         {m.startOfTranscriptToken, multilingual.languageToken("en"), m.transcribeToken},
         {m.noTimestampsToken}},
        {"English-only at its sampleBegin",
         false,
         2,
         {e.startOfTranscriptToken, e.timeTokenBegin},
         {e.noTimestampsToken}},
        {"English-only before its sampleBegin", false, 2, {e.startOfTranscriptToken}, {}},
    };
    for (const Case& c : cases) {
        const auto& special = c.multilingualModel ? m : e;
        const int size = c.multilingualModel ? V : V - 1;
        TimestampRulesFilter filter(special, c.sampleBegin, 7, c.multilingualModel);
        const auto logits = uniformLogits(size, 0.0f, c.raised, 30.0f);
        const auto out = filter.filterLogits(logits, c.tokens);
        EXPECT_TRUE(out.sharesStorageWith(logits));
        EXPECT_EQ(suppressedIds(logits), c.suppressed) << c.name;
    }
}

TEST(DecodingFilters, TimestampSampleBeginLooksForTheTaskTokenInTheFirstThree) {
    const SpecialTokens& m = multilingual.specialTokens();
    TimestampRulesFilter filter(m, 2, std::nullopt, true);
    EXPECT_EQ(filter.sampleBegin(std::vector<int>{m.startOfTranscriptToken, m.translateToken}), 2);
    EXPECT_EQ(filter.sampleBegin(std::vector<int>{m.startOfTranscriptToken, 50259, m.transcribeToken, 1}), 3);
    EXPECT_EQ(filter.sampleBegin(std::vector<int>{1, 2, 3, m.transcribeToken}), std::nullopt);
    EXPECT_EQ(filter.sampleBegin(std::vector<int>{}), std::nullopt);
    TimestampRulesFilter english(englishOnly.specialTokens(), 9, std::nullopt, false);
    EXPECT_EQ(english.sampleBegin(std::vector<int>{}), 9);
    EXPECT_EQ(english.maxInitialTimestampIndex(), std::nullopt);
}

TEST(DecodingFilters, TimestampMassRuleComparesInHalfPrecision) {
    const SpecialTokens& m = multilingual.specialTokens();
    TimestampRulesFilter filter(m, 0, std::nullopt, true);
    const float negativeInfinity = -INFINITY;
    struct Case {
        std::vector<float> logits;
        int timeTokenBegin;
        bool expected;
    };
    const std::vector<Case> cases = {
        // The text token against timestamps at 0 and -1: well below, equal in half precision
        // (exactly the text token is slightly less probable), and above.
        {{0.25f, 0.0f, -1.0f}, 1, true},
        {{0.313232421875f, 0.0f, -1.0f}, 1, false},
        {{1.0f, 0.0f, -1.0f}, 1, false},
        {{0.0f, negativeInfinity, negativeInfinity}, 1, false},
        {{negativeInfinity, negativeInfinity, negativeInfinity}, 1, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(filter.sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(decodingtest::logitsOf(c.logits),
                                                                            c.timeTokenBegin),
                  c.expected)
            << c.logits[0];
    }
    // Uniform logits over the real vocabulary: the 1501 timestamps together win, so the filter
    // leaves only timestamps (and not the no-timestamps token) at the first sampled position.
    const auto logits = uniformLogits(51865);
    TimestampRulesFilter rules(m, 4, std::nullopt, true);
    rules.filterLogits(logits, {m.startOfTranscriptToken, 50259, m.transcribeToken, m.timeTokenBegin});
    EXPECT_EQ(suppressedIds(logits), unite(idRange(0, m.timeTokenBegin), {m.noTimestampsToken}));

    decodingtest::CapturedLog log;
    EXPECT_FALSE(filter.sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(uniformLogits(10), 10));
    EXPECT_EQ(log.count("Cannot create `logSumExpInputDescriptor`"), 1);
}

}  // namespace
}  // namespace murmex
