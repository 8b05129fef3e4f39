#include "HalvexCore/External/Hub/Broadcaster.h"
#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/External/Hub/Downloader.h"
#include "HalvexCore/External/Hub/HubErrors.h"
#include "HalvexCore/External/Hub/UrlError.h"
#include "Support/Fixtures.h"
#include "Support/HubServer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

using halvex::Downloader;
using State = Downloader::DownloadState;
using norvel::test::HubServer;
using norvel::test::TemporaryDirectory;

const std::string repo = "owner/model";

std::string patterned(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>('a' + (i * 7 + i / 13) % 26);
    }
    return text;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

void writeFile(const std::filesystem::path& path, const std::string& content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

template <typename E>
const E* errorAs(const State& state) {
    try {
        if (state.error) {
            std::rethrow_exception(state.error);
        }
    } catch (const E& error) {
        static thread_local std::optional<E> kept;
        kept.emplace(error);
        return &*kept;
    } catch (...) {
    }
    return nullptr;
}

class DownloaderTest : public ::testing::Test {
protected:
    static constexpr std::int64_t chunk = 256;

    std::string url(const std::string& file = "weights.bin") const {
        return server.endpoint() + "/" + repo + "/resolve/main/" + file;
    }

    std::unique_ptr<Downloader> makeDownloader(Downloader::Timing timing) {
        writeFile(partial, readFile(partial));  // make sure the partial file exists, as the hub client does
        return std::make_unique<Downloader>(destination, partial, false, chunk, timing);
    }

    Downloader::Timing fast() const {
        Downloader::Timing timing;
        timing.idleTimeout = std::chrono::milliseconds(2000);
        timing.retryDelay = std::chrono::milliseconds(20);
        return timing;
    }

    // Runs a download and gathers every state a subscriber sees.
    State run(Downloader& downloader, std::optional<std::int64_t> size, std::vector<State>& states,
              std::optional<std::string> token = std::nullopt, std::optional<std::string> sha = std::nullopt,
              std::stop_token stop = {}) {
        std::mutex mutex;
        auto subscription = downloader.broadcaster().subscribe([&](const State& state) {
            std::lock_guard lock(mutex);
            states.push_back(state);
        });
        return downloader.startDownload(url(), token, size, stop, sha);
    }

    std::vector<std::string> rangesAsked() const {
        std::vector<std::string> ranges;
        for (const auto& request : server.requests()) {
            if (request.method == "GET") {
                ranges.push_back(request.header("range").value_or(""));
            }
        }
        return ranges;
    }

    HubServer server;
    TemporaryDirectory folder;
    std::filesystem::path destination = folder / "repo/weights.bin";
    std::filesystem::path partial = folder / "repo/.cache/weights.bin.etag.incomplete";
};

TEST_F(DownloaderTest, FreshDownloadReportsOneStatePerBatchAndMovesTheFileIntoPlace) {
    const auto content = patterned(1000);
    server.addFile(repo, "weights.bin", content);
    auto downloader = makeDownloader(fast());
    std::vector<State> states;

    auto final = run(*downloader, 1000, states);

    ASSERT_EQ(final.kind, State::Kind::completed);
    EXPECT_EQ(final.destination, destination);
    EXPECT_EQ(readFile(destination), content);
    EXPECT_FALSE(std::filesystem::exists(partial));
    // notStarted on subscription, the start, three whole batches of 256, then completion
    // (the last partial batch reports nothing).
    ASSERT_EQ(states.size(), 6u);
    EXPECT_EQ(states[0].kind, State::Kind::notStarted);
    EXPECT_EQ(states[1].kind, State::Kind::downloading);
    EXPECT_EQ(states[1].progress, 0.0);
    EXPECT_FALSE(states[1].speed);
    EXPECT_DOUBLE_EQ(states[2].progress, 0.256);
    EXPECT_DOUBLE_EQ(states[4].progress, 0.768);
    EXPECT_TRUE(states[4].speed.has_value());
    EXPECT_EQ(states[5].kind, State::Kind::completed);
    EXPECT_EQ(rangesAsked(), std::vector<std::string>{""});
}

TEST_F(DownloaderTest, UnknownSizeSendsNoProgressAndSkipsTheSizeCheck) {
    const auto content = patterned(700);
    server.addFile(repo, "weights.bin", content);
    auto downloader = makeDownloader(fast());
    std::vector<State> states;

    auto final = run(*downloader, std::nullopt, states);

    ASSERT_EQ(final.kind, State::Kind::completed);
    EXPECT_EQ(readFile(destination), content);
    ASSERT_EQ(states.size(), 3u);  // notStarted, the start, completed
    EXPECT_EQ(states[1].progress, 0.0);
}

TEST_F(DownloaderTest, ResumesFromThePartialFileWithARangeRequest) {
    const auto content = patterned(1000);
    server.addFile(repo, "weights.bin", content);
    writeFile(partial, content.substr(0, 300));
    auto downloader = makeDownloader(fast());
    std::vector<State> states;

    auto final = run(*downloader, 1000, states);

    ASSERT_EQ(final.kind, State::Kind::completed);
    EXPECT_EQ(readFile(destination), content);
    EXPECT_EQ(rangesAsked(), std::vector<std::string>{"bytes=300-"});
    EXPECT_DOUBLE_EQ(states[1].progress, 0.3);
    EXPECT_FALSE(states[1].speed);
}

// Partial files that cannot simply be appended to, and servers that do not honour ranges.
TEST_F(DownloaderTest, RepairsPartialFilesThatCannotBeResumed) {
    const auto content = patterned(900);
    struct Case {
        const char* name;
        std::string partialContent;
        bool ignoreRange;
        std::vector<std::string> expectedRanges;
    };
    const std::vector<Case> cases = {
        {"server ignores the range", content.substr(0, 400), true, {"bytes=400-"}},
        {"partial already whole", content, false, {}},
        {"partial longer than the file", content + "trailing garbage", false, {""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRequests();
        std::filesystem::remove(destination);
        server.addFile(repo, "weights.bin", content);
        if (c.ignoreRange) {
            server.addFault(repo, "weights.bin", HubServer::Fault::ignoreRange());
        }
        writeFile(partial, c.partialContent);
        auto downloader = makeDownloader(fast());
        std::vector<State> states;

        auto final = run(*downloader, 900, states, std::nullopt, HubServer::sha256(content));

        ASSERT_EQ(final.kind, State::Kind::completed);
        EXPECT_EQ(readFile(destination), content);
        EXPECT_EQ(rangesAsked(), c.expectedRanges);
    }
}

TEST_F(DownloaderTest, ABrokenBodyIsRetriedFromTheLastWrittenBatch) {
    const auto content = patterned(1000);
    server.addFile(repo, "weights.bin", content);
    server.addFault(repo, "weights.bin", HubServer::Fault::dropAfter(600));
    auto downloader = makeDownloader(fast());
    std::vector<State> states;

    auto final = run(*downloader, 1000, states);

    ASSERT_EQ(final.kind, State::Kind::completed);
    EXPECT_EQ(readFile(destination), content);
    // Two whole batches (512 bytes) reached the disk before the cut; the rest was dropped.
    EXPECT_EQ(rangesAsked(), (std::vector<std::string>{"", "bytes=512-"}));
}

TEST_F(DownloaderTest, AStalledBodyTimesOutAndIsRetried) {
    const auto content = patterned(800);
    server.addFile(repo, "weights.bin", content);
    server.addFault(repo, "weights.bin", HubServer::Fault::stallAfter(300));
    auto timing = fast();
    timing.idleTimeout = std::chrono::milliseconds(1000);
    auto downloader = makeDownloader(timing);
    std::vector<State> states;

    auto final = run(*downloader, 800, states);

    ASSERT_EQ(final.kind, State::Kind::completed);
    EXPECT_EQ(readFile(destination), content);
    EXPECT_EQ(rangesAsked(), (std::vector<std::string>{"", "bytes=256-"}));
}

TEST_F(DownloaderTest, GivesUpWhenTheRetriesRunOutWithoutProgress) {
    const auto content = patterned(1000);
    server.addFile(repo, "weights.bin", content);
    for (int i = 0; i < 4; ++i) {
        server.addFault(repo, "weights.bin", HubServer::Fault::dropAfter(100));  // never a whole batch
    }
    auto timing = fast();
    timing.retries = 3;
    auto downloader = makeDownloader(timing);
    std::vector<State> states;

    auto final = run(*downloader, 1000, states);

    ASSERT_EQ(final.kind, State::Kind::failed);
    auto* error = errorAs<halvex::UrlError>(final);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), halvex::UrlError::Code::networkConnectionLost);
    EXPECT_EQ(server.countRequests("GET"), 4u);  // the first attempt and three retries
    EXPECT_FALSE(std::filesystem::exists(destination));
    EXPECT_TRUE(std::filesystem::exists(partial));
}

TEST_F(DownloaderTest, FailuresThatAreNotRetried) {
    const auto content = patterned(500);
    struct Case {
        const char* name;
        std::optional<HubServer::Fault> fault;
        std::optional<std::int64_t> expectedSize;
        std::optional<std::string> sha;
        bool partialKept;
    };
    const std::vector<Case> cases = {
        {"status 500", HubServer::Fault::status(500), 500, std::nullopt, true},
        {"status 404", HubServer::Fault::status(404), 500, std::nullopt, true},
        {"shorter than announced", std::nullopt, 600, std::nullopt, true},
        {"longer than announced", std::nullopt, 400, std::nullopt, true},
        {"wrong hash", std::nullopt, 500, std::string(64, 'e'), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRequests();
        std::filesystem::remove(partial);
        server.addFile(repo, "weights.bin", content);
        if (c.fault) {
            server.addFault(repo, "weights.bin", *c.fault);
        }
        auto downloader = makeDownloader(fast());
        std::vector<State> states;

        auto final = run(*downloader, c.expectedSize, states, std::nullopt, c.sha);

        ASSERT_EQ(final.kind, State::Kind::failed);
        EXPECT_EQ(server.countRequests("GET"), 1u);
        EXPECT_FALSE(std::filesystem::exists(destination));
        EXPECT_EQ(std::filesystem::exists(partial), c.partialKept);
        if (c.sha) {
            auto* error = errorAs<halvex::HubEnvironmentError>(final);
            ASSERT_NE(error, nullptr);
            EXPECT_STREQ(error->what(), "File integrity check failed: Hash mismatch for weights.bin");
        } else {
            auto* error = errorAs<Downloader::DownloadError>(final);
            ASSERT_NE(error, nullptr);
            EXPECT_EQ(error->kind(), Downloader::DownloadError::Kind::unexpectedError);
        }
    }
    // A partial file that grew past the announced size holds nothing worth resuming.
    EXPECT_EQ(Downloader::incompleteFileSize(partial), 0);
}

TEST_F(DownloaderTest, AConnectionThatNeverAnswersIsNotRetried) {
    std::string deadEndpoint;
    {
        HubServer closed;
        deadEndpoint = closed.endpoint();
    }
    auto downloader = makeDownloader(fast());
    auto final = downloader->startDownload(deadEndpoint + "/" + repo + "/resolve/main/x", std::nullopt, 10);

    ASSERT_EQ(final.kind, State::Kind::failed);
    auto* error = errorAs<halvex::UrlError>(final);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), halvex::UrlError::Code::cannotConnectToHost);
}

