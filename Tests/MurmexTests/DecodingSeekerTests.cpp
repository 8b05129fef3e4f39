#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "Murmex/Decoding/SegmentSeeker.h"
#include "Murmex/Model/Constants.h"
#include "Murmex/Model/WhisperError.h"
#include "Platform/ML/Float16.h"
#include "Support/ScriptedDecoderTokenizer.h"

namespace murmex {
namespace {

using norvel::test::ScriptedTokenizer;

// Gives the tests the seeker's inner steps.
class OpenSeeker : public SegmentSeeker {
public:
    using SegmentSeeker::backtrace;
    using SegmentSeeker::dynamicTimeWarping;
    using SegmentSeeker::mergePunctuations;
    using SegmentSeeker::minCostAndTrace;
};

const ScriptedTokenizer tokenizer({{1, " Hello"}, {2, " world"}, {3, "."}, {4, ","}, {5, " again"}});
const SpecialTokens& special = tokenizer.specialTokens();
int ts(double seconds) { return tokenizer.timestamp(seconds); }

DecodingResult resultOf(std::vector<int> tokens) {
    DecodingResult result;
    for (int token : tokens) result.tokenLogProbs.push_back({{token, -0.25f}});
    result.tokens = std::move(tokens);
    result.temperature = 0.2f;
    result.avgLogProb = -0.3f;
    result.compressionRatio = 1.5f;
    return result;
}

struct ExpectedSegment {
    float start;
    float end;
    std::size_t firstToken;
    std::size_t endToken;  // one past the last
};

TEST(DecodingSeeker, SegmentsAndSeekTable) {
    const int eot = special.endToken;
    struct Case {
        const char* name;
        std::vector<int> tokens;
        std::int64_t currentSeek;
        std::int64_t segmentSize;
        std::int64_t newSeek;
        std::vector<ExpectedSegment> segments;
    };
    const std::vector<Case> cases = {
        {"single timestamp ending",
         {ts(0), 1, ts(1), ts(1), 2, ts(2), eot},
         0,
         480000,
         32000,
         {{0.0f, 1.0f, 0, 3}, {1.0f, 2.0f, 3, 6}}},
        {"pair at the end",
         {ts(0), 1, ts(1), ts(1), 2, ts(2), ts(2), eot},
         0,
         480000,
         32000,
         {{0.0f, 1.0f, 0, 3}, {1.0f, 2.0f, 3, 6}}},
        {"text after the last pair",
         {ts(0), 1, ts(1), ts(1), 2, 5, eot},
         0,
         480000,
         480000,
         {{0.0f, 1.0f, 0, 3}, {1.0f, 1.0f, 3, 7}}},
        {"no pair", {ts(0), 1, eot}, 0, 320000, 320000, {{0.0f, 20.0f, 0, 3}}},
        {"no pair, later timestamp", {1, 2, ts(1.5), eot}, 16000, 320000, 336000, {{1.0f, 2.5f, 0, 4}}},
        {"no tokens", {}, 0, 160000, 160000, {{0.0f, 10.0f, 0, 0}}},
        {"five steps advance 1599 samples",
         {ts(0), 1, ts(0.1), ts(0.1), 2, ts(0.1), eot},
         480000,
         480000,
         481599,
         {{30.0f, 30.1f, 0, 3}, {30.1f, 30.1f, 3, 6}}},
        {"a hundred steps advance exactly 32000",
         {ts(0), 1, ts(2), ts(2), eot},
         0,
         480000,
         32000,
         {{0.0f, 2.0f, 0, 3}}},
    };
    SegmentSeeker seeker;
    for (const Case& c : cases) {
        const DecodingResult result = resultOf(c.tokens);
        const auto [seek, segments] =
            seeker.findSeekPointAndSegments(result, DecodingOptions(), 7, c.currentSeek, c.segmentSize, 16000,
                                            special.timeTokenBegin, special.specialTokenBegin, tokenizer);
        EXPECT_EQ(seek, c.newSeek) << c.name;
        ASSERT_TRUE(segments.has_value()) << c.name;
        ASSERT_EQ(segments->size(), c.segments.size()) << c.name;
        for (std::size_t i = 0; i < c.segments.size(); ++i) {
            const auto& segment = (*segments)[i];
            const auto& expected = c.segments[i];
            const std::vector<std::int64_t> slice(c.tokens.begin() + static_cast<std::ptrdiff_t>(expected.firstToken),
                                                  c.tokens.begin() + static_cast<std::ptrdiff_t>(expected.endToken));
            EXPECT_EQ(segment.id, 7 + static_cast<std::int64_t>(i)) << c.name;
            EXPECT_EQ(segment.seek, c.currentSeek);
            EXPECT_FLOAT_EQ(segment.start, expected.start) << c.name;
            EXPECT_FLOAT_EQ(segment.end, expected.end) << c.name;
            EXPECT_EQ(segment.tokens, slice) << c.name;
            EXPECT_EQ(segment.tokenLogProbs.size(), slice.size());
            EXPECT_EQ(segment.text, tokenizer.decode(std::vector<int>(slice.begin(), slice.end())));
            EXPECT_EQ(segment.temperature, 0.2f);
            EXPECT_EQ(segment.avgLogprob, -0.3f);
            EXPECT_EQ(segment.compressionRatio, 1.5f);
            EXPECT_FALSE(segment.words.has_value());
        }
    }
}

TEST(DecodingSeeker, SkippedSilenceAndSpecialTokensInTheText) {
    struct Case {
        std::optional<float> noSpeechThreshold;
        std::optional<float> logProbThreshold;
        float avgLogProb;
        bool skipped;
    };
    const std::vector<Case> cases = {
        {0.6f, -1.0f, -0.5f, false},
        {0.6f, -1.0f, -1.5f, true},
        {0.6f, std::nullopt, -0.5f, true},
        {std::nullopt, -1.0f, -1.5f, false},
    };
    SegmentSeeker seeker;
    for (const Case& c : cases) {
        DecodingResult result = resultOf({ts(0), 1, ts(1), special.endToken});
        result.noSpeechProb = 0.9f;
        result.avgLogProb = c.avgLogProb;
        DecodingOptions options;
        options.noSpeechThreshold = c.noSpeechThreshold;
        options.logProbThreshold = c.logProbThreshold;
        const auto [seek, segments] = seeker.findSeekPointAndSegments(result, options, 0, 16000, 100000, 16000,
                                                                      special.timeTokenBegin, 0, tokenizer);
        EXPECT_EQ(segments.has_value(), !c.skipped);
        EXPECT_EQ(seek, 116000);
    }

    DecodingOptions skipSpecial;
    skipSpecial.skipSpecialTokens = true;
    const auto [seek, segments] =
        seeker.findSeekPointAndSegments(resultOf({ts(0), 1, 2, ts(1), special.endToken}), skipSpecial, 0, 0, 480000,
                                        16000, special.timeTokenBegin, 0, tokenizer);
    ASSERT_TRUE(segments.has_value());
    EXPECT_EQ((*segments)[0].text, " Hello world");
    EXPECT_EQ((*segments)[0].tokens.size(), 5u);
}

TEST(DecodingSeekerDeathTest, SeekOverflowStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    SegmentSeeker seeker;
    EXPECT_DEATH(seeker.findSeekPointAndSegments(resultOf({1}), DecodingOptions(), 0,
                                                 std::numeric_limits<std::int64_t>::max() - 10, 480000, 16000,
                                                 special.timeTokenBegin, 0, tokenizer),
                 "Seek overflow");
}

// MARK: - Word timestamps

platform::MultiArray matrixOf(const std::vector<std::vector<float>>& rows) {
    const int columns = rows.empty() ? 0 : static_cast<int>(rows[0].size());
    platform::MultiArray matrix({static_cast<int>(rows.size()), columns}, platform::MultiArrayDataType::float16);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        for (std::size_t j = 0; j < rows[i].size(); ++j) {
            matrix.setValue(static_cast<std::int64_t>(i * static_cast<std::size_t>(columns) + j), rows[i][j]);
        }
    }
    return matrix;
}

TEST(DecodingSeeker, MinCostPrefersDiagonalThenUpAndBreaksTiesToTheLeft) {
    struct Case {
        double diagonal, up, left, value;
        double cost;
        int step;
    };
    const std::vector<Case> cases = {
        {0, 1, 1, 0.5, -0.5, 0}, {1, 0, 1, 0.5, -0.5, 1},
        {1, 1, 0, 0.5, -0.5, 2}, {1, 1, 2, 0.0, 2, 2},  // diagonal and up equal and smaller: still left
        {0, 0, 0, 1.0, -1, 2},   {INFINITY, INFINITY, INFINITY, 0.0, INFINITY, 2},
    };
    for (const Case& c : cases) {
        const auto [cost, step] = OpenSeeker::minCostAndTrace(c.diagonal, c.up, c.left, c.value);
        EXPECT_EQ(cost, c.cost);
        EXPECT_EQ(step, c.step);
    }
}

TEST(DecodingSeeker, DynamicTimeWarpingFollowsTheLargestWeights) {
    OpenSeeker seeker;
    struct Case {
        std::vector<std::vector<float>> matrix;
        std::vector<int> text;
        std::vector<int> time;
    };
    const std::vector<Case> cases = {
        {{{1, 0, 0}, {0, 1, 1}}, {0, 1, 1, 1}, {0, 0, 1, 2}},
        {{{1}}, {0}, {0}},
        {{{0, 0, 1}, {0, 0, 1}}, {0, 0, 0, 1}, {0, 1, 2, 2}},
    };
    for (const Case& c : cases) {
        const auto path = seeker.dynamicTimeWarping(matrixOf(c.matrix));
        EXPECT_EQ(path.textIndices, c.text);
        EXPECT_EQ(path.timeIndices, c.time);
    }
    try {
        seeker.dynamicTimeWarping(platform::MultiArray({3}, platform::MultiArrayDataType::float16));
        FAIL() << "a one-dimensional matrix must be refused";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error, WhisperError::segmentingFailed("Invalid alignment matrix shape"));
    }
}

