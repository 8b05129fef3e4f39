#include "HalvexCore/Logging.h"
#include "HalvexCore/ModelDownloader.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"
#include "Support/HubServer.h"
#include "Support/ScopedEnvironment.h"
#include "Support/Thrown.h"

#include <gtest/gtest.h>

namespace {

using halvex::ModelDownloadConfig;
using halvex::ModelDownloader;
using halvex::ModelDownloaderError;
using halvex::ModelInfo;
using halvex::ModelState;
using norvel::test::HubServer;
using norvel::test::ScopedEnvironment;
using norvel::test::TemporaryDirectory;
using norvel::test::thrownAs;
using norvel::test::writeText;
using Units = platform::ComputeUnits;

TEST(ModelInfoTest, DerivedValues) {
    struct Case {
        ModelInfo info;
        std::string pattern;
        std::string url;
        std::string description;
        std::string debug;
    };
    const std::vector<Case> cases = {
        {ModelInfo("v1", "tiny", "whisper", Units::all), "whisper/v1/tiny/*", "/r/whisper/v1/tiny", "whisper/v1/tiny",
         "ModelInfo(name: whisper, version: v1, variant: tiny, computeUnit: all)"},
        {ModelInfo(std::nullopt, "tiny", "whisper", Units::cpuOnly), "whisper/*/tiny/*", "/r/whisper/tiny",
         "whisper/tiny", "ModelInfo(name: whisper, version: nil, variant: tiny, computeUnit: cpuOnly)"},
        {ModelInfo(std::nullopt, std::nullopt, "a/b", Units::cpuAndNeuralEngine), "a/b/*/*/*", "/r/a/b", "a/b",
         "ModelInfo(name: a/b, version: nil, variant: nil, computeUnit: cpuAndNeuralEngine)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.info.downloadPattern(), c.pattern);
        EXPECT_EQ(c.info.modelURL("/r"), std::filesystem::path(c.url));
        EXPECT_EQ(c.info.description(), c.description);
        EXPECT_EQ(c.info.debugDescription(), c.debug);
    }
    ModelInfo m(std::nullopt, std::nullopt, "m", Units::all);
    EXPECT_EQ(m.findBaseFolder("/a/m/x"), std::filesystem::path("/a"));
    EXPECT_EQ(m.findBaseFolder("/a/m"), std::filesystem::path("/a"));
    EXPECT_FALSE(m.findBaseFolder("/a/b"));
    EXPECT_FALSE(m.findBaseFolder("/"));
}

class ModelDownloaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& variant : {"tiny", "base"}) {
            for (const auto& model : {"AudioEncoder", "TextDecoder"}) {
                server.addFile(repo, std::string("whisper/v1/") + variant + "/" + model + ".mlmodelc/model.json",
                               std::string("{\"kind\": \"") + model + "\"}");
            }
        }
        server.addFile(repo, "README.md", "readme");
    }

    ModelDownloader downloader(std::optional<std::string> modelFolder = std::nullopt) const {
        return ModelDownloader(ModelDownloadConfig(base.string(), repo, std::string(), std::move(modelFolder), false,
                                                   server.endpoint(), "main"));
    }

    ScopedEnvironment online{"CI_DISABLE_NETWORK_MONITOR", "1"};
    const std::string repo = "owner/repo";
    HubServer server;
    TemporaryDirectory folder;
    std::filesystem::path base = folder / "cache";
    std::filesystem::path repoFolder = base / "models/owner/repo";
};

