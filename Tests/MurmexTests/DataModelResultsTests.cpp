// Transcription results, segments, word timings, timings and their report, and the small
// helpers over them.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "Murmex/Model/TranscriptionProgress.h"
#include "Murmex/Model/TranscriptionResult.h"
#include "Murmex/Model/WhisperError.h"
#include "Support/LogCapture.h"

namespace murmex {
namespace {

WordTiming word(std::string text, float start, float end) {
    return WordTiming{std::move(text), {1, 2}, start, end, 0.75f};
}

TranscriptionSegment segment(int id, float start, float end, std::string text,
                             std::optional<std::vector<WordTiming>> words = std::nullopt) {
    TranscriptionSegment s;
    s.id = id;
    s.seek = 16000 * id;
    s.start = start;
    s.end = end;
    s.text = std::move(text);
    s.tokens = {50364, 440, 50400};
    s.tokenLogProbs = {{{50364, -0.25f}}, {{440, -0.5f}}, {{50400, -1.0f}}};
    s.temperature = 0.2f;
    s.avgLogprob = -0.5f;
    s.compressionRatio = 1.4f;
    s.noSpeechProb = 0.01f;
    s.words = std::move(words);
    return s;
}

std::vector<std::string> keysOf(const Json& object) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : object.items()) keys.push_back(key);
    return keys;
}

TEST(DataModelResults, ResultJsonRoundTripWithItsExactKeys) {
    TranscriptionTimings timings;
    timings.fullPipeline = 1.5;
    timings.totalDecodingLoops = 42;
    const std::vector<TranscriptionSegment> segments = {
        segment(0, 0.0f, 2.5f, " Hello there.",
                std::vector<WordTiming>{word(" Hello", 0.0f, 1.0f), word(" there.", 1.0f, 2.5f)}),
        segment(1, 2.5f, 4.0f, " No words."),
        segment(2, 4.0f, 5.0f, " Empty words.", std::vector<WordTiming>{}),
    };
    TranscriptionResult result(" Hello there. No words. Empty words.", segments, "en", timings);
    const Json json = Json::parse(result.encode().dump());

    EXPECT_EQ(keysOf(json), (std::vector<std::string>{"text", "segments", "language", "timings", "seekTime"}));
    EXPECT_TRUE(json["seekTime"].is_null());
    EXPECT_EQ(keysOf(json["segments"][0]),
              (std::vector<std::string>{"id", "seek", "start", "end", "text", "tokens", "tokenLogProbs", "temperature",
                                        "avgLogprob", "compressionRatio", "noSpeechProb", "words"}));
    EXPECT_FALSE(json["segments"][1].contains("words"));
    EXPECT_EQ(json["segments"][2]["words"], Json::array());
    EXPECT_EQ(json["segments"][0]["tokenLogProbs"][1].dump(), R"({"440":-0.5})");
    EXPECT_EQ(json["segments"][0]["temperature"].dump(), "0.2");
    EXPECT_EQ(keysOf(json["segments"][0]["words"][0]),
              (std::vector<std::string>{"word", "tokens", "start", "end", "probability"}));
    EXPECT_EQ(json["timings"].size(), 33u);

    const auto read = TranscriptionResult::decode(json);
    EXPECT_EQ(read->text(), result.text());
    EXPECT_EQ(read->segments(), segments);
    EXPECT_EQ(read->language(), "en");
    EXPECT_EQ(read->timings(), timings);
    EXPECT_FALSE(read->seekTime());

    result.setSeekTime(30.5f);
    EXPECT_EQ(TranscriptionResult::decode(result.encode())->seekTime(), 30.5f);
}