WordTiming word(std::string text, float start, float end, std::vector<std::int64_t> tokens = {},
                float probability = 0.5f) {
    return WordTiming{std::move(text), std::move(tokens), start, end, probability};
}

TEST(DecodingSeeker, DurationConstraintsAndSentenceTruncation) {
    SegmentSeeker seeker;
    struct Case {
        std::vector<float> durations;
        float median;
        float max;
    };
    for (const Case& c : std::vector<Case>{{{0.2f, 0.4f, 0.6f, 0.8f}, 0.6f, 1.2f},
                                           {{0.8f, 0.9f, 1.0f}, 0.7f, 1.4f},
                                           {{0.0f, -0.1f}, 0.0f, 0.0f},
                                           {{}, 0.0f, 0.0f}}) {
        std::vector<WordTiming> words;
        for (float d : c.durations) words.push_back(word(" w", 1.0f, 1.0f + d));
        const auto [median, max] = seeker.calculateWordDurationConstraints(words);
        EXPECT_NEAR(median, c.median, 1e-6);
        EXPECT_NEAR(max, c.max, 1e-6);
    }

    const auto truncated = seeker.truncateLongWordsAtSentenceBoundaries(
        {word(" Hi", 0.0f, 0.5f), word(".", 0.5f, 3.5f), word(" Next", 3.5f, 6.5f), word("?", 6.5f, 7.0f),
         word(" End", 7.0f, 10.0f)},
        1.0f);
    EXPECT_FLOAT_EQ(truncated[1].end, 1.5f);    // the mark itself is cut after its start
    EXPECT_FLOAT_EQ(truncated[2].start, 5.5f);  // follows ".": cut before its end
    EXPECT_FLOAT_EQ(truncated[4].start, 9.0f);  // follows "?": cut before its end
    EXPECT_FLOAT_EQ(truncated[4].end, 10.0f);
    const auto single = seeker.truncateLongWordsAtSentenceBoundaries({word(".", 0.0f, 9.0f)}, 1.0f);
    EXPECT_FLOAT_EQ(single[0].end, 9.0f);
}

