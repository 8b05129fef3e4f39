#pragma once

#include "Platform/IO/FileHandle.h"

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace platform {

// Why a file could not be opened or read as a regular file.
class RegularFileError : public std::runtime_error {
public:
    enum class Reason {
        missing,         // nothing at the path
        notRegularFile,  // a folder, FIFO, device or socket
        tooLarge,        // more bytes than the reader takes
        unreadable,      // any other failure (permissions, input/output errors)
    };

    RegularFileError(Reason reason, const std::string& message) : std::runtime_error(message), reason_(reason) {}
    Reason reason() const { return reason_; }

private:
    Reason reason_;
};

// Opens `path` for reading when it is a regular file (a link to one counts). The file is opened
// without blocking, so a FIFO or device at the path is refused at once instead of waiting for a
// writer. Throws RegularFileError.
FileHandle openRegularFile(const std::filesystem::path& path);

// The whole content of a regular file of at most `limit` bytes, never reading more than
// `limit` + 1 of them. Throws RegularFileError; its message names the path and, for a file
// that is too large, the limit.
std::string readRegularFile(const std::filesystem::path& path, std::size_t limit);

}  // namespace platform