TEST(DataModelResults, SegmentIntegersAreReadAndWrittenIn64Bits) {
    constexpr std::int64_t big = 5000000000;
    TranscriptionSegment wide =
        segment(0, 0.0f, 1.0f, " Wide.", std::vector<WordTiming>{WordTiming{" Wide.", {big, 7}, 0.0f, 1.0f, 0.5f}});
    wide.id = big;
    wide.tokens = {big, 7};
    wide.tokenLogProbs = {{{big, -0.25f}}, {{7, -0.5f}}};
    const Json json = Json::parse(coding::encode(wide).dump());
    EXPECT_EQ(json["id"], big);
    EXPECT_EQ(json["tokens"], Json::array({big, 7}));
    EXPECT_EQ(json["tokenLogProbs"][0].dump(), R"({"5000000000":-0.25})");
    EXPECT_EQ(json["words"][0]["tokens"], Json::array({big, 7}));
    EXPECT_EQ(coding::decode<TranscriptionSegment>(json), wide);

    // A segment written before holds 32-bit values, and reads as it did.
    const auto stored = coding::decode<TranscriptionSegment>(Json::parse(
        R"({"id":3,"seek":48000,"start":3.0,"end":4.5,"text":" Hi.","tokens":[50364,2421,50439],)"
        R"("tokenLogProbs":[{"50364":-0.25},{"2421":-0.5},{"50439":-1.0}],"temperature":0.0,"avgLogprob":-0.5,)"
        R"("compressionRatio":1.0,"noSpeechProb":0.01,)"
        R"("words":[{"word":" Hi.","tokens":[2421],"start":3.0,"end":4.5,"probability":0.75}]})"));
    EXPECT_EQ(stored.id, 3);
    EXPECT_EQ(stored.tokens, (std::vector<std::int64_t>{50364, 2421, 50439}));
    EXPECT_EQ(stored.tokenLogProbs[1], (std::map<std::int64_t, float>{{2421, -0.5f}}));
    ASSERT_TRUE(stored.words.has_value());
    EXPECT_EQ((*stored.words)[0].tokens, std::vector<std::int64_t>{2421});
}

TEST(DataModelResults, ResultAndStructDifferOnlyInTheSeekTimeKey) {
    TranscriptionResultStruct value{"text", {segment(0, 0, 1, "a")}, "de", {}, std::nullopt};
    Json json = coding::encode(value);
    EXPECT_FALSE(json.contains("seekTime"));
    EXPECT_EQ(coding::decode<TranscriptionResultStruct>(json), value);
    try {
        TranscriptionResult::decode(json);
        ADD_FAILURE() << "a result without seekTime was read";
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.kind(), DecodingError::Kind::keyNotFound);
        EXPECT_EQ(error.codingPath(), std::vector<std::string>{"seekTime"});
    }
    value.seekTime = 12.0f;
    EXPECT_EQ(coding::decode<TranscriptionResultStruct>(coding::encode(value)), value);
}

TEST(DataModelResults, MalformedDocumentsFailWhereTheFaultIs) {
    const Json good =
        TranscriptionResult("t", {segment(0, 0, 1, "a", std::vector<WordTiming>{word("a", 0, 1)})}, "en").encode();
    struct Case {
        const char* name;
        std::function<void(Json&)> damage;
        DecodingError::Kind kind;
        std::vector<std::string> path;
    };
    const std::vector<Case> cases = {
        {"missing text", [](Json& j) { j.erase("text"); }, DecodingError::Kind::keyNotFound, {"text"}},
        {"segment id as text",
         [](Json& j) { j["segments"][0]["id"] = "0"; },
         DecodingError::Kind::typeMismatch,
         {"segments", "Index 0", "id"}},
        {"segment without noSpeechProb",
         [](Json& j) { j["segments"][0].erase("noSpeechProb"); },
         DecodingError::Kind::keyNotFound,
         {"segments", "Index 0", "noSpeechProb"}},
        {"log-prob key not a number",
         [](Json& j) {
             j["segments"][0]["tokenLogProbs"][0] = {{"x", 1.0}};
         },
         DecodingError::Kind::dataCorrupted,
         {"segments", "Index 0", "tokenLogProbs", "Index 0", "x"}},
        {"word without probability",
         [](Json& j) { j["segments"][0]["words"][0].erase("probability"); },
         DecodingError::Kind::keyNotFound,
         {"segments", "Index 0", "words", "Index 0", "probability"}},
        {"timings key missing",
         [](Json& j) { j["timings"].erase("decodingKvCaching"); },
         DecodingError::Kind::keyNotFound,
         {"timings", "decodingKvCaching"}},
        {"seekTime as text", [](Json& j) { j["seekTime"] = "3"; }, DecodingError::Kind::typeMismatch, {"seekTime"}},
        {"language null", [](Json& j) { j["language"] = nullptr; }, DecodingError::Kind::valueNotFound, {"language"}},
    };
    for (const auto& c : cases) {
        Json json = good;
        c.damage(json);
        try {
            TranscriptionResult::decode(json);
            ADD_FAILURE() << c.name;
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), c.kind) << c.name;
            EXPECT_EQ(error.codingPath(), c.path) << c.name;
        }
    }
}

