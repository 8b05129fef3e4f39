#pragma once

#include "HalvexCore/Logging.h"
#include "HalvexCore/ModelDownloader.h"
#include "HalvexCore/ModelState.h"

#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace halvex {

// Knows where a set of models comes from and how to load it; supplied by the library's user.
class ModelLoader {
public:
    using ProgressCallback = ModelDownloader::ProgressCallback;

    virtual ~ModelLoader() = default;
    // A local folder that already holds the models; when set, nothing is downloaded.
    virtual std::optional<std::string> modelFolder() const = 0;
    // Makes the models available on disk and returns the folder to load from.
    virtual std::string resolveModels(ModelDownloader& downloader, const ProgressCallback& progressCallback) = 0;
    // Loads the models; `prewarm` is true while prewarming.
    virtual void load(const std::string& path, bool prewarm) = 0;
    virtual void unload() = 0;
};

// Drives one set of models through download, prewarming, loading and unloading, reporting every
// change of state. Its state is kept behind a lock, so it may be read from any thread; the
// step operations themselves are not serialized against each other (callers keep them from
// overlapping), except that concurrent callers of ensureModelsLoaded() share one load.
class ModelManager {
public:
    using ModelStateCallback = std::function<void(ModelState oldState, ModelState newState)>;
    using ProgressCallback = ModelDownloader::ProgressCallback;

    ModelManager(std::shared_ptr<ModelLoader> loader, std::shared_ptr<ModelDownloader> downloader);
    virtual ~ModelManager() = default;
    ModelManager(const ModelManager&) = delete;
    ModelManager& operator=(const ModelManager&) = delete;

    ModelState modelState() const;
    // Calls the state callback with the old and new state when the state changes.
    void setModelState(ModelState state);
    ModelStateCallback modelStateCallback() const;
    void setModelStateCallback(ModelStateCallback callback);
    std::optional<std::filesystem::path> modelPath() const;
    // The loader's folder, when it has one.
    std::optional<std::filesystem::path> modelFolder() const;
    ModelDownloader& downloader() const noexcept { return *downloader_; }
    ModelLoader& loader() const noexcept { return *loader_; }

    // Downloads and loads the models unless they are loaded already; concurrent callers join
    // the load in flight and receive its outcome.
    virtual void ensureModelsLoaded();
    virtual void downloadModels(const ProgressCallback& progressCallback = {});
    virtual void prewarmModels();
    virtual void loadModels();
    virtual void unloadModels();

    bool isAvailable() const;
    bool isLoaded() const;

protected:
    // The prefix of the log lines: the unqualified name of the object's own class.
    std::string loggerName() const;

private:
    std::string settledFolderPath() const;
    void log(Logging::MessageType type, const std::string& textAfterName) const;

    std::shared_ptr<ModelLoader> loader_;
    std::shared_ptr<ModelDownloader> downloader_;

    mutable std::mutex mutex_;  // guards the three fields below and the logger name
    ModelState modelState_ = ModelState::unloaded;
    ModelStateCallback modelStateCallback_;
    std::optional<std::filesystem::path> modelPath_;
    mutable std::optional<std::string> loggerName_;

    // Joins concurrent loads: the one in flight, if any.
    std::mutex coordinatorMutex_;
    std::optional<std::shared_future<void>> inflightLoad_;
};

}  // namespace halvex
