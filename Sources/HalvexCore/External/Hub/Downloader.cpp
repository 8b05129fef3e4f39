#include "HalvexCore/External/Hub/Downloader.h"

#include "HalvexCore/External/Hub/CancellationError.h"
#include "HalvexCore/External/Hub/ConfinedFolder.h"
#include "HalvexCore/External/Hub/HttpClient.h"
#include "HalvexCore/External/Hub/HubErrors.h"
#include "HalvexCore/External/Hub/Sha256.h"
#include "HalvexCore/External/Hub/UrlError.h"
#include "HalvexCore/FileContents.h"
#include "Platform/IO/FileBytes.h"
#include "Platform/IO/FileHandle.h"

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

struct ContentRange {
    std::int64_t start = 0;
    std::optional<std::int64_t> total;  // absent for "*"
};

// "Content-Range: bytes START-END/TOTAL", when the value has that form.
std::optional<ContentRange> parseContentRange(std::string_view value) {
    constexpr std::string_view unit = "bytes ";
    if (value.substr(0, unit.size()) != unit) {
        return std::nullopt;
    }
    value.remove_prefix(unit.size());
    ContentRange range;
    const char* end = value.data() + value.size();
    auto [afterStart, startError] = std::from_chars(value.data(), end, range.start);
    if (startError != std::errc() || afterStart == end || *afterStart != '-') {
        return std::nullopt;
    }
    auto slash = value.find('/');
    if (slash == std::string_view::npos) {
        return std::nullopt;
    }
    auto total = value.substr(slash + 1);
    if (total != "*") {
        std::int64_t size = 0;
        auto [afterTotal, totalError] = std::from_chars(total.data(), total.data() + total.size(), size);
        if (totalError != std::errc() || afterTotal != total.data() + total.size()) {
            return std::nullopt;
        }
        range.total = size;
    }
    return range;
}

// The complete length of "Content-Range: bytes */LENGTH", the form of an answer to a range that
// cannot be satisfied.
std::optional<std::int64_t> unsatisfiedRangeLength(std::string_view value) {
    constexpr std::string_view prefix = "bytes */";
    if (value.substr(0, prefix.size()) != prefix) {
        return std::nullopt;
    }
    value.remove_prefix(prefix.size());
    std::int64_t length = 0;
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
    if (value.empty() || error != std::errc() || end != value.data() + value.size()) {
        return std::nullopt;
    }
    return length;
}

// A server error (5xx) that is tried again like a broken body.
struct ServerError {
    int statusCode;
};

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

Downloader::DownloadError::DownloadError(Kind kind, const std::string& description, std::optional<int> statusCode)
    : std::runtime_error(description), kind_(kind), statusCode_(statusCode) {}

// The open partial file, reached below `root` without following links. A file with more than
// one name (a hard link planted in the cache) is refused: writing to it would change the other
// name's content too.
class Downloader::PartialFile {
public:
    PartialFile(const std::filesystem::path& root, const std::filesystem::path& path) : path_(path) {
        const auto relative = path.lexically_relative(root);
        folder_.emplace(ConfinedFolder::open(root, false).folder(relative.parent_path(), false));
        name_ = relative.filename().string();
        handle_ = folder_->openFile(name_, O_RDWR);
        struct stat status {};
        if (::fstat(handle_.get(), &status) != 0) {
            throwFileError("Failed to examine the partial file", path_);
        }
        if (!S_ISREG(status.st_mode)) {
            throwFileError("The partial file is not a regular file", path_, EINVAL);
        }
        if (status.st_nlink != 1) {
            throwFileError("The partial file has other names", path_, EMLINK);
        }
    }

    std::int64_t seekToEnd() {
        off_t offset = ::lseek(handle_.get(), 0, SEEK_END);
        if (offset < 0) {
            throwFileError("Failed to seek in the partial file", path_);
        }
        return offset;
    }

    void truncate() {
        if (::ftruncate(handle_.get(), 0) != 0 || ::lseek(handle_.get(), 0, SEEK_SET) != 0) {
            throwFileError("Failed to truncate the partial file", path_);
        }
    }

    void write(std::string_view data) {
        if (const int error = platform::writeAll(handle_.get(), data.data(), data.size()); error != 0) {
            throwFileError("Failed to write the partial file", path_, error);
        }
    }

    // The SHA-256 of what the file holds now, read from its start.
    std::string hash() {
        if (::lseek(handle_.get(), 0, SEEK_SET) != 0) {
            throwFileError("Failed to seek in the partial file", path_);
        }
        return Sha256::hexDigestOfDescriptor(handle_.get(), path_);
    }

    void remove() { folder_->remove(name_); }

