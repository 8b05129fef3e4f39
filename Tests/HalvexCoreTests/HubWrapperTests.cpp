#include "HalvexCore/External/Hub/LanguageModelConfigurationFromHub.h"
#include "HalvexCore/External/Hub/UrlError.h"
#include "HalvexCore/HubApiWrapper.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"
#include "Support/HubServer.h"
#include "Support/ScopedEnvironment.h"
#include "Support/Thrown.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <thread>

namespace {

using halvex::Config;
using halvex::HubApiWrapper;
using halvex::LanguageModelConfigurationFromHub;
using halvex::Hub::HubClientError;
using norvel::test::HubServer;
using norvel::test::ScopedEnvironment;
using norvel::test::TemporaryDirectory;
using norvel::test::thrownAs;
using norvel::test::writeText;

TEST(HubWrapperTest, RepositoryValues) {
    using Type = HubApiWrapper::RepoType;
    EXPECT_EQ(halvex::hubApiWrapperRepoType("models"), Type::models);
    EXPECT_EQ(halvex::hubApiWrapperRepoType("datasets"), Type::datasets);
    EXPECT_EQ(halvex::hubApiWrapperRepoType("spaces"), Type::spaces);
    EXPECT_FALSE(halvex::hubApiWrapperRepoType("Models"));
    EXPECT_NE((HubApiWrapper::Repo{"a/b", Type::models}), (HubApiWrapper::Repo{"a/b", Type::datasets}));
    EXPECT_EQ(std::hash<HubApiWrapper::Repo>()({"a/b", Type::models}),
              std::hash<HubApiWrapper::Repo>()({"a/b", Type::models}));

    auto decoded = nlohmann::json::parse(R"({"id":"a/b","type":"datasets","other":true})").get<HubApiWrapper::Repo>();
    EXPECT_EQ(decoded, (HubApiWrapper::Repo{"a/b", Type::datasets}));
    EXPECT_EQ(nlohmann::json(decoded).dump(), R"({"id":"a/b","type":"datasets"})");
    EXPECT_THROW(nlohmann::json::parse(R"({"id":"a/b","type":"model"})").get<HubApiWrapper::Repo>(),
                 nlohmann::json::exception);
    std::ostringstream printed;
    printed << HubApiWrapper::Repo{"openai/whisper-tiny", Type::models};
    EXPECT_EQ(printed.str(), "Repo(id: \"openai/whisper-tiny\", type: models)");
}

TEST(HubWrapperTest, DefaultsComeFromTheEnvironmentAndTheUsersDocuments) {
    ScopedEnvironment token("HF_TOKEN", "from-env");
    ScopedEnvironment endpoint("HF_ENDPOINT", "http://127.0.0.1:9");
    ScopedEnvironment documents("XDG_DOCUMENTS_DIR", std::nullopt);
    ScopedEnvironment home("HOME", "/home/u");
    HubApiWrapper wrapper;
    EXPECT_EQ(wrapper.impl().hfToken(), "from-env");
    EXPECT_EQ(wrapper.impl().endpoint(), "http://127.0.0.1:9");
    EXPECT_FALSE(wrapper.impl().useBackgroundSession());
    EXPECT_FALSE(wrapper.impl().useOfflineMode());
    EXPECT_EQ(wrapper.localRepoLocation({"openai/whisper-tiny", HubApiWrapper::RepoType::models}),
              std::filesystem::path("/home/u/Documents/huggingface/models/openai/whisper-tiny"));
}

TEST(HubWrapperTest, ForwardsListingsAndSnapshotsToTheClient) {
    ScopedEnvironment online("CI_DISABLE_NETWORK_MONITOR", "1");
    HubServer server;
    TemporaryDirectory folder;
    server.addFile("owner/model", "config.json", "{}");
    server.addFile("owner/model", "weights.bin", "0123");
    HubApiWrapper wrapper(folder.path(), std::string(), server.endpoint());
    const HubApiWrapper::Repo repo{"owner/model", HubApiWrapper::RepoType::models};

    EXPECT_EQ(wrapper.getFilenames(repo, "main", {"*.bin"}), std::vector<std::string>{"weights.bin"});
    auto snapshot = wrapper.snapshot(repo, "main", {"*.json"});
    EXPECT_EQ(snapshot, wrapper.localRepoLocation(repo));
    EXPECT_TRUE(std::filesystem::exists(snapshot / "config.json"));
    EXPECT_FALSE(std::filesystem::exists(snapshot / "weights.bin"));

    server.setListingStatus("owner/model", 401);
    auto error = thrownAs<HubClientError>([&] { wrapper.snapshot(repo, "main", {"*.json"}); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), HubClientError::Kind::authorizationRequired);
    EXPECT_EQ(error->statusCode(), 401);
}

class ConfigurationLoaderTest : public ::testing::Test {
protected:
    LanguageModelConfigurationFromHub load() { return LanguageModelConfigurationFromHub(folder.path(), wrapper); }

