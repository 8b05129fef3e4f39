#include "HalvexCore/External/Hub/Downloader.h"

#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/External/Hub/HttpClient.h"
#include "HalvexCore/External/Hub/HubErrors.h"
#include "HalvexCore/External/Hub/Sha256.h"
#include "HalvexCore/External/Hub/UrlError.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <string_view>
#include <system_error>
#include <vector>

namespace halvex {

namespace {

[[noreturn]] void throwFileError(const char* what, const std::filesystem::path& path, int error = errno) {
    throw std::filesystem::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// The start offset of a "Content-Range: bytes START-END/TOTAL" value, when it has one.
std::optional<std::int64_t> contentRangeStart(std::string_view value) {
    constexpr std::string_view unit = "bytes ";
    if (value.substr(0, unit.size()) != unit) {
        return std::nullopt;
    }
    value.remove_prefix(unit.size());
    std::int64_t start = 0;
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), start);
    if (error != std::errc() || end == value.data() + value.size() || *end != '-') {
        return std::nullopt;
    }
    return start;
}

// Feeds the first `length` bytes of the file to `digest`.
void hashPrefix(const std::filesystem::path& path, std::int64_t length, Sha256& digest) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throwFileError("Failed to open the partial file", path);
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    std::vector<char> block(Sha256::blockSize);
    while (length > 0) {
        ssize_t count = ::read(fd, block.data(), static_cast<std::size_t>(std::min<std::int64_t>(length, block.size())));
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwFileError("Failed to read the partial file", path);
        }
        if (count == 0) {
            break;
        }
        digest.update(block.data(), static_cast<std::size_t>(count));
        length -= count;
    }
}

}  // namespace

Downloader::DownloadError::DownloadError(Kind kind)
    : std::runtime_error([kind] {
          switch (kind) {
          case Kind::invalidDownloadLocation:
              return "The operation couldn't be completed. (Downloader.DownloadError error 0.)";
          case Kind::unexpectedError:
              return "The operation couldn't be completed. (Downloader.DownloadError error 1.)";
          case Kind::tempFileNotFound:
              return "The operation couldn't be completed. (Downloader.DownloadError error 2.)";
          }
          return "The operation couldn't be completed.";
      }()),
      kind_(kind) {}

// The open partial file. Only whole batches are ever written to it.
class Downloader::PartialFile {
public:
    explicit PartialFile(std::filesystem::path path) : path_(std::move(path)) {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd_ < 0) {
            throwFileError("Failed to open the partial file", path_);
        }
    }
    ~PartialFile() { close(); }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    std::int64_t seekToEnd() {
        off_t offset = ::lseek(fd_, 0, SEEK_END);
        if (offset < 0) {
            throwFileError("Failed to seek in the partial file", path_);
        }
        return offset;
    }

    void truncate() {
        if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) {
            throwFileError("Failed to truncate the partial file", path_);
        }
    }

    void write(std::string_view data) {
        while (!data.empty()) {
            ssize_t written = ::write(fd_, data.data(), data.size());
            if (written < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throwFileError("Failed to write the partial file", path_);
            }
            data.remove_prefix(static_cast<std::size_t>(written));
        }
    }

    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

private:
    std::filesystem::path path_;
    int fd_ = -1;
};

Downloader::Downloader(std::filesystem::path destination, std::filesystem::path incompleteDestination,
                       bool inBackground, std::int64_t chunkSize, Timing timing)
    : destination_(std::move(destination)),
      incompleteDestination_(std::move(incompleteDestination)),
      inBackground_(inBackground),
      chunkSize_(std::max<std::int64_t>(1, chunkSize)),
      timing_(timing),
      broadcaster_([] { return std::optional<DownloadState>(DownloadState::notStarted()); }) {}

std::optional<std::int64_t> Downloader::expectedSize() const {
    std::lock_guard lock(mutex_);
    return expectedSize_;
}

