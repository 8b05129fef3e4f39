#pragma once

#include "Platform/ML/Runtime/SafeTensors.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace platform::conversion {

class ConversionMonitor;

// The tensors of a hub Whisper checkpoint, under either naming root ("model.encoder…" or
// "encoder…"), from model.safetensors or from the shards that model.safetensors.index.json
// names. Everything that can be checked before a tensor is read is checked when the
// checkpoint is opened: the index's size and syntax, every shard a plain file of the folder
// holding the tensors the index places there and no tensor in two shards, and the bytes each
// file actually stores against the tensor bytes it declares (a sparse file of holes would
// otherwise be read as gigabytes of zeros, at the cost of its apparent size in time and
// memory). Each tensor's shape and element type are checked against what the configuration
// needs before its data is read, and its values as they are read.
class CheckpointReader {
public:
    static constexpr const char* singleWeightsName = "model.safetensors";
    static constexpr const char* shardIndexName = "model.safetensors.index.json";

    // The precision a tensor is stored in after conversion.
    enum class Storage { half, single };

    // Throws MLError ("Cannot convert: …"): modelNotFound without weights, invalidModel for
    // anything malformed or inconsistent.
    CheckpointReader(const std::filesystem::path& folder, ConversionMonitor& monitor);

    const runtime::TensorView* find(const std::string& name) const;

    // The named tensor's values, after a check for a stop. Throws MLError (invalidModel) naming
    // the tensor when it is missing, of another shape or element type, holds a value that is
    // not finite, or, stored in half precision, a value beyond its range (it would become an
    // infinity).
    std::vector<float> get(const std::string& name, const std::vector<std::int64_t>& shape, Storage storage) const;
    // The same for a tensor stored as the converter stores it: matrices (two dimensions or more)
    // in half precision, vectors in single precision.
    std::vector<float> get(const std::string& name, const std::vector<std::int64_t>& shape) const {
        return get(name, shape, shape.size() >= 2 ? Storage::half : Storage::single);
    }

    // About what the converted models take: every matrix in half precision (the vectors in
    // single precision are a small share), with room to spare.
    std::size_t convertedBytes() const;

private:
    void openShards(const std::filesystem::path& folder);
    const runtime::TensorView* lookup(const std::string& name) const;

    ConversionMonitor& monitor_;
    std::vector<std::shared_ptr<runtime::SafeTensorsFile>> files_;
    std::map<std::string, const runtime::SafeTensorsFile*> shardOf_;
    bool shardIndex_ = false;
};

}  // namespace platform::conversion