    void moveTo(const std::filesystem::path& root, const std::filesystem::path& destination) {
        const auto relative = destination.lexically_relative(root);
        auto destinationFolder = ConfinedFolder::open(root, false).folder(relative.parent_path(), true);
        const std::string destinationName = relative.filename().string();
        // rename() replaces a file or a link atomically; only a folder in the way has to go first.
        if (auto status = destinationFolder.status(destinationName); status && S_ISDIR(status->st_mode)) {
            destinationFolder.remove(destinationName);
        }
        folder_->rename(name_, destinationFolder, destinationName);
    }

private:
    std::filesystem::path path_;
    std::optional<ConfinedFolder> folder_;
    std::string name_;
    platform::FileHandle handle_;
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

std::filesystem::path Downloader::commonFolder(const std::filesystem::path& a, const std::filesystem::path& b) {
    const auto left = std::filesystem::absolute(a).lexically_normal().parent_path();
    const auto right = std::filesystem::absolute(b).lexically_normal().parent_path();
    std::filesystem::path common;
    auto l = left.begin();
    auto r = right.begin();
    for (; l != left.end() && r != right.end() && *l == *r; ++l, ++r) {
        common /= *l;
    }
    return common.empty() ? std::filesystem::path("/") : common;
}

Downloader::DownloadState Downloader::startDownload(const std::string& url, const std::optional<std::string>& token,
                                                    std::optional<std::int64_t> expectedSize, std::stop_token stop,
                                                    const std::optional<std::string>& expectedSha256,
                                                    const std::optional<std::string>& entityTag) {
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

    const auto root = commonFolder(destination_, incompleteDestination_);
    const auto destination = std::filesystem::absolute(destination_).lexically_normal();
    const auto partialPath = std::filesystem::absolute(incompleteDestination_).lexically_normal();

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

    std::optional<PartialFile> file;
    try {
        file.emplace(root, partialPath);
        if (discardPartial) {
            file->truncate();
        } else {
            // What the open file holds is what is resumed from.
            resumeSize = file->seekToEnd();
            downloadedSize_ = resumeSize;
        }
        // A partial file that already holds the whole file (say, the process ended just before
        // the move) needs no request: it is verified and moved below.
        bool alreadyComplete = expectedSize && *expectedSize >= 1 && resumeSize == *expectedSize;
        if (!alreadyComplete) {
            httpGet(url, token, entityTag, *file, cancelToken);
        }
    } catch (...) {
        return fail(std::current_exception());
    }
    if (cancelToken.stop_requested()) {
        return fail(std::make_exception_ptr(CancellationError()));
    }

    if (expectedSha256) {
        try {
            if (file->hash() != *expectedSha256) {
                // The bytes are wrong, so resuming from them can never succeed.
                file->remove();
                return fail(std::make_exception_ptr(
                    HubEnvironmentError::fileIntegrityError("Hash mismatch for " + destination_.filename().string())));
            }
        } catch (...) {
            return fail(std::current_exception());
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
                file->moveTo(root, destination);
                finished_ = true;
                moved = true;
            } catch (...) {
                moveError = std::current_exception();
            }
        }
    }
    file.reset();
    if (moveError) {
        return fail(moveError);
    }
    if (!moved) {
        return fail(std::make_exception_ptr(CancellationError()));
    }
    return finish(DownloadState::completed(destination_));
}