TEST(DataModelResults, NonFiniteNumbersAreNeverWrittenAsNull) {
    auto broken = segment(0, 0, 1, "loop loop loop");
    broken.compressionRatio = std::numeric_limits<float>::infinity();
    TranscriptionResult result("t", {segment(1, 0, 1, "fine"), broken}, "en");
    try {
        result.encode();
        ADD_FAILURE() << "an infinite compression ratio was written";
    } catch (const EncodingError& error) {
        EXPECT_EQ(error.codingPath(), (std::vector<std::string>{"segments", "Index 1", "compressionRatio"}));
        EXPECT_NE(std::string(error.what()).find("infinity"), std::string::npos);
    }
    TranscriptionTimings timings;
    timings.fullPipeline = std::nan("");
    EXPECT_THROW(coding::encode(timings), EncodingError);
}

TEST(DataModelResults, SegmentEqualityHashingAndDuration) {
    auto a = segment(0, 0.0f, 1.0f, "x");
    auto b = a;
    b.start = -0.0f;
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.hash(), b.hash());
    b.tokenLogProbs[1][440] = -0.51f;
    EXPECT_NE(a, b);
    auto c = a;
    c.words = std::vector<WordTiming>{};
    EXPECT_NE(a, c);
    EXPECT_NE(a.hash(), c.hash());
    auto d = segment(0, 1.5f, 3.0f, "y");
    EXPECT_EQ(d.duration(), 1.5f);
    d.end = 1.0f;
    EXPECT_EQ(d.duration(), -0.5f);
    WordTiming w1 = word("w", 0.0f, 0.5f), w2 = word("w", -0.0f, 0.5f);
    EXPECT_EQ(w1.hash(), w2.hash());
    EXPECT_EQ(w1.duration(), 0.5f);

    // Only the start is compared by containsSegment.
    auto other = segment(9, 0.0f, 9.0f, "different");
    EXPECT_TRUE(containsSegment({segment(3, 2.0f, 3.0f, "p"), a}, other));
    EXPECT_FALSE(containsSegment({segment(3, 2.0f, 3.0f, "p")}, other));
}

TEST(DataModelResults, AllWordsAndSegmentLog) {
    TranscriptionResult none;
    EXPECT_TRUE(none.allWords().empty());
    {
        norvel::test::LogCapture capture;
        none.logSegments();
        EXPECT_TRUE(capture.lines().empty());
    }
    TranscriptionResult mixed(
        "", {segment(5, 0.0f, 1.005f, " a", std::vector<WordTiming>{word("a", 0, 1)}), segment(6, 1.0f, 2.0f, " b"),
             segment(7, 2.0f, 3.5f, " c d", std::vector<WordTiming>{word("c", 2, 3), word("d", 3, 3.5f)})});
    std::vector<std::string> words;
    for (const auto& w : mixed.allWords()) words.push_back(w.word);
    EXPECT_EQ(words, (std::vector<std::string>{"a", "c", "d"}));

    norvel::test::LogCapture capture;
    mixed.logSegments();
    EXPECT_EQ(capture.lines(),
              (std::vector<std::string>{"[Segment 0] [0.00 --> 1.00]  a", "[Segment 1] [1.00 --> 2.00]  b",
                                        "[Segment 2] [2.00 --> 3.50]  c d"}));
}

