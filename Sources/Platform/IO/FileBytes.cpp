#include "Platform/IO/FileBytes.h"

#include <unistd.h>

#include <cerrno>

namespace platform {

int writeAll(int descriptor, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(descriptor, bytes, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

int readAll(int descriptor, std::string& content, std::size_t limit) {
    std::size_t taken = 0;
    char block[65536];
    while (true) {
        const ssize_t count = ::read(descriptor, block, sizeof block);
        if (count < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (count == 0) return 0;
        if (static_cast<std::size_t>(count) > limit - taken) return EFBIG;
        content.append(block, static_cast<std::size_t>(count));
        taken += static_cast<std::size_t>(count);
    }
}

}  // namespace platform
