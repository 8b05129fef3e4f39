#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/External/Hub/HubApi.h"
#include "HalvexCore/External/Hub/HubFileDownloader.h"
#include "HalvexCore/External/Hub/UrlError.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"
#include "Support/HubServer.h"
#include "Support/Thrown.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using halvex::HubApi;
using halvex::HubEnvironmentError;
using norvel::test::HubServer;
using norvel::test::readText;
using norvel::test::TemporaryDirectory;
using norvel::test::thrownAs;
using norvel::test::writeText;

using Options = HubServer::FileOptions;

const HubApi::Repo repo{"owner/model", HubApi::RepoType::models};

std::string patterned(std::size_t size, unsigned seed = 1) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>((i * 131 + seed * 7 + i / 1000) % 251);
    }
    return text;
}

// Every regular file below `folder`, relative to it.
std::vector<std::string> filesBelow(const std::filesystem::path& folder) {
    std::vector<std::string> files;
    if (!std::filesystem::exists(folder)) {
        return files;
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files.push_back(std::filesystem::relative(entry.path(), folder).generic_string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

class HubSnapshotTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.addFile(repo.id, "config.json", config, Options::plainFile());
        server.addFile(repo.id, "tokenizer.json", tokenizer);
        server.addFile(repo.id, "sub/weights.bin", weights, Options::lfsFile(HubServer::Redirect::absolute));
    }

    HubApi api(std::optional<bool> offline = false) const {
        return HubApi(base, std::string(), server.endpoint(), false, offline);
    }
    std::filesystem::path repoFolder() const { return base / "models/owner/model"; }
    std::filesystem::path record(const std::string& file) const {
        return repoFolder() / ".cache/huggingface/download" / (file + ".metadata");
    }
    std::size_t contentRequests() const {
        std::size_t count = 0;
        for (const auto& request : server.requests()) {
            if (request.method == "GET" && request.path.find("/api/") != 0) {
                ++count;
            }
        }
        return count;
    }

    const std::string config = R"({"model_type": "whisper"})";
    const std::string tokenizer = patterned(5000);
    const std::string weights = patterned(20000, 2);
    HubServer server;
    TemporaryDirectory folder;
    std::filesystem::path base = folder / "base";
};

TEST_F(HubSnapshotTest, FetchesRecordsAndReportsOneParentProgress) {
    std::vector<std::pair<std::int64_t, double>> reports;

    auto result = api().snapshot(repo, "main", {"*.json", "sub/*"}, [&](const halvex::Progress& progress) {
        reports.emplace_back(progress.totalUnitCount(), progress.fractionCompleted());
    });

    EXPECT_EQ(result, repoFolder());
    EXPECT_EQ(readText(repoFolder() / "config.json"), config);
    EXPECT_EQ(readText(repoFolder() / "tokenizer.json"), tokenizer);
    EXPECT_EQ(readText(repoFolder() / "sub/weights.bin"), weights);
    for (const auto& file : {"config.json", "tokenizer.json", "sub/weights.bin"}) {
        auto local = api().readDownloadMetadata(record(file));
        ASSERT_TRUE(local) << file;
        EXPECT_EQ(local->commitHash, server.commit(repo.id));
        EXPECT_EQ(local->etag, server.etag(repo.id, file));
    }
    // One report as each small file starts, then the closing one. The hub gives every file's
    // size, so the progress counts bytes.
    const auto total = static_cast<std::int64_t>(config.size() + tokenizer.size() + weights.size());
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[0], (std::pair<std::int64_t, double>{total, 0.0}));
    EXPECT_DOUBLE_EQ(reports[1].second, double(config.size()) / double(total));
    EXPECT_DOUBLE_EQ(reports[2].second, double(config.size() + tokenizer.size()) / double(total));
    EXPECT_DOUBLE_EQ(reports[3].second, 1.0);
    EXPECT_EQ(server.countRequests("HEAD"), 3u) << "each file's metadata is asked for once";
    // Only the repository files and their records were written; no partial file is left.
    EXPECT_EQ(filesBelow(base / "models/owner/model"),
              (std::vector<std::string>{".cache/huggingface/download/config.json.metadata",
                                        ".cache/huggingface/download/sub/weights.bin.metadata",
                                        ".cache/huggingface/download/tokenizer.json.metadata", "config.json",
                                        "sub/weights.bin", "tokenizer.json"}));
}