    TemporaryDirectory folder;
    HubApiWrapper wrapper{folder.path(), std::string(), std::string("http://127.0.0.1:9")};
};

TEST_F(ConfigurationLoaderTest, ReadsAFolderAndMergesTheChatTemplate) {
    struct Case {
        const char* name;
        std::map<std::string, std::string> files;
        std::optional<std::string> modelType;
        std::optional<std::string> chatTemplate;    // in the getter's result
        std::optional<std::string> tokenizerClass;  // in the getter's result
        bool hasTokenizerConfig;
    };
    const std::string tokenizer = R"({"model": {"type": "BPE"}})";
    const std::vector<Case> cases = {
        {"tokenizer data only", {{"tokenizer.json", tokenizer}}, std::nullopt, std::nullopt, std::nullopt, false},
        {"template without tokenizer configuration",
         {{"tokenizer.json", tokenizer}, {"chat_template.jinja", "{{ messages }}"}},
         std::nullopt,
         "{{ messages }}",
         std::nullopt,
         true},
        {"the jinja template wins",
         {{"tokenizer.json", tokenizer},
          {"tokenizer_config.json", R"({"chat_template": "old"})"},
          {"chat_template.jinja", "from jinja"},
          {"chat_template.json", R"({"chat_template": "from json"})"}},
         std::nullopt,
         "from jinja",
         std::nullopt,
         true},
        {"template from json",
         {{"tokenizer.json", tokenizer}, {"chat_template.json", R"({"chat_template": "from json"})"}},
         std::nullopt,
         "from json",
         std::nullopt,
         true},
        {"an unreadable jinja template means none",
         {{"tokenizer.json", tokenizer},
          {"chat_template.jinja", "\xff\xfe"},
          {"chat_template.json", R"({"chat_template": "from json"})"}},
         std::nullopt,
         std::nullopt,
         std::nullopt,
         false},
        {"a class that is there stays",
         {{"tokenizer.json", tokenizer},
          {"tokenizer_config.json", R"({"tokenizer_class": "BertTokenizerFast"})"},
          {"config.json", R"({"model_type": "bert"})"}},
         "bert",
         std::nullopt,
         "BertTokenizerFast",
         true},
        {"a missing class comes from the model type",
         {{"tokenizer.json", tokenizer},
          {"tokenizer_config.json", R"({"bos_token": "<s>", "tokenizer_class": 3})"},
          {"config.json", R"({"model_type": "whisper"})"}},
         "whisper",
         std::nullopt,
         "WhisperTokenizer",
         true},
        {"no model type, no class",
         {{"tokenizer.json", tokenizer}, {"tokenizer_config.json", R"({"bos_token": "<s>"})"}},
         std::nullopt,
         std::nullopt,
         std::nullopt,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(folder.path());
        for (const auto& [name, content] : c.files) {
            writeText(folder / name, content);
        }
        auto loader = load();

        auto configurations = loader.configPromise().get();
        EXPECT_EQ(configurations.tokenizerData["model"]["type"].string(), "BPE");
        EXPECT_EQ(loader.modelType(), c.modelType);
        auto config = loader.tokenizerConfig();
        ASSERT_EQ(config.has_value(), c.hasTokenizerConfig);
        if (config) {
            EXPECT_EQ((*config)["chat_template"].string(), c.chatTemplate);
            EXPECT_EQ((*config)["tokenizer_class"].string(), c.tokenizerClass);
        }
    }
}

TEST_F(ConfigurationLoaderTest, LoadingErrors) {
    struct Case {
        const char* name;
        std::map<std::string, std::string> files;
        HubClientError::Kind kind;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"no tokenizer data",
         {{"config.json", "{}"}, {"tokenizer_config.json", "{}"}, {"chat_template.jinja", "x"}},
         HubClientError::Kind::configurationMissing,
         "Required configuration file missing: tokenizer.json"},
        {"a configuration that is not JSON",
         {{"tokenizer.json", "{}"}, {"tokenizer_config.json", "{oops"}},
         HubClientError::Kind::jsonSerialization,
         "JSON Serialization failed for "},
        {"a configuration that is not an object",
         {{"tokenizer.json", "[1]"}},
         HubClientError::Kind::parse,
         "Failed to parse server response."},
        {"a configuration that cannot be read",
         {{"tokenizer.json", "{}"}, {"config.json/inner", "x"}},
         HubClientError::Kind::fileSystemError,
         "File system error: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(folder.path());
        for (const auto& [name, content] : c.files) {
            writeText(folder / name, content);
        }
        auto loader = load();
        // Every reader sees the same error.
        for (int reader = 0; reader < 2; ++reader) {
            auto error = thrownAs<HubClientError>([&] { loader.tokenizerConfig(); });
            ASSERT_TRUE(error);
            EXPECT_EQ(error->kind(), c.kind);
            EXPECT_EQ(std::string(error->what()).rfind(c.message, 0), 0u) << error->what();
        }
    }
}

TEST(ConfigurationLoaderFetchTest, FetchesTheFilesOnceForAllReaders) {
    ScopedEnvironment online("CI_DISABLE_NETWORK_MONITOR", "1");
    HubServer server;
    TemporaryDirectory folder;
    server.addFile("openai/whisper-tiny", "config.json", R"({"model_type": "whisper"})");
    server.addFile("openai/whisper-tiny", "tokenizer_config.json", R"({"eos_token": "<|endoftext|>"})");
    server.addFile("openai/whisper-tiny", "tokenizer.json", R"({"model": {"type": "BPE"}})");
    server.addFile("openai/whisper-tiny", "model.safetensors", "weights");
    HubApiWrapper wrapper(folder.path(), std::string(), server.endpoint());

    LanguageModelConfigurationFromHub loader(std::string("openai/whisper-tiny"), "main", wrapper);
    std::vector<std::optional<std::string>> classes(4);
    {
        std::vector<std::jthread> readers;
        for (auto& result : classes) {
            readers.emplace_back([&] { result = (*loader.tokenizerConfig())["tokenizer_class"].string(); });
        }
    }

    for (const auto& result : classes) {
        EXPECT_EQ(result, "WhisperTokenizer");
    }
    EXPECT_EQ(server.countRequests("GET", "/api/"), 1u);
    auto repoFolder = wrapper.localRepoLocation({"openai/whisper-tiny", HubApiWrapper::RepoType::models});
    EXPECT_TRUE(std::filesystem::exists(repoFolder / "tokenizer.json"));
    EXPECT_FALSE(std::filesystem::exists(repoFolder / "model.safetensors"));

    // A repository the hub does not know fails every reader with the listing's error.
    LanguageModelConfigurationFromHub missing(std::string("nobody/nothing"), "main", wrapper);
    auto error = thrownAs<HubClientError>([&] { missing.configPromise().get(); });
    ASSERT_TRUE(error);
    EXPECT_STREQ(error->what(), "File not found: main");
}

TEST(ConfigurationLoaderFetchTest, UrlErrorsOfTheFetchBecomeHubErrors) {
    using Code = halvex::UrlError::Code;
    auto translated = [](Code code) {
        return LanguageModelConfigurationFromHub::translateFetchError(
            std::make_exception_ptr(halvex::UrlError(code, "failure")), "owner/name");
    };
    auto resource = thrownAs<HubClientError>([&] { std::rethrow_exception(translated(Code::resourceUnavailable)); });
    ASSERT_TRUE(resource);
    EXPECT_STREQ(resource->what(), "Resource not found: owner/name");
    for (auto code : {Code::notConnectedToInternet, Code::networkConnectionLost, Code::timedOut}) {
        auto network = thrownAs<HubClientError>([&] { std::rethrow_exception(translated(code)); });
        ASSERT_TRUE(network);
        EXPECT_EQ(network->kind(), HubClientError::Kind::networkError);
        EXPECT_STREQ(network->what(), "Network error: failure");
    }
    auto other = std::make_exception_ptr(HubClientError::parse());
    EXPECT_EQ(LanguageModelConfigurationFromHub::translateFetchError(other, "owner/name"), other);
    EXPECT_EQ(LanguageModelConfigurationFromHub::capitalized("whisper"), "Whisper");
    EXPECT_EQ(LanguageModelConfigurationFromHub::capitalized("xlm-roBERTa model"), "Xlm-Roberta Model");
}

}  // namespace
