#include "Platform/IO/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

namespace platform {

namespace {

FileHandle openLockFile(const std::filesystem::path& path) {
    return FileHandle(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644));
}

// Whether the lock was taken; false when another holds it. Throws on other failures.
bool lockWithoutWaiting(const FileHandle& file, const std::filesystem::path& path) {
    while (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) return false;
        if (errno == EINTR) continue;
        throw std::filesystem::filesystem_error("Cannot lock", path, std::error_code(errno, std::generic_category()));
    }
    return true;
}

}  // namespace

std::optional<FileLock> FileLock::acquire(const std::filesystem::path& path, std::stop_token stop, bool* waited) {
    FileHandle file = openLockFile(path);
    if (!file)
        throw std::filesystem::filesystem_error("Cannot open the lock file", path,
                                                std::error_code(errno, std::generic_category()));
    if (waited) *waited = false;
    // Polled rather than blocking in flock, so that a stop request ends the wait promptly.
    auto pause = std::chrono::milliseconds(5);
    while (!lockWithoutWaiting(file, path)) {
        if (waited) *waited = true;
        if (stop.stop_requested()) return std::nullopt;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(100));
    }
    return FileLock(std::move(file));
}

std::optional<FileLock> FileLock::tryAcquire(const std::filesystem::path& path) {
    FileHandle file = openLockFile(path);
    if (!file) return std::nullopt;
    try {
        if (!lockWithoutWaiting(file, path)) return std::nullopt;
    } catch (const std::filesystem::filesystem_error&) {
        return std::nullopt;
    }
    return FileLock(std::move(file));
}

}  // namespace platform