TEST_F(HubSnapshotTest, ACurrentCopyCostsOnlyMetadataRequests) {
    api().snapshot(repo, "main");
    const auto recordBefore = readText(record("tokenizer.json"));
    server.clearRequests();
    int reports = 0;

    api().snapshot(repo, "main", {}, [&](const halvex::Progress&) { ++reports; });

    EXPECT_EQ(contentRequests(), 0u);
    // One per file: the metadata that gives the progress its sizes is the one each file's own
    // check goes by.
    EXPECT_EQ(server.countRequests("HEAD"), 3u);
    EXPECT_EQ(readText(record("tokenizer.json")), recordBefore);
    EXPECT_EQ(reports, 1);
    // Without anyone to report to, the sizes are not asked for.
    server.clearRequests();
    api().snapshot(repo, "main");
    EXPECT_EQ(server.countRequests("HEAD"), 3u);
}

// The progress counts bytes while the weights arrive, so that a rate can be told from it;
// when a file's size cannot be had it counts files, and that file's own download reports
// the failure in its turn.
TEST_F(HubSnapshotTest, ProgressCountsBytesAsTheyArriveOrFilesWithoutSizes) {
    const std::string large = patterned(25u << 20, 3);
    server.addFile(repo.id, "large.bin", large);
    std::vector<std::pair<std::int64_t, std::int64_t>> reports;
    api().snapshot(repo, "main", {"large.bin"}, [&](const halvex::Progress& progress) {
        EXPECT_EQ(progress.fileOperationKind(), halvex::Progress::FileOperationKind::downloading);
        reports.emplace_back(progress.completedUnitCount(), progress.totalUnitCount());
    });
    const auto size = static_cast<std::int64_t>(large.size());
    EXPECT_EQ(reports, (std::vector<std::pair<std::int64_t, std::int64_t>>{
                           {0, size}, {10 << 20, size}, {20 << 20, size}, {size, size}}))
        << "one report per written 10 MiB batch, each with the bytes so far";

    server.setMetadataStatus(repo.id, "tokenizer.json", 500);
    reports.clear();
    EXPECT_ANY_THROW(api().snapshot(repo, "main", {"*.json"}, [&](const halvex::Progress& progress) {
        reports.emplace_back(progress.completedUnitCount(), progress.totalUnitCount());
    }));
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.front().second, 2) << "two files";
    EXPECT_TRUE(std::filesystem::exists(repoFolder() / "config.json")) << "the file before the failing one is fetched";
}

TEST_F(HubSnapshotTest, RevalidatesALocalCopyBeforeFetchingItAgain) {
    const std::string newCommit(40, 'b');
    struct Case {
        const char* name;
        std::string file;
        bool newCommit;
        bool dropRecord;
        std::size_t expectedContentRequests;
    };
    const std::vector<Case> cases = {
        {"same etag under a new commit", "config.json", true, false, 0},
        {"no record, digest etag matches the file", "tokenizer.json", false, true, 0},
        {"no record, etag is not a digest", "config.json", false, true, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(base);
        server.setCommit(repo.id, std::string(40, 'a'));
        api().snapshot(repo, "main", {c.file});
        if (c.newCommit) {
            server.setCommit(repo.id, newCommit);
        }
        if (c.dropRecord) {
            std::filesystem::remove(record(c.file));
        }
        server.clearRequests();

        api().snapshot(repo, "main", {c.file});

        EXPECT_EQ(contentRequests(), c.expectedContentRequests);
        auto local = api().readDownloadMetadata(record(c.file));
        ASSERT_TRUE(local);
        EXPECT_EQ(local->commitHash, server.commit(repo.id));
    }
}

TEST_F(HubSnapshotTest, IncompleteMetadataFromTheHubIsRefused) {
    server.addFile(repo.id, "odd.json", "{}", Options::lfsFile().without("X-Repo-Commit"));
    auto error = thrownAs<HubEnvironmentError>([&] { api().snapshot(repo, "main", {"odd.json"}); });
    ASSERT_TRUE(error);
    EXPECT_STREQ(error->what(), "Invalid metadata: File metadata must have been retrieved from server");
    EXPECT_FALSE(std::filesystem::exists(repoFolder() / "odd.json"));
}

TEST_F(HubSnapshotTest, ACutTransferResumesAndFinishesWithTheRightBytes) {
    // Larger than one 10 MiB batch, so that the cut comes after a batch reached the disk.
    const auto large = patterned(halvex::HubFileDownloader::chunkSize + 70000, 3);
    server.addFile(repo.id, "model.safetensors", large, Options::lfsFile(HubServer::Redirect::absolute));
    server.addFault(repo.id, "model.safetensors",
                    HubServer::Fault::dropAfter(halvex::HubFileDownloader::chunkSize + 30000));

    api().snapshot(repo, "main", {"*.safetensors"});

    EXPECT_EQ(readText(repoFolder() / "model.safetensors"), large);
    std::vector<std::string> ranges;
    for (const auto& request : server.requests()) {
        if (request.path.starts_with("/cdn/")) {
            ranges.push_back(request.header("range").value_or(""));
        }
    }
    // Everything that arrived before the cut was kept, so the retry asks for what follows it.
    EXPECT_EQ(ranges, (std::vector<std::string>{
                          "", "bytes=" + std::to_string(halvex::HubFileDownloader::chunkSize + 30000) + "-"}));
    EXPECT_TRUE(api().readDownloadMetadata(record("model.safetensors")));
}

TEST_F(HubSnapshotTest, ADownloadWhoseHashDiffersIsDiscarded) {
    server.addFile(repo.id, "weights.bin", weights, Options::lfsFile().withEtag(HubServer::sha256("something else")));

    auto error = thrownAs<HubEnvironmentError>([&] { api().snapshot(repo, "main", {"weights.bin"}); });

    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), HubEnvironmentError::Kind::fileIntegrityError);
    EXPECT_STREQ(error->what(), "File integrity check failed: Hash mismatch for weights.bin");
    EXPECT_TRUE(filesBelow(repoFolder()).empty());
}

