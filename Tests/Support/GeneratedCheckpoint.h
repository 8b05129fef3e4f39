#pragma once

#include "Platform/ML/Runtime/SafeTensors.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace norvel::test {

class HubServer;

// A hub Whisper checkpoint with random weights in the hub's layout, small enough to make in a
// moment: tiny's vocabulary and context, 64 wide, two layers, the real multilingual tokenizer
// files, and weights of the given element type (the hub publishes tiny in single precision).
void generateCheckpointFolder(const std::filesystem::path& folder,
                              platform::runtime::TensorDType dtype = platform::runtime::TensorDType::F32);

// One such checkpoint (single precision) for the whole test program, made at its first use and
// removed at the end. Tests read it or copy it; none changes it.
const std::filesystem::path& pristineCheckpointFolder();

// Rewrites a safetensors file tensor by tensor: `edit` sees each tensor's name, element type,
// shape and bytes and may change them; answering false leaves the tensor out.
using TensorEdit = std::function<bool(const std::string& name, platform::runtime::TensorDType& dtype,
                                      std::vector<std::int64_t>& shape, std::vector<std::byte>& bytes)>;
void rewriteWeights(const std::filesystem::path& file, const TensorEdit& edit);

// Splits model.safetensors into two shards with model.safetensors.index.json, as the hub
// publishes large checkpoints, and removes the single file.
void shardWeights(const std::filesystem::path& checkpointFolder);

// Serves every file of the checkpoint folder from the repository, as LFS files, together
// with the weight formats that such repositories also hold and that must never be fetched.
void serveCheckpoint(HubServer& server, const std::string& repoId, const std::filesystem::path& checkpointFolder);

// The names of those other weight formats.
const std::vector<std::string>& otherWeightFormats();

}  // namespace norvel::test
