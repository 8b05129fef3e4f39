#include "HalvexCore/External/Hub/HubFileDownloader.h"

#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/External/Hub/Downloader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

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
        std::string_view segment = std::string_view(name).substr(start, slash == std::string::npos ? slash : slash - start);
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
    int fd = ::open(incompletePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ::close(fd);
        return;
    }
    if (errno != EEXIST) {
        throw std::filesystem::filesystem_error("The partial file couldn't be created", incompletePath,
                                                std::error_code(errno, std::generic_category()));
    }
}

std::filesystem::path HubFileDownloader::download(const ProgressHandler& progressHandler, std::stop_token stop) const {
    // The name comes from the hub: it must not lead anywhere outside the repository folder
    // (reading a record may delete it, so this comes before any file access).
    if (!isSafeRelativePath(relativeFilename_)) {
        throw HubEnvironmentError::invalidMetadataError("Refusing unsafe file name from the hub: " + relativeFilename_);
    }
    const auto destinationPath = destination();
    const auto recordPath = metadataPath();

    auto localMetadata = hub_.readDownloadMetadata(recordPath);
    auto remoteMetadata = hub_.getFileMetadata(source(), stop);

    const std::string remoteCommit = remoteMetadata.commitHash.value_or("");
    if (HubApi::matchesPattern(remoteCommit, hub_.commitHashPattern()) && downloaded() && localMetadata &&
        localMetadata->commitHash == remoteCommit) {
        return destinationPath;
    }

    if (!remoteMetadata.commitHash || !remoteMetadata.etag || !remoteMetadata.size ||
        remoteMetadata.location.empty()) {
        throw HubEnvironmentError::invalidMetadataError("File metadata must have been retrieved from server");
    }
    const std::string& etag = *remoteMetadata.etag;
    if (!isSafeEtag(etag)) {
        throw HubEnvironmentError::invalidMetadataError("Refusing unsafe entity tag from the hub: " + etag);
    }
    const bool etagIsDigest = HubApi::matchesPattern(etag, hub_.sha256Pattern());

    if (downloaded()) {
        if (localMetadata && localMetadata->etag == etag) {
            hub_.writeDownloadMetadata(remoteCommit, etag, recordPath);
            return destinationPath;
        }
        if (etagIsDigest && hub_.computeFileHash(destinationPath) == etag) {
            hub_.writeDownloadMetadata(remoteCommit, etag, recordPath);
            return destinationPath;
        }
    }

    const auto partialPath = incompletePath(etag);
    prepareCacheDestination(partialPath);

    Downloader downloader(destinationPath, partialPath, backgroundSession_, chunkSize);
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
    auto finalState = downloader.startDownload(source(), hfToken_, remoteMetadata.size, stop,
                                               etagIsDigest ? std::optional<std::string>(etag) : std::nullopt);
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
    hub_.writeDownloadMetadata(remoteCommit, etag, recordPath);
    return destinationPath;
}

}  // namespace halvex
