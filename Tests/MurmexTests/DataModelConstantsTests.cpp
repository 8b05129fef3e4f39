// The speech library's constants, language table and error type.

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include <unicode/unistr.h>

#include "HalvexCore/External/Hub/HubApi.h"
#include "Murmex/Model/Constants.h"
#include "Murmex/Model/WhisperError.h"
#include "Support/ScopedEnvironment.h"

namespace murmex {
namespace {

std::u32string codePoints(std::string_view utf8) {
    icu::UnicodeString text =
        icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    std::u32string result;
    for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1))
        result.push_back(static_cast<char32_t>(text.char32At(i)));
    return result;
}

TEST(DataModelConstants, LanguageTable) {
    const auto& languages = Constants::languages();
    EXPECT_EQ(languages.size(), 112u);
    EXPECT_EQ(Constants::languageCodes().size(), 100u);
    EXPECT_EQ(languages.at("mandarin"), "zh");
    EXPECT_EQ(languages.at("chinese"), "zh");
    EXPECT_EQ(languages.at("haitian creole"), "ht");
    EXPECT_EQ(languages.at("english"), Constants::defaultLanguageCode);
    EXPECT_TRUE(Constants::languageCodes().count("haw"));
    EXPECT_TRUE(Constants::languageCodes().count("yue"));
    // Every code is two letters except haw and yue.
    for (const auto& code : Constants::languageCodes()) {
        EXPECT_EQ(code.size(), code == "haw" || code == "yue" ? 3u : 2u) << code;
    }
}

TEST(DataModelConstants, FixedValuesAndPunctuation) {
    EXPECT_EQ(Constants::maxTokenContext, 224);
    EXPECT_EQ(Constants::defaultWindowSamples, 480000);
    EXPECT_EQ(Constants::defaultAudioReadFrameSize, 1323000);
    EXPECT_EQ(Constants::defaultRemoteConfigName, "config.json");
    EXPECT_EQ(Constants::specialTokenCharacters, U"<|>");
    EXPECT_EQ(codePoints(Constants::defaultPrependPunctuations),
              (std::u32string{U'"', U'\'', U'\u201C', U'\u00A1', U'\u00BF', U'(', U'[', U'{', U'-'}));
    EXPECT_EQ(codePoints(Constants::defaultAppendPunctuations),
              (std::u32string{U'"', U'\'', U'.', U'\u3002', U',', U'\uFF0C', U'!', U'\uFF01', U'?', U'\uFF1F', U':',
                              U'\uFF1A', U'\u201D', U')', U']', U'}', U'\u3001'}));
}

// The library downloads from the hub the hub client would ask: a mirror named in HF_ENDPOINT
// (even an empty one, as the client takes it), otherwise the hub itself.
TEST(DataModelConstants, TheRemoteEndpointFollowsTheHubClientsRule) {
    const struct {
        std::optional<std::string> environment;
        std::string endpoint;
    } cases[] = {
        {std::nullopt, "https://huggingface.co"},
        {"http://127.0.0.1:8123", "http://127.0.0.1:8123"},
        {"", ""},
    };
    for (const auto& c : cases) {
        norvel::test::ScopedEnvironment environment("HF_ENDPOINT", c.environment);
        EXPECT_EQ(Constants::defaultRemoteEndpoint(), c.endpoint) << c.environment.value_or("(unset)");
        EXPECT_EQ(Constants::defaultRemoteEndpoint(), halvex::HubApi::hfEndpointfromEnv());
    }
}

TEST(DataModelWhisperError, CasesMessagesAndEquality) {
    const WhisperError unavailable = WhisperError::tokenizerUnavailable();
    EXPECT_EQ(unavailable.kind(), WhisperError::Kind::tokenizerUnavailable);
    EXPECT_STREQ(unavailable.what(), "Tokenizer is unavailable");
    EXPECT_EQ(unavailable.errorDescription(), "Tokenizer is unavailable");
    EXPECT_EQ(unavailable, WhisperError::tokenizerUnavailable("Tokenizer is unavailable"));
    EXPECT_FALSE(unavailable == WhisperError::tokenizerUnavailable("other"));
    EXPECT_FALSE(WhisperError::decodingFailed("x") == WhisperError::segmentingFailed("x"));
    EXPECT_EQ(WhisperError::modelsUnavailable().message(), "Models are unavailable");

    struct Case {
        std::string message;
        std::string expected;
    };
    namespace M = WhisperErrorMessage;
    const std::vector<Case> built = {
        {M::modelFileNotFound("/m/TextDecoder.mlmodelc"), "Model file not found at /m/TextDecoder.mlmodelc"},
        {M::modelNotFound("offline"),
         "Model not found. Please check the model or repo name and try again.\nError: offline"},
        {M::noModelsFound("*tiny*", "org/repo"), "No models found matching \"*tiny*\" in org/repo"},
        {M::multipleModelsFound("*tiny*", "org/repo"), "Multiple models found matching \"*tiny*\" in org/repo"},
        {M::errorConvertingAudio("bad"), "Error converting audio: bad"},
        {M::audioFileNotFound("/a.wav"), "Audio file not found at path: /a.wav"},
        {M::resourcePathDoesNotExist("/r"), "Resource path does not exist /r"},
        {M::failedToReadAudioFile("eof"), "Failed to read audio file: eof"},
        {std::string(M::clipTimestampsWithIncrementalLoading),
         "clipTimestamps is not supported with AudioLoadingMode.incremental. Use .fullFile, or transcribe the desired "
         "range as a separate call."},
    };
    for (const auto& c : built) EXPECT_EQ(c.message, c.expected);

    // A thrown error is caught as itself and as a standard exception.
    try {
        throw WhisperError::prepareDecoderInputsFailed(std::string(M::unknownKvCacheEmbedDim));
    } catch (const std::exception& error) {
        EXPECT_STREQ(error.what(), "Unable to determine kvCacheEmbedDim");
        EXPECT_EQ(dynamic_cast<const WhisperError&>(error).kindName(), "prepareDecoderInputsFailed");
    }
}

}  // namespace
}  // namespace murmex