void Downloader::httpGet(const std::string& url, const std::optional<std::string>& token,
                         const std::optional<std::string>& entityTag, PartialFile& file, std::stop_token stop) {
    const auto batchSize = static_cast<std::size_t>(chunkSize_);
    const std::optional<std::int64_t> expected = expectedSize();
    const std::string fileName = destination_.filename().string();
    const auto failure = [&](const std::string& what, std::optional<int> statusCode = std::nullopt) {
        return DownloadError(DownloadError::Kind::unexpectedError, "The download of " + fileName + " failed: " + what,
                             statusCode);
    };
    const auto statusFailure = [&](int statusCode) {
        return failure("the server answered with HTTP status " + std::to_string(statusCode) + ".", statusCode);
    };
    int retriesLeft = timing_.retries;
    // Bytes written since the retry budget was last restored; a batch's worth restores it.
    std::int64_t writtenSinceReset = 0;
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
        // Every byte arrived before the connection ended: there is nothing left to ask for.
        if (expected && offset > 0 && offset == *expected) {
            break;
        }
        if (offset > 0) {
            request.headers.set("Range", "bytes=" + std::to_string(offset) + "-");
            if (entityTag && !entityTag->empty()) {
                request.headers.set("If-Range", "\"" + *entityTag + "\"");
            }
        }

        bool responseStarted = false;
        bool accepted = false;
        bool complete = false;  // the server says the partial file already holds the whole file
        auto lastReportTime = std::chrono::steady_clock::now();
        std::int64_t lastReportBytes = offset;
        buffer.clear();

        auto writeBatch = [&] {
            file.write(buffer);
            downloadedSize_ += static_cast<std::int64_t>(buffer.size());
            writtenSinceReset += static_cast<std::int64_t>(buffer.size());
            if (writtenSinceReset >= static_cast<std::int64_t>(batchSize)) {
                retriesLeft = timing_.retries;
                writtenSinceReset = 0;
            }
            buffer.clear();
        };
        // Bytes that cannot belong to the file: what the partial file holds is not resumed from.
        auto refuse = [&](const std::string& why) {
            buffer.clear();
            file.truncate();
            downloadedSize_ = 0;
            throw failure(why);
        };

        HttpClient::Handlers handlers;
        handlers.onResponse = [&](const HttpResponse& response) {
            responseStarted = true;
            if (response.statusCode == 416 && offset > 0) {
                // Nothing is left after the bytes on disk when they are the whole file.
                auto header = response.headers.value("Content-Range");
                auto length = header ? unsatisfiedRangeLength(*header) : std::nullopt;
                if (!length) {
                    length = expected;
                }
                if (length && *length == offset) {
                    complete = true;
                    return;
                }
            }
            if (response.statusCode >= 500 && response.statusCode <= 599) {
                throw ServerError{static_cast<int>(response.statusCode)};
            }
            if (response.statusCode < 200 || response.statusCode > 299) {
                throw statusFailure(static_cast<int>(response.statusCode));
            }
            if (offset > 0 && response.statusCode == 206) {
                auto header = response.headers.value("Content-Range");
                auto range = header ? parseContentRange(*header) : std::nullopt;
                if (header && (!range || range->start != offset)) {
                    throw failure("the server sent another part of the file than the one asked for.");
                }
                if (range && range->total && expected && *range->total != *expected) {
                    refuse("the server sent part of another version of the file.");
                }
            } else if (offset > 0) {
                // The server sends the whole file (it ignored the range, or the file changed and
                // If-Range did not match): appending it would corrupt the partial file, so it
                // starts again from zero.
                file.truncate();
                downloadedSize_ = 0;
                lastReportBytes = 0;
            }
            accepted = true;
        };
        handlers.onBody = [&](const char* data, std::size_t size) {
            if (complete) {
                return;  // the text of the 416 answer
            }
            if (expected && downloadedSize_.load() + static_cast<std::int64_t>(buffer.size() + size) > *expected) {
                // Longer than the file can be: stop now rather than at the end.
                refuse("the server sent more than the file's " + std::to_string(*expected) + " bytes.");
            }
            while (size > 0) {
                std::size_t take = std::min(size, batchSize - buffer.size());
                buffer.append(data, take);
                data += take;
                size -= take;
                if (buffer.size() < batchSize) {
                    continue;
                }
                writeBatch();
                if (!expected) {
                    continue;
                }
                std::int64_t total = downloadedSize_.load();
                double progress = *expected > 0 ? static_cast<double>(total) / static_cast<double>(*expected) : 0.0;
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
            // A body that ended before the whole file arrived is asked for again from where it
            // stopped; once the retries are spent, the size check below tells what is missing.
            if (complete || !expected || downloadedSize_.load() >= *expected || retriesLeft <= 0) {
                break;
            }
        } catch (const ServerError& error) {
            if (retriesLeft <= 0) {
                throw statusFailure(error.statusCode);
            }
        } catch (const UrlError& error) {
            // Failures before any response and cancellation end the call at once.
            if (!responseStarted || error.code() == UrlError::Code::cancelled) {
                throw;
            }
            // What arrived is kept, so the next attempt (or the next download) asks for the
            // range after it, and a link that always breaks early still advances.
            if (accepted && !buffer.empty()) {
                writeBatch();
            }
            if (retriesLeft <= 0) {
                throw;
            }
        }
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
            throw failure("it holds " + std::to_string(size) + " bytes, more than the file's " +
                          std::to_string(*expected) + ".");
        }
        throw failure("the server sent only " + std::to_string(size) + " of its " + std::to_string(*expected) +
                      " bytes.");
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
    if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return 0;
    }
    return static_cast<std::int64_t>(status.st_size);
}

void Downloader::moveDownloadedFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    const auto root = commonFolder(from, to);
    const auto source = std::filesystem::absolute(from).lexically_normal().lexically_relative(root);
    const auto target = std::filesystem::absolute(to).lexically_normal().lexically_relative(root);
    const auto sourceFolder = ConfinedFolder::open(root, false).folder(source.parent_path(), false);
    const auto targetFolder = ConfinedFolder::open(root, false).folder(target.parent_path(), true);
    const std::string targetName = target.filename().string();
    // rename() replaces a file or a link atomically; only a folder in the way has to go first.
    if (auto status = targetFolder.status(targetName); status && S_ISDIR(status->st_mode)) {
        targetFolder.remove(targetName);
    }
    sourceFolder.rename(source.filename().string(), targetFolder, targetName);
}

}  // namespace halvex
