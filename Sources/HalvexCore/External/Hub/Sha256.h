#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace halvex {

// Incremental SHA-256 over OpenSSL's EVP interface.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, std::size_t size);
    void update(std::string_view data) { update(data.data(), data.size()); }
    // The digest as 64 lower-case hexadecimal digits. The object cannot be used afterwards.
    std::string finalizeHex();

    static std::string hexDigest(std::string_view data);

    // Digest of everything readable from an open descriptor, read in blocks of 1 MiB.
    // A failing read throws std::filesystem::filesystem_error naming `path`.
    static std::string hexDigestOfDescriptor(int fd, const std::filesystem::path& path);

    // Opens `path` and hashes it; failures to open or read throw std::filesystem::filesystem_error.
    static std::string hexDigestOfFile(const std::filesystem::path& path);

    static constexpr std::size_t blockSize = 1 << 20;

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

}  // namespace halvex