TEST_F(DownloaderTest, SendsTheTokenOnlyWhenItIsNotEmpty) {
    server.addFile(repo, "weights.bin", "abc");
    for (const auto& [token, header] : std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>>{
             {std::nullopt, std::nullopt}, {"", std::nullopt}, {"secret", "Bearer secret"}}) {
        server.clearRequests();
        std::filesystem::remove(destination);
        auto downloader = makeDownloader(fast());
        std::vector<State> states;
        ASSERT_EQ(run(*downloader, 3, states, token).kind, State::Kind::completed);
        ASSERT_EQ(server.requests().size(), 1u);
        EXPECT_EQ(server.requests()[0].header("authorization"), header);
    }
}

TEST_F(DownloaderTest, CancellationStopsAStalledTransferAndKeepsTheWrittenBatches) {
    const auto content = patterned(1000);
    server.addFile(repo, "weights.bin", content);
    server.addFault(repo, "weights.bin", HubServer::Fault::stallAfter(600));
    auto timing = fast();
    timing.idleTimeout = std::chrono::seconds(60);
    auto downloader = makeDownloader(timing);
    std::stop_source stop;
    std::vector<State> states;
    auto subscription = downloader->broadcaster().subscribe([&](const State& state) {
        // Cancel from inside the progress report once the second batch is on disk, as a user
        // interface does; the server holds the rest of the body back.
        if (state.kind == State::Kind::downloading && state.progress >= 0.512) {
            stop.request_stop();
        }
    });

    auto final = run(*downloader, 1000, states, std::nullopt, std::nullopt, stop.get_token());

    ASSERT_EQ(final.kind, State::Kind::failed);
    auto* error = errorAs<halvex::UrlError>(final);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), halvex::UrlError::Code::cancelled);
    EXPECT_FALSE(std::filesystem::exists(destination));
    EXPECT_EQ(Downloader::incompleteFileSize(partial), 512);
    // cancel() itself reported the cancellation before the transfer ended.
    auto firstFailure = std::find_if(states.begin(), states.end(),
                                     [](const State& state) { return state.kind == State::Kind::failed; });
    ASSERT_NE(firstFailure, states.end());
    EXPECT_NE(errorAs<halvex::UrlError>(*firstFailure), nullptr);
}

TEST(BroadcasterTest, ReplaysTheLatestValueAndForgetsEndedSubscriptions) {
    halvex::Broadcaster<int> broadcaster([] { return std::optional<int>(0); });
    std::vector<int> first;
    std::vector<int> second;
    auto one = broadcaster.subscribe([&](int value) { first.push_back(value); });
    broadcaster.broadcast(1);
    {
        auto two = broadcaster.subscribe([&](int value) { second.push_back(value); });
        broadcaster.broadcast(2);
        EXPECT_EQ(broadcaster.subscriberCount(), 2u);
    }
    EXPECT_EQ(broadcaster.subscriberCount(), 1u);
    broadcaster.broadcast(3);

    EXPECT_EQ(first, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(second, (std::vector<int>{1, 2}));
}

}  // namespace
