// The model repository as the pipeline uses it: the support configuration and the download of
// variant folders, against the loopback hub server.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "HalvexCore/HubApiWrapper.h"
#include "Murmex/Model/Constants.h"
#include "Murmex/Model/ModelUtilities.h"
#include "Murmex/Model/WhisperError.h"
#include "Murmex/Pipeline/Murmex.h"
#include "MurmexTests/PipelineTestSupport.h"
#include "Support/Fixtures.h"
#include "Support/HubServer.h"

namespace {

using murmex::Murmex;
using murmex::MurmexConfig;
using murmex::WhisperError;
using norvel::test::HubServer;
using norvel::test::ScopedEnvironment;
using norvel::test::TemporaryDirectory;
using namespace norvel::test::pipeline;
using norvel::test::thrownAs;

const std::string repoId = Murmex::defaultModelRepository;
static_assert(!Murmex::isRunningOnSimulator, "a desktop build never runs in a simulator");

std::string printedRepo(const std::string& id) {
    std::ostringstream text;
    text << halvex::HubApiWrapper::Repo{id, halvex::HubApiWrapper::RepoType::models};
    return text.str();
}

// The hub server with the network monitor out of the way, so that the client always goes
// online to it.
struct LoopbackHub {
    ScopedEnvironment online{"CI_DISABLE_NETWORK_MONITOR", "1"};
    HubServer server;
    TemporaryDirectory base;

    void addVariant(const std::string& folder) {
        server.addFile(repoId, folder + "/MelSpectrogram.mlmodelc/model.json", "{\"m\":\"" + folder + "\"}");
        server.addFile(repoId, folder + "/TextDecoder.mlmodelc/model.json", "{}");
    }
    std::filesystem::path download(const std::string& variant, const Murmex::DownloadProgressCallback& progress = {}) {
        return Murmex::download(variant, base.path(), false, repoId, std::nullopt, server.endpoint(), progress);
    }
    std::filesystem::path localRepo() const { return base.path() / "models" / repoId; }
};

TEST(PipelineDownload, FindsTheOneFolderThatEndsInTheVariant) {
    struct Case {
        const char* name;
        std::vector<std::string> folders;
        std::string variant;
        std::string expectedFolder;
    };
    const std::string org = Murmex::modelFamilyOrganisation();
    const Case cases[] = {
        {"one folder ends in the variant",
         {org + "_whisper-tiny", org + "_whisper-base"},
         "tiny",
         org + "_whisper-tiny"},
        {"the main family settles two", {"distil_whisper-tiny", org + "_whisper-tiny"}, "tiny", org + "_whisper-tiny"},
        {"a full folder name",
         {org + "_whisper-base.en", org + "_whisper-base"},
         org + "_whisper-base",
         org + "_whisper-base"},
        {"a star crosses folders", {"nested/" + org + "_whisper-small"}, "small", "nested"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        LoopbackHub hub;
        for (const auto& folder : row.folders) hub.addVariant(folder);

        std::vector<double> fractions;
        const auto folder = hub.download(
            row.variant, [&](const halvex::Progress& progress) { fractions.push_back(progress.fractionCompleted()); });
        EXPECT_EQ(folder, hub.localRepo() / row.expectedFolder);
        auto isChosen = [&](const std::string& f) {
            return f == row.expectedFolder || f.rfind(row.expectedFolder + "/", 0) == 0;
        };
        const std::string& served = *std::find_if(row.folders.begin(), row.folders.end(), isChosen);
        EXPECT_TRUE(std::filesystem::exists(hub.localRepo() / served / "MelSpectrogram.mlmodelc/model.json"));
        ASSERT_FALSE(fractions.empty());
        EXPECT_DOUBLE_EQ(fractions.back(), 1.0);
        EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
        // Only the chosen folder is fetched.
        for (const auto& other : row.folders) {
            if (!isChosen(other)) {
                EXPECT_FALSE(std::filesystem::exists(hub.localRepo() / other)) << other;
            }
        }
    }
}

TEST(PipelineDownload, NoOrSeveralFoldersFailWithTheSecondPattern) {
    const std::string org = Murmex::modelFamilyOrganisation();
    struct Case {
        std::vector<std::string> folders;
        std::string variant;
        std::string expected;
    };
    // "medium" has no published checkpoint to fall back on (see PipelineCheckpointDownloadTests).
    const Case cases[] = {
        {{org + "_whisper-base"},
         "medium",
         "No models found matching \"*" + org + "*medium/*\" in " + printedRepo(repoId)},
        {{org + "_whisper-tiny", org + "_other-tiny"},
         "tiny",
         "Multiple models found matching \"*" + org + "*tiny/*\" in " + printedRepo(repoId)},
    };
    for (const auto& row : cases) {
        LoopbackHub hub;
        for (const auto& folder : row.folders) hub.addVariant(folder);
        LogCapture log;
        auto error = thrownAs<WhisperError>([&] { hub.download(row.variant); });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->kind(), WhisperError::Kind::modelsUnavailable);
        EXPECT_EQ(std::string(error->what()), row.expected);
        EXPECT_EQ(hub.server.countRequests("GET", "/api/models/"), 2u) << "both patterns are listed";
        EXPECT_FALSE(std::filesystem::exists(hub.localRepo() / (org + "_whisper-tiny")));
        const bool none = row.expected.rfind("No", 0) == 0;
        EXPECT_TRUE(
            log.contains(std::string(none ? "No" : "Multiple") + " models found matching \"*" + row.variant + "/*\""));
    }
}

TEST(PipelineDownload, HubErrorsPassThroughUnchanged) {
    LoopbackHub hub;
    hub.addVariant("x_whisper-tiny");
    hub.server.setListingStatus(repoId, 500);
    auto error = thrownAs<halvex::Hub::HubClientError>([&] { hub.download("tiny"); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), halvex::Hub::HubClientError::Kind::httpStatusCode);
}

TEST(PipelineDownload, ListedNamesNeverLeadOutOfTheRepositoryFolder) {
    LoopbackHub hub;
    hub.server.addListingEntry(repoId, "../escape-tiny/model.json");
    auto error = thrownAs<WhisperError>([&] { hub.download("tiny"); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), WhisperError::Kind::modelsUnavailable);
}

std::string supportDocument(const std::string& defaultFolder, const std::vector<std::string>& supported) {
    std::string list;
    for (const auto& name : supported) list += (list.empty() ? "\"" : ", \"") + name + "\"";
    return R"({"name": "test", "version": "1", "device_support": [{"identifiers": [")" + Murmex::deviceName() +
           R"("], "models": {"default": ")" + defaultFolder + R"(", "supported": [)" + list + "]}}]}";
}

