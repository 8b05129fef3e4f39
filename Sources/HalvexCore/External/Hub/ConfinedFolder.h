#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/IO/FileHandle.h"

namespace halvex {

// A folder opened once, below which entries are reached without ever leaving it. Relative
// paths are resolved beneath the folder: an absolute path, a ".." that climbs above it or a
// symbolic link that leads out of it is refused (EXDEV or ELOOP), whatever the folder's own
// real path is. The last component of a file is never followed, so a link planted where a
// file belongs is never written through. The folder itself may be reached through links.
//
// Failures throw std::filesystem::filesystem_error with the path and the system's error.
class ConfinedFolder {
public:
    // Opens `path` (created with its missing parents when `create`).
    static ConfinedFolder open(const std::filesystem::path& path, bool create);

    // The folder at `relative` below this one, its missing folders created when `create`.
    ConfinedFolder folder(const std::filesystem::path& relative, bool create) const;

    // Opens the file at `relative` with open(2) flags (O_NOFOLLOW and O_CLOEXEC are added).
    platform::FileHandle openFile(const std::filesystem::path& relative, int flags, mode_t mode = 0644) const;

    // The entry's status without following it; absent when there is none.
    std::optional<struct stat> status(const std::filesystem::path& relative) const;

    // Removes the entry `name` of this folder (a link itself, never its target; an empty folder
    // too). False when there was none.
    bool remove(const std::string& name) const;

    // Moves the entry `name` of this folder to `toName` in `destination`, replacing a file
    // (or link) there.
    void rename(const std::string& name, const ConfinedFolder& destination, const std::string& toName) const;

    // Replaces the file `name` of this folder so that it is either whole or untouched: the bytes
    // go to a fresh hidden file beside it, are flushed, then renamed into place.
    void writeAtomically(const std::string& name, std::string_view content) const;

    // The whole content of the regular file `name`; throws EFBIG when it holds more than
    // `limit` bytes, and refuses links, devices and pipes without blocking on them.
    std::string readFile(const std::string& name, std::size_t limit) const;

    // The names of the entries of this folder.
    std::vector<std::string> entryNames() const;

    const std::filesystem::path& path() const noexcept { return path_; }
    int descriptor() const noexcept { return handle_->get(); }

    // Opens `relative` beneath the folder `dirfd` (see above); -1 with errno on failure.
    static int openBeneath(int dirfd, const std::filesystem::path& relative, int flags, mode_t mode);

private:
    ConfinedFolder(std::filesystem::path path, platform::FileHandle handle);

    std::filesystem::path path_;
    std::shared_ptr<platform::FileHandle> handle_;
};

}  // namespace halvex