Downloader::DownloadState Downloader::startDownload(const std::string& url, const std::optional<std::string>& token,
                                                    std::optional<std::int64_t> expectedSize, std::stop_token stop,
                                                    const std::optional<std::string>& expectedSha256) {
    std::stop_token cancelToken;
    {
        std::lock_guard lock(mutex_);
        stopSource_ = std::stop_source();
        cancelled_ = false;
        finished_ = false;
        expectedSize_ = expectedSize;
        cancelToken = stopSource_.get_token();
    }
    // The caller's stop request cancels this transfer.
    std::stop_callback link(stop, [this] { cancel(); });

    auto finish = [this](DownloadState state) {
        broadcaster_.broadcast(state);
        return state;
    };
    auto fail = [&](std::exception_ptr error) { return finish(DownloadState::failed(std::move(error))); };

    std::int64_t resumeSize = incompleteFileSize(incompleteDestination_);
    // A partial file longer than the whole file cannot belong to it: it is started again.
    bool discardPartial = expectedSize && resumeSize > *expectedSize;
    if (discardPartial) {
        resumeSize = 0;
    }
    downloadedSize_ = resumeSize;
    if (resumeSize >= 1 && expectedSize && *expectedSize >= 1) {
        broadcaster_.broadcast(DownloadState::downloading(
            static_cast<double>(resumeSize) / static_cast<double>(*expectedSize), std::nullopt));
    } else {
        broadcaster_.broadcast(DownloadState::downloading(0.0, std::nullopt));
    }

    // The digest is computed while the file is written, so the finished file is not read again.
    std::unique_ptr<Sha256> digest;
    try {
        PartialFile file(incompleteDestination_);
        if (discardPartial) {
            file.truncate();
        } else if (resumeSize >= 1) {
            file.seekToEnd();
        }
        if (expectedSha256) {
            digest = std::make_unique<Sha256>();
            if (resumeSize >= 1) {
                hashPrefix(incompleteDestination_, resumeSize, *digest);
            }
        }
        // A partial file that already holds the whole file (say, the process ended just before
        // the move) needs no request: it is verified and moved below.
        bool alreadyComplete = expectedSize && *expectedSize >= 1 && resumeSize == *expectedSize;
        if (!alreadyComplete) {
            httpGet(url, token, file, expectedSha256 ? &digest : nullptr, cancelToken);
        }
    } catch (...) {
        return fail(std::current_exception());
    }
    if (cancelToken.stop_requested()) {
        return fail(std::make_exception_ptr(CancellationError()));
    }

    if (expectedSha256) {
        if (digest->finalizeHex() != *expectedSha256) {
            // The bytes are wrong, so resuming from them can never succeed.
            std::error_code ignored;
            std::filesystem::remove(incompleteDestination_, ignored);
            return fail(std::make_exception_ptr(HubEnvironmentError::fileIntegrityError(
                "Hash mismatch for " + destination_.filename().string())));
        }
    }

    std::exception_ptr moveError;
    bool moved = false;
    {
        // cancel() takes the same lock, so a transfer is either cancelled before its file is
        // moved into place, or completed and no longer cancellable.
        std::lock_guard lock(mutex_);
        if (!cancelled_) {
            try {
                moveDownloadedFile(incompleteDestination_, destination_);
                finished_ = true;
                moved = true;
            } catch (...) {
                moveError = std::current_exception();
            }
        }
    }
    if (moveError) {
        return fail(moveError);
    }
    if (!moved) {
        return fail(std::make_exception_ptr(CancellationError()));
    }
    return finish(DownloadState::completed(destination_));
}

