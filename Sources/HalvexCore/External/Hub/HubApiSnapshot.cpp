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

// Every file's metadata as the hub gives it, asked for in order until one request fails (the
// file's own download then meets the same failure and reports it in its turn).
std::vector<std::optional<HubApi::FileMetadata>> fileMetadata(const HubApi& hub,
                                                              const std::vector<HubFileDownloader>& downloaders,
                                                              std::stop_token stop) {
    std::vector<std::optional<HubApi::FileMetadata>> metadata(downloaders.size());
    for (std::size_t index = 0; index < downloaders.size(); ++index) {
        try {
            metadata[index] = hub.getFileMetadata(downloaders[index].source(), stop);
        } catch (...) {
            if (stop.stop_requested()) {
                throw CancellationError();
            }
            break;
        }
    }
    return metadata;
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
    std::vector<HubFileDownloader> downloaders;
    downloaders.reserve(filenames.size());
    for (const auto& filename : filenames) {
        downloaders.emplace_back(*this, repo, revision, repoFolder, repoMetadataFolder, filename, hfToken_, endpoint_,
                                 useBackgroundSession_);
    }

    // The progress counts bytes when the hub gives every file's size, so that the transfer rate
    // can be told; otherwise it counts files, each as one unit made of 100 of its own. The
    // metadata asked for the sizes is the metadata each file's download goes by.
    auto metadata = progressHandler ? fileMetadata(*this, downloaders, stop)
                                    : std::vector<std::optional<FileMetadata>>(downloaders.size());
    std::vector<std::int64_t> sizes;
    for (const auto& entry : metadata) {
        if (!entry || !entry->size || *entry->size < 0) break;
        sizes.push_back(*entry->size);
    }
    std::int64_t totalBytes = 0;
    for (auto size : sizes) totalBytes += size;
    const bool countsBytes = sizes.size() == downloaders.size() && totalBytes > 0;
    Progress progress(countsBytes ? totalBytes : static_cast<std::int64_t>(filenames.size()));
    progress.setFileOperationKind(Progress::FileOperationKind::downloading);
    std::int64_t bytesBefore = 0;
    for (std::size_t index = 0; index < downloaders.size(); ++index) {
        const std::int64_t fileBytes = countsBytes ? sizes[index] : 0;
        auto child = countsBytes ? nullptr : progress.addChild(100, 1);
        downloaders[index].download(
            [&](double fraction, std::optional<double> speed) {
                const double done = std::isfinite(fraction) ? std::clamp(fraction, 0.0, 1.0) : 0.0;
                if (countsBytes) {
                    progress.setCompletedUnitCount(bytesBefore +
                                                   static_cast<std::int64_t>(done * static_cast<double>(fileBytes)));
                } else {
                    child->setCompletedUnitCount(static_cast<std::int64_t>(done * 100.0));
                    if (speed) child->setThroughput(*speed);
                }
                if (speed) {
                    progress.setThroughput(*speed);
                }
                if (progressHandler) {
                    progressHandler(progress);
                }
            },
            stop, std::move(metadata[index]));
        if (stop.stop_requested()) {
            throw CancellationError();
        }
        if (countsBytes) {
            bytesBefore += fileBytes;
            progress.setCompletedUnitCount(bytesBefore);
        } else {
            child->setCompletedUnitCount(100);
        }
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
