#pragma once

#include "HalvexCore/External/Hub/HubApi.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

namespace halvex {

class ConfinedFolder;

// Brings one file of a repository up to date in the local cache: keeps the local copy when
// its record names the hub's current commit, re-validates it by entity tag or SHA-256, and
// otherwise downloads it again (resuming a partial download of the same version).
class HubFileDownloader {
public:
    using ProgressHandler = std::function<void(double fraction, std::optional<double> speed)>;

    static constexpr std::int64_t chunkSize = 10 * 1024 * 1024;

    HubFileDownloader(HubApi hub, HubApi::Repo repo, std::string revision, std::filesystem::path repoDestination,
                      std::filesystem::path repoMetadataDestination, std::string relativeFilename,
                      std::optional<std::string> hfToken, std::optional<std::string> endpoint, bool backgroundSession);

    // endpoint[/datasets|/spaces]/owner/name/resolve/revision/relative/file
    std::string source() const;
    std::filesystem::path destination() const { return repoDestination_ / relativeFilename_; }
    std::filesystem::path metadataPath() const { return repoMetadataDestination_ / (relativeFilename_ + ".metadata"); }
    std::filesystem::path incompletePath(const std::string& etag) const {
        return repoMetadataDestination_ / (relativeFilename_ + "." + etag + ".incomplete");
    }
    // True when something exists at the destination.
    bool downloaded() const;

    // Creates the partial file's folder and an empty partial file when there is none.
    static void prepareCacheDestination(const std::filesystem::path& incompletePath);

    // Returns the destination once it holds the hub's current version of the file. Files are
    // reached without following links out of the repository folder; the partial file is locked
    // for the whole download, so two downloads of the same file (threads or processes) take
    // turns, and the later one finds the file the earlier one put in place. Partial files of
    // other versions of the file are removed unless a download of theirs is running. The hub is
    // asked for the file's metadata unless the caller has just asked and passes the answer.
    std::filesystem::path download(const ProgressHandler& progressHandler = {}, std::stop_token stop = {},
                                   std::optional<HubApi::FileMetadata> remoteMetadata = std::nullopt) const;

    // Whether a file name taken from the hub stays inside the repository folder: relative,
    // no empty, "." or ".." segment, and not inside the hidden cache folder.
    static bool isSafeRelativePath(const std::string& name);
    // Whether an entity tag can be part of a partial file's name.
    static bool isSafeEtag(const std::string& etag);

    const HubApi& hub() const noexcept { return hub_; }
    const HubApi::Repo& repo() const noexcept { return repo_; }
    const std::string& revision() const noexcept { return revision_; }
    const std::filesystem::path& repoDestination() const noexcept { return repoDestination_; }
    const std::filesystem::path& repoMetadataDestination() const noexcept { return repoMetadataDestination_; }
    const std::string& relativeFilename() const noexcept { return relativeFilename_; }
    const std::optional<std::string>& hfToken() const noexcept { return hfToken_; }
    const std::optional<std::string>& endpoint() const noexcept { return endpoint_; }
    bool backgroundSession() const noexcept { return backgroundSession_; }

private:
    // The SHA-256 of the regular file at `relative` below `root`, reached without following
    // links; empty when there is no such file.
    static std::string confinedFileHash(const std::filesystem::path& root, const std::filesystem::path& relative);
    void removeOtherVersions(const ConfinedFolder& folder, const std::string& etag) const;

    HubApi hub_;
    HubApi::Repo repo_;
    std::string revision_;
    std::filesystem::path repoDestination_;
    std::filesystem::path repoMetadataDestination_;
    std::string relativeFilename_;
    std::optional<std::string> hfToken_;
    std::optional<std::string> endpoint_;
    bool backgroundSession_;
};

}  // namespace halvex
