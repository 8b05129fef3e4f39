#include "HalvexCore/External/Hub/ConfinedFolder.h"

#include "HalvexCore/FileContents.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <random>
#include <system_error>
#include <vector>

namespace halvex {

namespace {

// The components of a relative path; nullopt for an absolute path or one that climbs with "..".
std::optional<std::vector<std::string>> components(const std::filesystem::path& relative) {
    if (relative.is_absolute() || relative.has_root_path()) {
        return std::nullopt;
    }
    std::vector<std::string> parts;
    for (const auto& part : relative) {
        const std::string text = part.string();
        if (text.empty() || text == ".") {
            continue;
        }
        if (text == "..") {
            return std::nullopt;
        }
        parts.push_back(text);
    }
    return parts;
}

// Kernels without openat2 (or sandboxes that forbid it) get a walk that refuses every link.
std::atomic<bool> openat2Missing{false};

int openByWalking(int dirfd, const std::vector<std::string>& parts, int flags, mode_t mode) {
    if (parts.empty()) {
        return ::openat(dirfd, ".", flags | O_CLOEXEC, mode);
    }
    platform::FileHandle current;
    int at = dirfd;
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        int next = ::openat(at, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            return -1;
        }
        current = platform::FileHandle(next);
        at = current.get();
    }
    return ::openat(at, parts.back().c_str(), flags | O_CLOEXEC, mode);
}

}  // namespace

int ConfinedFolder::openBeneath(int dirfd, const std::filesystem::path& relative, int flags, mode_t mode) {
    auto parts = components(relative);
    if (!parts) {
        errno = EXDEV;
        return -1;
    }
    if (!openat2Missing.load(std::memory_order_relaxed)) {
        std::filesystem::path joined(".");
        for (const auto& part : *parts) {
            joined /= part;
        }
        open_how how{};
        how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
        how.mode = (flags & O_CREAT) != 0 ? mode : 0;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        for (int attempt = 0; attempt < 64; ++attempt) {
            long fd = ::syscall(SYS_openat2, dirfd, joined.c_str(), &how, sizeof how);
            if (fd >= 0) {
                return static_cast<int>(fd);
            }
            // EAGAIN: a rename elsewhere raced with the lookup; it is simply tried again.
            if (errno != EINTR && errno != EAGAIN) {
                break;
            }
        }
        if (errno != ENOSYS && errno != EPERM && errno != EAGAIN) {
            return -1;
        }
        if (errno != EAGAIN) {
            openat2Missing.store(true, std::memory_order_relaxed);
        }
    }
    return openByWalking(dirfd, *parts, flags, mode);
}

ConfinedFolder::ConfinedFolder(std::filesystem::path path, platform::FileHandle handle)
    : path_(std::move(path)), handle_(std::make_shared<platform::FileHandle>(std::move(handle))) {}

ConfinedFolder ConfinedFolder::open(const std::filesystem::path& path, bool create) {
    if (create) {
        std::error_code error;
        std::filesystem::create_directories(path, error);
        if (error) {
            throwFileError("The folder couldn't be created", path, error.value());
        }
    }
    platform::FileHandle handle(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!handle) {
        throwFileError("The folder couldn't be opened", path, errno);
    }
    return ConfinedFolder(path, std::move(handle));
}

ConfinedFolder ConfinedFolder::folder(const std::filesystem::path& relative, bool create) const {
    auto parts = components(relative);
    if (!parts) {
        throwFileError("The path leaves its folder", path_ / relative, EXDEV);
    }
    constexpr int folderFlags = O_RDONLY | O_DIRECTORY;
    std::filesystem::path prefix;
    platform::FileHandle handle;
    if (parts->empty()) {
        handle = platform::FileHandle(openBeneath(descriptor(), ".", folderFlags, 0));
    }
    for (const auto& part : *parts) {
        // Each prefix is resolved from this folder again, so a link inside that stays inside
        // is allowed while one that leads out is not.
        const int parent = handle ? handle.get() : descriptor();
        prefix /= part;
        int fd = openBeneath(descriptor(), prefix, folderFlags, 0);
        if (fd < 0 && errno == ENOENT && create) {
            if (::mkdirat(parent, part.c_str(), 0755) != 0 && errno != EEXIST) {
                throwFileError("The folder couldn't be created", path_ / prefix, errno);
            }
            fd = openBeneath(descriptor(), prefix, folderFlags, 0);
        }
        if (fd < 0) {
            throwFileError("The folder couldn't be opened", path_ / prefix, errno);
        }
        handle = platform::FileHandle(fd);
    }
    if (!handle) {
        throwFileError("The folder couldn't be opened", path_, errno);
    }
    return ConfinedFolder(path_ / relative, std::move(handle));
}

