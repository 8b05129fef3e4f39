#pragma once

#include "HalvexCore/External/Hub/Broadcaster.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>

namespace halvex {

// Idle limit of each transfer attempt, pause before a retry, and retries allowed after a broken
// body. The retry budget is restored after every written batch.
struct DownloaderTiming {
    std::chrono::milliseconds idleTimeout{10000};
    std::chrono::milliseconds retryDelay{1000};
    int retries = 5;
};

// Transfers one remote file into a partial file, resuming from what the partial file already
// holds, and moves the finished file into place. Progress and outcome go to subscribers of
// broadcaster() as DownloadState values.
class Downloader {
public:
    struct DownloadState {
        enum class Kind { notStarted, downloading, completed, failed };

        Kind kind = Kind::notStarted;
        double progress = 0.0;              // downloading: fraction of the expected size on disk
        std::optional<double> speed;        // downloading: bytes per second since the last report
        std::filesystem::path destination;  // completed
        std::exception_ptr error;           // failed

        static DownloadState notStarted() { return {}; }
        static DownloadState downloading(double progress, std::optional<double> speed) {
            DownloadState state;
            state.kind = Kind::downloading;
            state.progress = progress;
            state.speed = speed;
            return state;
        }
        static DownloadState completed(std::filesystem::path destination) {
            DownloadState state;
            state.kind = Kind::completed;
            state.destination = std::move(destination);
            return state;
        }
        static DownloadState failed(std::exception_ptr error) {
            DownloadState state;
            state.kind = Kind::failed;
            state.error = std::move(error);
            return state;
        }
    };

    class DownloadError : public std::runtime_error {
    public:
        enum class Kind { invalidDownloadLocation, unexpectedError, tempFileNotFound };
        explicit DownloadError(Kind kind);
        // With the description of what went wrong, which names the file (and the server's
        // status, when it answered with one).
        DownloadError(Kind kind, const std::string& description, std::optional<int> statusCode = std::nullopt);
        Kind kind() const noexcept { return kind_; }
        // The HTTP status the server answered with, when that was the failure.
        std::optional<int> statusCode() const noexcept { return statusCode_; }

    private:
        Kind kind_;
        std::optional<int> statusCode_;
    };

    using Timing = DownloaderTiming;

    // `chunkSize` is the size of the batches written to disk and reported as progress.
    // Background transfers do not exist here: `inBackground` is kept but changes nothing.
    Downloader(std::filesystem::path destination, std::filesystem::path incompleteDestination, bool inBackground,
               std::int64_t chunkSize, Timing timing = {});
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Runs the transfer on the calling thread and returns its final state (completed or
    // failed), which subscribers have also received. A body that breaks off, stalls, ends
    // before the expected size, or a server error (5xx) is tried again from the bytes written
    // so far, up to the retries of `Timing`; a 416 answer to a range that starts at the file's
    // size means the partial file already holds the whole file (its size and hash are checked
    // as always). Other statuses fail at once with a DownloadError that names the file and the
    // status. When `expectedSha256` is given, the
    // finished file must have that digest before it is moved into place (the file itself is
    // hashed, not the bytes as they arrived); otherwise the partial file is deleted and the
    // transfer fails with a file integrity error. A resumed request carries `entityTag` in
    // If-Range, so that a file that changed meanwhile comes whole instead of being spliced onto
    // the old bytes. A body that grows past the expected size is stopped at once.
    //
    // The partial file and the destination are reached without following links below the
    // folder they have in common (see ConfinedFolder). The downloader takes no lock: callers
    // that may run at once on the same partial file serialise themselves (the per-file download
    // of the hub client holds a lock on it).
    DownloadState startDownload(const std::string& url, const std::optional<std::string>& token,
                                std::optional<std::int64_t> expectedSize, std::stop_token stop = {},
                                const std::optional<std::string>& expectedSha256 = std::nullopt,
                                const std::optional<std::string>& entityTag = std::nullopt);

    // Stops the running transfer (from any thread) and broadcasts failed with a cancelled URL error.
    void cancel();

    Broadcaster<DownloadState>& broadcaster() noexcept { return broadcaster_; }

    const std::filesystem::path& destination() const noexcept { return destination_; }
    const std::filesystem::path& incompleteDestination() const noexcept { return incompleteDestination_; }
    std::int64_t chunkSize() const noexcept { return chunkSize_; }
    bool inBackground() const noexcept { return inBackground_; }
    std::optional<std::int64_t> expectedSize() const;
    std::int64_t downloadedSize() const noexcept { return downloadedSize_.load(); }

    // The size of the regular file at `path` (a link is not followed), 0 when there is none
    // or it cannot be examined.
    static std::int64_t incompleteFileSize(const std::filesystem::path& path);

    // Moves `from` to `to`, replacing a file (or link) there and creating `to`'s folder as
    // needed, without following links below the folder the two paths have in common.
    static void moveDownloadedFile(const std::filesystem::path& from, const std::filesystem::path& to);

    // The deepest folder that holds both paths' folders: the one their handling is confined to.
    static std::filesystem::path commonFolder(const std::filesystem::path& a, const std::filesystem::path& b);

private:
    class PartialFile;

    // Streams the body into `file`, resuming from its end.
    void httpGet(const std::string& url, const std::optional<std::string>& token,
                 const std::optional<std::string>& entityTag, PartialFile& file, std::stop_token stop);

    std::filesystem::path destination_;
    std::filesystem::path incompleteDestination_;
    bool inBackground_;
    std::int64_t chunkSize_;
    Timing timing_;

    mutable std::mutex mutex_;  // guards expectedSize_, stopSource_, cancelled_, finished_ and the final move
    std::optional<std::int64_t> expectedSize_;
    std::atomic<std::int64_t> downloadedSize_{0};
    std::stop_source stopSource_;
    bool cancelled_ = false;
    bool finished_ = false;

    Broadcaster<DownloadState> broadcaster_;
};

}  // namespace halvex
