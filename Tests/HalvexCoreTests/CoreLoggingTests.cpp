#include "HalvexCore/Logging.h"
#include "Support/Fixtures.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <atomic>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using halvex::Logging;

namespace {

// The logger is process-wide: every test starts and ends silent, without a callback.
class CoreLogging : public ::testing::Test {
protected:
    void SetUp() override {
        Logging::updateLogLevel(Logging::LogLevel::none);
        Logging::updateCallback(nullptr);
        Logging::updateCallback([this](const std::string& line) {
            std::lock_guard<std::mutex> guard(mutex_);
            lines_.push_back(line);
        });
    }
    void TearDown() override {
        Logging::updateCallback(nullptr);
        Logging::updateLogLevel(Logging::LogLevel::none);
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> guard(mutex_);
        return lines_;
    }

    std::mutex mutex_;
    std::vector<std::string> lines_;
};

TEST_F(CoreLogging, IsSilentUntilALevelIsSet) {
    EXPECT_FALSE(Logging::isLoggingEnabled());
    Logging::debug("d");
    Logging::info("i");
    Logging::error("e");
    Logging::shared().log(Logging::MessageType::fault, " ", std::nullopt, "f");
    EXPECT_TRUE(lines().empty());
}

TEST_F(CoreLogging, LevelDecidesWhichLinesPass) {
    using Level = Logging::LogLevel;
    using Type = Logging::MessageType;
    struct Case {
        Level level;
        std::vector<std::string> passing;
    };
    const std::vector<Case> cases = {
        {Level::debug, {"debug", "info", "error", "fault", "default"}},
        {Level::info, {"info", "error", "fault", "default"}},
        {Level::error, {"error", "fault"}},
        {Level::none, {}},
    };
    const std::vector<std::pair<Type, std::string>> types = {
        {Type::debug, "debug"}, {Type::info, "info"},           {Type::error, "error"},
        {Type::fault, "fault"}, {Type::defaultType, "default"},
    };
    for (const auto& c : cases) {
        lines_.clear();
        Logging::updateLogLevel(c.level);
        for (const auto& [type, name] : types) Logging::shared().log(type, " ", std::nullopt, name);
        EXPECT_EQ(lines(), c.passing) << static_cast<int>(c.level);
        EXPECT_EQ(Logging::isLoggingEnabled(), c.level != Level::none);
        EXPECT_EQ(Logging::isLoggingEnabled(Level::error), c.level != Level::none);
        EXPECT_EQ(Logging::isLoggingEnabled(Level::debug), c.level == Level::debug);
    }
}

TEST_F(CoreLogging, RendersItemsWithSeparatorAndTerminator) {
    Logging::updateLogLevel(Logging::LogLevel::debug);
    Logging::shared().log(Logging::MessageType::info, "-", "!", 1, "a", 2.5);
    Logging::info("took", 1.0, "s", true);
    Logging::debug(std::string("alone"));
    Logging::error(0.1f, -3);
    EXPECT_EQ(lines(), (std::vector<std::string>{"1-a-2.5!", "took 1.0 s true", "alone", "0.1 -3"}));
}

TEST_F(CoreLogging, DroppedLinesAreNotRendered) {
    struct Costly {
        std::atomic<int>* renders;
        std::string description() const {
            ++*renders;
            return "costly";
        }
    };
    std::atomic<int> renders = 0;
    Logging::updateLogLevel(Logging::LogLevel::error);
    Logging::debug(Costly{&renders});
    Logging::info(Costly{&renders});
    EXPECT_EQ(renders, 0);
    Logging::error(Costly{&renders});
    EXPECT_EQ(renders, 1);
    EXPECT_EQ(lines(), std::vector<std::string>{"costly"});
}

TEST_F(CoreLogging, CallbackRunsOutsideTheLockAndCanBeCleared) {
    Logging::updateLogLevel(Logging::LogLevel::info);
    // A callback that reads the logger's settings would deadlock if it ran under the lock.
    std::vector<std::string> seen;
    Logging::updateCallback([&seen](const std::string& line) {
        seen.push_back(line + (Logging::isLoggingEnabled() ? " (enabled)" : ""));
        Logging::updateLogLevel(Logging::LogLevel::info);
    });
    Logging::info("first");
    EXPECT_EQ(seen, std::vector<std::string>{"first (enabled)"});
    EXPECT_TRUE(static_cast<bool>(Logging::shared().loggingCallback()));

    Logging::updateCallback(nullptr);
    EXPECT_FALSE(static_cast<bool>(Logging::shared().loggingCallback()));
    Logging::info("to the system log");
    EXPECT_EQ(seen.size(), 1u);
}

TEST_F(CoreLogging, ConcurrentLinesAllArrive) {
    Logging::updateLogLevel(Logging::LogLevel::debug);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 100; ++i) Logging::debug("thread", t, "line", i);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(lines().size(), 400u);
}

TEST(CoreLoggingLevels, RawValues) {
    EXPECT_EQ(Logging::logLevel(0), std::nullopt);
    EXPECT_EQ(Logging::logLevel(5), std::nullopt);
    EXPECT_EQ(Logging::logLevel(1), Logging::LogLevel::debug);
    EXPECT_EQ(Logging::logLevel(4), Logging::LogLevel::none);
    EXPECT_LT(Logging::LogLevel::debug, Logging::LogLevel::info);
    EXPECT_LT(Logging::LogLevel::error, Logging::LogLevel::none);
}

TEST(CoreLoggingFormat, TimeWithPercentage) {
    EXPECT_EQ(Logging::formatTimeWithPercentage(0.5, 0, 2000), "  500.00 ms /      0 runs (    0.00 ms/run) 25.00%");
    EXPECT_EQ(Logging::formatTimeWithPercentage(1.234, 4, 1234), " 1234.00 ms /      4 runs (  308.50 ms/run) 100.00%");
}

TEST_F(CoreLogging, ReportsResidentMemory) {
    norvel::test::TemporaryDirectory folder;
    {
        std::ofstream statm(folder / "statm");
        statm << "100000 1024 300 1 0 500 0\n";  // 1024 resident pages
    }
    const long pageSize = sysconf(_SC_PAGESIZE);
    EXPECT_EQ(Logging::memoryUsageFromStatm((folder / "statm").string()), (1024u * pageSize) >> 20);
    EXPECT_EQ(Logging::memoryUsageFromStatm((folder / "missing").string()), 0u);
    {
        std::ofstream broken(folder / "broken");
        broken << "not numbers";
    }
    EXPECT_EQ(Logging::memoryUsageFromStatm((folder / "broken").string()), 0u);

    // A running test process holds at least a megabyte.
    const auto megabytes = Logging::getMemoryUsage();
    EXPECT_GT(megabytes, 0u);
    Logging::updateLogLevel(Logging::LogLevel::debug);
    Logging::logCurrentMemoryUsage("After loadAudio function");
    ASSERT_EQ(lines().size(), 1u);
    EXPECT_TRUE(lines()[0].starts_with("After loadAudio function - Memory usage: ")) << lines()[0];
    EXPECT_TRUE(lines()[0].ends_with(" MB")) << lines()[0];
}

}  // namespace
