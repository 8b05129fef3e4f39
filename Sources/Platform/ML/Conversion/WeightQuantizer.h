#pragma once

#include "Platform/ML/Float16.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform::conversion {

// A matrix stored block-wise: each row cut into blocks of `block` values along the input
// dimension, each block a half-precision scale and one signed code per value, q in
// [-(2^(bits-1) - 1), 2^(bits-1) - 1], kept as the unsigned code q + 2^(bits-1). The codes of a
// row form one little-endian bit stream: code i holds bits [i*bits, (i+1)*bits) counting from
// the least significant bit of the row's first byte. A weight is scale × q.
struct QuantizedMatrix {
    std::int64_t rows = 0;
    std::int64_t columns = 0;
    int bits = 8;
    int block = 64;
    std::vector<std::uint8_t> codes;  // rows × columns × bits / 8 bytes
    std::vector<Float16> scales;      // rows × columns / block

    std::int64_t rowBytes() const { return columns * bits / 8; }
    std::int64_t blocksPerRow() const { return columns / block; }
};

class WeightQuantizer {
public:
    // The code widths this converter writes, widest first.
    static constexpr int widths[] = {8, 6, 5};

    // The longest block of at most 64 values, a multiple of 8, that divides `columns`; 0 when
    // there is none (the matrix then stays in half precision).
    static int blockFor(std::int64_t columns);

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

    // The weights the matrix stands for, row-major.
    static std::vector<float> dequantize(const QuantizedMatrix& matrix);

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

    // Packs `count` unsigned codes of `bits` bits each into count × bits / 8 bytes of one
    // little-endian bit stream, and back (count × bits must be a multiple of 8).
    static void pack(const std::uint8_t* codes, std::size_t count, int bits, std::uint8_t* packed);
    static void unpack(const std::uint8_t* packed, std::size_t count, int bits, std::uint8_t* codes);
};

}  // namespace platform::conversion