void Downloader::httpGet(const std::string& url, const std::optional<std::string>& token, PartialFile& file,
                         std::unique_ptr<Sha256>* digest, std::stop_token stop) {
    const auto batchSize = static_cast<std::size_t>(chunkSize_);
    const std::optional<std::int64_t> expected = expectedSize();
    int retriesLeft = timing_.retries;
    std::string buffer;
    buffer.reserve(std::min<std::size_t>(batchSize, std::size_t{16} << 20));

    while (true) {
        HttpRequest request;
        request.url = url;
        request.followRedirects = true;
        request.idleTimeout = timing_.idleTimeout;
        if (token && !token->empty()) {
            request.headers.set("Authorization", "Bearer " + *token);
        }
        const std::int64_t offset = downloadedSize_.load();
        if (offset > 0) {
            request.headers.set("Range", "bytes=" + std::to_string(offset) + "-");
        }

        bool responseStarted = false;
        auto lastReportTime = std::chrono::steady_clock::now();
        std::int64_t lastReportBytes = offset;
        buffer.clear();

        auto writeBatch = [&] {
            file.write(buffer);
            if (digest) {
                (*digest)->update(buffer);
            }
            downloadedSize_ += static_cast<std::int64_t>(buffer.size());
            buffer.clear();
        };

        HttpClient::Handlers handlers;
        handlers.onResponse = [&](const HttpResponse& response) {
            responseStarted = true;
            if (response.statusCode < 200 || response.statusCode > 299) {
                throw DownloadError(DownloadError::Kind::unexpectedError);
            }
            if (offset == 0) {
                return;
            }
            if (response.statusCode == 206) {
                auto range = response.headers.value("Content-Range");
                auto start = range ? contentRangeStart(*range) : std::nullopt;
                if (range && (!start || *start != offset)) {
                    throw DownloadError(DownloadError::Kind::unexpectedError);
                }
            } else {
                // The server ignored the range and sends the whole file: appending it would
                // corrupt the partial file, so it starts again from zero.
                file.truncate();
                downloadedSize_ = 0;
                lastReportBytes = 0;
                if (digest) {
                    *digest = std::make_unique<Sha256>();
                }
            }
        };
        handlers.onBody = [&](const char* data, std::size_t size) {
            while (size > 0) {
                std::size_t take = std::min(size, batchSize - buffer.size());
                buffer.append(data, take);
                data += take;
                size -= take;
                if (buffer.size() < batchSize) {
                    continue;
                }
                writeBatch();
                retriesLeft = timing_.retries;
                if (!expected) {
                    continue;
                }
                std::int64_t total = downloadedSize_.load();
                double progress =
                    *expected > 0 ? static_cast<double>(total) / static_cast<double>(*expected) : 0.0;
                auto now = std::chrono::steady_clock::now();
                double elapsed = std::chrono::duration<double>(now - lastReportTime).count();
                std::optional<double> speed;
                if (elapsed > 0) {
                    speed = static_cast<double>(total - lastReportBytes) / elapsed;
                }
                lastReportTime = now;
                lastReportBytes = total;
                broadcaster_.broadcast(DownloadState::downloading(progress, speed));
            }
        };

        try {
            HttpClient::perform(request, handlers, stop);
            if (!buffer.empty()) {
                writeBatch();
            }
            break;
        } catch (const UrlError& error) {
            // Failures before any response, cancellation and an exhausted budget end the call.
            if (!responseStarted || error.code() == UrlError::Code::cancelled || retriesLeft <= 0) {
                throw;
            }
        }
        // Bytes not written yet are dropped: the retry asks for the range after the file's end.
        buffer.clear();
        std::mutex sleepMutex;
        std::condition_variable_any wakeUp;
        std::unique_lock sleepLock(sleepMutex);
        wakeUp.wait_for(sleepLock, stop, timing_.retryDelay, [] { return false; });
        if (stop.stop_requested()) {
            throw CancellationError();
        }
        --retriesLeft;
    }

    std::int64_t size = file.seekToEnd();
    if (expected && size != *expected) {
        if (size > *expected) {
            // Longer than the whole file: these bytes can never be resumed from.
            file.truncate();
            downloadedSize_ = 0;
        }
        throw DownloadError(DownloadError::Kind::unexpectedError);
    }
}

void Downloader::cancel() {
    {
        std::lock_guard lock(mutex_);
        if (finished_) {
            return;
        }
        cancelled_ = true;
        stopSource_.request_stop();
    }
    broadcaster_.broadcast(DownloadState::failed(std::make_exception_ptr(UrlError::cancelledError())));
}

std::int64_t Downloader::incompleteFileSize(const std::filesystem::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return 0;
    }
    return static_cast<std::int64_t>(status.st_size);
}

void Downloader::moveDownloadedFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    // rename() replaces a file atomically; only a folder in the way has to go first.
    if (std::filesystem::is_directory(std::filesystem::symlink_status(to))) {
        std::filesystem::remove(to);
    }
    if (to.has_parent_path()) {
        std::filesystem::create_directories(to.parent_path());
    }
    std::filesystem::rename(from, to);
}

}  // namespace halvex