TEST_F(ModelDownloaderTest, DownloadsOnceThenFindsTheModelInTheCacheWithoutTheHub) {
    const ModelInfo tiny("v1", "tiny", "whisper", Units::all);
    std::vector<ModelState> states;
    auto record = [&](ModelState state) { states.push_back(state); };

    auto first = downloader().resolveModel("AudioEncoder", tiny, std::nullopt, std::nullopt, true, record);

    EXPECT_EQ(first, repoFolder / "whisper/v1/tiny/AudioEncoder.mlmodelc");
    EXPECT_EQ(states, (std::vector<ModelState>{ModelState::downloading, ModelState::downloaded}));
    EXPECT_TRUE(std::filesystem::exists(repoFolder / "whisper/v1/tiny/TextDecoder.mlmodelc/model.json"));
    EXPECT_FALSE(std::filesystem::exists(repoFolder / "whisper/v1/base"));
    EXPECT_FALSE(std::filesystem::exists(repoFolder / "README.md"));

    // The cache lookup is offline: it finds the model even when the hub cannot be reached,
    // and asks it nothing.
    states.clear();
    server.clearRequests();
    ModelDownloader unreachable(
        ModelDownloadConfig(base.string(), repo, std::string(), std::nullopt, false, "http://127.0.0.1:9", "main"));
    auto second = unreachable.resolveModel("AudioEncoder", tiny, std::nullopt, std::nullopt, false, record);
    EXPECT_EQ(second, first);
    EXPECT_EQ(states, std::vector<ModelState>{ModelState::downloaded});
    EXPECT_EQ(downloader().resolveModelPath("TextDecoder", tiny, std::nullopt, std::nullopt, false, record),
              (repoFolder / "whisper/v1/tiny/TextDecoder.mlmodelc").string());
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(ModelDownloaderTest, AVariantWithoutVersionIsFoundWhereItWasDownloaded) {
    const ModelInfo anyVersion(std::nullopt, "base", "whisper", Units::all);
    auto found = downloader().resolveModel("TextDecoder", anyVersion, std::nullopt, std::nullopt, true);
    EXPECT_EQ(found, repoFolder / "whisper/v1/base/TextDecoder.mlmodelc");
}

TEST_F(ModelDownloaderTest, ALocalModelFolderComesFirst) {
    const auto local = folder / "local";
    writeText(local / "whisper/v1/tiny/AudioEncoder.mlmodelc/model.json", "{}");
    int callbacks = 0;
    auto found = downloader(local.string())
                     .resolveModel("AudioEncoder", ModelInfo("v1", "tiny", "whisper", Units::all), std::nullopt,
                                   std::nullopt, false, [&](ModelState) { ++callbacks; });
    EXPECT_EQ(found, local / "whisper/v1/tiny/AudioEncoder.mlmodelc");
    EXPECT_EQ(callbacks, 0);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(ModelDownloaderTest, MissingModels) {
    const ModelInfo large("v1", "large", "whisper", Units::all);
    auto disabled = thrownAs<ModelDownloaderError>(
        [&] { downloader().resolveModel("AudioEncoder", large, std::nullopt, std::nullopt, false); });
    ASSERT_TRUE(disabled);
    EXPECT_STREQ(disabled->what(), "No model found for AudioEncoder (download disabled)");
    EXPECT_TRUE(server.requests().empty());

    auto offline = thrownAs<ModelDownloaderError>([&] { downloader().downloadModel(large, std::nullopt, true); });
    ASSERT_TRUE(offline);
    EXPECT_STREQ(offline->what(), "No models found matching \"whisper/v1/large/*\" in owner/repo");

    // Downloaded, but the named model is not among the files.
    auto absent = thrownAs<ModelDownloaderError>([&] {
        downloader().resolveModel("MelSpectrogram", ModelInfo("v1", "tiny", "whisper", Units::all), std::nullopt,
                                  std::nullopt, true);
    });
    ASSERT_TRUE(absent);
    EXPECT_STREQ(absent->what(), "No model found for MelSpectrogram");
}

TEST_F(ModelDownloaderTest, ResolveRepoUsesAValidCacheAndRefetchesAnInvalidOne) {
    const std::vector<std::string> patterns = {"whisper/v1/tiny/*"};
    auto refused = thrownAs<ModelDownloaderError>([&] { downloader().resolveRepo(patterns, std::nullopt, false); });
    ASSERT_TRUE(refused);
    EXPECT_STREQ(refused->what(), "No valid local models found for repo 'owner/repo' and download is disabled.");

    int reports = 0;
    EXPECT_EQ(downloader().resolveRepo(patterns, std::nullopt, true, [&](const halvex::Progress&) { ++reports; }),
              repoFolder);
    EXPECT_GT(reports, 0);

    server.clearRequests();
    EXPECT_EQ(downloader().resolveRepo(patterns, std::nullopt, false), repoFolder);
    EXPECT_TRUE(server.requests().empty());

    // A file whose record is gone fails the offline check, so the files are fetched again.
    std::filesystem::remove(repoFolder /
                            ".cache/huggingface/download/whisper/v1/tiny/AudioEncoder.mlmodelc/model.json.metadata");
    EXPECT_EQ(downloader().resolveRepo(patterns, std::nullopt, true), repoFolder);
    EXPECT_GT(server.countRequests("GET", "/api/"), 0u);

    // A pattern whose first part is a wildcard never counts as present locally.
    auto wildcard =
        thrownAs<ModelDownloaderError>([&] { downloader().resolveRepo({"*/v1/tiny/*"}, std::nullopt, false); });
    EXPECT_TRUE(wildcard);
    EXPECT_EQ(downloader().fetchFilenames({"*.md"}, std::nullopt), std::vector<std::string>{"README.md"});
    EXPECT_EQ(downloader().localRepoLocation(folder / "elsewhere"), folder / "elsewhere/models/owner/repo");
}

}  // namespace
