#pragma once

#include "Platform/ML/MultiArray.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace platform::runtime {

// Element types of a safetensors file.
enum class TensorDType { F64, F32, F16, BF16, I64, I32, I16, I8, U8, BOOL };

std::size_t dtypeSize(TensorDType dtype);
const char* dtypeName(TensorDType dtype);

// One tensor inside a mapped file.
struct TensorView {
    std::string name;
    TensorDType dtype = TensorDType::F32;
    std::vector<std::int64_t> shape;
    const std::byte* data = nullptr;
    std::size_t byteCount = 0;

    std::int64_t elementCount() const;
    // The elements as float (F32, F16 or BF16); MLError invalidModel for other types.
    std::vector<float> toFloat() const;
};

// A safetensors file, memory-mapped read-only: an 8-byte little-endian header length, a
// JSON header naming each tensor's dtype, shape and byte range, then the raw data. The
// file is checked completely when opened (a regular file, header bounds, size and syntax,
// each tensor named once with at most maximumRank dimensions, every range inside the data,
// of the size its shape and dtype need and shared with no other tensor), so a truncated or
// malformed file is an MLError (invalidModel), never a crash or a wait on a FIFO. Tensor data
// stays valid while the object lives.
class SafeTensorsFile {
public:
    // The largest header taken: a few thousand tensors of the largest models need about 100 KB.
    static constexpr std::uint64_t maximumHeaderBytes = std::uint64_t{4} << 20;
    static constexpr std::size_t maximumRank = 8;

    static std::shared_ptr<SafeTensorsFile> open(const std::filesystem::path& path);
    ~SafeTensorsFile();
    SafeTensorsFile(const SafeTensorsFile&) = delete;
    SafeTensorsFile& operator=(const SafeTensorsFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::size_t fileSize() const { return size_; }
    // The bytes the file occupies on its disk: far fewer than its size when it is sparse (its
    // holes read as zeros without being stored).
    std::uint64_t storedBytes() const { return storedBytes_; }
    const std::map<std::string, std::string>& metadata() const { return metadata_; }
    const std::map<std::string, TensorView>& tensors() const { return tensors_; }

    const TensorView* find(const std::string& name) const;
    // The named tensor, which must exist with exactly this shape (MLError invalidModel).
    const TensorView& require(const std::string& name, const std::vector<std::int64_t>& shape) const;

private:
    SafeTensorsFile() = default;

    std::filesystem::path path_;
    void* mapping_ = nullptr;
    std::size_t size_ = 0;
    std::uint64_t storedBytes_ = 0;
    std::map<std::string, std::string> metadata_;
    std::map<std::string, TensorView> tensors_;
};

// Writes a safetensors file, atomically (a temporary file renamed into place). Tensor
// data is aligned to 64 bytes inside the file.
class SafeTensorsWriter {
public:
    void setMetadata(const std::string& key, const std::string& value) { metadata_[key] = value; }
    // Adds a tensor whose bytes the writer keeps.
    void add(const std::string& name, TensorDType dtype, std::vector<std::int64_t> shape, std::vector<std::byte> bytes);
    void addF32(const std::string& name, std::vector<std::int64_t> shape, const std::vector<float>& values);
    // Rounds to half precision (nearest, ties to even).
    void addF16(const std::string& name, std::vector<std::int64_t> shape, const std::vector<float>& values);
    // Rounds to bfloat16 (nearest, ties to even).
    void addBF16(const std::string& name, std::vector<std::int64_t> shape, const std::vector<float>& values);

    // Called after each tensor is written with the tensor bytes written so far and in all; it
    // may throw to stop the writing.
    using WriteProgress = std::function<void(std::size_t written, std::size_t total)>;

    // Throws MLError (invalidArgument) when the file cannot be written, and whatever
    // `progress` throws; either way no file is left behind.
    void write(const std::filesystem::path& path, const WriteProgress& progress = {}) const;

private:
    struct Entry {
        std::string name;
        TensorDType dtype;
        std::vector<std::int64_t> shape;
        std::vector<std::byte> bytes;
    };
    std::map<std::string, std::string> metadata_;
    std::vector<Entry> entries_;
};

}  // namespace platform::runtime