TEST(DataModelResults, FieldsHaveTheirOwnLocks) {
    auto result = std::make_shared<TranscriptionResult>();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([result, t] {
            for (int i = 0; i < 200; ++i) {
                if (t % 2 == 0) {
                    result->setSegments(
                        std::vector<TranscriptionSegment>(static_cast<std::size_t>(i % 5), segment(i, 0, 1, "x")));
                    result->setText(std::string(static_cast<std::size_t>(i % 7), 'a'));
                } else {
                    const auto segments = result->segments();
                    for (const auto& s : segments) ASSERT_EQ(s.text, "x");
                    ASSERT_LE(result->text().size(), 6u);
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    result->modifySegments([](auto& segments) { segments.push_back(segment(99, 5, 6, "last")); });
    EXPECT_EQ(result->segments().back().id, 99);
}

TEST(DataModelResults, OptionalArraysKeepOrderAndEmptySuccesses) {
    auto a = std::make_shared<TranscriptionResult>("A");
    std::vector<TranscriptionResultsOrError> outcomes = {
        std::vector<std::shared_ptr<TranscriptionResult>>{a},
        std::make_exception_ptr(WhisperError::transcriptionFailed("boom")),
        std::vector<std::shared_ptr<TranscriptionResult>>{},
    };
    const auto arrays = toOptionalArrays(outcomes);
    ASSERT_EQ(arrays.size(), 3u);
    ASSERT_TRUE(arrays[0]);
    EXPECT_EQ(arrays[0]->at(0), a);
    EXPECT_FALSE(arrays[1]);
    ASSERT_TRUE(arrays[2]);
    EXPECT_TRUE(arrays[2]->empty());
}

TEST(DataModelTimings, DefaultsRatiosAndJson) {
    const TranscriptionTimings zero;
    EXPECT_EQ(zero.pipelineStart, 1.7976931348623157e308);
    EXPECT_EQ(zero.firstTokenTime, 1.7976931348623157e308);
    EXPECT_EQ(zero.inputAudioSeconds, 0.001);
    EXPECT_EQ(zero.realTimeFactor(), 0.0);
    EXPECT_TRUE(std::isnan(zero.tokensPerSecond()));
    EXPECT_TRUE(std::isinf(zero.speedFactor()));

    TranscriptionTimings t{.modelLoading = 1.25, .decodingWordTimestamps = 0.5, .fullPipeline = 4};
    t.inputAudioSeconds = 8;
    t.totalDecodingLoops = 100;
    EXPECT_EQ(t.tokensPerSecond(), 25);
    EXPECT_EQ(t.realTimeFactor(), 0.5);
    EXPECT_EQ(t.speedFactor(), 2);

    const Json json = coding::encode(t);
    EXPECT_EQ(json.size(), 33u);
    EXPECT_EQ(json.begin().key(), "pipelineStart");
    EXPECT_EQ(json["decodingWordTimestamps"], 0.5);
    EXPECT_FALSE(json.contains("tokensPerSecond"));
    EXPECT_EQ(coding::decode<TranscriptionTimings>(Json::parse(json.dump())), t);
    for (const auto& [key, value] : json.items()) {
        Json missing = json;
        missing.erase(key);
        EXPECT_THROW(coding::decode<TranscriptionTimings>(missing), DecodingError) << key;
    }
}

TEST(DataModelTimings, Report) {
    TranscriptionTimings t;
    t.pipelineStart = 100.0;
    t.firstTokenTime = 100.25;
    t.inputAudioSeconds = 10;
    t.audioLoading = 0.5;
    t.decodingLoop = 1.0;
    t.fullPipeline = 2.0;
    t.decodingWindowing = 0.3;
    t.decodingWordTimestamps = 0.1;
    t.totalDecodingWindows = 2;
    t.totalAudioProcessingRuns = 4;
    t.totalDecodingLoops = 50;
    t.totalDecodingFallbacks = 2;
    const std::string report = timingsReport(t, {segment(0, 0, 1, "a"), segment(1, 1, 2, "b")});

    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t at; (at = report.find('\n', from)) != std::string::npos; from = at + 1)
        lines.push_back(report.substr(from, at - from));
    lines.push_back(report.substr(from));
    ASSERT_EQ(lines.size(), 30u);
    EXPECT_EQ(lines[0], "---- Transcription Timings ----");
    EXPECT_EQ(lines[1], "Audio Load:            500.00 ms /      1 runs (  500.00 ms/run) 25.00%");
    EXPECT_EQ(lines[12], "- Windowing:           200.00 ms /      2 runs (  100.00 ms/run) 10.00%");
    // A stage with no runs shows 0 ms per run.
    EXPECT_EQ(lines[3], "Mels:" + std::string(16, ' ') + "    0.00 ms /      0 runs (    0.00 ms/run)  0.00%");
    EXPECT_EQ(lines[15], std::string(31, '-'));
    EXPECT_EQ(lines[16], "Model Load Time:               0.00 seconds");
    EXPECT_EQ(lines[22], "- Decoding Loop (Avg/window):  0.25 seconds");
    EXPECT_EQ(lines[23], "- Audio Windows:               4.00");
    EXPECT_EQ(lines[24], "Time to first token:           0.25 seconds");
    EXPECT_EQ(lines[25], "Total Tokens:                  6");
    EXPECT_EQ(lines[26], "Tokens per Second:             25.00 tok/s");
    EXPECT_EQ(lines[27], "Real Time Factor:              0.200");
    EXPECT_EQ(lines[28], "Speed Factor:                  5.000");
    EXPECT_EQ(lines[29], "Fallbacks:                     2.0");

    // A larger decoding loop than the whole run becomes the base of the shares; zero times give
    // non-finite figures rather than a failure.
    TranscriptionTimings empty;
    const std::string bare = timingsReport(empty, {});
    EXPECT_NE(bare.find("Total Tokens:                  0"), std::string::npos);
    EXPECT_NE(bare.find("Time to first token:           0.00 seconds"), std::string::npos);
    EXPECT_NE(bare.find("Real Time Factor:              0.000"), std::string::npos);
    EXPECT_NE(bare.find("Speed Factor:                  inf"), std::string::npos);

    TranscriptionResult result("", {segment(0, 0, 1, "a")}, "en", t);
    norvel::test::LogCapture capture;
    result.logTimings();
    EXPECT_EQ(capture.lines(), std::vector<std::string>{timingsReport(t, result.segments())});
}

TEST(DataModelProgress, StatesAndCallback) {
    EXPECT_EQ(description(TranscriptionState::convertingAudio), "Converting Audio");
    EXPECT_EQ(description(TranscriptionState::transcribing), "Transcribing");
    EXPECT_EQ(description(TranscriptionState::finished), "Finished");
    TranscriptionProgressCallback stopAfterTwoTokens =
        [](const TranscriptionProgress& progress) -> std::optional<bool> { return progress.tokens.size() < 2; };
    TranscriptionProgress progress{{}, " Hi", {440}, 0.0f, std::nullopt, std::nullopt, 3};
    EXPECT_EQ(stopAfterTwoTokens(progress), true);
    progress.tokens.push_back(441);
    EXPECT_EQ(stopAfterTwoTokens(progress), false);
}

TEST(DataModelWhisperError, ReadingTheDescriptionLogsIt) {
    norvel::test::LogCapture capture;
    const WhisperError error = WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    EXPECT_TRUE(capture.lines().empty());  // what() has no side effect
    EXPECT_STREQ(error.what(), "Tokenizer is unavailable");
    EXPECT_TRUE(capture.lines().empty());
    EXPECT_EQ(error.errorDescription(), "Tokenizer is unavailable");
    EXPECT_EQ(error.errorDescription(), "Tokenizer is unavailable");
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"Tokenizer is unavailable", "Tokenizer is unavailable"}));
}

}  // namespace
}  // namespace murmex
