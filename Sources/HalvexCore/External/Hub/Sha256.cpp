#include "HalvexCore/External/Hub/Sha256.h"

#include "Platform/IO/FileHandle.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace halvex {

struct Sha256::Context {
    EVP_MD_CTX* context = nullptr;
    ~Context() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
    context_->context = EVP_MD_CTX_new();
    if (context_->context == nullptr || EVP_DigestInit_ex(context_->context, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 is not available");
    }
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t size) {
    if (size > 0 && EVP_DigestUpdate(context_->context, data, size) != 1) {
        throw std::runtime_error("SHA-256 update failed");
    }
}

std::string Sha256::finalizeHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_->context, digest, &length) != 1) {
        throw std::runtime_error("SHA-256 finalisation failed");
    }
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        text.push_back(hex[digest[i] >> 4]);
        text.push_back(hex[digest[i] & 0x0F]);
    }
    return text;
}

std::string Sha256::hexDigest(std::string_view data) {
    Sha256 hash;
    hash.update(data);
    return hash.finalizeHex();
}

std::string Sha256::hexDigestOfDescriptor(int fd, const std::filesystem::path& path) {
    Sha256 hash;
    std::vector<char> block(blockSize);
    while (true) {
        ssize_t count = ::read(fd, block.data(), block.size());
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::filesystem::filesystem_error("Failed to read file", path,
                                                    std::error_code(errno, std::generic_category()));
        }
        if (count == 0) {
            break;
        }
        hash.update(block.data(), static_cast<std::size_t>(count));
    }
    return hash.finalizeHex();
}

std::string Sha256::hexDigestOfFile(const std::filesystem::path& path) {
    const platform::FileHandle file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) {
        throw std::filesystem::filesystem_error("Failed to open file", path,
                                                std::error_code(errno, std::generic_category()));
    }
    return hexDigestOfDescriptor(file.get(), path);
}

}  // namespace halvex