TEST(DecodingSeeker, PunctuationMergesTable) {
    const std::string prepend(Constants::defaultPrependPunctuations);
    const std::string append(Constants::defaultAppendPunctuations);
    EXPECT_EQ(prepend, "\"'\u201C\u00A1\u00BF([{-");
    EXPECT_EQ(append, "\"'.\u3002,\uFF0C!\uFF01?\uFF1F:\uFF1A\u201D)]}\u3001");
    struct Case {
        const char* name;
        std::vector<WordTiming> input;
        std::vector<WordTiming> expected;
    };
    const std::vector<Case> cases = {
        {"opening quote joins the word",
         {word(" \"", 0.0f, 0.2f, {10}), word("Hello", 0.2f, 0.6f, {11}, 0.9f)},
         {word(" \"Hello", 0.2f, 0.6f, {10, 11}, 0.9f)}},
        {"comma joins the word",
         {word(" Hello", 0.0f, 0.5f, {11}, 0.8f), word(",", 0.5f, 0.6f, {12})},
         {word(" Hello,", 0.0f, 0.5f, {11, 12}, 0.8f)}},
        {"two marks after a word",
         {word(" Hello", 0.0f, 0.5f, {11}, 0.8f), word(",", 0.5f, 0.6f, {12}), word("!", 0.6f, 0.7f, {13})},
         {word(" Hello,!", 0.0f, 0.5f, {11, 12, 13}, 0.8f)}},
        {"two marks before a word",
         {word(" \"", 0.0f, 0.1f, {10}), word(" (", 0.1f, 0.2f, {14}), word("Hi", 0.2f, 0.5f, {15}, 0.7f)},
         {word(" \" (Hi", 0.2f, 0.5f, {10, 14, 15}, 0.7f)}},
        {"leading mark without a space disappears",
         {word("\"", 0.0f, 0.1f, {10}), word("Hello", 0.1f, 0.5f, {11})},
         {word("Hello", 0.1f, 0.5f, {11})}},
        {"a word ending in a space keeps the mark apart",
         {word(" Hello ", 0.0f, 0.5f, {11}), word(",", 0.5f, 0.6f, {12})},
         {word(" Hello ", 0.0f, 0.5f, {11})}},
        {"empty", {}, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OpenSeeker::mergePunctuations(c.input, prepend, append), c.expected) << c.name;
    }
}

