#include "HalvexCore/External/Hub/HubApi.h"
#include "HalvexCore/External/Hub/HubFileDownloader.h"
#include "HalvexCore/External/Hub/NetworkMonitor.h"
#include "HalvexCore/External/Hub/Progress.h"
#include "HalvexCore/External/Hub/Sha256.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"
#include "Support/ScopedEnvironment.h"
#include "Support/Thrown.h"

#include <gtest/gtest.h>

#include <thread>

#include <linux/rtnetlink.h>
#include <net/if.h>

namespace {

using halvex::HubApi;
using halvex::HubEnvironmentError;
using halvex::Hub::HubClientError;
using norvel::test::readText;
using norvel::test::ScopedEnvironment;
using norvel::test::TemporaryDirectory;
using norvel::test::thrownAs;
using norvel::test::writeText;

class HubCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        HubApi::logger().setSink([this](const std::string& entry) { logEntries.push_back(entry); });
    }
    void TearDown() override { HubApi::logger().setSink({}); }

    TemporaryDirectory folder;
    HubApi api{folder.path(), std::string(), std::string("http://127.0.0.1:9"), false, true};
    std::vector<std::string> logEntries;
};

TEST_F(HubCacheTest, MetadataRecordRoundTrip) {
    const auto record = folder / "repo/.cache/huggingface/download/sub/config.json.metadata";
    const std::string commit(40, 'c');
    const std::string etag(64, 'e');
    auto before = std::chrono::system_clock::now();

    api.writeDownloadMetadata(commit, etag, record);
    auto read = api.readDownloadMetadata(record);

    ASSERT_TRUE(read);
    EXPECT_EQ(read->commitHash, commit);
    EXPECT_EQ(read->etag, etag);
    EXPECT_EQ(read->filename, "config.json");
    auto written = std::chrono::duration<double>(read->timestamp.time_since_epoch()).count();
    auto started = std::chrono::duration<double>(before.time_since_epoch()).count();
    EXPECT_GE(written, started - 1.0);
    EXPECT_LE(written, started + 1.0);
    // Exactly three lines: commit, etag, a decimal timestamp with a fraction.
    auto text = readText(record);
    auto third = text.substr(commit.size() + etag.size() + 2);
    EXPECT_EQ(text.substr(0, commit.size() + etag.size() + 2), commit + "\n" + etag + "\n");
    EXPECT_EQ(third.back(), '\n');
    EXPECT_NE(third.find('.'), std::string::npos);
    EXPECT_EQ(third.find_first_not_of("0123456789.\n"), std::string::npos);
    EXPECT_TRUE(logEntries.empty());
    EXPECT_FALSE(api.readDownloadMetadata(folder / "absent.metadata"));
}

TEST_F(HubCacheTest, ReadsRecordsLeniently) {
    struct Case {
        const char* content;
        const char* commit;
        const char* etag;
    };
    const std::vector<Case> cases = {
        {"  abc \n\tdef  \n 1718000000.5 \n", "abc", "def"},
        {"abc\ndef\n12\nextra\nlines\n", "abc", "def"},
        // Each of CR and LF ends a line, so the etag lands on the third line; a numeric one
        // still reads as a time.
        {"abc\r\n42\r\n1718000000.0\r\n", "abc", ""},
    };
    for (const auto& c : cases) {
        writeText(folder / "f.metadata", c.content);
        auto read = api.readDownloadMetadata(folder / "f.metadata");
        ASSERT_TRUE(read) << c.content;
        EXPECT_EQ(read->commitHash, c.commit);
        EXPECT_EQ(read->etag, c.etag);
    }
    EXPECT_TRUE(logEntries.empty());
}

TEST_F(HubCacheTest, DamagedRecordsAreLoggedDeletedAndReadAsAbsent) {
    struct Case {
        std::string content;
        std::string logPrefix;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"abc\ndef", "Invalid metadata file ", "Invalid metadata: Metadata file is missing required fields"},
        // The line feed ending the second line opens an empty third line: no time in it.
        {"abc\ndef\n", "Invalid metadata file ", "Invalid metadata: Invalid timestamp format"},
        {"abc\ndef\nnot a time\n", "Invalid metadata file ", "Invalid metadata: Invalid timestamp format"},
        {"abc\r\ndef\r\n1718000000.0\r\n", "Invalid metadata file ", "Invalid metadata: Invalid timestamp format"},
        {"abc\n\xff\xfe\n12\n", "Error reading metadata file ", ""},
    };
    const auto record = folder / "sub/f.json.metadata";
    for (const auto& c : cases) {
        logEntries.clear();
        writeText(record, c.content);

        EXPECT_FALSE(api.readDownloadMetadata(record));

        EXPECT_FALSE(std::filesystem::exists(record));
        ASSERT_EQ(logEntries.size(), 1u);
        const std::string url = "file://" + record.string();
        EXPECT_EQ(logEntries[0].rfind(c.logPrefix + url + ": " + c.reason, 0), 0u) << logEntries[0];
        EXPECT_TRUE(logEntries[0].ends_with(". Removing it from disk and continuing."));
    }
}

