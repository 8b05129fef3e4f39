#pragma once

#include "Platform/ML/Conversion/ModelConverter.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::conversion {

// The most bytes a model folder may take as its name asks: N × 10^6 for a name that ends in
// "_<N>MB" (N a whole number without sign), nothing for any other name.
std::optional<std::uint64_t> sizeBudgetOf(std::string_view folderName);

// A matrix of the transformer layers (or the token embedding, which is also the output
// projection) that a compressed folder stores block-wise.
struct CompressibleMatrix {
    std::string_view stage;  // ModelFolder::audioEncoder or ModelFolder::textDecoder
    std::string name;        // its tensor name in the converted folder
    std::string group;       // the name without its layer, for reports: "attention.qkv", "token_embedding", …
    int layer = -1;          // -1 for the token embedding
    std::int64_t rows = 0;
    std::int64_t columns = 0;  // the input dimension, which the product sums over
    // The checkpoint tensors (hub names) whose rows, one after the other, make the matrix.
    std::vector<std::string> sources;
    // The checkpoint's layer norm (hub name without ".weight"/".bias") whose output the matrix
    // multiplies, or empty when its inputs come from elsewhere.
    std::string inputNorm;
};

// Every matrix a checkpoint of these dimensions has that a compressed folder may store
// compressed, as the converter names and shapes them.
std::vector<CompressibleMatrix> compressibleMatrices(const CheckpointConfig& config);

// The code width of each compressible matrix of a compressed folder, chosen so that all of the
// folder's files fit the size budget while the error the codes leave in the models' outputs
// stays least: every matrix's quantization error is measured at each width on its own weights
// (each input column weighed by the mean square its layer norm gives the inputs it multiplies),
// weighed by how strongly an error in that matrix reaches the encoder output and the logits,
// and widths go first where they remove the most of that error per byte. The matrices the
// decoder reads at every token stay within 8 bits, so that a token reads as few bytes as the
// widths allow.
class CompressionPlan {
public:
    struct Entry {
        CompressibleMatrix matrix;
        int bits = 8;  // 16: kept in half precision
        int block = 64;
        // One weight per input column for the block scales' least squares (empty: all equal).
        std::vector<float> columnWeights;
    };

    // Reads every compressible matrix through `tensor` (hub name and shape → values), measures
    // it, and chooses the widths. `otherBytes` is what the rest of the folder takes (see
    // fixedBytes). Throws MLError (invalidArgument) naming the smallest size possible when
    // even the narrowest codes do not fit the budget.
    using TensorSource = std::function<std::vector<float>(const std::string&, const std::vector<std::int64_t>&)>;
    static CompressionPlan choose(const CheckpointConfig& config, std::uint64_t budget, std::uint64_t otherBytes,
                                  const TensorSource& tensor);

    // Whether `choose` measures the matrices (reading each of them once): only when the widest
    // codes do not fit.
    static bool measures(const CheckpointConfig& config, std::uint64_t budget, std::uint64_t otherBytes);

    // Bytes a folder of these dimensions takes besides the compressible matrices' data: the
    // stages' other tensors, the weights files' headers, the model descriptions, and the
    // tokenizer files found in `checkpointFolder`. Never less than what the converter writes.
    static std::uint64_t fixedBytes(const CheckpointConfig& config, const std::filesystem::path& checkpointFolder);

    // The entry of a stage's tensor, or nullptr when the plan does not compress it.
    const Entry* find(std::string_view stage, const std::string& name) const;
    const std::vector<Entry>& entries() const { return entries_; }
    std::uint64_t budget() const { return budget_; }
    // What the folder will take at most.
    std::uint64_t estimatedBytes() const { return estimatedBytes_; }

    // The widths by stage and group, one figure per layer, and the estimated size, as lines
    // of text.
    std::string describe() const;

private:
    std::vector<Entry> entries_;
    std::uint64_t budget_ = 0;
    std::uint64_t estimatedBytes_ = 0;
};

}  // namespace platform::conversion
