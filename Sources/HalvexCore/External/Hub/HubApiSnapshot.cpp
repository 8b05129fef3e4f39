#include "HalvexCore/CollectionHelpers.h"
#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/External/Hub/HubApi.h"
#include "HalvexCore/External/Hub/HubFileDownloader.h"

#include <algorithm>
#include <cmath>

namespace halvex {

namespace {

std::string withTrailingSlash(std::string path) {
    if (path.empty() || path.back() != '/') {
        path.push_back('/');
    }
    return path;
}

}  // namespace

std::vector<std::filesystem::path> getFileUrls(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    std::filesystem::recursive_directory_iterator entries(folder, error);
    if (error) {
        return files;
    }
    for (auto end = std::filesystem::recursive_directory_iterator(); entries != end; entries.increment(error)) {
        if (error) {
            break;
        }
        const auto& entry = *entries;
        auto status = entry.symlink_status();  // throws when the entry's type cannot be read
        if (entry.path().filename().string().starts_with(".")) {
            if (std::filesystem::is_directory(status)) {
                entries.disable_recursion_pending();
            }
            continue;
        }
        if (std::filesystem::is_regular_file(status)) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::filesystem::path HubApi::snapshot(const Repo& repo, const std::string& revision,
                                       const std::vector<std::string>& globs, const ProgressHandler& progressHandler,
                                       std::stop_token stop) const {
    const auto repoFolder = localRepoLocation(repo);
    const auto repoMetadataFolder = metadataFolder(repoFolder);

    bool offline = useOfflineMode_ ? *useOfflineMode_ : NetworkMonitor::shared().state().shouldUseOfflineMode();
    if (offline) {
        return offlineSnapshot(repoFolder, repoMetadataFolder, globs);
    }

    auto filenames = getFilenames(repo, revision, globs, stop);
    Progress progress(static_cast<std::int64_t>(filenames.size()));
    for (const auto& filename : filenames) {
        auto child = progress.addChild(100, 1);
        HubFileDownloader downloader(*this, repo, revision, repoFolder, repoMetadataFolder, filename, hfToken_,
                                     endpoint_, useBackgroundSession_);
        downloader.download(
            [&](double fraction, std::optional<double> speed) {
                double units = std::isfinite(fraction) ? std::clamp(fraction, 0.0, 1.0) * 100.0 : 0.0;
                child->setCompletedUnitCount(static_cast<std::int64_t>(units));
                if (speed) {
                    child->setThroughput(*speed);
                    progress.setThroughput(*speed);
                }
                if (progressHandler) {
                    progressHandler(progress);
                }
            },
            stop);
        if (stop.stop_requested()) {
            throw CancellationError();
        }
        child->setCompletedUnitCount(100);
    }
    if (progressHandler) {
        progressHandler(progress);
    }
    return repoFolder;
}

std::filesystem::path HubApi::offlineSnapshot(const std::filesystem::path& repoFolder,
                                              const std::filesystem::path& repoMetadataFolder,
                                              const std::vector<std::string>& globs) const {
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(repoFolder, error))) {
        throw EnvironmentError::offlineModeError("Repository not available locally");
    }
    auto resolvedRepo = std::filesystem::weakly_canonical(repoFolder, error);
    const std::string repoPath = withTrailingSlash((error ? repoFolder : resolvedRepo).string());

    auto files = getFileUrls(repoFolder);
    if (files.empty()) {
        throw EnvironmentError::offlineModeError("No files available locally for this repository");
    }

    struct LocalFile {
        std::filesystem::path path;
        std::string resolved;
    };
    std::vector<LocalFile> candidates;
    for (const auto& file : files) {
        std::error_code resolveError;
        auto resolved = std::filesystem::weakly_canonical(file, resolveError);
        candidates.push_back({file, (resolveError ? file : resolved).string()});
    }
    if (!globs.empty()) {
        std::erase_if(candidates, [&](const LocalFile& file) {
            if (!file.resolved.starts_with(repoPath)) {
                return true;
            }
            auto relative = file.resolved.substr(repoPath.size());
            return std::none_of(globs.begin(), globs.end(),
                                [&](const std::string& glob) { return matchesGlob(relative, glob); });
        });
        if (candidates.empty()) {
            throw EnvironmentError::offlineModeError("No files matching the requested patterns are available locally");
        }
    }

    for (const auto& file : candidates) {
        const std::string name = file.path.filename().string();
        if (!file.resolved.starts_with(repoPath)) {
            throw EnvironmentError::offlineModeError("Metadata not available for " + name);
        }
        auto relative = file.resolved.substr(repoPath.size());
        auto record = readDownloadMetadata(repoMetadataFolder / (relative + ".metadata"));
        if (!record) {
            throw EnvironmentError::offlineModeError("Metadata not available for " + name);
        }
        if (matchesPattern(record->etag, sha256Pattern_) && computeFileHash(file.path) != record->etag) {
            throw EnvironmentError::fileIntegrityError("Hash mismatch for " + name);
        }
    }
    return repoFolder;
}

}  // namespace halvex