TEST_F(HubCacheTest, FileHashes) {
    std::string large(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<char>(i * 31 % 251);
    }
    writeText(folder / "empty", "");
    writeText(folder / "abc", "abc");
    writeText(folder / "large", large);

    EXPECT_EQ(api.computeFileHash(folder / "empty"),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(api.computeFileHash(folder / "abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(api.computeFileHash(folder / "large"), halvex::Sha256::hexDigest(large));

    auto missing = thrownAs<HubClientError>([&] { api.computeFileHash(folder / "missing.bin"); });
    ASSERT_TRUE(missing);
    EXPECT_STREQ(missing->what(), "File not found: missing.bin");
    // A read that fails is an error, never the end of the file (a folder opens but cannot be read).
    std::filesystem::create_directories(folder / "folder");
    EXPECT_THROW(api.computeFileHash(folder / "folder"), std::filesystem::filesystem_error);
}

TEST_F(HubCacheTest, HashPatterns) {
    const std::string digest(64, 'a');
    const std::vector<std::tuple<std::string, bool, bool>> cases = {
        {std::string(40, 'a'), true, false},
        {std::string(40, 'A'), false, false},
        {std::string(39, 'a'), false, false},
        {std::string(41, 'a'), false, false},
        {digest, false, true},
        {std::string(63, 'a') + "g", false, false},
        {"", false, false},
    };
    for (const auto& [text, isCommit, isDigest] : cases) {
        EXPECT_EQ(HubApi::matchesPattern(text, api.commitHashPattern()), isCommit) << text;
        EXPECT_EQ(HubApi::matchesPattern(text, api.sha256Pattern()), isDigest) << text;
    }
}

TEST_F(HubCacheTest, PrepareCacheDestinationKeepsAnExistingPartialFile) {
    const auto existing = folder / "meta/sub/file.bin.tag.incomplete";
    writeText(existing, "12345");
    halvex::HubFileDownloader::prepareCacheDestination(existing);
    EXPECT_EQ(readText(existing), "12345");

    const auto fresh = folder / "meta/other/new.bin.tag.incomplete";
    halvex::HubFileDownloader::prepareCacheDestination(fresh);
    EXPECT_TRUE(std::filesystem::is_regular_file(fresh));
    EXPECT_EQ(std::filesystem::file_size(fresh), 0u);
}

TEST_F(HubCacheTest, LocalFileListingSkipsHiddenEntriesAndLinks) {
    const auto repo = folder / "repo";
    writeText(repo / "config.json", "{}");
    writeText(repo / "sub/tokenizer.json", "{}");
    writeText(repo / ".gitattributes", "");
    writeText(repo / ".cache/huggingface/download/config.json.metadata", "x");
    writeText(repo / "sub/.hidden/inner.json", "{}");
    std::filesystem::create_symlink(repo / "config.json", repo / "link.json");

    EXPECT_EQ(halvex::getFileUrls(repo),
              (std::vector<std::filesystem::path>{repo / "config.json", repo / "sub/tokenizer.json"}));
    EXPECT_TRUE(halvex::getFileUrls(folder / "missing").empty());
}

TEST(HubNetworkTest, OnlineMeansADefaultRouteThroughAnUpInterface) {
    using Monitor = halvex::NetworkMonitor;
    const unsigned up = IFF_UP | IFF_RUNNING;
    const std::vector<Monitor::Link> links = {{1, up | IFF_LOOPBACK}, {2, up}, {3, IFF_UP}};
    auto defaultRoute = [](std::vector<int> interfaces) {
        return Monitor::Route{0, RT_TABLE_MAIN, RTN_UNICAST, std::move(interfaces)};
    };
    struct Case {
        const char* name;
        std::vector<Monitor::Route> routes;
        bool online;
    };
    const std::vector<Case> cases = {
        {"default route on an up interface", {defaultRoute({2})}, true},
        {"default route on the loopback", {defaultRoute({1})}, false},
        {"default route on an interface without carrier", {defaultRoute({3})}, false},
        {"only a subnet route", {Monitor::Route{24, RT_TABLE_MAIN, RTN_UNICAST, {2}}}, false},
        {"default route in another table", {Monitor::Route{0, RT_TABLE_LOCAL, RTN_UNICAST, {2}}}, false},
        {"unreachable default", {Monitor::Route{0, RT_TABLE_MAIN, RTN_UNREACHABLE, {2}}}, false},
        {"multipath with one usable hop", {defaultRoute({3, 2})}, true},
        {"no routes", {}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Monitor::pathIsSatisfied(links, c.routes), c.online) << c.name;
    }
}

TEST(HubNetworkTest, OfflineDecisionFollowsTheStateUnlessCiDisablesIt) {
    halvex::NetworkStateActor state;
    {
        ScopedEnvironment flag("CI_DISABLE_NETWORK_MONITOR", std::nullopt);
        EXPECT_FALSE(state.shouldUseOfflineMode());  // connected until told otherwise
        state.update(false, false, false);
        EXPECT_TRUE(state.shouldUseOfflineMode());
        state.update(true, true, true);
        EXPECT_FALSE(state.shouldUseOfflineMode());  // expensive and constrained paths count as online
        state.update(false, false, false);
    }
    for (const char* value : {"1", "true", " 1"}) {
        ScopedEnvironment flag("CI_DISABLE_NETWORK_MONITOR", value);
        EXPECT_EQ(state.shouldUseOfflineMode(), std::string(value) != "1") << value;
    }
}

TEST(HubProgressTest, ParentFractionCountsFinishedChildrenAndTheCurrentOne) {
    halvex::Progress parent(3);
    EXPECT_EQ(parent.fractionCompleted(), 0.0);
    auto first = parent.addChild(100, 1);
    first->setCompletedUnitCount(50);
    EXPECT_DOUBLE_EQ(parent.fractionCompleted(), 0.5 / 3);
    first->setCompletedUnitCount(100);
    EXPECT_DOUBLE_EQ(parent.fractionCompleted(), 1.0 / 3);
    EXPECT_EQ(parent.completedUnitCount(), 1);
    auto second = parent.addChild(100, 1);
    second->setCompletedUnitCount(25);
    EXPECT_DOUBLE_EQ(parent.fractionCompleted(), 1.25 / 3);
    EXPECT_EQ(halvex::Progress(0).fractionCompleted(), 0.0);
}

TEST(HubProgressTest, ATotalSetLaterCanFinishAChildAndTheParent) {
    auto parent = std::make_shared<halvex::Progress>();
    EXPECT_FALSE(parent->isFinished()) << "a progress without a total is not finished";
    parent->setTotalUnitCount(2);
    auto first = parent->addChild(0, 1);
    first->setCompletedUnitCount(40);
    EXPECT_FALSE(first->isFinished());
    EXPECT_EQ(parent->completedUnitCount(), 0);
    first->setTotalUnitCount(40);  // the count already reached: finished
    EXPECT_TRUE(first->isFinished());
    EXPECT_EQ(parent->completedUnitCount(), 1);
    auto second = parent->addChild(10, 1);
    second->setCompletedUnitCount(10);
    EXPECT_TRUE(parent->isFinished());
    EXPECT_DOUBLE_EQ(parent->fractionCompleted(), 1.0);
    parent->setTotalUnitCount(3);
    EXPECT_FALSE(parent->isFinished());
}

// A parent replaced and released while its children still work: their reports must reach it
// while it lives and nothing once it is gone.
TEST(HubProgressTest, ChildrenMayReportWhileTheirParentIsReleased) {
    for (int round = 0; round < 50; ++round) {
        auto parent = std::make_shared<halvex::Progress>(4);
        std::vector<std::shared_ptr<halvex::Progress>> children;
        for (int i = 0; i < 4; ++i) children.push_back(parent->addChild(100, 1));
        std::vector<std::thread> workers;
        for (auto& child : children) {
            workers.emplace_back([child] {
                for (int units = 1; units <= 100; ++units) child->setCompletedUnitCount(units);
            });
        }
        parent.reset();
        for (auto& worker : workers) worker.join();
        for (auto& child : children) EXPECT_TRUE(child->isFinished());
    }
}

}  // namespace
