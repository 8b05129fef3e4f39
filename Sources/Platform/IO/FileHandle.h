#pragma once

namespace platform {

// An open file descriptor, closed when the object goes.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) noexcept : fd_(fd) {}
    FileHandle(FileHandle&& other) noexcept : fd_(other.release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept;
    void reset() noexcept;

private:
    int fd_ = -1;
};

}  // namespace platform
