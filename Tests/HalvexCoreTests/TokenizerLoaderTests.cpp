#include <gtest/gtest.h>

#include "HalvexCore/AutoTokenizerWrapper.h"
#include "HalvexCore/External/Hub/HubErrors.h"
#include "HalvexCore/External/Tokenizers/BPETokenizer.h"
#include "HalvexCore/External/Tokenizers/LlamaPreTrainedTokenizer.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"
#include "Support/HubServer.h"
#include "Support/ScopedEnvironment.h"
#include "Support/Thrown.h"
#include "TokenizerTestSupport.h"

using namespace halvex;
using norvel::test::HubServer;
using norvel::test::ScopedEnvironment;
using norvel::test::TemporaryDirectory;
using norvel::test::thrownAs;
using norvel::test::writeText;

namespace {

// A small byte-level tokenizer whose configuration names the given class.
std::map<std::string, std::string> tokenizerFiles(const std::string& className) {
    return {
        {"tokenizer_config.json", R"({"tokenizer_class":")" + className + R"(","legacy":false,
            "add_bos_token":true,"bos_token":"<s>"})"},
        {"tokenizer.json", R"({"added_tokens":[{"id":3,"content":"<s>","special":true}],
            "pre_tokenizer":{"type":"ByteLevel"},"decoder":{"type":"ByteLevel"},
            "model":{"type":"BPE","vocab":{"a":0,"b":1,"ab":2,"▁":4,"Ġ":5,"Ġa":6},"merges":["a b","Ġ a"]}})"},
    };
}

class TokenizerLoaderTest : public ::testing::Test {
protected:
    void writeFolder(const std::map<std::string, std::string>& files) {
        for (const auto& [name, content] : files) writeText(folder.path() / name, content);
    }

    TemporaryDirectory folder;
    TemporaryDirectory cache;
    HubApiWrapper offlineHub{cache.path(), std::string(), std::string("http://127.0.0.1:9")};
};

}  // namespace

TEST_F(TokenizerLoaderTest, TheFolderLoaderBuildsThePreTrainedTokenizerWhateverTheClass) {
    writeFolder(tokenizerFiles("LlamaTokenizerFast"));
    TokenizerWrapper wrapper = AutoTokenizerWrapper::fromModelFolder(folder.path(), offlineHub, true);
    const auto* tokenizer = dynamic_cast<const PreTrainedTokenizer*>(wrapper.impl.get());
    ASSERT_NE(tokenizer, nullptr);
    EXPECT_EQ(dynamic_cast<const LlamaPreTrainedTokenizer*>(tokenizer), nullptr);
    EXPECT_NE(dynamic_cast<const BPETokenizer*>(&tokenizer->model()), nullptr);
    EXPECT_EQ(wrapper.encode("ab a"), (std::vector<int>{2, 6}));
    EXPECT_EQ(wrapper.decode({3, 2, 6}), "<s>ab a");
    EXPECT_EQ(wrapper.decode({3, 2, 6}, true), "ab a");
}

TEST_F(TokenizerLoaderTest, TheHubLoaderChoosesTheLlamaVariantByClass) {
    ScopedEnvironment online("CI_DISABLE_NETWORK_MONITOR", "1");
    HubServer server;
    for (const auto& [name, content] : tokenizerFiles("LlamaTokenizerFast"))
        server.addFile("owner/llama", name, content);
    for (const auto& [name, content] : tokenizerFiles("GPT2Tokenizer")) server.addFile("owner/gpt", name, content);
    HubApiWrapper hub(cache.path(), std::string(), server.endpoint());

    TokenizerWrapper llama = AutoTokenizerWrapper::fromPretrained("owner/llama", hub, true);
    const auto* variant = dynamic_cast<const LlamaPreTrainedTokenizer*>(llama.impl.get());
    ASSERT_NE(variant, nullptr);
    EXPECT_FALSE(variant->isLegacy());
    EXPECT_NE(dynamic_cast<const BPETokenizer*>(&variant->model()), nullptr);
    // The begin token comes from the template the variant adds.
    EXPECT_EQ(llama.encode("ab"), (std::vector<int>{3, 4, 2}));

    TokenizerWrapper gpt = AutoTokenizerWrapper::fromPretrained("owner/gpt", hub, true);
    EXPECT_EQ(dynamic_cast<const LlamaPreTrainedTokenizer*>(gpt.impl.get()), nullptr);
    EXPECT_EQ(gpt.encode("ab"), (std::vector<int>{2}));
}