TEST_F(HubSnapshotTest, NamesAndTagsFromTheHubNeverLeaveTheRepositoryFolder) {
    for (const std::string name : {"../../../../escape.txt", "/tmp/absolute.txt", "sub/../../../../../escape.txt",
                                   ".cache/huggingface/download/config.json.metadata", "sub//x", "./x"}) {
        SCOPED_TRACE(name);
        HubServer hostile;
        hostile.addListingEntry(repo.id, name);
        HubApi client(base, std::string(), hostile.endpoint(), false, false);

        auto error = thrownAs<HubEnvironmentError>([&] { client.snapshot(repo, "main"); });

        ASSERT_TRUE(error);
        EXPECT_EQ(error->kind(), HubEnvironmentError::Kind::invalidMetadataError);
        EXPECT_EQ(hostile.countRequests("HEAD"), 0u);
    }
    server.addFile(repo.id, "tagged.bin", "data", Options::lfsFile().withEtag("../../../../escape"));
    auto error = thrownAs<HubEnvironmentError>([&] { api().snapshot(repo, "main", {"tagged.bin"}); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), HubEnvironmentError::Kind::invalidMetadataError);

    EXPECT_EQ(filesBelow(folder.path()), std::vector<std::string>{});
}

TEST_F(HubSnapshotTest, CancellationLeavesNoRecordAndNoStrayFile) {
    server.addFault(repo.id, "tokenizer.json", HubServer::Fault::stallAfter(1000));
    std::stop_source stop;
    std::jthread canceller([&] {
        while (server.countRequests("GET", "/resolve/") == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        stop.request_stop();
    });

    auto failed = [&] {
        try {
            api().snapshot(repo, "main", {"tokenizer.json"}, {}, stop.get_token());
        } catch (const halvex::UrlError& error) {
            return error.code() == halvex::UrlError::Code::cancelled;
        } catch (const halvex::CancellationError&) {
            return true;
        }
        return false;
    }();
    canceller.join();

    EXPECT_TRUE(failed);
    // Only the partial file stays, hidden in the cache folder, for a later resume.
    const std::string partial =
        ".cache/huggingface/download/tokenizer.json." + server.etag(repo.id, "tokenizer.json") + ".incomplete";
    EXPECT_EQ(filesBelow(repoFolder()), std::vector<std::string>{partial});

    api().snapshot(repo, "main", {"tokenizer.json"});
    EXPECT_EQ(readText(repoFolder() / "tokenizer.json"), tokenizer);
}

TEST_F(HubSnapshotTest, AnEmptySelectionReportsOnceAndReturnsTheFolder) {
    std::vector<std::int64_t> totals;
    auto result = api().snapshot(repo, "main", {"*.nothing"}, [&](const halvex::Progress& progress) {
        totals.push_back(progress.totalUnitCount());
    });
    EXPECT_EQ(result, repoFolder());
    EXPECT_EQ(totals, std::vector<std::int64_t>{0});
    EXPECT_FALSE(std::filesystem::exists(result));
}

TEST_F(HubSnapshotTest, OfflineVerifiesTheLocalCopyWithoutAnyRequest) {
    const auto pristine = folder / "pristine";
    HubApi(pristine, std::string(), server.endpoint(), false, false).snapshot(repo, "main");
    const std::string repoPath = "models/owner/model";
    struct Case {
        const char* name;
        std::function<void(const std::filesystem::path& repoFolder)> change;
        std::vector<std::string> globs;
        std::optional<std::string> error;  // what() of the expected error; none means success
    };
    const auto meta = [](const std::filesystem::path& folder, const std::string& file) {
        return folder / ".cache/huggingface/download" / (file + ".metadata");
    };
    const std::vector<Case> cases = {
        {"intact", [](const auto&) {}, {}, std::nullopt},
        {"digest-tagged file changed",
         [](const auto& f) { writeText(f / "tokenizer.json", "changed"); },
         {},
         "File integrity check failed: Hash mismatch for tokenizer.json"},
        {"plain-tagged file changed", [](const auto& f) { writeText(f / "config.json", "changed"); }, {}, std::nullopt},
        {"record missing",
         [&](const auto& f) { std::filesystem::remove(meta(f, "sub/weights.bin")); },
         {},
         "Offline mode error: Metadata not available for weights.bin"},
        {"changed file outside the patterns",
         [](const auto& f) { writeText(f / "sub/weights.bin", "x"); },
         {"*.json"},
         std::nullopt},
        {"no file matches",
         [](const auto&) {},
         {"*.safetensors"},
         "Offline mode error: No files matching the requested patterns are available locally"},
        {"only the hidden cache left",
         [](const auto& f) {
             for (const auto& name : {"config.json", "tokenizer.json", "sub"}) std::filesystem::remove_all(f / name);
         },
         {},
         "Offline mode error: No files available locally for this repository"},
        {"no repository",
         [](const auto& f) { std::filesystem::remove_all(f); },
         {},
         "Offline mode error: Repository not available locally"},
    };
    server.clearRequests();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(base);
        std::filesystem::copy(pristine, base, std::filesystem::copy_options::recursive);
        c.change(base / repoPath);

        auto run = [&] { return api(true).snapshot(repo, "main", c.globs); };
        if (c.error) {
            auto error = thrownAs<HubEnvironmentError>(run);
            ASSERT_TRUE(error);
            EXPECT_EQ(std::string(error->what()), *c.error);
        } else {
            EXPECT_EQ(run(), repoFolder());
        }
    }
    EXPECT_TRUE(server.requests().empty());
}