platform::FileHandle ConfinedFolder::openFile(const std::filesystem::path& relative, int flags, mode_t mode) const {
    platform::FileHandle handle(openBeneath(descriptor(), relative, flags | O_NOFOLLOW, mode));
    if (!handle) {
        throwFileError("The file couldn't be opened", path_ / relative, errno);
    }
    return handle;
}

std::optional<struct stat> ConfinedFolder::status(const std::filesystem::path& relative) const {
    const auto parent = relative.parent_path();
    const std::string name = relative.filename().string();
    platform::FileHandle parentHandle;
    int at = descriptor();
    if (!parent.empty()) {
        parentHandle = platform::FileHandle(openBeneath(descriptor(), parent, O_RDONLY | O_DIRECTORY, 0));
        if (!parentHandle) {
            if (errno == ENOENT || errno == ENOTDIR) {
                return std::nullopt;
            }
            throwFileError("The folder couldn't be opened", path_ / parent, errno);
        }
        at = parentHandle.get();
    }
    struct stat result {};
    if (::fstatat(at, name.empty() ? "." : name.c_str(), &result, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return std::nullopt;
        }
        throwFileError("The file couldn't be examined", path_ / relative, errno);
    }
    return result;
}

bool ConfinedFolder::remove(const std::string& name) const {
    if (::unlinkat(descriptor(), name.c_str(), 0) == 0) {
        return true;
    }
    if (errno == ENOENT) {
        return false;
    }
    if (errno == EISDIR && ::unlinkat(descriptor(), name.c_str(), AT_REMOVEDIR) == 0) {
        return true;
    }
    throwFileError("The file couldn't be removed", path_ / name, errno);
}

void ConfinedFolder::rename(const std::string& name, const ConfinedFolder& destination,
                            const std::string& toName) const {
    if (::renameat(descriptor(), name.c_str(), destination.descriptor(), toName.c_str()) != 0) {
        throwFileError("The file couldn't be moved", destination.path() / toName, errno);
    }
}

void ConfinedFolder::writeAtomically(const std::string& name, std::string_view content) const {
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::string temporary;
    platform::FileHandle file;
    for (int attempt = 0; attempt < 100 && !file; ++attempt) {
        temporary.assign(1, '.');
        temporary.append(name).push_back('.');
        for (int i = 0; i < 6; ++i) {
            temporary.push_back(letters[random() % (sizeof letters - 1)]);
        }
        file =
            platform::FileHandle(openBeneath(descriptor(), temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
        if (!file && errno != EEXIST) {
            throwFileError("The file couldn't be created", path_ / name, errno);
        }
    }
    if (!file) {
        throwFileError("The file couldn't be created", path_ / name, EEXIST);
    }
    auto fail = [&](const char* what, int error) {
        ::unlinkat(descriptor(), temporary.c_str(), 0);
        throwFileError(what, path_ / name, error);
    };
    if (const int error = writeWholeAndSync(file.get(), content); error != 0) {
        fail("The file couldn't be written", error);
    }
    if (::close(file.release()) != 0) {
        fail("The file couldn't be written", errno);
    }
    if (::renameat(descriptor(), temporary.c_str(), descriptor(), name.c_str()) != 0) {
        fail("The file couldn't be saved", errno);
    }
}

std::string ConfinedFolder::readFile(const std::string& name, std::size_t limit) const {
    platform::FileHandle file = openFile(name, O_RDONLY | O_NONBLOCK);
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) {
        throwFileError("The file couldn't be examined", path_ / name, errno);
    }
    if (!S_ISREG(status.st_mode)) {
        throwFileError("The file couldn't be read", path_ / name, S_ISDIR(status.st_mode) ? EISDIR : EINVAL);
    }
    if (static_cast<std::uint64_t>(status.st_size) > limit) {
        throwFileError("The file couldn't be read", path_ / name, EFBIG);
    }
    return readToEnd(file.get(), path_ / name, limit);
}

std::vector<std::string> ConfinedFolder::entryNames() const {
    platform::FileHandle folder(::openat(descriptor(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder) {
        throwFileError("The folder couldn't be read", path_, errno);
    }
    std::unique_ptr<DIR, int (*)(DIR*)> directory(::fdopendir(folder.get()), &::closedir);
    if (!directory) {
        throwFileError("The folder couldn't be read", path_, errno);
    }
    folder.release();  // the directory stream owns it now
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(directory.get())) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(std::move(name));
        }
    }
    return names;
}

}  // namespace halvex