TEST(PipelineModelSupport, FallsBackToTheBuiltInConfigurationWhenTheDocumentFails) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> files;
        std::optional<int> listingStatus;
        const char* expectedLine;
    };
    const Case cases[] = {
        {"no document", {{"other.json", "{}"}}, std::nullopt, "No config files found matching \"config.json\""},
        {"not JSON", {{"config.json", "not json"}}, std::nullopt, "Fetch model support config failed with error: "},
        {"keys missing",
         {{"config.json", "{\"name\": \"x\"}"}},
         std::nullopt,
         "Fetch model support config failed with error: "},
        {"listing refused", {{"config.json", "{}"}}, 503, "Fetch model support config failed with error: "},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        LoopbackHub hub;
        for (const auto& [path, content] : row.files) hub.server.addFile(repoId, path, content);
        if (row.listingStatus) hub.server.setListingStatus(repoId, row.listingStatus);
        LogCapture log;
        const auto config = Murmex::fetchModelSupportConfig(repoId, hub.base.path(), std::nullopt, "config.json",
                                                            hub.server.endpoint(), false);
        EXPECT_EQ(config, murmex::Constants::fallbackModelSupportConfig());
        EXPECT_TRUE(log.contains(row.expectedLine));
        EXPECT_EQ(Murmex::recommendedRemoteModels(repoId, hub.base.path(), std::nullopt, "config.json",
                                                  hub.server.endpoint(), false),
                  Murmex::recommendedModels());
    }
}

TEST(PipelineModelSupport, ADocumentNameLeadingOutOfTheRepositoryIsNotRead) {
    LoopbackHub hub;
    // A document beside the repository folder that a hostile name would reach.
    norvel::test::writeText(hub.base.path() / "models" / "zodavaruz" / "config.json",
                            supportDocument("test_whisper-tiny", {"test_whisper-tiny"}));
    hub.server.addListingEntry(repoId, "../config.json");
    LogCapture log;
    const auto config = Murmex::fetchModelSupportConfig(repoId, hub.base.path(), std::nullopt, "*config.json",
                                                        hub.server.endpoint(), false);
    EXPECT_EQ(config, murmex::Constants::fallbackModelSupportConfig());
    EXPECT_TRUE(log.contains("Fetch model support config failed with error: "));
}

TEST(PipelineModelSupport, ReadsTheFirstOfSeveralDocuments) {
    LoopbackHub hub;
    hub.server.addFile(repoId, "config.json", supportDocument("test_whisper-tiny", {"test_whisper-tiny"}));
    hub.server.addFile(repoId, "old/config.json", supportDocument("test_whisper-base", {"test_whisper-base"}));
    LogCapture log;
    const auto support = Murmex::recommendedRemoteModels(repoId, hub.base.path(), std::nullopt, "*config.json",
                                                         hub.server.endpoint(), false);
    EXPECT_TRUE(log.contains("Multiple config files found (2): "));
    EXPECT_EQ(support.defaultModel, "test_whisper-tiny");
}

