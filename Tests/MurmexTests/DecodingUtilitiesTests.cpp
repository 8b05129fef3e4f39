// The transcription utilities: moving segments, formatting lines, comparing the words of two
// passes and merging results.

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Murmex/Decoding/TranscriptionUtilities.h"

namespace murmex {
namespace {

WordTiming word(std::string text, float start = 0, float end = 0) {
    WordTiming timing;
    timing.word = std::move(text);
    timing.tokens = {1, 2};
    timing.start = start;
    timing.end = end;
    timing.probability = 0.5f;
    return timing;
}

std::vector<WordTiming> words(const std::vector<std::string>& texts, float start = 0) {
    std::vector<WordTiming> list;
    for (const auto& text : texts) {
        list.push_back(word(text, start, start + 0.5f));
        start += 0.5f;
    }
    return list;
}

std::vector<std::string> textsOf(const std::vector<WordTiming>& list) {
    std::vector<std::string> texts;
    for (const auto& timing : list) texts.push_back(timing.word);
    return texts;
}

TranscriptionSegment segment(float start, float end, std::string text, std::int64_t seek = 0,
                             std::optional<std::vector<WordTiming>> segmentWords = std::nullopt) {
    TranscriptionSegment made;
    made.id = 3;
    made.seek = seek;
    made.start = start;
    made.end = end;
    made.text = std::move(text);
    made.tokens = {50364, 11, 50414};
    made.tokenLogProbs = {{{11, -0.25f}}};
    made.temperature = 0.2f;
    made.avgLogprob = -0.3f;
    made.compressionRatio = 1.4f;
    made.noSpeechProb = 0.1f;
    made.words = std::move(segmentWords);
    return made;
}

TEST(DecodingUtilities, SegmentsMoveBySecondsOrSamplesKeepingEverythingElse) {
    struct Case {
        const char* name;
        bool bySamples;
        float seconds;
        std::int64_t samples;
        bool withWords;
        std::int64_t expectedSeek;
        float expectedShift;
    };
    const Case cases[] = {
        {"30 s with words", false, 30.0f, 0, true, 1000 + 480000, 30.0f},
        {"30 s without words", false, 30.0f, 0, false, 1000 + 480000, 30.0f},
        {"a fraction of a sample is cut", false, 0.00001f, 0, true, 1000, 0.00001f},
        {"backwards", false, -0.5f, 0, true, 1000 - 8000, -0.5f},
        {"32000 samples", true, 0, 32000, true, 1000 + 32000, 2.0f},
        {"one sample", true, 0, 1, false, 1001, 1.0f / 16000.0f},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        const auto original = segment(1.0f, 2.5f, " hello world", 1000,
                                      row.withWords ? std::optional(words({" hello", " world"}, 1.0f)) : std::nullopt);
        const TranscriptionSegment moved = row.bySamples
                                               ? TranscriptionUtilities::updateSegmentTimings(original, row.samples)
                                               : TranscriptionUtilities::updateSegmentTimings(original, row.seconds);
        EXPECT_EQ(moved.seek, row.expectedSeek);
        EXPECT_FLOAT_EQ(moved.start, 1.0f + row.expectedShift);
        EXPECT_FLOAT_EQ(moved.end, 2.5f + row.expectedShift);
        ASSERT_EQ(moved.words.has_value(), row.withWords);
        if (row.withWords) {
            ASSERT_EQ(moved.words->size(), 2u);
            for (std::size_t i = 0; i < 2; ++i) {
                EXPECT_FLOAT_EQ((*moved.words)[i].start, (*original.words)[i].start + row.expectedShift);
                EXPECT_FLOAT_EQ((*moved.words)[i].end, (*original.words)[i].end + row.expectedShift);
                EXPECT_EQ((*moved.words)[i].word, (*original.words)[i].word);
            }
        }
        // Every other field as it was.
        TranscriptionSegment rest = moved;
        rest.seek = original.seek;
        rest.start = original.start;
        rest.end = original.end;
        rest.words = original.words;
        EXPECT_EQ(rest, original);
    }
}

TEST(DecodingUtilitiesDeathTest, ShiftsThatCannotBeSamplePositionsStopTheProcess) {
    const auto original = segment(0, 1, "x", 0x7fffffffffffff00);
    EXPECT_DEATH(TranscriptionUtilities::updateSegmentTimings(original, std::int64_t{0x1000}), "integer range");
    EXPECT_DEATH(
        TranscriptionUtilities::updateSegmentTimings(segment(0, 1, "x"), std::numeric_limits<float>::infinity()),
        "not a valid sample shift");
    EXPECT_DEATH(
        TranscriptionUtilities::updateSegmentTimings(segment(0, 1, "x"), std::numeric_limits<float>::quiet_NaN()),
        "not a valid sample shift");
}

TEST(DecodingUtilities, SegmentsFormatAsLinesWithOrWithoutTimes) {
    const std::vector<TranscriptionSegment> segments = {segment(0, 2.5f, " Hello"), segment(2.5f, 3.125f, "again"),
                                                        segment(61.0f, 65.0f, "")};
    EXPECT_EQ(TranscriptionUtilities::formatSegments(segments, true),
              (std::vector<std::string>{"[0.00 --> 2.50]  Hello", "[2.50 --> 3.12] again", "[61.00 --> 65.00] "}));
    EXPECT_EQ(TranscriptionUtilities::formatSegments(segments, false),
              (std::vector<std::string>{" Hello", "again", ""}));
    EXPECT_TRUE(TranscriptionUtilities::formatSegments({}, true).empty());
}

TEST(DecodingUtilities, CommonPrefixAndDifferentSuffixCompareNormalizedWords) {
    struct Case {
        const char* name;
        std::vector<std::string> a;
        std::vector<std::string> b;
        std::vector<std::string> prefix;
        std::vector<std::string> suffix;
    };
    const Case cases[] = {
        {"case and punctuation do not count", {" Hello,", " world"}, {" hello", " World!"}, {" hello", " World!"}, {}},
        {"a hyphen matches a blank", {" well-known", " fact"}, {" well known", " facts"}, {" well known"}, {" facts"}},
        {"the prefix stops at the first mismatch", {" a", " b", " c"}, {" a", " x", " c"}, {" a"}, {" x", " c"}},
        {"nothing in common", {" one"}, {" two", " three"}, {}, {" two", " three"}},
        {"identical lists", {" same", " words"}, {" same", " words"}, {" same", " words"}, {}},
        {"a longer second list", {" go"}, {" go", " on"}, {" go"}, {" on"}},
        {"a shorter second list", {" go", " on"}, {" go"}, {" go"}, {}},
        {"empty lists", {}, {}, {}, {}},
        {"blanks collapse and trim", {"  Mr.  Smith "}, {"mr smith"}, {"mr smith"}, {}},
        {"non-ASCII letters lower-case", {" \u00C9T\u00C9"}, {" \u00E9t\u00E9?"}, {" \u00E9t\u00E9?"}, {}},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        const auto a = words(row.a, 0.0f);
        const auto b = words(row.b, 10.0f);
        const auto prefix = TranscriptionUtilities::findLongestCommonPrefix(a, b);
        EXPECT_EQ(textsOf(prefix), row.prefix);
        // b's own words, with b's timings.
        for (std::size_t i = 0; i < prefix.size(); ++i) EXPECT_EQ(prefix[i], b[i]);
        const auto suffix = TranscriptionUtilities::findLongestDifferentSuffix(a, b);
        EXPECT_EQ(textsOf(suffix), row.suffix);
        for (std::size_t i = 0; i < suffix.size(); ++i) EXPECT_EQ(suffix[i], b[prefix.size() + i]);
    }
}

std::shared_ptr<TranscriptionResult> result(std::string text, std::vector<TranscriptionSegment> segments,
                                            std::string language, double pipelineStart, double fullPipeline,
                                            double scale) {
    TranscriptionTimings timings;
    timings.pipelineStart = pipelineStart;
    timings.fullPipeline = fullPipeline;
    timings.firstTokenTime = pipelineStart + 0.5;
    timings.inputAudioSeconds = 10 * scale;
    timings.modelLoading = 2 * scale;
    timings.tokenizerLoadTime = 0.1 * scale;
    timings.encoderSpecializationTime = 3;
    timings.decoderSpecializationTime = 4;
    timings.audioLoading = 0.5 * scale;
    timings.decodingLoop = 1 * scale;
    timings.totalDecodingWindows = 2 * scale;
    timings.totalDecodingFallbacks = 1 * scale;
    return std::make_shared<TranscriptionResult>(std::move(text), std::move(segments), std::move(language), timings,
                                                 std::optional<float>(5.0f));
}

TEST(DecodingUtilities, MergingJoinsTextsSegmentsAndTimings) {
    const auto first = result("A", {segment(0, 1, " a"), segment(1, 2, " b")}, "de", 100.0, 4.0, 1);
    const auto second = result("B", {segment(30, 31, " c")}, "fr", 101.0, 6.0, 2);

    const auto merged = TranscriptionUtilities::mergeTranscriptionResults({first, nullptr, second});
    EXPECT_EQ(merged->text(), "A  B") << "an absent result contributes an empty text";
    EXPECT_EQ(merged->language(), "de");
    EXPECT_EQ(merged->seekTime(), std::nullopt);
    const auto segments = merged->segments();
    ASSERT_EQ(segments.size(), 3u);
    EXPECT_EQ(segments[0].text, " a");
    EXPECT_EQ(segments[1].text, " b");
    EXPECT_EQ(segments[2].text, " c");
    EXPECT_EQ(segments[2].start, 30.0f) << "times are not shifted";
    // Position among the present results plus position within the result.
    EXPECT_EQ(segments[0].id, 0);
    EXPECT_EQ(segments[1].id, 1);
    EXPECT_EQ(segments[2].id, 1);

    const auto timings = merged->timings();
    EXPECT_EQ(timings.pipelineStart, 100.0);
    EXPECT_EQ(timings.firstTokenTime, 100.5);
    EXPECT_EQ(timings.inputAudioSeconds, 30.0);
    EXPECT_EQ(timings.modelLoading, 4.0);
    EXPECT_DOUBLE_EQ(timings.tokenizerLoadTime, 0.2);
    EXPECT_EQ(timings.encoderSpecializationTime, 0.0);
    EXPECT_EQ(timings.decoderSpecializationTime, 0.0);
    EXPECT_EQ(timings.audioLoading, 1.5);
    EXPECT_EQ(timings.decodingLoop, 3.0);
    EXPECT_EQ(timings.totalDecodingWindows, 6.0);
    EXPECT_EQ(timings.totalDecodingFallbacks, 3.0);
    // The runs overlap: from the first start (100) to the latest end (107), not the sum (10).
    EXPECT_EQ(timings.fullPipeline, 7.0);

    const auto apart = TranscriptionUtilities::mergeTranscriptionResults(
        {result("x", {}, "en", 100.0, 1.0, 1), result("y", {}, "en", 200.0, 2.0, 1)});
    EXPECT_EQ(apart->timings().fullPipeline, 3.0) << "runs far apart count their own time only";
}

TEST(DecodingUtilities, MergingTextsAndEdgeCases) {
    const auto a = result("A", {}, "es", 1.0, 1.0, 1);
    const auto b = result("B", {}, "en", 1.0, 1.0, 1);
    struct Case {
        const char* name;
        std::vector<std::shared_ptr<TranscriptionResult>> results;
        std::optional<std::vector<WordTiming>> confirmed;
        std::string text;
    };
    const Case cases[] = {
        {"two results", {a, b}, std::nullopt, "A B"},
        {"the second absent", {a, nullptr}, std::nullopt, "A "},
        {"confirmed words replace the texts", {a, b}, words({" Hello", " there", "."}), " Hello there."},
        {"no results", {}, std::nullopt, ""},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(TranscriptionUtilities::mergeTranscriptionResults(row.results, row.confirmed)->text(), row.text);
    }

    const auto none = TranscriptionUtilities::mergeTranscriptionResults({nullptr, nullptr});
    EXPECT_EQ(none->text(), " ");
    EXPECT_TRUE(none->segments().empty());
    EXPECT_EQ(none->language(), "en");
    TranscriptionTimings zero;
    zero.pipelineStart = 0;
    zero.firstTokenTime = 0;
    zero.inputAudioSeconds = 0;
    EXPECT_EQ(none->timings(), zero);
}

}  // namespace
}  // namespace murmex
