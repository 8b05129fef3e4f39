#include "HalvexCore/External/Hub/HubFileDownloader.h"

#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/External/Hub/ConfinedFolder.h"
#include "HalvexCore/External/Hub/Downloader.h"
#include "HalvexCore/External/Hub/Sha256.h"
#include "Platform/IO/FileHandle.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

namespace halvex {

HubFileDownloader::HubFileDownloader(HubApi hub, HubApi::Repo repo, std::string revision,
                                     std::filesystem::path repoDestination,
                                     std::filesystem::path repoMetadataDestination, std::string relativeFilename,
                                     std::optional<std::string> hfToken, std::optional<std::string> endpoint,
                                     bool backgroundSession)
    : hub_(std::move(hub)),
      repo_(std::move(repo)),
      revision_(std::move(revision)),
      repoDestination_(std::move(repoDestination)),
      repoMetadataDestination_(std::move(repoMetadataDestination)),
      relativeFilename_(std::move(relativeFilename)),
      hfToken_(std::move(hfToken)),
      endpoint_(std::move(endpoint)),
      backgroundSession_(backgroundSession) {}

std::string HubFileDownloader::source() const {
    std::string base = endpoint_.value_or(HubApi::defaultEndpoint);
    while (!base.empty() && base.back() == '/') {
        base.pop_back();
    }
    if (repo_.type != HubApi::RepoType::models) {
        base += '/';
        base += toString(repo_.type);
    }
    return base + "/" + HttpClient::escapePathComponent(repo_.id, true) + "/resolve/" +
           HttpClient::escapePathComponent(revision_) + "/" + HttpClient::escapePathComponent(relativeFilename_, true);
}

bool HubFileDownloader::downloaded() const {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(destination(), ignored));
}

bool HubFileDownloader::isSafeRelativePath(const std::string& name) {
    if (name.empty() || name.front() == '/' || name.find('\0') != std::string::npos) {
        return false;
    }
    std::size_t start = 0;
    bool first = true;
    while (true) {
        auto slash = name.find('/', start);
        std::string_view segment =
            std::string_view(name).substr(start, slash == std::string::npos ? slash : slash - start);
        if (segment.empty() || segment == "." || segment == "..") {
            return false;
        }
        // The hidden cache folder holds the records and partial files; no repository file may
        // overwrite them.
        if (first && segment == ".cache") {
            return false;
        }
        if (slash == std::string::npos) {
            return true;
        }
        first = false;
        start = slash + 1;
    }
}

bool HubFileDownloader::isSafeEtag(const std::string& etag) {
    return etag.find('/') == std::string::npos && etag.find('\0') == std::string::npos;
}