TEST(DecodingSeeker, SegmentUpdateRoundsShiftsAndFitsBoundaries) {
    SegmentSeeker seeker;
    auto segmentOf = [](float start, float end, std::vector<std::int64_t> tokens) {
        TranscriptionSegment segment;
        segment.start = start;
        segment.end = end;
        segment.tokens = std::move(tokens);
        return segment;
    };
    // A window at 30 s: times are shifted and rounded to two decimals; the segment takes the
    // words' start and end.
    {
        const auto out = seeker.updateSegmentsWithWordTimings(
            {segmentOf(30.0f, 32.0f, {ts(0), 1, 2, ts(2)})},
            {word(" Hello", 0.123f, 0.456f, {1}, 0.8765f), word(" world", 0.5f, 1.0f, {2}, 0.5f)}, 480000, 29.0f, 0.3f,
            0.6f, tokenizer);
        ASSERT_EQ(out.size(), 1u);
        ASSERT_TRUE(out[0].words.has_value());
        const auto& words = *out[0].words;
        ASSERT_EQ(words.size(), 2u);
        EXPECT_FLOAT_EQ(words[0].start, 30.12f);
        EXPECT_FLOAT_EQ(words[0].end, 30.46f);
        EXPECT_FLOAT_EQ(words[0].probability, 0.88f);
        EXPECT_FLOAT_EQ(out[0].start, 30.12f);
        EXPECT_FLOAT_EQ(out[0].end, 31.0f);
    }
    // A first word long after the last speech and too long starts max before its end.
    {
        const auto out = seeker.updateSegmentsWithWordTimings(
            {segmentOf(0.0f, 3.0f, {1})}, {word(" Hello", 1.0f, 2.5f, {1})}, 0, 0.0f, 0.2f, 0.4f, tokenizer);
        EXPECT_FLOAT_EQ((*out[0].words)[0].start, 2.1f);
        EXPECT_FLOAT_EQ(out[0].start, 2.1f);
        EXPECT_FLOAT_EQ(out[0].end, 2.5f);
    }
    // A segment that starts clearly after its first word pulls the word's start in; one that
    // ends clearly before its last word pulls the word's end in.
    {
        const auto out = seeker.updateSegmentsWithWordTimings(
            {segmentOf(1.0f, 1.2f, {1})}, {word(" Hello", 0.2f, 2.0f, {1})}, 0, 1.9f, 0.3f, 0.6f, tokenizer);
        const auto& hello = (*out[0].words)[0];
        EXPECT_FLOAT_EQ(hello.start, 1.0f);
        EXPECT_FLOAT_EQ(hello.end, 1.3f);
        EXPECT_FLOAT_EQ(out[0].start, 1.0f);
        EXPECT_FLOAT_EQ(out[0].end, 1.2f);
    }
    // A very short word moves its start back towards the end of the word before it; words
    // without text tokens are skipped, and a segment without words keeps its times.
    {
        const auto out = seeker.updateSegmentsWithWordTimings(
            {segmentOf(0.0f, 1.0f, {1, 2}), segmentOf(1.0f, 2.0f, {ts(1)})},
            {word("<|0.00|>", 0.0f, 0.0f, {ts(0)}), word(" Hello", 0.0f, 0.5f, {1}), word(" world", 0.9f, 0.91f, {2})},
            0, 0.0f, 0.4f, 0.8f, tokenizer);
        const auto& words = *out[0].words;
        ASSERT_EQ(words.size(), 2u);
        EXPECT_FLOAT_EQ(words[1].start, 0.7f);
        EXPECT_TRUE(out[1].words.has_value());
        EXPECT_TRUE(out[1].words->empty());
        EXPECT_FLOAT_EQ(out[1].start, 1.0f);
        EXPECT_FLOAT_EQ(out[1].end, 2.0f);
    }
}

