#include "Platform/IO/FileHandle.h"

#include <unistd.h>

namespace platform {

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int FileHandle::release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void FileHandle::reset() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace platform
