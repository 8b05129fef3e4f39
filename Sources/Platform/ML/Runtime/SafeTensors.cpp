#include "Platform/ML/Runtime/SafeTensors.h"

#include "Platform/IO/FileHandle.h"
#include "Platform/IO/RegularFile.h"
#include "Platform/ML/Float16.h"
#include "Platform/ML/MLError.h"
#include "Platform/Text/MessageText.h"
#include "Platform/Text/StrictJson.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace platform::runtime {

namespace {

using messagetext::shortened;

[[noreturn]] void invalid(const std::filesystem::path& path, const std::string& why) {
    throw MLError(MLError::Code::invalidModel, "Invalid weights file " + path.string() + ": " + why);
}

bool parseDType(const std::string& text, TensorDType& dtype) {
    static const std::pair<const char*, TensorDType> names[] = {
        {"F64", TensorDType::F64}, {"F32", TensorDType::F32},  {"F16", TensorDType::F16}, {"BF16", TensorDType::BF16},
        {"I64", TensorDType::I64}, {"I32", TensorDType::I32},  {"I16", TensorDType::I16}, {"I8", TensorDType::I8},
        {"U8", TensorDType::U8},   {"BOOL", TensorDType::BOOL}};
    for (const auto& [name, value] : names) {
        if (text == name) {
            dtype = value;
            return true;
        }
    }
    return false;
}

}  // namespace

std::size_t dtypeSize(TensorDType dtype) {
    switch (dtype) {
        case TensorDType::F64:
        case TensorDType::I64: return 8;
        case TensorDType::F32:
        case TensorDType::I32: return 4;
        case TensorDType::F16:
        case TensorDType::BF16:
        case TensorDType::I16: return 2;
        case TensorDType::I8:
        case TensorDType::U8:
        case TensorDType::BOOL: return 1;
    }
    return 1;
}

const char* dtypeName(TensorDType dtype) {
    switch (dtype) {
        case TensorDType::F64: return "F64";
        case TensorDType::F32: return "F32";
        case TensorDType::F16: return "F16";
        case TensorDType::BF16: return "BF16";
        case TensorDType::I64: return "I64";
        case TensorDType::I32: return "I32";
        case TensorDType::I16: return "I16";
        case TensorDType::I8: return "I8";
        case TensorDType::U8: return "U8";
        case TensorDType::BOOL: return "BOOL";
    }
    return "?";
}

std::int64_t TensorView::elementCount() const {
    std::int64_t n = 1;
    for (auto d : shape) n *= d;
    return n;
}

std::vector<float> TensorView::toFloat() const {
    const auto n = static_cast<std::size_t>(elementCount());
    std::vector<float> values(n);
    switch (dtype) {
        case TensorDType::F32: std::memcpy(values.data(), data, n * 4); break;
        case TensorDType::F16: {
            std::vector<Float16> halves(n);
            std::memcpy(halves.data(), data, n * 2);
            convertFloat16ToFloat(halves.data(), values.data(), n);
            break;
        }
        case TensorDType::BF16:
            for (std::size_t i = 0; i < n; ++i) {
                std::uint16_t bits;
                std::memcpy(&bits, data + i * 2, 2);
                values[i] = std::bit_cast<float>(static_cast<std::uint32_t>(bits) << 16);
            }
            break;
        default:
            throw MLError(MLError::Code::invalidModel,
                          "Tensor " + name + " has element type " + dtypeName(dtype) + ", expected F32, F16 or BF16");
    }
    return values;
}