// The whole word-timing pass over a window: one-hot alignment rows walk through the frames.
TEST(DecodingSeeker, AddWordTimestampsAlignsWordsToFrames) {
    SegmentSeeker seeker;
    TranscriptionSegment segment;
    segment.start = 0.0f;
    segment.end = 1.0f;
    segment.tokens = {special.startOfTranscriptToken, ts(0), 1, 2, 3, ts(1), special.endToken};
    const std::vector<float> logProbs = {0.0f, 0.0f, -0.1f, -0.2f, -0.4f, 0.0f, 0.0f};
    for (std::size_t i = 0; i < segment.tokens.size(); ++i)
        segment.tokenLogProbs.push_back({{segment.tokens[i], logProbs[i]}});

    const std::vector<int> frames = {0, 0, 10, 30, 45, 50, 50};
    std::vector<std::vector<float>> rows(10, std::vector<float>(60, 0.0f));
    for (std::size_t i = 0; i < frames.size(); ++i) rows[i][static_cast<std::size_t>(frames[i])] = 1.0f;
    rows[7][5] = rows[8][5] = 1.0f;  // rows past the window's tokens are not read

    const std::string prepend(Constants::defaultPrependPunctuations);
    const std::string append(Constants::defaultAppendPunctuations);
    const auto out = seeker.addWordTimestamps({segment}, matrixOf(rows), tokenizer, 0, 480000, prepend, append, 0.0f,
                                              DecodingOptions(), TranscriptionTimings());
    ASSERT_TRUE(out.has_value());
    ASSERT_EQ(out->size(), 1u);
    const auto& words = *(*out)[0].words;
    ASSERT_EQ(words.size(), 2u);
    EXPECT_EQ(words[0], (WordTiming{" Hello", {1}, 0.0f, 0.2f, 0.9f}));
    EXPECT_EQ(words[1].word, " world.");
    EXPECT_EQ(words[1].tokens, (std::vector<std::int64_t>{2, 3}));
    EXPECT_FLOAT_EQ(words[1].start, 0.2f);
    EXPECT_FLOAT_EQ(words[1].end, 0.6f);
    EXPECT_FLOAT_EQ(words[1].probability, 0.82f);  // the joined mark keeps the word's probability
    EXPECT_FLOAT_EQ((*out)[0].start, 0.0f);
    EXPECT_FLOAT_EQ((*out)[0].end, 0.6f);

    // Fewer than two words: no words, times unchanged.
    TranscriptionSegment one = segment;
    one.tokens = {1};
    one.tokenLogProbs = {{{1, -0.1f}}};
    const auto lonely = seeker.addWordTimestamps({one}, matrixOf(rows), tokenizer, 0, 480000, prepend, append, 0.0f,
                                                 DecodingOptions(), TranscriptionTimings());
    ASSERT_TRUE(lonely.has_value());
    EXPECT_TRUE((*lonely)[0].words->empty());
    EXPECT_FLOAT_EQ((*lonely)[0].end, 1.0f);

    // Weights with fewer rows than tokens, or without shape, are refused.
    for (const auto& weights : {matrixOf({{1.0f, 0.0f}}), platform::MultiArray()}) {
        try {
            seeker.addWordTimestamps({segment}, weights, tokenizer, 0, 480000, prepend, append, 0.0f, DecodingOptions(),
                                     TranscriptionTimings());
            FAIL() << "weights that do not cover the tokens must be refused";
        } catch (const WhisperError& error) {
            EXPECT_EQ(error, WhisperError::segmentingFailed("Invalid shape in alignmentWeights"));
        }
    }

    // A token id beyond 32 bits, as a stored result may hold, is refused rather than cut to
    // the id it would wrap to (2^32 + 1 would become token 1).
    TranscriptionSegment wide = segment;
    wide.tokens[2] = 4294967297;
    wide.tokenLogProbs[2] = {{4294967297, -0.1f}};
    try {
        seeker.addWordTimestamps({wide}, matrixOf(rows), tokenizer, 0, 480000, prepend, append, 0.0f, DecodingOptions(),
                                 TranscriptionTimings());
        FAIL() << "a token beyond 32 bits must be refused";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error, WhisperError::segmentingFailed("Segment token 4294967297 is not a token id"));
    }
}

}  // namespace
}  // namespace murmex
