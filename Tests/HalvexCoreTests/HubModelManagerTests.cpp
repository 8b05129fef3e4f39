#include "HalvexCore/HalvexCoreError.h"
#include "HalvexCore/Logging.h"
#include "HalvexCore/ModelManager.h"
#include "Support/LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <thread>

namespace {

using halvex::HalvexCoreError;
using halvex::ModelDownloader;
using halvex::ModelLoader;
using halvex::ModelManager;
using halvex::ModelState;

class FakeLoader : public ModelLoader {
public:
    std::optional<std::string> folder;
    std::string resolvedPath = "/models/resolved";
    bool failResolve = false;
    bool failLoad = false;
    std::atomic<int> resolveCalls{0};
    std::atomic<int> loadCalls{0};
    std::atomic<int> unloadCalls{0};
    std::vector<std::pair<std::string, bool>> loads;

    // While closed, resolveModels waits.
    void closeGate() {
        std::lock_guard lock(mutex_);
        open_ = false;
    }
    void openGate() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        changed_.notify_all();
    }

    std::optional<std::string> modelFolder() const override { return folder; }
    std::string resolveModels(ModelDownloader&, const ProgressCallback&) override {
        ++resolveCalls;
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return open_; });
        if (failResolve) {
            throw std::runtime_error("resolve failed");
        }
        return resolvedPath;
    }
    void load(const std::string& path, bool prewarm) override {
        ++loadCalls;
        loads.emplace_back(path, prewarm);
        if (failLoad) {
            throw std::runtime_error("load failed");
        }
    }
    void unload() override { ++unloadCalls; }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = true;
};

class TestManager : public ModelManager {
public:
    using ModelManager::ModelManager;
};

class ModelManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        manager.setModelStateCallback([this](ModelState from, ModelState to) { transitions.emplace_back(from, to); });
    }
    bool logged(const std::string& line) { return log.hasLine(line); }

    using Transition = std::pair<ModelState, ModelState>;
    std::shared_ptr<FakeLoader> loader = std::make_shared<FakeLoader>();
    std::shared_ptr<ModelDownloader> downloader =
        std::make_shared<ModelDownloader>("http://127.0.0.1:9", "owner/repo", std::string(), "main", false);
    TestManager manager{loader, downloader};
    std::vector<Transition> transitions;
    norvel::test::LogCapture log;
};

TEST_F(ModelManagerTest, LoadingFromScratchDownloadsFirst) {
    manager.loadModels();

    EXPECT_EQ(transitions, (std::vector<Transition>{{ModelState::unloaded, ModelState::downloading},
                                                    {ModelState::downloading, ModelState::downloaded},
                                                    {ModelState::downloaded, ModelState::loading},
                                                    {ModelState::loading, ModelState::loaded}}));
    EXPECT_EQ(loader->loads, (std::vector<std::pair<std::string, bool>>{{"/models/resolved", false}}));
    EXPECT_EQ(manager.modelPath(), std::filesystem::path("/models/resolved"));
    EXPECT_TRUE(logged("[TestManager] Models downloaded to /models/resolved"));
    EXPECT_TRUE(logged("[TestManager] Models loaded successfully"));

    transitions.clear();
    manager.downloadModels();
    manager.loadModels();
    EXPECT_TRUE(transitions.empty());
    EXPECT_TRUE(logged("[TestManager] Models already downloaded (state: Loaded), skipping download"));
    EXPECT_TRUE(logged("[TestManager] Models already loaded, skipping"));

    auto refused = [&] {
        try {
            manager.prewarmModels();
        } catch (const HalvexCoreError& error) {
            return std::string(error.what());
        }
        return std::string();
    }();
    EXPECT_EQ(refused, "Cannot prewarm in state: Loaded");
    EXPECT_EQ(manager.modelState(), ModelState::loaded);

    manager.unloadModels();
    EXPECT_EQ(transitions, (std::vector<Transition>{{ModelState::loaded, ModelState::unloading},
                                                    {ModelState::unloading, ModelState::unloaded}}));
    EXPECT_EQ(loader->unloadCalls, 1);
    EXPECT_EQ(manager.modelPath(), std::filesystem::path("/models/resolved"));  // unloading keeps the path
}

