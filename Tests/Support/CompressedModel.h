#pragma once

#include "Platform/ML/Runtime/SafeTensors.h"

#include <filesystem>
#include <functional>
#include <string>

namespace norvel::test {

// Compresses the layer matrices and the token embedding of a model folder's encoder and
// decoder in place, with the runtime's reference quantizer (nearest code, block absmax
// scales), and marks their manifests. `bitsFor` picks each matrix's width (0 leaves it in
// half precision).
struct CompressionOptions {
    int block = 32;
    std::function<int(const std::string& tensor)> bitsFor = [](const std::string&) { return 8; };
};
void compressModelFolder(const std::filesystem::path& folder, const CompressionOptions& options = {});

// Rewrites a weights file: `edit` sees every tensor and adds what the new file holds
// (the tensor as it is, something else, or nothing).
using TensorEdit =
    std::function<void(const platform::runtime::TensorView& tensor, platform::runtime::SafeTensorsWriter& writer)>;
void rewriteWeights(const std::filesystem::path& weightsFile, const TensorEdit& edit);

// Adds a tensor to a writer as it is stored.
void copyTensor(const platform::runtime::TensorView& tensor, platform::runtime::SafeTensorsWriter& writer);

}  // namespace norvel::test
