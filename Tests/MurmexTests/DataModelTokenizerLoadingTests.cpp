// Loading the Whisper tokenizer of a variant from local folders or, failing that, from a hub on
// the loopback interface.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "Murmex/Model/ModelUtilities.h"
#include "Murmex/Model/WhisperTokenizerWrapper.h"
#include "Support/Fixtures.h"
#include "Support/HubServer.h"
#include "Support/LogCapture.h"
#include "Support/ScopedEnvironment.h"

namespace murmex {
namespace {

namespace fs = std::filesystem;

using ScopedVariable = norvel::test::ScopedEnvironment;

using norvel::test::copyTokenizerFiles;

class DataModelTokenizerLoading : public ::testing::Test {
protected:
    norvel::test::HubServer server;
    norvel::test::TemporaryDirectory base;
    ScopedVariable endpoint{"HF_ENDPOINT", server.endpoint()};
    ScopedVariable online{"CI_DISABLE_NETWORK_MONITOR", "1"};
    ScopedVariable token{"HF_TOKEN", std::nullopt};
    ScopedVariable otherToken{"HUGGING_FACE_HUB_TOKEN", std::nullopt};

    fs::path hubFolder(const std::string& repository) const { return base.path() / "models" / repository; }

    static const WhisperTokenizerWrapper& wrapper(const std::shared_ptr<WhisperTokenizer>& tokenizer) {
        return dynamic_cast<const WhisperTokenizerWrapper&>(*tokenizer);
    }
};

TEST_F(DataModelTokenizerLoading, LocalFoldersInOrderWithoutTheNetwork) {
    // Only the given folder holds a tokenizer: it is used, and the hub is never asked.
    copyTokenizerFiles("english", base.path());
    {
        norvel::test::LogCapture capture;
        auto tokenizer = ModelUtilities::loadTokenizer(ModelVariant::tinyEn, base.path());
        EXPECT_EQ(wrapper(tokenizer).tokenizerFolder(), base.path());
        EXPECT_EQ(tokenizer->specialTokens().startOfTranscriptToken, 50257);
        const auto lines = capture.lines();
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(lines[0], "Checking for local tokenizer at " +
                                (hubFolder("openai/whisper-tiny.en") / "tokenizer.json").string() + " - not found");
        EXPECT_EQ(lines[1],
                  "Checking for local tokenizer at " + (base.path() / "tokenizer.json").string() + " - found");
        EXPECT_EQ(lines[2], "Found local tokenizer at " + base.path().string());
        EXPECT_EQ(lines[3], "Loading tokenizer from " + base.path().string());
    }
    // The variant's folder under the download base is checked first and wins.
    copyTokenizerFiles("multilingual", hubFolder("openai/whisper-tiny.en"));
    auto fromHubFolder = ModelUtilities::loadTokenizer(ModelVariant::tinyEn, base.path());
    EXPECT_EQ(wrapper(fromHubFolder).tokenizerFolder(), hubFolder("openai/whisper-tiny.en"));
    EXPECT_EQ(fromHubFolder->specialTokens().startOfTranscriptToken, 50258);

    // Extra search paths come last, in order.
    norvel::test::TemporaryDirectory extra;
    copyTokenizerFiles("multilingual-v3", extra / "second");
    auto fromExtra =
        ModelUtilities::loadTokenizer(ModelVariant::largev3, extra / "empty", {extra / "first", extra / "second"});
    EXPECT_EQ(wrapper(fromExtra).tokenizerFolder(), extra / "second");
    EXPECT_EQ(fromExtra->allLanguageTokens().size(), 100u);
    EXPECT_EQ(server.requests().size(), 0u);
}

TEST_F(DataModelTokenizerLoading, BrokenLocalFilesFallBackToTheHub) {
    server.addDirectory("openai/whisper-tiny", norvel::test::fixture("tokenizers/multilingual"));
    fs::create_directories(base.path());
    std::ofstream(base.path() / "tokenizer.json") << "{ not json";
    std::ofstream(base.path() / "tokenizer_config.json") << "{}";

    norvel::test::LogCapture capture;
    auto tokenizer = ModelUtilities::loadTokenizer(ModelVariant::tiny, base.path());
    EXPECT_TRUE(capture.contains("Error loading local tokenizer: "));
    EXPECT_TRUE(capture.contains("Downloading tokenizer from Hub at file://" +
                                 hubFolder("openai/whisper-tiny").string() + "/"));
    EXPECT_EQ(wrapper(tokenizer).tokenizerFolder(), hubFolder("openai/whisper-tiny"));
    EXPECT_EQ(tokenizer->specialTokens().noSpeechToken, 50362);
    EXPECT_TRUE(fs::exists(hubFolder("openai/whisper-tiny") / "tokenizer.json"));
    EXPECT_GT(server.countRequests("GET"), 0u);

    // Once downloaded, the hub folder is found locally.
    server.clearRequests();
    auto again = ModelUtilities::loadTokenizer(ModelVariant::tiny, base.path());
    EXPECT_EQ(wrapper(again).tokenizerFolder(), hubFolder("openai/whisper-tiny"));
    EXPECT_EQ(server.requests().size(), 0u);
}

TEST_F(DataModelTokenizerLoading, AFailingHubLoadIsThrown) {
    server.setListingStatus("openai/whisper-base", 404);
    norvel::test::LogCapture capture;
    EXPECT_ANY_THROW(ModelUtilities::loadTokenizer(ModelVariant::base, base.path()));
    EXPECT_TRUE(capture.contains("No tokenizer found in any local search paths"));
}

}  // namespace
}  // namespace murmex
