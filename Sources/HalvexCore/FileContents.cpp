#include "HalvexCore/FileContents.h"

#include "Platform/IO/FileBytes.h"
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
    if (const int error = platform::readAll(descriptor, data, limit); error != 0) {
        throwFileError("The file couldn't be read", path, error);
    }
    return data;
}

std::string readFileContents(const std::filesystem::path& path) {
    platform::FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) {
        throwFileError("The file couldn't be opened", path, errno);
    }
    return readToEnd(file.get(), path);
}

int writeWholeAndSync(int descriptor, std::string_view content) {
    if (const int error = platform::writeAll(descriptor, content.data(), content.size()); error != 0) {
        return error;
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
