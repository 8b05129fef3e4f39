#include "Platform/ML/Conversion/CheckpointReader.h"

#include "Platform/ML/Conversion/CheckpointConfig.h"
#include "Platform/ML/Conversion/ConversionMonitor.h"
#include "Platform/ML/MLError.h"
#include "Platform/Text/MessageText.h"
#include "Platform/Text/NumberText.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <system_error>

namespace platform::conversion {

namespace {

using messagetext::shortened;
using runtime::SafeTensorsFile;
using runtime::TensorView;

// The mapped checkpoint pages of a tensor once read leave this process's memory (the file's
// cache keeps them), so that a conversion never holds the whole checkpoint.
void releasePages(const TensorView& view) {
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(view.data);
    const std::uintptr_t begin = (start + page - 1) / page * page, end = (start + view.byteCount) / page * page;
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

[[noreturn]] void invalid(const std::string& why) {
    throw MLError(MLError::Code::invalidModel, "Cannot convert: " + why);
}

// A shard name of the index: a plain file name inside the checkpoint folder.
bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\\') == std::string::npos && name.find('\0') == std::string::npos;
}

std::shared_ptr<SafeTensorsFile> openWeights(const std::filesystem::path& path) {
    try {
        return SafeTensorsFile::open(path);
    } catch (const MLError& error) {
        if (error.code() == MLError::Code::modelNotFound)
            throw MLError(MLError::Code::modelNotFound,
                          "Cannot convert: the checkpoint has no " + shortened(path.filename().string()));
        invalid(shortened(path.filename().string()) + " is truncated or damaged (" + error.what() + ")");
    }
}

std::string megabytes(std::uint64_t bytes) { return numbertext::fixed(static_cast<double>(bytes) / 1e6, 1) + " MB"; }

// Half precision's largest value is 65504; anything from 65520 on rounds to infinity.
constexpr float halfOverflow = 65520.0f;

}  // namespace

CheckpointReader::CheckpointReader(const std::filesystem::path& folder, ConversionMonitor& monitor)
    : monitor_(monitor) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (fs::exists(fs::symlink_status(folder / singleWeightsName, error))) {
        files_.push_back(openWeights(folder / singleWeightsName));
    } else if (fs::exists(fs::symlink_status(folder / shardIndexName, error))) {
        openShards(folder);
    } else {
        throw MLError(MLError::Code::modelNotFound, "Cannot convert: the checkpoint has neither " +
                                                        std::string(singleWeightsName) + " nor " + shardIndexName);
    }
    std::size_t bytes = 0;
    for (const auto& file : files_) {
        std::uint64_t declared = 0;
        for (const auto& [name, view] : file->tensors()) {
            bytes += view.byteCount;
            declared += view.byteCount;
            if (!shardOf_.emplace(name, file.get()).second && shardIndex_)
                invalid("tensor " + shortened(name) + " is in more than one shard");
        }
        // Real weights fill their file; a file whose tensors are mostly holes would only be read
        // as zeros, at the cost of its apparent size in time and memory.
        if (declared > (std::uint64_t{1} << 20) && file->storedBytes() < declared / 2)
            invalid(shortened(file->path().filename().string()) + " declares " + megabytes(declared) +
                    " of tensors, but only " + megabytes(file->storedBytes()) +
                    " of it are stored on disk (a sparse or damaged file)");
    }
    monitor_.setTotalBytes(bytes);
}

const TensorView* CheckpointReader::find(const std::string& name) const {
    if (const auto* view = lookup("model." + name)) return view;
    return lookup(name);
}

std::vector<float> CheckpointReader::get(const std::string& name, const std::vector<std::int64_t>& shape,
                                         Storage storage) const {
    monitor_.checkCancelled();
    const TensorView* view = find(name);
    if (!view) invalid("the checkpoint has no tensor " + name);
    const std::string quoted = "tensor " + shortened(view->name);
    if (view->shape != shape)
        invalid(quoted + " has shape " + shapeText(view->shape) + ", expected " + shapeText(shape));
    if (view->dtype != runtime::TensorDType::F32 && view->dtype != runtime::TensorDType::F16 &&
        view->dtype != runtime::TensorDType::BF16)
        invalid(quoted + " has element type " + runtime::dtypeName(view->dtype) + ", expected F32, F16 or BF16");
    auto values = view->toFloat();
    for (std::size_t i = 0; i < values.size(); ++i) {
        const float value = values[i];
        if (!std::isfinite(value))
            invalid(quoted + " holds " + numbertext::shortest(value) + " at index " + std::to_string(i) +
                    ", not a finite number");
        if (storage == Storage::half && std::fabs(value) >= halfOverflow)
            invalid(quoted + " holds " + numbertext::shortest(value) + " at index " + std::to_string(i) +
                    ", beyond the largest half-precision value 65504 in which it is stored");
    }
    releasePages(*view);
    monitor_.tensorRead(view->byteCount);
    return values;
}

std::size_t CheckpointReader::convertedBytes() const {
    std::size_t bytes = 0;
    for (const auto& file : files_)
        for (const auto& [name, view] : file->tensors()) bytes += static_cast<std::size_t>(view.elementCount()) * 2;
    return bytes + bytes / 20 + (16u << 20);
}

void CheckpointReader::openShards(const std::filesystem::path& folder) {
    const nlohmann::json index = readCheckpointJson(folder / shardIndexName);
    if (!index.is_object() || !index.contains("weight_map") || !index["weight_map"].is_object() ||
        index["weight_map"].empty())
        invalid(std::string(shardIndexName) + " has no \"weight_map\" of tensor names to shard files");
    std::map<std::string, std::shared_ptr<SafeTensorsFile>> shards;
    for (const auto& [tensor, shard] : index["weight_map"].items()) {
        if (!shard.is_string() || !isPlainFileName(shard.get<std::string>()))
            invalid(std::string(shardIndexName) + " names no plain shard file for tensor " + shortened(tensor));
        const std::string file = shard.get<std::string>();
        auto& opened = shards[file];
        if (!opened) {
            monitor_.checkCancelled();
            opened = openWeights(folder / file);
            files_.push_back(opened);
        }
        if (!opened->find(tensor))
            invalid("shard " + shortened(file) + " lacks tensor " + shortened(tensor) + " that the index places there");
    }
    shardIndex_ = true;
}

const TensorView* CheckpointReader::lookup(const std::string& name) const {
    const auto found = shardOf_.find(name);
    return found == shardOf_.end() ? nullptr : found->second->find(name);
}

}  // namespace platform::conversion
