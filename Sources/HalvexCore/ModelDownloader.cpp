#include "HalvexCore/ModelDownloader.h"

#include "HalvexCore/CollectionHelpers.h"
#include "HalvexCore/Logging.h"
#include "HalvexCore/ModelUtilities.h"

#include <algorithm>
#include <sstream>

namespace halvex {

namespace {

void logLine(Logging::MessageType type, const std::string& text) {
    Logging::shared().log(type, " ", std::nullopt, text);
}

std::vector<std::filesystem::path> subfolders(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> folders;
    std::error_code error;
    for (std::filesystem::directory_iterator entries(folder, error), end; !error && entries != end;
         entries.increment(error)) {
        std::error_code statusError;
        if (entries->is_directory(statusError) && !entries->path().filename().string().starts_with(".")) {
            folders.push_back(entries->path());
        }
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}

}  // namespace

std::string ModelInfo::downloadPattern() const {
    return name + "/" + version.value_or("*") + "/" + variant.value_or("*") + "/*";
}

std::filesystem::path ModelInfo::modelURL(const std::filesystem::path& baseURL) const {
    auto url = baseURL / name;
    if (version) {
        url /= *version;
    }
    if (variant) {
        url /= *variant;
    }
    return url;
}

std::string ModelInfo::description() const {
    std::string text = name;
    for (const auto& level : {version, variant}) {
        if (level) {
            text += "/" + *level;
        }
    }
    return text;
}

std::string ModelInfo::debugDescription() const {
    return "ModelInfo(name: " + name + ", version: " + version.value_or("nil") +
           ", variant: " + variant.value_or("nil") + ", computeUnit: " + platform::description(computeUnits) + ")";
}

std::optional<std::filesystem::path> ModelInfo::findBaseFolder(const std::filesystem::path& url) const {
    std::vector<std::filesystem::path> components(url.begin(), url.end());
    while (!components.empty() && components.back().empty()) {
        components.pop_back();  // a trailing separator
    }
    while (components.size() >= 2) {
        if (components.back().string() == name) {
            components.pop_back();
            std::filesystem::path base;
            for (const auto& component : components) {
                base /= component;
            }
            return base;
        }
        components.pop_back();
    }
    return std::nullopt;
}

ModelDownloader::ModelDownloader(ModelDownloadConfig config) : config_(std::move(config)) {}

ModelDownloader::ModelDownloader(std::string endpoint, std::string repoName, std::optional<std::string> modelToken,
                                 std::string revision, bool useBackgroundSession)
    : ModelDownloader(ModelDownloadConfig(std::nullopt, std::move(repoName), std::move(modelToken), std::nullopt,
                                          useBackgroundSession, std::move(endpoint), std::move(revision))) {}

std::optional<std::filesystem::path> ModelDownloader::effectiveDownloadBase(
    const std::optional<std::filesystem::path>& given) const {
    if (given) {
        return given;
    }
    if (config_.downloadBase) {
        return std::filesystem::path(*config_.downloadBase);
    }
    return std::nullopt;
}

HubApi ModelDownloader::makeHub(const std::optional<std::filesystem::path>& downloadBase,
                                std::optional<bool> useOfflineMode) const {
    return HubApi(effectiveDownloadBase(downloadBase), config_.modelToken, config_.endpoint,
                  config_.useBackgroundSession, useOfflineMode);
}

std::filesystem::path ModelDownloader::downloadModel(const ModelInfo& modelInfo,
                                                     const std::optional<std::filesystem::path>& downloadBase,
                                                     std::optional<bool> useOfflineMode, std::stop_token stop) {
    const std::string pattern = modelInfo.downloadPattern();
    HubApi hub = makeHub(downloadBase, useOfflineMode);
    const bool offline = useOfflineMode.value_or(false);
    if (offline) {
        std::ostringstream repoText;
        repoText << repo();
        logLine(Logging::MessageType::debug,
                "[ModelDownloader] Searching for models matching \"" + pattern + "\" in " + repoText.str());
        // Offline, the search looks at the local copy: asking the hub would fail without a
        // network and defeat the purpose of a cache lookup.
        const auto repoFolder = hub.localRepoLocation(repo());
        std::error_code error;
        const auto resolvedRepo = std::filesystem::weakly_canonical(repoFolder, error);
        bool found = false;
        for (const auto& file : getFileUrls(repoFolder)) {
            auto relative =
                std::filesystem::relative(std::filesystem::weakly_canonical(file, error), resolvedRepo, error)
                    .generic_string();
            if (!error && matchesGlob(relative, pattern)) {
                found = true;
                break;
            }
        }
        if (!found) {
            throw ModelDownloaderError::modelUnavailable("No models found matching \"" + pattern + "\" in " +
                                                         config_.modelRepo);
        }
    }
    logLine(Logging::MessageType::debug,
            "[ModelDownloader] Downloading model " + pattern + " with offline mode: " + (offline ? "true" : "false"));
    return hub.snapshot(repo(), config_.revision, {pattern}, {}, std::move(stop));
}

std::filesystem::path ModelDownloader::localRepoLocation(
    const std::optional<std::filesystem::path>& downloadBase) const {
    return makeHub(downloadBase, std::nullopt).localRepoLocation(repo());
}

std::optional<std::filesystem::path> ModelDownloader::findModel(const std::filesystem::path& root,
                                                                const ModelInfo& info, const std::string& name) const {
    if (auto found = ModelDownloader::modelURLIfExists(info.modelURL(root), name)) {
        return found;
    }
    if (info.version && info.variant) {
        return std::nullopt;
    }
    // A missing level is a wildcard in the download pattern, so the files landed one folder
    // deeper than modelURL says: look in every folder the pattern reaches.
    std::vector<std::filesystem::path> candidates{root / info.name};
    for (const auto& level : {info.version, info.variant}) {
        std::vector<std::filesystem::path> next;
        for (const auto& candidate : candidates) {
            if (level) {
                next.push_back(candidate / *level);
            } else {
                auto folders = subfolders(candidate);
                next.insert(next.end(), folders.begin(), folders.end());
            }
        }
        candidates = std::move(next);
    }
    for (const auto& candidate : candidates) {
        if (auto found = ModelDownloader::modelURLIfExists(candidate, name)) {
            return found;
        }
    }
    return std::nullopt;
}

std::filesystem::path ModelDownloader::resolveModel(const std::string& name, const ModelInfo& info,
                                                    const std::optional<std::filesystem::path>& modelFolder,
                                                    const std::optional<std::filesystem::path>& downloadBase,
                                                    bool download, const ModelStateCallback& modelStateCallback,
                                                    std::stop_token stop) {
    std::optional<std::filesystem::path> localFolder = modelFolder;
    if (!localFolder && config_.modelFolder) {
        localFolder = std::filesystem::path(*config_.modelFolder);
    }
    if (localFolder) {
        if (auto found = findModel(*localFolder, info, name)) {
            logLine(Logging::MessageType::debug, "[ModelDownloader] Found " + name + " in model folder");
            return *found;
        }
    }

    const auto base = effectiveDownloadBase(downloadBase);
    try {
        auto folder = ModelDownloader::downloadModel(info, base, true, stop);
        if (auto found = findModel(folder, info, name)) {
            logLine(Logging::MessageType::debug, "[ModelDownloader] Found existing " + name + " in cache");
            if (modelStateCallback) {
                modelStateCallback(ModelState::downloaded);
            }
            return *found;
        }
    } catch (const std::exception&) {
        // No usable cached copy: go on to the download.
    }

    if (!download) {
        throw ModelDownloaderError::modelUnavailable("No model found for " + name + " (download disabled)");
    }
    if (modelStateCallback) {
        modelStateCallback(ModelState::downloading);
    }
    auto folder = ModelDownloader::downloadModel(info, base, std::nullopt, std::move(stop));
    auto found = findModel(folder, info, name);
    if (!found) {
        throw ModelDownloaderError::modelUnavailable("No model found for " + name);
    }
    logLine(Logging::MessageType::debug, "[ModelDownloader] Downloaded " + name);
    if (modelStateCallback) {
        modelStateCallback(ModelState::downloaded);
    }
    return *found;
}

std::string ModelDownloader::resolveModelPath(const std::string& name, const ModelInfo& info,
                                              const std::optional<std::filesystem::path>& modelFolder,
                                              const std::optional<std::filesystem::path>& downloadBase, bool download,
                                              const ModelStateCallback& modelStateCallback, std::stop_token stop) {
    return resolveModel(name, info, modelFolder, downloadBase, download, modelStateCallback, std::move(stop)).string();
}

std::filesystem::path ModelDownloader::resolveRepo(const std::vector<std::string>& patterns,
                                                   const std::optional<std::filesystem::path>& downloadBase,
                                                   bool download, const ProgressCallback& progressCallback,
                                                   std::stop_token stop) {
    const auto base = effectiveDownloadBase(downloadBase);
    const auto repoFolder = ModelDownloader::localRepoLocation(base);
    if (patternsExistLocally(patterns, repoFolder)) {
        try {
            auto folder = makeHub(base, true).snapshot(repo(), config_.revision, patterns, {}, stop);
            logLine(Logging::MessageType::debug, "[ModelDownloader] Found valid local cache at " + folder.string());
            return folder;
        } catch (const std::exception& error) {
            logLine(Logging::MessageType::debug, "[ModelDownloader] Local cache for '" + config_.modelRepo +
                                                     "' didn't validate (" + error.what() + "); re-resolving.");
        }
    }
    if (!download) {
        throw ModelDownloaderError::modelUnavailable("No valid local models found for repo '" + config_.modelRepo +
                                                     "' and download is disabled.");
    }
    HubApi hub = makeHub(base, std::nullopt);
    logLine(Logging::MessageType::info, "[ModelDownloader] Downloading " + std::to_string(patterns.size()) +
                                            " model(s) from " + config_.modelRepo + "...");
    auto folder = hub.snapshot(
        repo(), config_.revision, patterns,
        [&](const Progress& progress) {
            if (progressCallback) {
                progressCallback(progress);
            }
        },
        std::move(stop));
    logLine(Logging::MessageType::info, "[ModelDownloader] Download complete: " + folder.string());
    return folder;
}

std::vector<std::string> ModelDownloader::fetchFilenames(const std::vector<std::string>& patterns,
                                                         const std::optional<std::filesystem::path>& downloadBase,
                                                         std::stop_token stop) {
    return makeHub(downloadBase, std::nullopt).getFilenames(repo(), config_.revision, patterns, std::move(stop));
}

bool ModelDownloader::patternsExistLocally(const std::vector<std::string>& patterns,
                                           const std::filesystem::path& repoFolder) const {
    return std::all_of(patterns.begin(), patterns.end(), [&](const std::string& pattern) {
        std::filesystem::path prefix = repoFolder;
        bool kept = false;
        std::size_t start = 0;
        while (start <= pattern.size()) {
            auto slash = pattern.find('/', start);
            auto part = pattern.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
            if (!part.empty()) {
                if (part.find('*') != std::string::npos) {
                    break;
                }
                prefix /= part;
                kept = true;
            }
            if (slash == std::string::npos) {
                break;
            }
            start = slash + 1;
        }
        if (!kept) {
            return false;
        }
        std::error_code error;
        std::filesystem::directory_iterator entries(prefix, error);
        return !error && entries != std::filesystem::directory_iterator();
    });
}

std::optional<std::filesystem::path> ModelDownloader::modelURLIfExists(const std::filesystem::path& folder,
                                                                       const std::string& name) const {
    auto url = ModelUtilities::detectModelURL(folder, name);
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::symlink_status(url, error))) {
        return url;
    }
    return std::nullopt;
}

}  // namespace halvex
