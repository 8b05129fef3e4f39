#pragma once

#include "Platform/ML/Float16.h"
#include "Platform/ML/Runtime/BlockwiseFormat.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform::conversion {

// A matrix quantized into the runtime's compressed format (see BlockwiseFormat.h): each row
// cut into blocks of layout.block values along the input dimension, each block a half-precision
// scale and one signed code per value, packed as the format packs them.
struct QuantizedMatrix {
    runtime::BlockwiseLayout layout;
    std::vector<std::uint8_t> codes;  // layout.packedBytes() bytes
    std::vector<Float16> scales;      // layout.scaleCount()
};

class WeightQuantizer {
public:
    // The longest block of at most `limit` values (64 unless said), a multiple of 8, that
    // divides `columns`; 0 when there is none (the matrix then stays in half precision).
    static int blockFor(std::int64_t columns, int limit = runtime::kBlockwiseMaxBlock);

    // Bytes of a compressed matrix: its codes and its scales.
    static std::uint64_t storedBytes(std::int64_t rows, std::int64_t columns, int bits, int block);

    // Quantizes a row-major matrix. Each block's scale is the one of least squared error among
    // a few candidates around absmax / qmax, each refined by least squares and rounded to half
    // precision before its error is measured; `columnWeights` (one per column, or empty) weighs
    // each column's error, as the mean square of the inputs that column multiplies would.
    // Runs on the runtime's thread pool. Throws MLError (invalidModel) on a value that is not
    // finite, invalidArgument on a width or block this format does not have.
    static QuantizedMatrix quantize(const float* values, std::int64_t rows, std::int64_t columns, int bits, int block,
                                    const std::vector<float>& columnWeights = {});

    // The squared error the quantization leaves, each column weighed as in `quantize`, and the
    // same weighing of the values themselves; their ratio is the relative error of the matrix's
    // products. Rows are sampled every `rowStep` rows, and only those rows are quantized.
    struct Error {
        double error = 0;
        double signal = 0;
        double relative() const { return signal > 0 ? error / signal : 0; }
    };
    static Error measure(const float* values, std::int64_t rows, std::int64_t columns, int bits, int block,
                         const std::vector<float>& columnWeights, std::int64_t rowStep = 1);
};

}  // namespace platform::conversion