TEST(HubFileDownloaderTest, SourceUrls) {
    HubApi api(std::filesystem::path("/base"), std::string(), std::string("http://hub.test/"), false, true);
    auto source = [&](HubApi::RepoType type, const std::string& revision, const std::string& file,
                      std::optional<std::string> endpoint) {
        return halvex::HubFileDownloader(api, {"owner/name", type}, revision, "/r", "/m", file, std::nullopt,
                                         std::move(endpoint), false)
            .source();
    };
    EXPECT_EQ(source(HubApi::RepoType::models, "main", "config.json", "http://hub.test"),
              "http://hub.test/owner/name/resolve/main/config.json");
    EXPECT_EQ(source(HubApi::RepoType::datasets, "main", "config.json", "http://hub.test/"),
              "http://hub.test/datasets/owner/name/resolve/main/config.json");
    EXPECT_EQ(source(HubApi::RepoType::spaces, "refs/pr/1", "tokenizer/config json", "http://hub.test"),
              "http://hub.test/spaces/owner/name/resolve/refs%2Fpr%2F1/tokenizer/config%20json");
    EXPECT_EQ(source(HubApi::RepoType::models, "main", "a.json", std::nullopt),
              std::string(HubApi::defaultEndpoint) + "/owner/name/resolve/main/a.json");
    halvex::HubFileDownloader nested(api, {"owner/name"}, "main", "/r", "/m", "tokenizer/config.json", std::nullopt,
                                     std::nullopt, false);
    EXPECT_EQ(nested.destination(), std::filesystem::path("/r/tokenizer/config.json"));
    EXPECT_EQ(nested.metadataPath(), std::filesystem::path("/m/tokenizer/config.json.metadata"));
    EXPECT_EQ(nested.incompletePath("abc"), std::filesystem::path("/m/tokenizer/config.json.abc.incomplete"));
}

}  // namespace