void HubFileDownloader::prepareCacheDestination(const std::filesystem::path& incompletePath) {
    std::filesystem::create_directories(incompletePath.parent_path());
    // O_EXCL: an existing partial file is left exactly as it is, so a download resumes from it.
    const platform::FileHandle created(::open(incompletePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (created) {
        return;
    }
    if (errno != EEXIST) {
        throw std::filesystem::filesystem_error("The partial file couldn't be created", incompletePath,
                                                std::error_code(errno, std::generic_category()));
    }
}

namespace {

// An exclusive lock on a partial file, held for the whole per-file download: a second download
// of the same file, in this process or another, waits for it.
class PartialFileLock {
public:
    // Creates the partial file when there is none (a link, a device or a file with other names
    // where it belongs is replaced by an empty file), then waits for its lock. Absent when the
    // file was moved away or removed while waiting: another download finished with it.
    static std::optional<PartialFileLock> acquire(const ConfinedFolder& folder, const std::string& name,
                                                  std::stop_token stop) {
        if (auto status = folder.status(name); status && (!S_ISREG(status->st_mode) || status->st_nlink != 1)) {
            folder.remove(name);
        }
        platform::FileHandle handle;
        try {
            handle = folder.openFile(name, O_RDONLY | O_CREAT | O_EXCL);
        } catch (const std::filesystem::filesystem_error& error) {
            if (error.code() != std::errc::file_exists) {
                throw;
            }
            handle = folder.openFile(name, O_RDONLY);
        }
        while (::flock(handle.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) {
                throw std::filesystem::filesystem_error("The partial file couldn't be locked", folder.path() / name,
                                                        std::error_code(errno, std::generic_category()));
            }
            if (stop.stop_requested()) {
                throw CancellationError();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        struct stat locked {};
        if (::fstat(handle.get(), &locked) != 0) {
            throw std::filesystem::filesystem_error("The partial file couldn't be examined", folder.path() / name,
                                                    std::error_code(errno, std::generic_category()));
        }
        auto current = folder.status(name);
        if (!current || current->st_dev != locked.st_dev || current->st_ino != locked.st_ino) {
            return std::nullopt;
        }
        return PartialFileLock(std::move(handle));
    }

    // Removes `name` unless a download holds its lock; the lock is taken for the removal, so a
    // download that opened the file meanwhile finds it gone once it gets the lock, and starts
    // over. False when the file was kept.
    static bool removeIfUnused(const ConfinedFolder& folder, const std::string& name) {
        platform::FileHandle handle;
        try {
            handle = folder.openFile(name, O_RDONLY | O_NONBLOCK);
        } catch (const std::filesystem::filesystem_error&) {
            return false;
        }
        if (::flock(handle.get(), LOCK_EX | LOCK_NB) != 0) {
            return false;
        }
        struct stat locked {};
        auto current = folder.status(name);
        if (::fstat(handle.get(), &locked) != 0 || !current || current->st_ino != locked.st_ino ||
            current->st_dev != locked.st_dev) {
            return false;
        }
        return folder.remove(name);
    }

private:
    explicit PartialFileLock(platform::FileHandle handle) : handle_(std::move(handle)) {}
    platform::FileHandle handle_;
};

}  // namespace

std::filesystem::path HubFileDownloader::download(const ProgressHandler& progressHandler, std::stop_token stop,
                                                  std::optional<HubApi::FileMetadata> knownMetadata) const {
    // The name comes from the hub: it must not lead anywhere outside the repository folder
    // (reading a record may delete it, so this comes before any file access).
    if (!isSafeRelativePath(relativeFilename_)) {
        throw HubEnvironmentError::invalidMetadataError("Refusing unsafe file name from the hub: " + relativeFilename_);
    }
    const auto destinationPath = destination();
    const auto recordPath = metadataPath();

    auto localMetadata = hub_.readDownloadMetadata(recordPath);
    const auto remoteMetadata = knownMetadata ? std::move(*knownMetadata) : hub_.getFileMetadata(source(), stop);

    const std::string remoteCommit = remoteMetadata.commitHash.value_or("");
    if (HubApi::matchesPattern(remoteCommit, hub_.commitHashPattern()) && downloaded() && localMetadata &&
        localMetadata->commitHash == remoteCommit) {
        return destinationPath;
    }

    if (!remoteMetadata.commitHash || !remoteMetadata.etag || !remoteMetadata.size || remoteMetadata.location.empty()) {
        throw HubEnvironmentError::invalidMetadataError("File metadata must have been retrieved from server");
    }
    const std::string& etag = *remoteMetadata.etag;
    if (!isSafeEtag(etag)) {
        throw HubEnvironmentError::invalidMetadataError("Refusing unsafe entity tag from the hub: " + etag);
    }
    const bool etagIsDigest = HubApi::matchesPattern(etag, hub_.sha256Pattern());

    // Every file below is reached without following links out of the folder that holds the
    // repository and its metadata.
    const auto root = Downloader::commonFolder(destinationPath, incompletePath(etag));
    const auto relativeTo = [&](const std::filesystem::path& path) {
        return std::filesystem::absolute(path).lexically_normal().lexically_relative(root);
    };
    const auto partialRelative = relativeTo(incompletePath(etag));
    const std::string partialName = partialRelative.filename().string();

    while (true) {
        if (downloaded()) {
            if (localMetadata && localMetadata->etag == etag) {
                hub_.writeDownloadMetadata(remoteCommit, etag, recordPath);
                return destinationPath;
            }
            if (etagIsDigest && confinedFileHash(root, relativeTo(destinationPath)) == etag) {
                hub_.writeDownloadMetadata(remoteCommit, etag, recordPath);
                return destinationPath;
            }
        }

        const auto partialFolder = ConfinedFolder::open(root, true).folder(partialRelative.parent_path(), true);
        removeOtherVersions(partialFolder, etag);
        auto lock = PartialFileLock::acquire(partialFolder, partialName, stop);
        if (!lock) {
            // Another download of this file finished while this one waited: its record tells.
            localMetadata = hub_.readDownloadMetadata(recordPath);
            continue;
        }

        Downloader downloader(destinationPath, incompletePath(etag), backgroundSession_, chunkSize);
        std::optional<Downloader::DownloadState> outcome;
        auto subscription = downloader.broadcaster().subscribe([&](const Downloader::DownloadState& state) {
            using Kind = Downloader::DownloadState::Kind;
            if (outcome) {
                return;  // only the first outcome counts
            }
            if (state.kind == Kind::downloading) {
                if (progressHandler) {
                    progressHandler(state.progress, state.speed);
                }
            } else if (state.kind == Kind::completed || state.kind == Kind::failed) {
                outcome = state;
            }
        });
        // A digest-named file is checked before it is moved into place.
        auto finalState =
            downloader.startDownload(source(), hfToken_, remoteMetadata.size, stop,
                                     etagIsDigest ? std::optional<std::string>(etag) : std::nullopt, etag);
        subscription.cancel();
        if (!outcome) {
            outcome = finalState;
        }
        if (outcome->kind == Downloader::DownloadState::Kind::failed) {
            std::rethrow_exception(outcome->error ? outcome->error : std::make_exception_ptr(CancellationError()));
        }
        if (outcome->kind != Downloader::DownloadState::Kind::completed) {
            // A transfer that ended without completing never counts as a download.
            throw CancellationError();
        }
        // Written while the lock is held, so a download that waited for it finds the record.
        hub_.writeDownloadMetadata(remoteCommit, etag, recordPath);
        return destinationPath;
    }
}

std::string HubFileDownloader::confinedFileHash(const std::filesystem::path& root,
                                                const std::filesystem::path& relative) {
    platform::FileHandle file;
    try {
        file = ConfinedFolder::open(root, false).openFile(relative, O_RDONLY | O_NONBLOCK);
    } catch (const std::filesystem::filesystem_error&) {
        // A link or an entry out of reach is not a copy of the file: it is downloaded again.
        return {};
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return {};
    }
    return Sha256::hexDigestOfDescriptor(file.get(), root / relative);
}

void HubFileDownloader::removeOtherVersions(const ConfinedFolder& folder, const std::string& etag) const {
    // Partial files of this file are named "<name>.<tag>.incomplete". Only tags without a dot
    // are recognised, so that the partial file of another file whose name merely begins with
    // this one's ("a.bin.old") is never taken for an old version.
    const std::string prefix = std::filesystem::path(relativeFilename_).filename().string() + ".";
    const std::string suffix = ".incomplete";
    for (const auto& name : folder.entryNames()) {
        if (name.size() <= prefix.size() + suffix.size() || !name.starts_with(prefix) || !name.ends_with(suffix)) {
            continue;
        }
        const std::string tag = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
        if (tag == etag || tag.find('.') != std::string::npos) {
            continue;
        }
        // A download of that version still running elsewhere keeps its file.
        try {
            PartialFileLock::removeIfUnused(folder, name);
        } catch (const std::filesystem::filesystem_error&) {
            // An old partial file that cannot be removed costs disk space, not correctness.
        }
    }
}

}  // namespace halvex