std::shared_ptr<SafeTensorsFile> SafeTensorsFile::open(const std::filesystem::path& path) {
    std::shared_ptr<SafeTensorsFile> file(new SafeTensorsFile());
    file->path_ = path;
    FileHandle fd;
    try {
        fd = openRegularFile(path);
    } catch (const RegularFileError& error) {
        if (error.reason() == RegularFileError::Reason::missing)
            throw MLError(MLError::Code::modelNotFound, "No weights file at " + path.string());
        if (error.reason() == RegularFileError::Reason::notRegularFile) invalid(path, "not a regular file");
        invalid(path, error.what());
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) invalid(path, std::strerror(errno));
    file->size_ = static_cast<std::size_t>(status.st_size);
    file->storedBytes_ = static_cast<std::uint64_t>(status.st_blocks) * 512;
    if (file->size_ < 8) invalid(path, "shorter than its 8-byte header length");
    void* mapping = ::mmap(nullptr, file->size_, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (mapping == MAP_FAILED) invalid(path, std::string("cannot be mapped: ") + std::strerror(errno));
    // The mapping outlives the descriptor.
    fd.reset();
    file->mapping_ = mapping;

    const auto* bytes = static_cast<const std::byte*>(mapping);
    std::uint64_t headerLength = 0;
    for (int i = 7; i >= 0; --i) headerLength = (headerLength << 8) | static_cast<std::uint8_t>(bytes[i]);
    if (headerLength > file->size_ - 8) invalid(path, "header length beyond the file");
    if (headerLength > maximumHeaderBytes)
        invalid(path, "a header of " + std::to_string(headerLength) + " bytes, more than the " +
                          std::to_string(maximumHeaderBytes >> 20) + " MiB this reader takes");

    nlohmann::json header;
    try {
        header = parseStrictJson(std::string_view(reinterpret_cast<const char*>(bytes + 8), headerLength));
    } catch (const nlohmann::json::exception& error) {
        invalid(path, "header is not JSON: " + shortened(error.what(), 200));
    } catch (const DuplicateKeyError& error) {
        invalid(path, "the header names tensor \"" + error.key() + "\" twice");
    }
    if (!header.is_object()) invalid(path, "header is not a JSON object");

    const std::byte* dataStart = bytes + 8 + headerLength;
    const std::size_t dataSize = file->size_ - 8 - static_cast<std::size_t>(headerLength);
    // The byte ranges of the tensors that hold data, to find two that share bytes.
    std::vector<std::pair<std::uint64_t, const std::string*>> ranges;
    for (const auto& [name, entry] : header.items()) {
        const std::string quoted = "tensor \"" + shortened(name) + "\"";
        if (name == "__metadata__") {
            if (!entry.is_object()) invalid(path, "__metadata__ is not an object");
            for (const auto& [key, value] : entry.items()) {
                if (!value.is_string()) invalid(path, "metadata value of " + shortened(key) + " is not a string");
                file->metadata_[key] = value.get<std::string>();
            }
            continue;
        }
        if (!entry.is_object() || !entry.contains("dtype") || !entry.contains("shape") ||
            !entry.contains("data_offsets"))
            invalid(path, quoted + " lacks dtype, shape or data_offsets");
        const auto& dtypeJson = entry["dtype"];
        const auto& shapeJson = entry["shape"];
        const auto& offsetsJson = entry["data_offsets"];
        TensorView view;
        view.name = name;
        if (!dtypeJson.is_string() || !parseDType(dtypeJson.get<std::string>(), view.dtype))
            invalid(path, quoted + " has an unknown dtype");
        if (!shapeJson.is_array()) invalid(path, quoted + " has no shape list");
        if (shapeJson.size() > maximumRank)
            invalid(path, quoted + " has " + std::to_string(shapeJson.size()) + " dimensions, more than " +
                              std::to_string(maximumRank));
        std::uint64_t count = 1;
        for (const auto& d : shapeJson) {
            if (!d.is_number_unsigned()) invalid(path, quoted + " has a bad dimension");
            const auto value = d.get<std::uint64_t>();
            if (value > (std::uint64_t{1} << 40) || __builtin_mul_overflow(count, value, &count) ||
                count > (std::uint64_t{1} << 40))
                invalid(path, quoted + " is too large");
            view.shape.push_back(static_cast<std::int64_t>(value));
        }
        if (!offsetsJson.is_array() || offsetsJson.size() != 2 || !offsetsJson[0].is_number_unsigned() ||
            !offsetsJson[1].is_number_unsigned())
            invalid(path, quoted + " has bad data_offsets");
        const auto begin = offsetsJson[0].get<std::uint64_t>();
        const auto end = offsetsJson[1].get<std::uint64_t>();
        if (begin > end || end > dataSize) invalid(path, quoted + " lies beyond the end of the file");
        if (end - begin != count * dtypeSize(view.dtype))
            invalid(path, quoted + " holds " + std::to_string(end - begin) + " bytes, its shape needs " +
                              std::to_string(count * dtypeSize(view.dtype)));
        view.data = dataStart + begin;
        view.byteCount = static_cast<std::size_t>(end - begin);
        const auto placed = file->tensors_.emplace(name, std::move(view));
        if (end > begin) ranges.emplace_back(begin, &placed.first->first);
    }
    // Each tensor's bytes are its own: a range that overlaps another would let one write
    // (or one damaged byte) change two tensors.
    std::sort(ranges.begin(), ranges.end());
    for (std::size_t i = 1; i < ranges.size(); ++i) {
        const TensorView& previous = file->tensors_.at(*ranges[i - 1].second);
        if (ranges[i].first < ranges[i - 1].first + previous.byteCount)
            invalid(path, "tensors \"" + shortened(previous.name) + "\" and \"" + shortened(*ranges[i].second) +
                              "\" share bytes");
    }
    return file;
}

SafeTensorsFile::~SafeTensorsFile() {
    if (mapping_) ::munmap(mapping_, size_);
}

const TensorView* SafeTensorsFile::find(const std::string& name) const {
    auto it = tensors_.find(name);
    return it == tensors_.end() ? nullptr : &it->second;
}

const TensorView& SafeTensorsFile::require(const std::string& name, const std::vector<std::int64_t>& shape) const {
    const TensorView* view = find(name);
    if (!view) invalid(path_, "missing tensor " + name);
    if (view->shape != shape)
        invalid(path_, "tensor " + name + " has shape " + shapeText(view->shape) + ", expected " + shapeText(shape));
    return *view;
}

void SafeTensorsWriter::add(const std::string& name, TensorDType dtype, std::vector<std::int64_t> shape,
                            std::vector<std::byte> bytes) {
    std::int64_t count = 1;
    for (auto d : shape) count *= d;
    if (static_cast<std::size_t>(count) * dtypeSize(dtype) != bytes.size())
        throw MLError(MLError::Code::invalidArgument, "Tensor " + name + " bytes do not match its shape");
    entries_.push_back({name, dtype, std::move(shape), std::move(bytes)});
}

void SafeTensorsWriter::addF32(const std::string& name, std::vector<std::int64_t> shape,
                               const std::vector<float>& values) {
    std::vector<std::byte> bytes(values.size() * 4);
    if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
    add(name, TensorDType::F32, std::move(shape), std::move(bytes));
}

void SafeTensorsWriter::addF16(const std::string& name, std::vector<std::int64_t> shape,
                               const std::vector<float>& values) {
    std::vector<std::byte> bytes(values.size() * 2);
    if (!values.empty()) convertFloatToFloat16(values.data(), reinterpret_cast<Float16*>(bytes.data()), values.size());
    add(name, TensorDType::F16, std::move(shape), std::move(bytes));
}

void SafeTensorsWriter::addBF16(const std::string& name, std::vector<std::int64_t> shape,
                                const std::vector<float>& values) {
    std::vector<std::byte> bytes(values.size() * 2);
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::uint32_t bits = std::bit_cast<std::uint32_t>(values[i]);
        std::uint16_t rounded;
        if ((bits & 0x7F800000u) == 0x7F800000u && (bits & 0x7FFFFFu) != 0) {
            rounded = static_cast<std::uint16_t>((bits >> 16) | 0x40);  // keep NaN quiet
        } else {
            bits += 0x7FFFu + ((bits >> 16) & 1u);
            rounded = static_cast<std::uint16_t>(bits >> 16);
        }
        std::memcpy(bytes.data() + i * 2, &rounded, 2);
    }
    add(name, TensorDType::BF16, std::move(shape), std::move(bytes));
}

