#pragma once

#include "HalvexCore/External/Hub/HubApi.h"
#include "HalvexCore/ModelState.h"
#include "Platform/ML/ComputeUnits.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

namespace halvex {

// Where the models of one hub repository come from.
struct ModelDownloadConfig {
    ModelDownloadConfig(std::optional<std::string> downloadBase, std::string modelRepo,
                        std::optional<std::string> modelToken, std::optional<std::string> modelFolder,
                        bool useBackgroundSession, std::string endpoint, std::string revision)
        : downloadBase(std::move(downloadBase)),
          modelRepo(std::move(modelRepo)),
          modelToken(std::move(modelToken)),
          modelFolder(std::move(modelFolder)),
          useBackgroundSession(useBackgroundSession),
          endpoint(std::move(endpoint)),
          revision(std::move(revision)) {}

    std::optional<std::string> downloadBase;  // root of the local hub cache
    std::string modelRepo;                    // owner/name
    std::optional<std::string> modelToken;    // absent: the token from the environment
    std::optional<std::string> modelFolder;   // a local folder of model trees, searched first
    bool useBackgroundSession;
    std::string endpoint;
    std::string revision;
};

// One variant folder of a repository's family / version / variant tree.
struct ModelInfo {
    ModelInfo(std::optional<std::string> version, std::optional<std::string> variant, std::string name,
              platform::ComputeUnits computeUnits)
        : version(std::move(version)), variant(std::move(variant)), name(std::move(name)), computeUnits(computeUnits) {}

    std::optional<std::string> version;
    std::optional<std::string> variant;
    std::string name;
    platform::ComputeUnits computeUnits;

    // name/(version or *)/(variant or *)/*
    std::string downloadPattern() const;
    // baseURL / name [/ version] [/ variant]; an absent level is left out.
    std::filesystem::path modelURL(const std::filesystem::path& baseURL) const;
    // The present values among name, version and variant, joined by "/".
    std::string description() const;
    std::string debugDescription() const;
    // Walks up from `url` to the folder that holds a component equal to `name`.
    std::optional<std::filesystem::path> findBaseFolder(const std::filesystem::path& url) const;
};

class ModelDownloaderError : public std::runtime_error {
public:
    enum class Kind { modelUnavailable };
    static ModelDownloaderError modelUnavailable(std::string message) {
        return ModelDownloaderError(Kind::modelUnavailable, std::move(message));
    }
    Kind kind() const noexcept { return kind_; }
    std::string errorDescription() const { return what(); }

private:
    ModelDownloaderError(Kind kind, std::string message) : std::runtime_error(std::move(message)), kind_(kind) {}
    Kind kind_;
};

// Finds the models of one repository locally and downloads them when they are missing.
// Every call builds a hub client of its own; nothing is kept between calls.
class ModelDownloader {
public:
    using ModelStateCallback = std::function<void(ModelState)>;
    using ProgressCallback = std::function<void(const Progress&)>;

    explicit ModelDownloader(ModelDownloadConfig config);
    ModelDownloader(std::string endpoint, std::string repoName, std::optional<std::string> modelToken,
                    std::string revision, bool useBackgroundSession);
    virtual ~ModelDownloader() = default;

    // Snapshots the files of one model variant (verifies them offline when asked to) and
    // returns the local repository folder.
    virtual std::filesystem::path downloadModel(const ModelInfo& modelInfo,
                                                const std::optional<std::filesystem::path>& downloadBase,
                                                std::optional<bool> useOfflineMode, std::stop_token stop = {});
    // The local repository folder; sends no request and reads no file.
    virtual std::filesystem::path localRepoLocation(const std::optional<std::filesystem::path>& downloadBase) const;
    // The model's file: from the local model folder, else from the verified cache, else
    // downloaded (when allowed).
    virtual std::filesystem::path resolveModel(const std::string& name, const ModelInfo& info,
                                               const std::optional<std::filesystem::path>& modelFolder,
                                               const std::optional<std::filesystem::path>& downloadBase, bool download,
                                               const ModelStateCallback& modelStateCallback = {},
                                               std::stop_token stop = {});
    virtual std::string resolveModelPath(const std::string& name, const ModelInfo& info,
                                         const std::optional<std::filesystem::path>& modelFolder,
                                         const std::optional<std::filesystem::path>& downloadBase, bool download,
                                         const ModelStateCallback& modelStateCallback = {}, std::stop_token stop = {});
    // A verified local copy of every repository file matching the patterns.
    virtual std::filesystem::path resolveRepo(const std::vector<std::string>& patterns,
                                              const std::optional<std::filesystem::path>& downloadBase, bool download,
                                              const ProgressCallback& progressCallback = {}, std::stop_token stop = {});
    virtual std::vector<std::string> fetchFilenames(const std::vector<std::string>& patterns,
                                                    const std::optional<std::filesystem::path>& downloadBase,
                                                    std::stop_token stop = {});
    virtual std::optional<std::filesystem::path> modelURLIfExists(const std::filesystem::path& folder,
                                                                  const std::string& name) const;

    const ModelDownloadConfig& config() const noexcept { return config_; }

private:
    std::optional<std::filesystem::path> effectiveDownloadBase(const std::optional<std::filesystem::path>& given) const;
    HubApi makeHub(const std::optional<std::filesystem::path>& downloadBase, std::optional<bool> useOfflineMode) const;
    HubApi::Repo repo() const { return {config_.modelRepo, HubApi::RepoType::models}; }
    // The model's file below `root`: in info.modelURL(root) first, then in the variant folders
    // that the download pattern reaches when a level is absent.
    std::optional<std::filesystem::path> findModel(const std::filesystem::path& root, const ModelInfo& info,
                                                   const std::string& name) const;
    bool patternsExistLocally(const std::vector<std::string>& patterns, const std::filesystem::path& repoFolder) const;

    ModelDownloadConfig config_;
};

}  // namespace halvex