TEST_F(ModelManagerTest, ALoaderFolderSkipsTheDownload) {
    loader->folder = "/models/local";
    manager.downloadModels();
    EXPECT_EQ(transitions, (std::vector<Transition>{{ModelState::unloaded, ModelState::downloaded}}));
    EXPECT_EQ(manager.modelPath(), std::filesystem::path("/models/local"));
    EXPECT_EQ(loader->resolveCalls, 0);
    EXPECT_TRUE(logged("[TestManager] modelFolder is set, skipping download"));

    manager.prewarmModels();
    manager.loadModels();
    EXPECT_EQ(loader->loads,
              (std::vector<std::pair<std::string, bool>>{{"/models/local", true}, {"/models/local", false}}));
    EXPECT_EQ(manager.modelState(), ModelState::loaded);
}

TEST_F(ModelManagerTest, FailuresLeaveTheManagerUnloaded) {
    loader->failLoad = true;
    EXPECT_THROW(manager.prewarmModels(), std::runtime_error);
    EXPECT_EQ(manager.modelState(), ModelState::unloaded);
    EXPECT_TRUE(logged("[TestManager] Failed to prewarm models: load failed"));

    loader->failLoad = false;
    manager.loadModels();  // downloads again, then loads
    EXPECT_EQ(loader->resolveCalls, 2);
    EXPECT_EQ(manager.modelState(), ModelState::loaded);

    ModelManager fresh(loader, downloader);
    loader->failResolve = true;
    EXPECT_THROW(fresh.downloadModels(), std::runtime_error);
    EXPECT_EQ(fresh.modelState(), ModelState::unloaded);
    EXPECT_TRUE(logged("[ModelManager] Failed to download models: resolve failed"));

    // With no path at all, the path error wins over every state error.
    fresh.setModelState(ModelState::loading);
    try {
        fresh.loadModels();
        FAIL() << "loadModels should throw";
    } catch (const HalvexCoreError& error) {
        EXPECT_STREQ(error.what(), "No model path available. Call downloadModels() first, or provide modelFolder.");
    }
}

TEST_F(ModelManagerTest, StatesAndTheirChecks) {
    struct Case {
        ModelState state;
        bool available;
        bool loaded;
        bool unloads;
        std::string loadError;
    };
    manager.downloadModels();  // gives the manager a path
    const std::vector<Case> cases = {
        {ModelState::unloading, false, false, false, "Cannot load in state: Unloading"},
        {ModelState::loading, true, false, false, "Cannot load in state: Loading"},
        {ModelState::loaded, true, true, true, ""},
        {ModelState::prewarming, false, false, false, "Cannot load in state: Specializing"},
        {ModelState::prewarmed, false, false, true, ""},
        {ModelState::downloading, false, false, false, "Cannot load in state: Downloading"},
        {ModelState::downloaded, true, false, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(halvex::description(c.state));
        manager.setModelState(c.state);
        EXPECT_EQ(manager.isAvailable(), c.available);
        EXPECT_EQ(manager.isLoaded(), c.loaded);
        transitions.clear();
        manager.setModelState(c.state);
        EXPECT_TRUE(transitions.empty());  // writing the same state calls nothing

        manager.unloadModels();
        EXPECT_EQ(manager.modelState() == ModelState::unloaded, c.unloads);
        manager.setModelState(c.state);
        if (c.loadError.empty()) {
            EXPECT_NO_THROW(manager.loadModels());
        } else {
            try {
                manager.loadModels();
                ADD_FAILURE() << "loadModels should throw";
            } catch (const HalvexCoreError& error) {
                EXPECT_EQ(error.what(), c.loadError);
            }
            EXPECT_EQ(manager.modelState(), c.state);
        }
    }
}

TEST_F(ModelManagerTest, ConcurrentCallersShareOneLoad) {
    for (bool fail : {true, false}) {
        SCOPED_TRACE(fail ? "failing load" : "successful load");
        loader->failResolve = fail;
        loader->resolveCalls = 0;
        loader->loadCalls = 0;
        loader->closeGate();
        std::atomic<int> started{0};
        std::atomic<int> failures{0};
        {
            std::vector<std::jthread> callers;
            for (int i = 0; i < 10; ++i) {
                callers.emplace_back([&] {
                    ++started;
                    try {
                        manager.ensureModelsLoaded();
                    } catch (const std::runtime_error&) {
                        ++failures;
                    }
                });
            }
            while (started < 10) {
                std::this_thread::yield();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            loader->openGate();
        }
        EXPECT_EQ(loader->resolveCalls, 1);
        EXPECT_EQ(loader->loadCalls, fail ? 0 : 1);
        EXPECT_EQ(failures, fail ? 10 : 0);
        EXPECT_EQ(manager.modelState(), fail ? ModelState::unloaded : ModelState::loaded);
    }
    manager.ensureModelsLoaded();  // already loaded: nothing happens
    EXPECT_EQ(loader->resolveCalls, 1);
}

}  // namespace
