#include "App/Services/CafWriter.h"

#include "Platform/IO/FileBytes.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace norvel {

namespace {

[[noreturn]] void throwErrno(const char* what, const QString& path, int error = errno) {
    throw std::filesystem::filesystem_error(what, path.toStdString(), std::error_code(error, std::generic_category()));
}

void putBig(std::string& out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(char((value >> (8 * i)) & 0xff));
}

}  // namespace

CafWriter::CafWriter(const QString& path, double sampleRate, int channels) : path_(path), channels_(channels) {
    fd_ = platform::FileHandle(
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd_) throwErrno("The recording file could not be created", path_);
    std::string header = "caff";
    putBig(header, 1, 2);  // version
    putBig(header, 0, 2);  // flags
    // Audio description: rate, 'lpcm', float little-endian, one frame per packet.
    header += "desc";
    putBig(header, 32, 8);
    putBig(header, std::bit_cast<std::uint64_t>(sampleRate), 8);
    header += "lpcm";
    putBig(header, 1 | 2, 4);                        // float, little-endian
    putBig(header, std::uint64_t(4 * channels), 4);  // bytes per packet
    putBig(header, 1, 4);                            // frames per packet
    putBig(header, std::uint64_t(channels), 4);
    putBig(header, 32, 4);  // bits per channel
    header += "data";
    dataSizeOffset_ = std::int64_t(header.size());
    putBig(header, ~std::uint64_t(0), 8);  // -1: until the end of the file
    putBig(header, 0, 4);                  // edit count
    writeAll(header.data(), header.size());
}

void CafWriter::writeAll(const void* data, std::size_t size) {
    if (const int error = platform::writeAll(fd_.get(), data, size); error != 0) {
        throwErrno("The recording could not be written", path_, error);
    }
}

void CafWriter::write(const float* interleaved, std::int64_t frames) {
    if (!fd_ || frames <= 0) return;
    static_assert(std::endian::native == std::endian::little, "samples are written as they lie in memory");
    writeAll(interleaved, std::size_t(frames) * std::size_t(channels_) * sizeof(float));
    frames_ += frames;
}

void CafWriter::finish() {
    if (!fd_) return;
    std::string size;
    putBig(size, std::uint64_t(4 + frames_ * channels_ * std::int64_t(sizeof(float))), 8);
    // Closed by hand: a failed close means the recording may not be complete.
    const int fd = fd_.release();
    const bool written = ::pwrite(fd, size.data(), size.size(), dataSizeOffset_) == ssize_t(size.size());
    const int writeError = errno;
    if (::close(fd) != 0 && errno != EINTR) throwErrno("The recording could not be finished", path_);
    if (!written) {
        errno = writeError;
        throwErrno("The recording could not be finished", path_);
    }
}

}  // namespace norvel
