#pragma once

#include "Platform/IO/FileHandle.h"

#include <filesystem>
#include <optional>
#include <stop_token>

namespace platform {

// An exclusive advisory lock (flock) on a lock file, held while the object lives. Every
// process and thread that opens the same file through this type excludes the others; the
// kernel releases the lock when its holder dies, so a lock of a run that was killed never
// stands in anyone's way. The lock file itself is never removed: removing it would let a
// later run lock a new file while an earlier one still holds the old.
class FileLock {
public:
    // Takes the lock on `path` (created when missing; a link there is refused), waiting for
    // its holder as long as needed. Nothing when `stop` is requested while waiting. `waited`,
    // when given, tells whether another holder had to be waited for. Throws
    // std::filesystem::filesystem_error when the lock file cannot be opened or locked.
    static std::optional<FileLock> acquire(const std::filesystem::path& path, std::stop_token stop = {},
                                           bool* waited = nullptr);
    // Takes the lock only when nobody holds it; nothing otherwise (and when the lock file
    // cannot be opened).
    static std::optional<FileLock> tryAcquire(const std::filesystem::path& path);

    // The descriptor of the lock file, open for reading and writing.
    int descriptor() const { return file_.get(); }

private:
    explicit FileLock(FileHandle file) : file_(std::move(file)) {}

    FileHandle file_;
};

}  // namespace platform