void SafeTensorsWriter::write(const std::filesystem::path& path, const WriteProgress& progress) const {
    constexpr std::size_t alignment = 64;
    nlohmann::json header = nlohmann::json::object();
    if (!metadata_.empty()) header["__metadata__"] = metadata_;
    std::vector<std::size_t> offsets;
    std::size_t offset = 0, total = 0;
    for (const auto& entry : entries_) {
        offset = (offset + alignment - 1) / alignment * alignment;
        offsets.push_back(offset);
        header[entry.name] = {{"dtype", dtypeName(entry.dtype)},
                              {"shape", entry.shape},
                              {"data_offsets", {offset, offset + entry.bytes.size()}}};
        offset += entry.bytes.size();
        total += entry.bytes.size();
    }
    std::string headerText = header.dump();
    // Pad with spaces so the data starts on an aligned offset.
    while ((8 + headerText.size()) % alignment != 0) headerText.push_back(' ');

    const auto temporary = path.parent_path() / (path.filename().string() + ".partial");
    // The temporary file goes whatever ends the writing early.
    struct Removal {
        const std::filesystem::path& file;
        bool keep = false;
        ~Removal() {
            std::error_code ignored;
            if (!keep) std::filesystem::remove(file, ignored);
        }
    } removal{temporary};
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) throw MLError(MLError::Code::invalidArgument, "Cannot write " + temporary.string());
        std::uint64_t length = headerText.size();
        char lengthBytes[8];
        for (int i = 0; i < 8; ++i) lengthBytes[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
        out.write(lengthBytes, 8);
        out.write(headerText.data(), static_cast<std::streamsize>(headerText.size()));
        std::size_t written = 0, done = 0;
        static const char zeros[alignment] = {};
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            out.write(zeros, static_cast<std::streamsize>(offsets[i] - written));
            out.write(reinterpret_cast<const char*>(entries_[i].bytes.data()),
                      static_cast<std::streamsize>(entries_[i].bytes.size()));
            written = offsets[i] + entries_[i].bytes.size();
            done += entries_[i].bytes.size();
            if (!out) break;
            if (progress) progress(done, total);
        }
        out.flush();
        if (!out) throw MLError(MLError::Code::invalidArgument, "Cannot write " + temporary.string());
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) throw MLError(MLError::Code::invalidArgument, "Cannot move weights into place at " + path.string());
    removal.keep = true;
}

}  // namespace platform::runtime