TEST_F(TokenizerLoaderTest, MissingFilesAndUnsupportedClassesFailTheLoad) {
    ScopedEnvironment online("CI_DISABLE_NETWORK_MONITOR", "1");
    HubServer server;
    auto files = tokenizerFiles("GPT2Tokenizer");
    server.addFile("owner/data-only", "tokenizer.json", files["tokenizer.json"]);
    HubApiWrapper hub(cache.path(), std::string(), server.endpoint());
    auto missingConfig =
        thrownAs<TokenizerError>([&] { AutoTokenizerWrapper::fromPretrained("owner/data-only", hub, true); });
    ASSERT_TRUE(missingConfig);
    EXPECT_EQ(missingConfig->kind(), TokenizerError::Kind::missingConfig);
    EXPECT_STREQ(missingConfig->what(), "Tokenizer configuration is missing.");

    writeText(folder.path() / "tokenizer.json", files["tokenizer.json"]);
    auto folderMissingConfig =
        thrownAs<TokenizerError>([&] { AutoTokenizerWrapper::fromModelFolder(folder.path(), offlineHub, true); });
    ASSERT_TRUE(folderMissingConfig);
    EXPECT_EQ(folderMissingConfig->kind(), TokenizerError::Kind::missingConfig);

    // A class named only by the model type is filled in by the configuration loader.
    writeText(folder.path() / "tokenizer_config.json", "{}");
    writeText(folder.path() / "config.json", R"({"model_type":"whisper"})");
    EXPECT_EQ(AutoTokenizerWrapper::fromModelFolder(folder.path(), offlineHub, true).encode("ab"),
              (std::vector<int>{2}));

    writeText(folder.path() / "tokenizer_config.json", R"({"tokenizer_class":"FooTokenizer"})");
    auto unsupported =
        thrownAs<TokenizerError>([&] { AutoTokenizerWrapper::fromModelFolder(folder.path(), offlineHub, true); });
    ASSERT_TRUE(unsupported);
    EXPECT_STREQ(unsupported->what(), "The tokenizer type 'FooTokenizer' is not supported.");
    testing::internal::CaptureStdout();
    EXPECT_EQ(AutoTokenizerWrapper::fromModelFolder(folder.path(), offlineHub, false).encode("ab"),
              (std::vector<int>{2}));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("falling back to a standard BPE implementation"),
              std::string::npos);

    std::filesystem::remove(folder.path() / "tokenizer.json");
    auto missingData =
        thrownAs<Hub::HubClientError>([&] { AutoTokenizerWrapper::fromModelFolder(folder.path(), offlineHub, true); });
    ASSERT_TRUE(missingData);
    EXPECT_EQ(missingData->kind(), Hub::HubClientError::Kind::configurationMissing);
    EXPECT_STREQ(missingData->what(), "Required configuration file missing: tokenizer.json");

    writeText(folder.path() / "tokenizer.json", R"({"model":{"vocab":{"a":0},"merges":[]},"decoder":{"type":"Nope"}})");
    writeText(folder.path() / "tokenizer_config.json", R"({"tokenizer_class":"GPT2Tokenizer"})");
    EXPECT_EQ(
        tokenizer_test::fileFault([&] { AutoTokenizerWrapper::fromModelFolder(folder.path(), offlineHub, true); }),
        "Unsupported Decoder type: Nope");
}

TEST_F(TokenizerLoaderTest, DeeplyNestedFilesAreRefusedAsMalformedJson) {
    const auto files = tokenizerFiles("GPT2Tokenizer");
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    for (const std::string name : {"tokenizer.json", "tokenizer_config.json"}) {
        SCOPED_TRACE(name);
        writeFolder(files);
        writeText(folder.path() / name, deep);
        // Twice: a refused file stays refused, it never takes the process down.
        for (int attempt = 0; attempt < 2; ++attempt) {
            auto error = thrownAs<Hub::HubClientError>(
                [&] { AutoTokenizerWrapper::fromModelFolder(folder.path(), offlineHub, true); });
            ASSERT_TRUE(error);
            EXPECT_EQ(error->kind(), Hub::HubClientError::Kind::jsonSerialization);
        }
    }
}
