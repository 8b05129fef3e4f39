#include "Platform/IO/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

namespace {

std::string sizeText(std::size_t bytes) {
    if (bytes >= 1000000 && bytes % 1000000 == 0) return std::to_string(bytes / 1000000) + " MB";
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    return std::to_string(bytes) + " bytes";
}

}  // namespace

FileHandle openRegularFile(const std::filesystem::path& path) {
    FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!file) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            throw RegularFileError(RegularFileError::Reason::missing, path.string() + " does not exist");
        if (error == ENXIO)  // a FIFO without a writer, or a socket
            throw RegularFileError(RegularFileError::Reason::notRegularFile, path.string() + " is not a regular file");
        throw RegularFileError(RegularFileError::Reason::unreadable,
                               path.string() + " cannot be opened: " + std::strerror(error));
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0)
        throw RegularFileError(RegularFileError::Reason::unreadable,
                               path.string() + " cannot be read: " + std::strerror(errno));
    if (!S_ISREG(status.st_mode))
        throw RegularFileError(RegularFileError::Reason::notRegularFile, path.string() + " is not a regular file");
    // Reads of a regular file never block anyway; clearing the flag keeps later readers plain.
    const int flags = ::fcntl(file.get(), F_GETFL);
    if (flags >= 0) ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK);
    return file;
}

std::string readRegularFile(const std::filesystem::path& path, std::size_t limit) {
    const FileHandle file = openRegularFile(path);
    const auto tooLarge = [&] {
        return RegularFileError(RegularFileError::Reason::tooLarge,
                                path.string() + " is larger than " + sizeText(limit));
    };
    struct stat status {};
    if (::fstat(file.get(), &status) == 0 && static_cast<std::uint64_t>(status.st_size) > limit) throw tooLarge();
    std::string data;
    data.reserve(static_cast<std::size_t>(status.st_size));
    char block[65536];
    while (true) {
        const ssize_t count = ::read(file.get(), block, sizeof block);
        if (count < 0) {
            if (errno == EINTR) continue;
            throw RegularFileError(RegularFileError::Reason::unreadable,
                                   path.string() + " cannot be read: " + std::strerror(errno));
        }
        if (count == 0) return data;
        if (static_cast<std::size_t>(count) > limit - data.size()) throw tooLarge();
        data.append(block, static_cast<std::size_t>(count));
    }
}

}  // namespace platform