TEST(PipelineModelSupport, AvailableModelsAreTheSupportedOnesThatMatch) {
    LoopbackHub hub;
    hub.server.addFile(repoId, "config.json",
                       supportDocument("test_whisper-base", {"test_whisper-small", "test_whisper-base",
                                                             "test_whisper-tiny", "test_whisper-large-v3"}));
    auto available = [&](const std::vector<std::string>& patterns) {
        return Murmex::fetchAvailableModels(repoId, patterns, hub.base.path(), std::nullopt, "config.json",
                                            hub.server.endpoint());
    };
    EXPECT_TRUE(available({}).empty());
    EXPECT_EQ(available({"*"}), (std::vector<std::string>{"test_whisper-tiny", "test_whisper-base",
                                                          "test_whisper-small", "test_whisper-large-v3"}));
    EXPECT_EQ(available({"*tiny", "*t*y"}), (std::vector<std::string>{"test_whisper-tiny"}));
}

// Construction downloads the configured variant, or the device's default, when it has no folder.
TEST(PipelineSetup, DownloadsTheVariantWhenNoFolderIsGiven) {
    const std::string org = Murmex::modelFamilyOrganisation();
    struct Case {
        std::optional<std::string> model;
        std::string expectedFolder;
    };
    const Case cases[] = {
        {"base", org + "_whisper-base"},
        {std::nullopt, org + "_whisper-tiny"},
    };
    for (const auto& row : cases) {
        LoopbackHub hub;
        hub.addVariant(org + "_whisper-tiny");
        hub.addVariant(org + "_whisper-base");
        hub.server.addFile(repoId, "config.json", supportDocument(org + "_whisper-tiny", {org + "_whisper-tiny"}));
        FakeStages stages;
        MurmexConfig::Arguments arguments;
        arguments.model = row.model;
        arguments.downloadBase = hub.base.path();
        arguments.modelEndpoint = hub.server.endpoint();
        arguments.download = true;
        auto pipeline = Murmex::create(stages.config(arguments));
        EXPECT_EQ(pipeline->modelFolder(), hub.localRepo() / row.expectedFolder);
        EXPECT_EQ(pipeline->modelState(), halvex::ModelState::unloaded) << "a downloaded folder is loaded later";
        EXPECT_TRUE(stages.journal->empty());
    }
}

TEST(PipelineSetup, AGivenFolderIsUsedWithoutDownloading) {
    LoopbackHub hub;
    FakeStages stages;
    MurmexConfig::Arguments arguments;
    arguments.modelFolder = "/nowhere/models";
    arguments.modelEndpoint = hub.server.endpoint();
    arguments.download = true;
    arguments.load = false;
    auto pipeline = Murmex::create(stages.config(arguments));
    EXPECT_EQ(pipeline->modelFolder(), std::filesystem::path("/nowhere/models"));
    EXPECT_TRUE(hub.server.requests().empty());
}

TEST(PipelineSetup, AFailedDownloadSaysTheModelWasNotFound) {
    LoopbackHub hub;
    hub.addVariant("x_whisper-base");
    FakeStages stages;
    MurmexConfig::Arguments arguments;
    arguments.model = "medium";
    arguments.downloadBase = hub.base.path();
    arguments.modelEndpoint = hub.server.endpoint();
    arguments.download = true;
    auto error = thrownAs<WhisperError>([&] { Murmex::create(stages.config(arguments)); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), WhisperError::Kind::modelsUnavailable);
    EXPECT_EQ(
        std::string(error->what()),
        "Model not found. Please check the model or repo name and try again.\nError: No models found matching \"*" +
            Murmex::modelFamilyOrganisation() + "*medium/*\" in " + printedRepo(repoId));
}

// Tokenizer files that are not beside the models come from the hub's tokenizer repository.
TEST(PipelineTokenizer, IsDownloadedWhenNotFoundLocally) {
    LoopbackHub hub;
    ScopedEnvironment endpoint("HF_ENDPOINT", hub.server.endpoint());
    const std::string tokenizerRepo = murmex::ModelUtilities::tokenizerNameForVariant(murmex::ModelVariant::tiny);
    TemporaryDirectory folder;
    makeModelFolder(folder.path());
    FakeStages stages;
    MurmexConfig::Arguments arguments;
    arguments.download = false;
    arguments.modelFolder = folder.path().string();
    arguments.tokenizerFolder = hub.base.path();

    // Not on the hub either: the hub's error, and no tokenizer.
    try {
        Murmex::create(stages.config(arguments));
        ADD_FAILURE() << "a tokenizer that is nowhere cannot load";
    } catch (const halvex::Hub::HubClientError& error) {
        EXPECT_EQ(error.kind(), halvex::Hub::HubClientError::Kind::fileNotFound) << error.what();
    }

    for (const char* name : {"tokenizer.json", "tokenizer_config.json"})
        hub.server.addFile(tokenizerRepo, name,
                           norvel::test::readText(norvel::test::fixture("tokenizers/multilingual/") / name));
    auto pipeline = Murmex::create(stages.config(arguments));
    ASSERT_NE(pipeline->tokenizer(), nullptr);
    EXPECT_EQ(pipeline->tokenizer()->specialTokens().startOfTranscriptToken, 50258);
    EXPECT_TRUE(std::filesystem::exists(hub.base.path() / "models" / tokenizerRepo / "tokenizer.json"));
}

}  // namespace
