#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/External/Hub/HttpClient.h"
#include "HalvexCore/External/Hub/HubApi.h"
#include "HalvexCore/External/Hub/LanguageModelConfigurationFromHub.h"
#include "HalvexCore/External/Hub/UrlError.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"
#include "Support/HubServer.h"
#include "Support/RawHttpServer.h"
#include "Support/ScopedEnvironment.h"
#include "Support/Thrown.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <thread>

namespace {

using halvex::HubApi;
using halvex::HubEnvironmentError;
using halvex::Hub::HubClientError;
using norvel::test::HubServer;
using norvel::test::ScopedEnvironment;
using norvel::test::TemporaryDirectory;
using norvel::test::thrownAs;

TEST(HubErrorsTest, MessagesOfEveryCase) {
    auto urlError =
        std::make_exception_ptr(halvex::UrlError(halvex::UrlError::Code::timedOut, "The request timed out."));
    auto fileError = std::make_exception_ptr(std::runtime_error("disk full"));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {HubClientError::authorizationRequired(std::nullopt).what(),
         "Authentication required. Please provide a valid Hugging Face token."},
        {HubClientError::authorizationRequired(401).what(),
         "Authentication failed with status code: 401. Please check your Hugging Face token."},
        {HubClientError::httpStatusCode(500).what(), "HTTP error with status code: 500"},
        {HubClientError::jsonSerialization("file:///x.json", "exact text").what(), "exact text"},
        {HubClientError::downloadError("boom").what(), "Download failed: boom"},
        {HubClientError::fileNotFound("a.json").what(), "File not found: a.json"},
        {HubClientError::networkError(urlError).what(), "Network error: The request timed out."},
        {HubClientError::resourceNotFound("owner/name").what(), "Resource not found: owner/name"},
        {HubClientError::configurationMissing("tokenizer.json").what(),
         "Required configuration file missing: tokenizer.json"},
        {HubClientError::fileSystemError(fileError).what(), "File system error: disk full"},
        {HubClientError::parseError("bad").what(), "Parse error: bad"},
        {HubClientError::parse().what(), "Failed to parse server response."},
        {HubClientError::unexpectedError().what(), "An unexpected error occurred."},
        {HubEnvironmentError::invalidMetadataError("x").what(), "Invalid metadata: x"},
        {HubEnvironmentError::offlineModeError("Repository not available locally").what(),
         "Offline mode error: Repository not available locally"},
        {HubEnvironmentError::fileIntegrityError("Hash mismatch for a").what(),
         "File integrity check failed: Hash mismatch for a"},
        {HubEnvironmentError::fileWriteError("y").what(), "Failed to write file: y"},
    };
    for (const auto& [message, expected] : cases) {
        EXPECT_EQ(message, expected);
    }
}

