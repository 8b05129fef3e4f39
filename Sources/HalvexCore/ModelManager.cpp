#include "HalvexCore/ModelManager.h"

#include "HalvexCore/HalvexCoreError.h"

#include <cxxabi.h>

#include <cstdlib>
#include <typeinfo>

namespace halvex {

ModelManager::ModelManager(std::shared_ptr<ModelLoader> loader, std::shared_ptr<ModelDownloader> downloader)
    : loader_(std::move(loader)), downloader_(std::move(downloader)) {}

ModelState ModelManager::modelState() const {
    std::lock_guard lock(mutex_);
    return modelState_;
}

void ModelManager::setModelState(ModelState state) {
    ModelState old;
    ModelStateCallback callback;
    {
        std::lock_guard lock(mutex_);
        old = modelState_;
        if (old == state) {
            return;
        }
        modelState_ = state;
        callback = modelStateCallback_;
    }
    // Outside the lock, so the callback may read the manager.
    if (callback) {
        callback(old, state);
    }
}

ModelManager::ModelStateCallback ModelManager::modelStateCallback() const {
    std::lock_guard lock(mutex_);
    return modelStateCallback_;
}

void ModelManager::setModelStateCallback(ModelStateCallback callback) {
    std::lock_guard lock(mutex_);
    modelStateCallback_ = std::move(callback);
}

std::optional<std::filesystem::path> ModelManager::modelPath() const {
    std::lock_guard lock(mutex_);
    return modelPath_;
}

std::optional<std::filesystem::path> ModelManager::modelFolder() const {
    if (auto folder = loader_->modelFolder()) {
        return std::filesystem::path(*folder);
    }
    return std::nullopt;
}

bool ModelManager::isAvailable() const {
    auto state = modelState();
    return state == ModelState::loading || state == ModelState::loaded || state == ModelState::downloaded;
}

bool ModelManager::isLoaded() const { return modelState() == ModelState::loaded; }

std::string ModelManager::loggerName() const {
    std::lock_guard lock(mutex_);
    if (!loggerName_) {
        const char* mangled = typeid(*this).name();
        int status = 0;
        std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                                         std::free);
        std::string name = status == 0 && demangled ? demangled.get() : mangled;
        name = name.substr(0, name.find('<'));
        if (auto colon = name.rfind("::"); colon != std::string::npos) {
            name = name.substr(colon + 2);
        }
        loggerName_ = name;
    }
    return *loggerName_;
}

void ModelManager::log(Logging::MessageType type, const std::string& textAfterName) const {
    std::string line = "[";
    line += loggerName();
    line += textAfterName;
    Logging::shared().log(type, " ", std::nullopt, line);
}

std::string ModelManager::settledFolderPath() const {
    if (auto path = modelPath()) {
        return path->string();
    }
    if (auto folder = loader_->modelFolder()) {
        return *folder;
    }
    throw HalvexCoreError::invalidConfiguration(
        "No model path available. Call downloadModels() first, or provide modelFolder.");
}

void ModelManager::downloadModels(const ProgressCallback& progressCallback) {
    auto state = modelState();
    if (state != ModelState::unloaded) {
        log(Logging::MessageType::debug,
            "] Models already downloaded (state: " + description(state) + "), skipping download");
        return;
    }
    if (auto folder = loader_->modelFolder()) {
        log(Logging::MessageType::debug, "] modelFolder is set, skipping download");
        {
            std::lock_guard lock(mutex_);
            modelPath_ = std::filesystem::path(*folder);
        }
        setModelState(ModelState::downloaded);
        return;
    }
    log(Logging::MessageType::info, "] Starting download process...");
    setModelState(ModelState::downloading);
    std::string path;
    try {
        path = loader_->resolveModels(*downloader_, progressCallback);
    } catch (const std::exception& error) {
        setModelState(ModelState::unloaded);
        log(Logging::MessageType::error, std::string("] Failed to download models: ") + error.what());
        throw;
    } catch (...) {
        setModelState(ModelState::unloaded);
        log(Logging::MessageType::error, "] Failed to download models: unknown error");
        throw;
    }
    {
        std::lock_guard lock(mutex_);
        modelPath_ = std::filesystem::path(path);
    }
    setModelState(ModelState::downloaded);
    log(Logging::MessageType::info, "] Models downloaded to " + path);
}

void ModelManager::prewarmModels() {
    if (modelState() == ModelState::unloaded) {
        ModelManager::downloadModels({});
    }
    const auto path = settledFolderPath();
    const auto state = modelState();
    if (state == ModelState::prewarmed) {
        log(Logging::MessageType::debug, "] Models already prewarmed, skipping");
        return;
    }
    if (state != ModelState::downloaded) {
        throw HalvexCoreError::invalidConfiguration("Cannot prewarm in state: " + description(state));
    }
    setModelState(ModelState::prewarming);
    try {
        loader_->load(path, true);
    } catch (const std::exception& error) {
        setModelState(ModelState::unloaded);
        log(Logging::MessageType::error, std::string("] Failed to prewarm models: ") + error.what());
        throw;
    }
    setModelState(ModelState::prewarmed);
    log(Logging::MessageType::info, "] Models prewarmed successfully");
}

void ModelManager::loadModels() {
    if (modelState() == ModelState::unloaded) {
        ModelManager::downloadModels({});
    }
    const auto path = settledFolderPath();
    const auto state = modelState();
    if (state == ModelState::loaded) {
        log(Logging::MessageType::debug, "] Models already loaded, skipping");
        return;
    }
    if (state != ModelState::prewarmed && state != ModelState::downloaded) {
        throw HalvexCoreError::invalidConfiguration("Cannot load in state: " + description(state));
    }
    setModelState(ModelState::loading);
    try {
        loader_->load(path, false);
    } catch (const std::exception& error) {
        setModelState(ModelState::unloaded);
        log(Logging::MessageType::error, std::string("] Failed to load models: ") + error.what());
        throw;
    }
    setModelState(ModelState::loaded);
    log(Logging::MessageType::info, "] Models loaded successfully");
}

void ModelManager::unloadModels() {
    auto state = modelState();
    if (state != ModelState::loaded && state != ModelState::prewarmed) {
        return;
    }
    setModelState(ModelState::unloading);
    loader_->unload();
    setModelState(ModelState::unloaded);
}

void ModelManager::ensureModelsLoaded() {
    if (modelState() == ModelState::loaded) {
        return;
    }
    std::shared_future<void> load;
    std::optional<std::promise<void>> owner;
    {
        std::lock_guard lock(coordinatorMutex_);
        if (inflightLoad_) {
            load = *inflightLoad_;
        } else {
            owner.emplace();
            load = owner->get_future().share();
            inflightLoad_ = load;
        }
    }
    if (owner) {
        // This caller runs the load; everyone who arrives meanwhile waits for its outcome.
        try {
            if (modelState() != ModelState::loaded) {
                ModelManager::downloadModels({});
                ModelManager::loadModels();
            }
            owner->set_value();
        } catch (...) {
            owner->set_exception(std::current_exception());
        }
        std::lock_guard lock(coordinatorMutex_);
        inflightLoad_.reset();
    }
    load.get();
}

}  // namespace halvex
