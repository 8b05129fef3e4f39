#include "HalvexCore/External/Hub/Broadcaster.h"
#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/External/Hub/Downloader.h"
#include "HalvexCore/External/Hub/HubErrors.h"
#include "HalvexCore/External/Hub/HubFileDownloader.h"
#include "HalvexCore/External/Hub/UrlError.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"
#include "Support/HubServer.h"
#include "Support/RawHttpServer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
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

using norvel::test::readText;
using norvel::test::writeText;

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
    } catch (...) {}
    return nullptr;
}

class DownloaderTest : public ::testing::Test {
protected:
    static constexpr std::int64_t chunk = 256;

    std::string url(const std::string& file = "weights.bin") const {
        return server.endpoint() + "/" + repo + "/resolve/main/" + file;
    }

    std::unique_ptr<Downloader> makeDownloader(Downloader::Timing timing) {
        writeText(partial, readText(partial));  // make sure the partial file exists, as the hub client does
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
    EXPECT_EQ(readText(destination), content);
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
    EXPECT_EQ(readText(destination), content);
    ASSERT_EQ(states.size(), 3u);  // notStarted, the start, completed
    EXPECT_EQ(states[1].progress, 0.0);
}

TEST_F(DownloaderTest, ResumesFromThePartialFileWithARangeRequest) {
    const auto content = patterned(1000);
    server.addFile(repo, "weights.bin", content);
    writeText(partial, content.substr(0, 300));
    auto downloader = makeDownloader(fast());
    std::vector<State> states;

    auto final = run(*downloader, 1000, states);

    ASSERT_EQ(final.kind, State::Kind::completed);
    EXPECT_EQ(readText(destination), content);
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
        writeText(partial, c.partialContent);
        auto downloader = makeDownloader(fast());
        std::vector<State> states;

        auto final = run(*downloader, 900, states, std::nullopt, HubServer::sha256(content));

        ASSERT_EQ(final.kind, State::Kind::completed);
        EXPECT_EQ(readText(destination), content);
        EXPECT_EQ(rangesAsked(), c.expectedRanges);
    }
}

TEST_F(DownloaderTest, ABrokenBodyIsRetriedAfterWhatArrived) {
    const auto content = patterned(1000);
    server.addFile(repo, "weights.bin", content);
    server.addFault(repo, "weights.bin", HubServer::Fault::dropAfter(600));
    auto downloader = makeDownloader(fast());
    std::vector<State> states;

    auto final = run(*downloader, 1000, states);

    ASSERT_EQ(final.kind, State::Kind::completed);
    EXPECT_EQ(readText(destination), content);
    // Two whole batches reached the disk before the cut, and the 88 bytes after them were
    // written before the retry, so it asks for what follows them.
    EXPECT_EQ(rangesAsked(), (std::vector<std::string>{"", "bytes=600-"}));
}

TEST_F(DownloaderTest, ALinkThatAlwaysBreaksBeforeABatchStillAdvances) {
    const auto content = patterned(1000);
    server.addFile(repo, "weights.bin", content);
    for (int i = 0; i < 4; ++i) {
        server.addFault(repo, "weights.bin", HubServer::Fault::dropAfter(100));  // never a whole batch
    }
    auto downloader = makeDownloader(fast());
    std::vector<State> states;

    auto final = run(*downloader, 1000, states);

    ASSERT_EQ(final.kind, State::Kind::completed);
    EXPECT_EQ(readText(destination), content);
    EXPECT_EQ(rangesAsked(), (std::vector<std::string>{"", "bytes=100-", "bytes=200-", "bytes=300-", "bytes=400-"}));
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
    EXPECT_EQ(readText(destination), content);
    EXPECT_EQ(rangesAsked(), (std::vector<std::string>{"", "bytes=300-"}));
}

