// The speech library writes the same bytes whatever locale the process runs in: results and
// options as JSON, subtitle files, log texts and a whole transcription are made in the "C"
// locale and again in a locale with a decimal comma, and the two must agree.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Murmex/Decoding/DecodingTextFormat.h"
#include "Murmex/Model/DecodingOptions.h"
#include "Murmex/Model/ResultWriters.h"
#include "Murmex/Model/TranscriptionResult.h"
#include "Murmex/Pipeline/Murmex.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"
#include "Support/GeneratedModel.h"
#include "Support/ScopedLocale.h"

namespace murmex {
namespace {

namespace fs = std::filesystem;
using norvel::test::commaDecimalLocale;
using norvel::test::inBothLocales;
using norvel::test::ScopedLocale;
using norvel::test::TemporaryDirectory;

std::string fileText(const ResultWriteOutcome& outcome) {
    const auto* url = std::get_if<std::string>(&outcome);
    if (url == nullptr) {
        ADD_FAILURE() << "the writer failed";
        return {};
    }
    return norvel::test::readText(url->substr(std::string("file://").size()));
}

// Fixed timings with fractions in every field, so that a written result is the same each run.
TranscriptionTimings fixedTimings() {
    TranscriptionTimings timings;
    timings.pipelineStart = 1765432100.125;
    timings.firstTokenTime = 1765432100.5;
    timings.inputAudioSeconds = 11.0;
    timings.modelLoading = 0.75;
    timings.audioLoading = 0.0625;
    timings.fullPipeline = 2.5;
    timings.decodingLoop = 1.25;
    timings.totalDecodingLoops = 42;
    timings.totalAudioProcessingRuns = 1;
    timings.totalDecodingFallbacks = 0.5;
    return timings;
}

TranscriptionSegment segment(int id, float start, float end, std::string text, std::vector<WordTiming> words) {
    TranscriptionSegment s;
    s.id = id;
    s.seek = 16000 * id;
    s.start = start;
    s.end = end;
    s.text = std::move(text);
    s.tokens = {50364, 440, 50400};
    s.tokenLogProbs = {{{50364, -0.25f}}, {{440, -0.123456f}}, {{50400, -1.5e-7f}}};
    s.temperature = 0.2f;
    s.avgLogprob = -0.512f;
    s.compressionRatio = 1.4f;
    s.noSpeechProb = 0.0123f;
    s.words = std::move(words);
    return s;
}

TranscriptionResult sampleResult() {
    TranscriptionResult result(
        " Ask not what your country can do.",
        {segment(
             0, 0.5f, 2.0f, " Ask not what",
             {{" Ask", {1}, 0.5f, 1.0f, 0.9f}, {" not", {2}, 1.0f, 1.25f, 0.8f}, {" what", {3}, 1.25f, 2.0f, 0.7f}}),
         segment(1, 2.0f, 4.2f, " your country", {}), segment(2, 3725.5f, 3727.25f, " can do.", {})},
        "en", fixedTimings());
    result.setSeekTime(1.5f);
    return result;
}

// A result's JSON form and a set of decoding options' JSON form, written and read back.
TEST(DataModelLocale, ResultsAndOptionsJsonRoundTripsAreTheSameBytes) {
    SKIP_WITHOUT_COMMA_LOCALE();
    const auto [plain, comma] = inBothLocales([] {
        const std::string written = sampleResult().encode().dump(2);
        const auto back = TranscriptionResult::decode(Json::parse(written));
        DecodingOptions options;
        options.temperature = 0.25f;
        options.temperatureIncrementOnFallback = 0.2f;
        options.compressionRatioThreshold = 2.4f;
        options.noSpeechThreshold = 0.6f;
        const std::string optionsText = Json(options).dump();
        const std::string optionsBack = Json(Json::parse(optionsText).get<DecodingOptions>()).dump();
        return written + "\n" + back->encode().dump(2) + "\n" + optionsText + "\n" + optionsBack;
    });
    EXPECT_EQ(comma, plain);
    EXPECT_NE(plain.find(R"("temperature": 0.2,)"), std::string::npos) << plain;
    EXPECT_NE(plain.find(R"("seekTime": 1.5)"), std::string::npos) << plain;
    EXPECT_NE(plain.find(R"("temperature":0.25)"), std::string::npos) << plain;
}

// The JSON, SubRip and WebVTT files.
TEST(DataModelLocale, WrittenFilesAreTheSameBytes) {
    SKIP_WITHOUT_COMMA_LOCALE();
    TemporaryDirectory folder;
    const auto [plain, comma] = inBothLocales([&] {
        const std::string dir = folder.path().string();
        const TranscriptionResult result = sampleResult();
        return fileText(WriteJSON(dir).write(result, "talk")) + fileText(WriteSRT(dir).write(result, "talk")) +
               fileText(WriteVTT(dir).write(result, "talk"));
    });
    EXPECT_EQ(comma, plain);
    EXPECT_NE(plain.find("1\n00:00:00,500 --> 00:00:01,000\n Ask\n"), std::string::npos) << plain;
    EXPECT_NE(plain.find("01:02:05.500 --> 01:02:07.250\n can do.\n"), std::string::npos) << plain;
}

// Texts for logs and fallback reasons: the timings report and the number forms it and the
// decoder use.
TEST(DataModelLocale, LogTextsAreTheSameBytes) {
    SKIP_WITHOUT_COMMA_LOCALE();
    const auto [plain, comma] = inBothLocales([] {
        return timingsReport(fixedTimings(), sampleResult().segments()) + "\n" +
               decodingtext::halfDescription(platform::Float16(0.2f)) + " " +
               decodingtext::threeSignificantDigits(0.0123f) + " " + decodingtext::twoDecimals(1234.5678) + " " +
               decodingtext::shortestDescription(0.1f);
    });
    EXPECT_EQ(comma, plain);
    EXPECT_NE(plain.find("2.50 seconds"), std::string::npos) << plain;
    EXPECT_NE(plain.find("\n0.2 0.0123 1234.57 0.1"), std::string::npos) << plain;
}

// A whole transcription of real speech by a generated model with word timings: the models,
// their descriptions and the tokenizer files are read in the locale too. Only the timings,
// which are measured, are set to fixed values before the result is written.
TEST(DataModelLocale, AWholeTranscriptionWrittenAsJsonIsTheSameBytes) {
    SKIP_WITHOUT_COMMA_LOCALE();
    TemporaryDirectory folder;
    norvel::test::generateModelFolder(folder.path() / "model");
    const auto [plain, comma] = inBothLocales([&] {
        MurmexConfig::Arguments arguments;
        arguments.modelFolder = (folder.path() / "model").string();
        arguments.download = false;
        auto pipeline = Murmex::create(MurmexConfig(arguments));
        DecodingOptions options;
        options.temperatureFallbackCount = 0;  // temperature 0 only: the same tokens every time
        options.wordTimestamps = true;
        options.firstTokenLogProbThreshold = std::nullopt;  // random weights are never confident
        const auto results =
            pipeline->transcribe(norvel::test::fixture("audio/jfk.flac").string(), std::nullopt, options, nullptr);
        EXPECT_EQ(results.size(), 1u);
        if (results.empty()) return std::string();
        results[0]->setTimings(fixedTimings());
        return fileText(WriteJSON(folder.path().string()).write(*results[0], "speech"));
    });
    EXPECT_EQ(comma, plain);
    const Json written = Json::parse(plain);
    ASSERT_FALSE(written["segments"].empty());
    EXPECT_TRUE(written["segments"][0].contains("words"));
}

}  // namespace
}  // namespace murmex
