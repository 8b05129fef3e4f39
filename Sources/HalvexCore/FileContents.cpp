#include "HalvexCore/FileContents.h"

#include "Platform/IO/FileHandle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace halvex {

void throwFileError(const char* what, const std::filesystem::path& path, int error) {
    throw std::filesystem::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

std::string readToEnd(int descriptor, const std::filesystem::path& path, std::size_t limit) {
    std::string data;
    char block[65536];
    while (true) {
        const ssize_t count = ::read(descriptor, block, sizeof block);
        if (count < 0) {
            if (errno == EINTR) continue;
            throwFileError("The file couldn't be read", path, errno);
        }
        if (count == 0) return data;
        if (static_cast<std::size_t>(count) > limit - data.size())
            throwFileError("The file couldn't be read", path, EFBIG);
        data.append(block, static_cast<std::size_t>(count));
    }
}

std::string readFileContents(const std::filesystem::path& path) {
    platform::FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        throwFileError("The file couldn't be opened", path, errno);
    }
    return readToEnd(file.get(), path);
}

int writeWholeAndSync(int descriptor, std::string_view content) {
    while (!content.empty()) {
        const ssize_t written = ::write(descriptor, content.data(), content.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        content.remove_prefix(static_cast<std::size_t>(written));
    }
    if (::fchmod(descriptor, 0644) != 0 || ::fsync(descriptor) != 0) {
        return errno;
    }
    return 0;
}

void writeFileAtomically(const std::filesystem::path& path, std::string_view content) {
    std::string hiddenName(1, '.');
    hiddenName.append(path.filename().string()).append(".XXXXXX");
    std::string pattern = (path.parent_path() / hiddenName).string();
    platform::FileHandle file(::mkstemp(pattern.data()));
    if (file.get() < 0) {
        throwFileError("The file couldn't be created", path, errno);
    }
    const std::filesystem::path temporary = pattern;
    auto fail = [&](const char* what, int error) {
        ::unlink(temporary.c_str());
        throwFileError(what, path, error);
    };
    if (const int error = writeWholeAndSync(file.get(), content); error != 0) {
        fail("The file couldn't be written", error);
    }
    if (::close(file.release()) != 0) {
        fail("The file couldn't be written", errno);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        fail("The file couldn't be saved", errno);
    }
}

}  // namespace halvex