TEST_F(DownloaderTest, GivesUpWhenTheRetriesRunOutWithoutProgress) {
    const auto content = patterned(1000);
    server.addFile(repo, "weights.bin", content);
    for (int i = 0; i < 4; ++i) {
        // Together less than a batch: the budget is never restored.
        server.addFault(repo, "weights.bin", HubServer::Fault::dropAfter(50));
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
    // What each attempt received is kept for the next download to resume from.
    EXPECT_EQ(readText(partial), content.substr(0, 200));
}

// A server error or a body that ends early is tried again from the bytes written, as a broken
// body is; a range that starts at the end of a partial file that holds the whole file is no
// failure. Every byte is checked against the file's hash in the end.
TEST_F(DownloaderTest, ServerErrorsAndShortBodiesAreRetriedFromWhereTheyStopped) {
    const auto content = patterned(1000);
    struct Case {
        const char* name;
        std::vector<HubServer::Fault> faults;
        std::optional<std::int64_t> expectedSize;
        std::vector<std::string> expectedRanges;
    };
    const std::vector<Case> cases = {
        {"status 500", {HubServer::Fault::status(500)}, 1000, {"", ""}},
        {"status 503 after a cut",
         {HubServer::Fault::dropAfter(600), HubServer::Fault::status(503)},
         1000,
         {"", "bytes=600-", "bytes=600-"}},
        {"a body that ends early", {HubServer::Fault::shortBody(600)}, 1000, {"", "bytes=600-"}},
        // Every byte arrived, then the connection closed short of the announced length.
        {"a length longer than the body", {HubServer::Fault::claimLonger(10)}, 1000, {""}},
        {"the same of a file of unknown size", {HubServer::Fault::claimLonger(10)}, std::nullopt, {"", "bytes=1000-"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRequests();
        std::filesystem::remove(destination);
        std::filesystem::remove(partial);
        server.addFile(repo, "weights.bin", content);
        for (const auto& fault : c.faults) server.addFault(repo, "weights.bin", fault);
        auto downloader = makeDownloader(fast());
        std::vector<State> states;

        auto final = run(*downloader, c.expectedSize, states, std::nullopt, HubServer::sha256(content));

        ASSERT_EQ(final.kind, State::Kind::completed);
        EXPECT_EQ(readText(destination), content);
        EXPECT_EQ(rangesAsked(), c.expectedRanges);
    }
}

TEST_F(DownloaderTest, FailuresNameTheFileAndTheStatus) {
    const auto content = patterned(500);
    struct Case {
        const char* name;
        std::vector<HubServer::Fault> faults;
        std::optional<std::int64_t> expectedSize;
        std::optional<std::string> sha;
        bool partialKept;
        std::size_t requests;
        std::string message;
        std::optional<int> status;
    };
    const std::vector<Case> cases = {
        {"status 404",
         {HubServer::Fault::status(404)},
         500,
         std::nullopt,
         true,
         1,
         "The download of weights.bin failed: the server answered with HTTP status 404.",
         404},
        {"server errors until the retries run out", std::vector<HubServer::Fault>(6, HubServer::Fault::status(500)),
         500, std::nullopt, true, 6, "The download of weights.bin failed: the server answered with HTTP status 500.",
         500},
        // Asked for the rest, the server says the file ends where the bytes on disk end.
        {"shorter than announced",
         {},
         600,
         std::nullopt,
         true,
         2,
         "The download of weights.bin failed: the server sent only 500 of its 600 bytes.",
         std::nullopt},
        {"longer than announced",
         {},
         400,
         std::nullopt,
         true,
         1,
         "The download of weights.bin failed: the server sent more than the file's 400 bytes.",
         std::nullopt},
        {"wrong hash",
         {},
         500,
         std::string(64, 'e'),
         false,
         1,
         "File integrity check failed: Hash mismatch for weights.bin",
         std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRequests();
        std::filesystem::remove(partial);
        server.addFile(repo, "weights.bin", content);
        for (const auto& fault : c.faults) server.addFault(repo, "weights.bin", fault);
        auto downloader = makeDownloader(fast());
        std::vector<State> states;

        auto final = run(*downloader, c.expectedSize, states, std::nullopt, c.sha);

        ASSERT_EQ(final.kind, State::Kind::failed);
        EXPECT_EQ(server.countRequests("GET"), c.requests);
        EXPECT_FALSE(std::filesystem::exists(destination));
        EXPECT_EQ(std::filesystem::exists(partial), c.partialKept);
        if (c.sha) {
            auto* error = errorAs<halvex::HubEnvironmentError>(final);
            ASSERT_NE(error, nullptr);
            EXPECT_EQ(error->what(), c.message);
        } else {
            auto* error = errorAs<Downloader::DownloadError>(final);
            ASSERT_NE(error, nullptr);
            EXPECT_EQ(error->kind(), Downloader::DownloadError::Kind::unexpectedError);
            EXPECT_EQ(error->what(), c.message);
            EXPECT_EQ(error->statusCode(), c.status);
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

TEST_F(DownloaderTest, ABodyLongerThanTheFileIsStoppedAtOnce) {
    // The server announces and sends far more than the file's size; the client must not take
    // more than the file can hold.
    std::atomic<std::int64_t> sent{0};
    norvel::test::RawHttpServer endless([&](norvel::test::RawHttpServer::Connection& connection) {
        if (!connection.send("HTTP/1.1 200 OK\r\nContent-Length: 100000000000\r\n\r\n")) return;
        const std::string block(65536, 'x');
        while (sent.load() < (std::int64_t{256} << 20) && connection.send(block)) {
            sent += static_cast<std::int64_t>(block.size());
        }
    });
    auto downloader = makeDownloader(fast());
    std::vector<State> states;
    auto subscription = downloader->broadcaster().subscribe([&](const State& state) { states.push_back(state); });

    auto final =
        downloader->startDownload(endless.endpoint() + "/" + repo + "/resolve/main/weights.bin", std::nullopt, 1000);

    ASSERT_EQ(final.kind, State::Kind::failed);
    auto* error = errorAs<Downloader::DownloadError>(final);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->kind(), Downloader::DownloadError::Kind::unexpectedError);
    for (const auto& state : states) {
        EXPECT_LE(state.progress, 1.0);
    }
    EXPECT_EQ(Downloader::incompleteFileSize(partial), 0);
    EXPECT_FALSE(std::filesystem::exists(destination));
    EXPECT_LT(sent.load(), std::int64_t{256} << 20);
}

// A resumed request names the version its bytes belong to; a file that changed meanwhile comes
// whole instead of being spliced onto the old bytes.
TEST_F(DownloaderTest, AResumedRequestNamesItsVersionWithIfRange) {
    const auto oldContent = patterned(1000);
    const auto content = patterned(1000).replace(0, 10, "new versio");
    server.addFile(repo, "weights.bin", content);
    struct Case {
        const char* name;
        std::string partialContent;
        std::string tag;
        std::string expectedIfRange;
    };
    const std::vector<Case> cases = {
        {"same version resumes", content.substr(0, 300), server.etag(repo, "weights.bin"),
         "\"" + server.etag(repo, "weights.bin") + "\""},
        {"changed file starts again", oldContent.substr(0, 300), "0ld", "\"0ld\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRequests();
        std::filesystem::remove(destination);
        writeText(partial, c.partialContent);
        auto downloader = makeDownloader(fast());

        auto final = downloader->startDownload(url(), std::nullopt, 1000, {}, HubServer::sha256(content), c.tag);

        ASSERT_EQ(final.kind, State::Kind::completed);
        EXPECT_EQ(readText(destination), content);
        ASSERT_EQ(server.requests().size(), 1u);
        EXPECT_EQ(server.requests()[0].header("range"), "bytes=300-");
        EXPECT_EQ(server.requests()[0].header("if-range"), c.expectedIfRange);
    }
}

TEST_F(DownloaderTest, TheFileMovedIntoPlaceIsTheOneThatIsHashed) {
    const auto content = patterned(1000);
    server.addFile(repo, "weights.bin", content);
    auto downloader = makeDownloader(fast());
    bool overwritten = false;
    auto subscription = downloader->broadcaster().subscribe([&](const State& state) {
        // Another writer spoils the bytes already on disk while the right ones keep arriving.
        if (state.kind == State::Kind::downloading && state.progress > 0 && !overwritten) {
            std::fstream stream(partial, std::ios::in | std::ios::out | std::ios::binary);
            stream.write(std::string(100, '\0').data(), 100);
            overwritten = true;
        }
    });

    auto final = downloader->startDownload(url(), std::nullopt, 1000, {}, HubServer::sha256(content));

    ASSERT_TRUE(overwritten);
    ASSERT_EQ(final.kind, State::Kind::failed);
    auto* error = errorAs<halvex::HubEnvironmentError>(final);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->kind(), halvex::HubEnvironmentError::Kind::fileIntegrityError);
    EXPECT_FALSE(std::filesystem::exists(destination));
    EXPECT_FALSE(std::filesystem::exists(partial));
}

// The per-file download of the hub client against a cache folder that others touch too.
class HubFileDownloadTest : public ::testing::Test {
protected:
    void SetUp() override { server.addFile(repo, "file.bin", content); }

    halvex::HubFileDownloader fileDownloader(const std::string& name = "file.bin") const {
        halvex::HubApi api(folder / "base", std::string(), server.endpoint(), false, false);
        return halvex::HubFileDownloader(api, {repo, halvex::HubApi::RepoType::models}, "main", repoFolder,
                                         metadataFolder, name, std::nullopt, server.endpoint(), false);
    }
    std::filesystem::path partialPath(const std::string& tag) const {
        return metadataFolder / ("file.bin." + tag + ".incomplete");
    }
    std::size_t contentRequests() const { return server.countRequests("GET", "/resolve/"); }

    const std::string content = patterned(300000);
    HubServer server;
    TemporaryDirectory folder;
    std::filesystem::path repoFolder = folder / "base/models/owner/model";
    std::filesystem::path metadataFolder = repoFolder / ".cache/huggingface/download";
    std::filesystem::path outside = folder / "outside";
};

TEST_F(HubFileDownloadTest, LinksPlantedInTheCacheNeverLeadOutOfIt) {
    const std::string precious = "precious data";
    const std::string validRecord = std::string(40, 'c') + "\n" + std::string(64, 'e') + "\n1.5\n";
    struct Case {
        const char* name;
        std::string file;
        std::function<void()> plant;
        bool succeeds;
    };
    const std::vector<Case> cases = {
        {"a subfolder leads out", "sub/file.bin",
         [&] { std::filesystem::create_directory_symlink(outside, repoFolder / "sub"); }, false},
        {"the cache folder leads out", "file.bin",
         [&] { std::filesystem::create_directory_symlink(outside, repoFolder / ".cache"); }, false},
        {"the partial file is a link", "file.bin",
         [&] {
             std::filesystem::create_directories(metadataFolder);
             std::filesystem::create_symlink(outside / "precious", partialPath(server.etag(repo, "file.bin")));
         },
         true},
        {"the partial file is a hard link", "file.bin",
         [&] {
             std::filesystem::create_directories(metadataFolder);
             std::filesystem::create_hard_link(outside / "precious", partialPath(server.etag(repo, "file.bin")));
         },
         true},
        {"the destination is a link", "file.bin",
         [&] { std::filesystem::create_symlink(outside / "precious", repoFolder / "file.bin"); }, true},
        {"the record is a link", "file.bin",
         [&] {
             writeText(outside / "record", validRecord);
             std::filesystem::create_directories(metadataFolder);
             std::filesystem::create_symlink(outside / "record", metadataFolder / "file.bin.metadata");
         },
         true},
    };
    server.addFile(repo, "sub/file.bin", content);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(folder / "base");
        std::filesystem::remove_all(outside);
        std::filesystem::create_directories(repoFolder);
        writeText(outside / "precious", precious);
        c.plant();

        if (c.succeeds) {
            EXPECT_EQ(fileDownloader(c.file).download(), repoFolder / c.file);
            EXPECT_EQ(readText(repoFolder / c.file), content);
            EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(repoFolder / c.file)));
            EXPECT_TRUE(std::filesystem::is_regular_file(
                std::filesystem::symlink_status(metadataFolder / (c.file + ".metadata"))));
        } else {
            EXPECT_THROW(fileDownloader(c.file).download(), std::filesystem::filesystem_error);
        }
        EXPECT_EQ(readText(outside / "precious"), precious);
        std::vector<std::string> outsideNames;
        for (const auto& entry : std::filesystem::directory_iterator(outside)) {
            outsideNames.push_back(entry.path().filename().string());
        }
        std::sort(outsideNames.begin(), outsideNames.end());
        EXPECT_EQ(outsideNames,
                  (std::filesystem::exists(outside / "record") ? std::vector<std::string>{"precious", "record"}
                                                               : std::vector<std::string>{"precious"}));
        if (std::filesystem::exists(outside / "record")) {
            EXPECT_EQ(readText(outside / "record"), validRecord);
        }
    }
}

TEST_F(HubFileDownloadTest, DownloadsOfOneFileAtOnceTakeTurnsAndAllSucceed) {
    std::vector<std::jthread> threads;
    std::vector<std::string> failures(4);
    for (std::size_t i = 0; i < failures.size(); ++i) {
        threads.emplace_back([&, i] {
            try {
                fileDownloader().download();
            } catch (const std::exception& error) {
                failures[i] = error.what();
            }
        });
    }
    threads.clear();

    EXPECT_EQ(failures, std::vector<std::string>(4));
    EXPECT_EQ(readText(repoFolder / "file.bin"), content);
    EXPECT_GE(contentRequests(), 1u);
    EXPECT_FALSE(std::filesystem::exists(partialPath(server.etag(repo, "file.bin"))));
}

TEST_F(HubFileDownloadTest, ADownloadWaitsWhileAnotherProcessHoldsThePartialFile) {
    const auto held = partialPath(server.etag(repo, "file.bin"));
    writeText(held, "");
    int fd = ::open(held.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);

    // While the lock is held nothing is fetched; a stop request ends the wait.
    {
        std::stop_source stop;
        std::jthread stopper([&] {
            while (server.countRequests("HEAD") == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            stop.request_stop();
        });
        EXPECT_THROW(fileDownloader().download({}, stop.get_token()), halvex::CancellationError);
    }
    EXPECT_EQ(contentRequests(), 0u);

    std::jthread waiting([&] { fileDownloader().download(); });
    while (server.countRequests("HEAD") < 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(contentRequests(), 0u);
    ::close(fd);
    waiting.join();

    EXPECT_EQ(readText(repoFolder / "file.bin"), content);
    EXPECT_EQ(contentRequests(), 1u);
}

TEST_F(HubFileDownloadTest, PartialFilesOfOldVersionsAreRemovedUnlessInUse) {
    writeText(partialPath("0ldtag"), "stale bytes of an older version");
    writeText(partialPath("busytag"), "a download of that version runs elsewhere");
    writeText(metadataFolder / "file.bin.x.0ldtag.incomplete", "the partial file of file.bin.x");
    writeText(metadataFolder / "file.binary.0ldtag.incomplete", "the partial file of file.binary");
    int fd = ::open(partialPath("busytag").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);

    fileDownloader().download();
    ::close(fd);

    EXPECT_EQ(readText(repoFolder / "file.bin"), content);
    EXPECT_FALSE(std::filesystem::exists(partialPath("0ldtag")));
    EXPECT_TRUE(std::filesystem::exists(partialPath("busytag")));
    EXPECT_TRUE(std::filesystem::exists(metadataFolder / "file.bin.x.0ldtag.incomplete"));
    EXPECT_TRUE(std::filesystem::exists(metadataFolder / "file.binary.0ldtag.incomplete"));
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