TEST(HubEnvironmentTest, TokenAndEndpointRules) {
    struct Case {
        std::optional<std::string> hfToken;
        std::optional<std::string> hubToken;
        std::optional<std::string> expected;
    };
    const std::vector<Case> tokens = {
        {"", "hub", "hub"},
        {std::nullopt, "", std::nullopt},
        {"first", "second", "first"},
        {std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& c : tokens) {
        ScopedEnvironment a("HF_TOKEN", c.hfToken);
        ScopedEnvironment b("HUGGING_FACE_HUB_TOKEN", c.hubToken);
        EXPECT_EQ(HubApi::hfTokenFromEnv(), c.expected);
        EXPECT_EQ(HubApi(std::filesystem::path("/base")).hfToken(), c.expected);
        // A given token, even empty, is taken as it is.
        EXPECT_EQ(HubApi(std::filesystem::path("/base"), std::string()).hfToken(), std::optional<std::string>(""));
    }
    {
        ScopedEnvironment endpoint("HF_ENDPOINT", "");
        EXPECT_EQ(HubApi::hfEndpointfromEnv(), "");
        EXPECT_EQ(HubApi(std::filesystem::path("/base")).endpoint(), "");
    }
    {
        ScopedEnvironment endpoint("HF_ENDPOINT", std::nullopt);
        EXPECT_EQ(HubApi::hfEndpointfromEnv(), HubApi::defaultEndpoint);
        EXPECT_EQ(HubApi(std::filesystem::path("/base"), std::nullopt, std::string("http://mirror")).endpoint(),
                  "http://mirror");
    }
    ScopedEnvironment documents("XDG_DOCUMENTS_DIR", std::nullopt);
    ScopedEnvironment home("HOME", "/home/someone");
    HubApi defaults;
    EXPECT_EQ(defaults.downloadBase(), std::filesystem::path("/home/someone/Documents/huggingface"));
    EXPECT_FALSE(defaults.useBackgroundSession());
    EXPECT_FALSE(defaults.useOfflineMode());
}

TEST(HubEnvironmentTest, PrintsTheTokenLineOnlyWhenTheCiFlagIsExactlyOne) {
    ScopedEnvironment hfToken("HF_TOKEN", std::nullopt);
    ScopedEnvironment hubToken("HUGGING_FACE_HUB_TOKEN", std::nullopt);
    struct Case {
        std::optional<std::string> flag;
        std::optional<std::string> token;
        std::string printed;
    };
    const std::vector<Case> cases = {
        {"1", std::nullopt, "🔴 NO TOKEN **\n"},
        {"1", "secret", "✅ got token\n"},
        {"true", std::nullopt, ""},
        {" 1 ", std::nullopt, ""},
        {std::nullopt, std::nullopt, ""},
    };
    for (const auto& c : cases) {
        ScopedEnvironment flag("CI_DISABLE_NETWORK_MONITOR", c.flag);
        testing::internal::CaptureStdout();
        HubApi api(std::filesystem::path("/base"), c.token);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
    }
}

TEST(HubRepoTest, JsonFormRequiresAKnownTypeAndAnId) {
    auto repo = nlohmann::json::parse(R"({"id":"a/b","type":"spaces","extra":1})").get<HubApi::Repo>();
    EXPECT_EQ(repo, (HubApi::Repo{"a/b", HubApi::RepoType::spaces}));
    EXPECT_EQ(nlohmann::json(repo).dump(), R"({"id":"a/b","type":"spaces"})");
    for (const char* bad : {R"({"id":"a/b","type":"space"})", R"({"id":"a/b","type":"Models"})", R"({"type":"models"})",
                            R"({"id":"a/b"})"}) {
        EXPECT_THROW(nlohmann::json::parse(bad).get<HubApi::Repo>(), nlohmann::json::exception) << bad;
    }
    EXPECT_NE((HubApi::Repo{"a/b", HubApi::RepoType::models}), (HubApi::Repo{"a/b", HubApi::RepoType::datasets}));
}

TEST(HubRequestsTest, NormalizeEtag) {
    const std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> cases = {
        {"W/\"abc\"", "abc"},   {"\"abc\"", "abc"},   {"abc", "abc"},
        {"\"\"abc\"\"", "abc"}, {"\"a\"b\"", "a\"b"}, {std::nullopt, std::nullopt},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(HubApi::normalizeEtag(input), expected);
    }
}

class HubRequestsFixture : public ::testing::Test {
protected:
    HubApi api(std::optional<std::string> token = std::nullopt) const {
        return HubApi(folder.path(), token.value_or("secret"), server.endpoint(), false, false);
    }
    std::string fileURL(const std::string& path) const {
        return server.endpoint() + "/owner/model/resolve/main/" + path;
    }

    HubServer server;
    TemporaryDirectory folder;
};

TEST_F(HubRequestsFixture, FileMetadataFromHeadResponsesAndRedirects) {
    const std::string content = "{\"model_type\": \"whisper\"}";
    using Redirect = HubServer::Redirect;
    struct Case {
        const char* name;
        HubServer::FileOptions options;
        std::string expectedLocation;
        std::size_t expectedHeads;
    };
    const std::vector<Case> cases = {
        {"lfs, no redirect", HubServer::FileOptions::lfsFile(), fileURL("f.json"), 1},
        {"lfs, absolute 302 is not followed", HubServer::FileOptions::lfsFile(Redirect::absolute),
         server.endpoint() + "/cdn/owner/model/f.json", 1},
        {"relative 307 is followed", HubServer::FileOptions::lfsFile(Redirect::relative),
         server.endpoint() + "/moved/owner/model/resolve/main/f.json?source=relative", 2},
        {"plain file", HubServer::FileOptions::plainFile(), fileURL("f.json"), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRequests();
        server.addFile("owner/model", "f.json", content, c.options);

        auto metadata = api().getFileMetadata(fileURL("f.json"));

        EXPECT_EQ(metadata.commitHash, server.commit("owner/model"));
        EXPECT_EQ(metadata.etag, server.etag("owner/model", "f.json"));
        EXPECT_EQ(metadata.size, static_cast<std::int64_t>(content.size()));
        EXPECT_EQ(metadata.location, c.expectedLocation);
        auto requests = server.requests();
        ASSERT_EQ(requests.size(), c.expectedHeads);
        for (const auto& request : requests) {
            EXPECT_EQ(request.method, "HEAD");
            EXPECT_EQ(request.header("accept-encoding"), "identity");
            EXPECT_EQ(request.header("authorization"), "Bearer secret");
        }
        if (c.expectedHeads == 2) {
            EXPECT_EQ(requests[1].header("location"), c.expectedLocation);
        }
    }
}

TEST_F(HubRequestsFixture, StatusCodesMapToHubErrors) {
    server.addFile("owner/model", "f.json", "{}");
    struct Case {
        int status;
        HubClientError::Kind kind;
        std::string headMessage;
        std::string listingMessage;
    };
    const std::vector<Case> cases = {
        {401, HubClientError::Kind::authorizationRequired,
         "Authentication failed with status code: 401. Please check your Hugging Face token.",
         "Authentication failed with status code: 401. Please check your Hugging Face token."},
        {403, HubClientError::Kind::authorizationRequired,
         "Authentication failed with status code: 403. Please check your Hugging Face token.",
         "Authentication failed with status code: 403. Please check your Hugging Face token."},
        {404, HubClientError::Kind::fileNotFound, "File not found: f.json", "File not found: main"},
        {500, HubClientError::Kind::httpStatusCode, "HTTP error with status code: 500",
         "HTTP error with status code: 500"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        server.setMetadataStatus("owner/model", "f.json", c.status);
        server.setListingStatus("owner/model", c.status);

        auto head = thrownAs<HubClientError>([&] { api().getFileMetadata(fileURL("f.json")); });
        auto listing = thrownAs<HubClientError>([&] { api().getFilenames({"owner/model"}, "main"); });

        ASSERT_TRUE(head && listing);
        EXPECT_EQ(head->kind(), c.kind);
        EXPECT_STREQ(head->what(), c.headMessage.c_str());
        EXPECT_EQ(listing->kind(), c.kind);
        EXPECT_STREQ(listing->what(), c.listingMessage.c_str());
    }
}

TEST_F(HubRequestsFixture, TransportFailuresOfGetAndHeadDiffer) {
    std::string dead;
    {
        HubServer closed;
        dead = closed.endpoint();
    }
    HubApi client(folder.path(), std::nullopt, dead, false, false);

    auto listing = thrownAs<HubClientError>([&] { client.getFilenames({"owner/model"}, "main"); });
    ASSERT_TRUE(listing);
    EXPECT_EQ(listing->kind(), HubClientError::Kind::downloadError);

    auto head = thrownAs<halvex::UrlError>([&] { client.getFileMetadata(dead + "/owner/model/resolve/main/x"); });
    ASSERT_TRUE(head);
    EXPECT_EQ(head->code(), halvex::UrlError::Code::cannotConnectToHost);
}

TEST_F(HubRequestsFixture, ListingFiltersByGlobsAndNamesEachFileOnce) {
    for (const char* name : {"config.json", "sub/tokenizer.json", "model.bin", "README.md"}) {
        server.addFile("owner/model", name, "x");
    }
    auto client = api();
    EXPECT_EQ(client.getFilenames({"owner/model"}, "main"),
              (std::vector<std::string>{"config.json", "sub/tokenizer.json", "model.bin", "README.md"}));
    EXPECT_EQ(client.getFilenames({"owner/model"}, "main", {"*.json", "config.json"}),
              (std::vector<std::string>{"config.json", "sub/tokenizer.json"}));
    EXPECT_TRUE(client.getFilenames({"owner/model"}, "main", {"*.safetensors"}).empty());
    auto request = server.requests().front();
    EXPECT_EQ(request.path, "/api/models/owner/model/revision/main");
    EXPECT_EQ(request.header("authorization"), "Bearer secret");
    // An empty token sends no authorization at all.
    server.clearRequests();
    HubApi(folder.path(), std::string(), server.endpoint(), false, false).getFilenames({"owner/model"}, "main");
    EXPECT_FALSE(server.requests().front().header("authorization"));
}

TEST(HubConfigurationTest, ReadsJsonObjectsOnly) {
    TemporaryDirectory folder;
    HubApi api(folder.path(), std::string(), std::string("http://127.0.0.1:9"), false, true);
    norvel::test::writeText(folder / "object.json", R"({"model_type": "whisper", "vocab_size": 51865})");
    norvel::test::writeText(folder / "array.json", "[1, 2]");
    norvel::test::writeText(folder / "broken.json", "{\"a\": ");

    auto config = api.configuration(folder / "object.json");
    EXPECT_EQ(config["modelType"].string(), "whisper");
    EXPECT_EQ(config["vocab_size"].integer(), 51865);

    auto array = thrownAs<HubClientError>([&] { api.configuration(folder / "array.json"); });
    ASSERT_TRUE(array);
    EXPECT_EQ(array->kind(), HubClientError::Kind::parse);

    auto broken = thrownAs<HubClientError>([&] { api.configuration(folder / "broken.json"); });
    ASSERT_TRUE(broken);
    EXPECT_EQ(broken->kind(), HubClientError::Kind::jsonSerialization);
    const std::string url = "file://" + (folder / "broken.json").string();
    EXPECT_EQ(broken->fileURL(), url);
    EXPECT_EQ(std::string(broken->what()), "JSON Serialization failed for " + url +
                                               ". Please verify that you have set the HF_TOKEN environment variable.");

    EXPECT_THROW(api.configuration(folder / "missing.json"), std::filesystem::filesystem_error);
}

// Servers that would have the client wait or take in memory without end.
TEST(HttpClientTest, AnswersWithoutEndAreCutOff) {
    using Connection = norvel::test::RawHttpServer::Connection;
    struct Case {
        const char* name;
        std::function<void(Connection&)> answer;
        halvex::UrlError::Code expected;
    };
    const std::vector<Case> cases = {
        {"a head that drips in one header at a time",
         [](Connection& connection) {
             connection.send("HTTP/1.1 200 OK\r\n");
             for (int i = 0; i < 300 && connection.send("X-Drip: " + std::to_string(i) + "\r\n"); ++i) {
                 connection.pause(std::chrono::milliseconds(100));
             }
         },
         halvex::UrlError::Code::timedOut},
        {"a flood of header fields",
         [](Connection& connection) {
             std::string head = "HTTP/1.1 200 OK\r\n";
             for (int i = 0; i < 43000; ++i) {
                 head += "X-" + std::to_string(i) + ": v\r\n";
             }
             connection.send(head + "Content-Length: 0\r\n\r\n");
         },
         halvex::UrlError::Code::badServerResponse},
        {"a body without end",
         [](Connection& connection) {
             connection.send("HTTP/1.1 200 OK\r\nContent-Length: 100000000000\r\n\r\n");
             const std::string block(65536, '[');
             for (int i = 0; i < 4096 && connection.send(block); ++i) {}
         },
         halvex::UrlError::Code::badServerResponse},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        norvel::test::RawHttpServer server(c.answer);
        halvex::HttpRequest request;
        request.url = server.endpoint() + "/x";
        request.idleTimeout = std::chrono::milliseconds(1000);
        std::string body;

        auto error = thrownAs<halvex::UrlError>([&] { halvex::HttpClient::fetch(request, body, {}, 1 << 20); });

        ASSERT_TRUE(error);
        EXPECT_EQ(error->code(), c.expected) << error->what();
        EXPECT_LE(body.size(), std::size_t{1} << 20);
    }
}

// A listing that is not the hub's JSON fails with the client's own parse error, never with the
// JSON parser's text.
TEST(HubListingTest, AListingThatCannotBeReadIsAParseError) {
    const char* bodies[] = {"<html>Bad gateway</html>", "{\"siblings\": [{\"rfilename\": 7}]}", "{}", "[1, 2",
                            "{\"siblings\": {}}"};
    for (const char* body : bodies) {
        SCOPED_TRACE(body);
        norvel::test::RawHttpServer server([body](norvel::test::RawHttpServer::Connection& connection) {
            connection.send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(std::strlen(body)) + "\r\n\r\n" +
                            body);
        });
        TemporaryDirectory folder;
        HubApi api(folder.path(), std::string(), server.endpoint(), false, false);

        auto listing = thrownAs<HubClientError>([&] { api.getFilenames({"owner/model"}, "main"); });

        ASSERT_TRUE(listing);
        EXPECT_EQ(listing->kind(), HubClientError::Kind::parseError);
        EXPECT_STREQ(listing->what(), "Parse error: The hub's listing of owner/model could not be read.");
    }
}

TEST(HttpClientTest, ManyHeaderFieldsAreReadAndTheLastOfARepeatedNameWins) {
    norvel::test::RawHttpServer server([](norvel::test::RawHttpServer::Connection& connection) {
        std::string head = "HTTP/1.1 200 OK\r\nX-Repeated: first\r\n";
        for (int i = 0; i < 5000; ++i) {
            head += "X-Field-" + std::to_string(i) + ": " + std::to_string(i) + "\r\n";
        }
        connection.send(head + "x-repeated: last\r\nContent-Length: 2\r\n\r\nok");
    });
    halvex::HttpRequest request;
    request.url = server.endpoint() + "/x";
    std::string body;

    auto response = halvex::HttpClient::fetch(request, body);

    EXPECT_EQ(body, "ok");
    EXPECT_EQ(response.headers.fields().size(), 5002u);
    EXPECT_EQ(response.headers.value("X-REPEATED"), "last");
    EXPECT_EQ(response.headers.value("x-field-4999"), "4999");
    auto headers = response.headers;
    headers.remove("x-field-0");
    EXPECT_FALSE(headers.contains("X-Field-0"));
    EXPECT_EQ(headers.value("X-Field-4999"), "4999");
    EXPECT_EQ(headers.fields().size(), 5001u);
}

TEST(HubBoundsTest, AnEndlessListingAndAnOversizedConfigurationAreRefused) {
    norvel::test::RawHttpServer server([](norvel::test::RawHttpServer::Connection& connection) {
        connection.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
        std::string chunk(1 << 20, ' ');
        chunk = "100000\r\n" + chunk + "\r\n";
        if (!connection.send("6\r\n{\"a\":[\r\n")) return;
        for (int i = 0; i < 1024 && connection.send(chunk); ++i) {}
    });
    TemporaryDirectory folder;
    HubApi api(folder.path(), std::string(), server.endpoint(), false, false);

    auto listing = thrownAs<HubClientError>([&] { api.getFilenames({"owner/model"}, "main"); });
    ASSERT_TRUE(listing);
    EXPECT_EQ(listing->kind(), HubClientError::Kind::downloadError);

    const auto huge = folder / "tokenizer.json";
    norvel::test::writeText(huge, "{}");
    std::filesystem::resize_file(huge, HubApi::maximumConfigurationFileSize + 1);  // sparse: costs no disk
    try {
        api.configuration(huge);
        ADD_FAILURE() << "an oversized configuration file was read";
    } catch (const std::filesystem::filesystem_error& error) {
        EXPECT_EQ(error.code().value(), EFBIG);
    }
}

TEST(HubTokenizerFetchTest, AStopRequestEndsTheConfigurationFetch) {
    HubServer server;
    server.addFile("openai/whisper-tiny", "tokenizer.json", R"({"model": {}})");
    server.addFault("openai/whisper-tiny", "tokenizer.json", HubServer::Fault::stallAfter(5));
    TemporaryDirectory folder;
    std::stop_source stop;
    halvex::LanguageModelConfigurationFromHub loader(
        std::string("openai/whisper-tiny"), "main",
        halvex::HubApiWrapper(folder.path(), std::string(), server.endpoint()), stop.get_token());
    while (server.countRequests("GET", "/resolve/") == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    stop.request_stop();

    auto future = loader.configPromise();
    bool cancelled = false;
    try {
        future.get();
    } catch (const halvex::UrlError& error) {
        cancelled = error.code() == halvex::UrlError::Code::cancelled;
    } catch (const halvex::CancellationError&) {
        cancelled = true;
    } catch (const HubClientError& error) {
        // URL errors of the fetch reach readers as network errors.
        cancelled = error.kind() == HubClientError::Kind::networkError;
    }
    EXPECT_TRUE(cancelled);
}

}  // namespace
