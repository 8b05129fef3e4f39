#pragma once

#include "Platform/ML/Float16.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::runtime {

class SafeTensorsWriter;

// The compressed ("blockwise") weight format, version 1.
//
// A stage's model.json records how its weights are stored under the keys
// "weightFormat" and "weightFormatVersion". Absent keys mean half precision throughout.
//
// A compressed matrix of logical shape [rows, cols] (cols is the input dimension, the one a
// product sums over) is stored as two tensors:
//   NAME        U8  [rows, cols * bits / 8]   the packed codes, row after row
//   NAME.scale  F16 [rows, cols / block]      one scale per block of `block` columns
// bits and block are derived from the stored shapes and must divide exactly. Codes are
// symmetric signed integers q in [-(2^(bits-1) - 1), 2^(bits-1) - 1], stored unsigned as
// u = q + 2^(bits-1); the weight is scale * q. The codes of a row form one little-endian bit
// stream: code i occupies bits [i*bits, (i+1)*bits), bit 0 being the least significant bit of
// the row's first byte. With block a multiple of 8 every block starts on a byte boundary and
// takes block*bits/8 bytes.
//
// This file is the format's reference: constants, layout derivation and validation, and
// scalar packing, unpacking and dequantization. The fast kernels live elsewhere and are
// tested against it.

enum class WeightFormat { half, blockwise };

inline constexpr const char* kWeightFormatKey = "weightFormat";
inline constexpr const char* kWeightFormatVersionKey = "weightFormatVersion";
inline constexpr const char* kBlockwiseFormatName = "blockwise";
inline constexpr int kBlockwiseFormatVersion = 1;
inline constexpr const char* kBlockwiseScaleSuffix = ".scale";

inline constexpr int kBlockwiseMaxBlock = 64;
inline constexpr int kBlockwiseBlockStep = 8;

// The code widths this runtime reads.
inline constexpr int kBlockwiseWidths[] = {8, 6, 5};
bool isSupportedBlockwiseWidth(int bits);

// The largest code magnitude of a width: 2^(bits-1) - 1.
constexpr int blockwiseMaxCode(int bits) { return (1 << (bits - 1)) - 1; }
// The offset added to a signed code to store it: 2^(bits-1).
constexpr int blockwiseCodeOffset(int bits) { return 1 << (bits - 1); }

// The layout of one compressed matrix.
struct BlockwiseLayout {
    std::int64_t rows = 0;
    std::int64_t cols = 0;
    int bits = 8;
    int block = 64;

    std::int64_t blocksPerRow() const { return cols / block; }
    std::size_t rowBytes() const { return static_cast<std::size_t>(cols) * static_cast<std::size_t>(bits) / 8; }
    std::size_t blockBytes() const { return static_cast<std::size_t>(block) * static_cast<std::size_t>(bits) / 8; }
    std::size_t packedBytes() const { return static_cast<std::size_t>(rows) * rowBytes(); }
    std::size_t scaleCount() const { return static_cast<std::size_t>(rows) * static_cast<std::size_t>(blocksPerRow()); }
    // Stored bytes per weight, scales included, times 8.
    double bitsPerWeight() const { return bits + 16.0 / block; }
};

// Derives the layout of matrix `name` of logical shape [rows, cols] from the shapes of its
// stored tensors (packed codes and scales). Throws MLError (invalidModel) naming the tensor
// when the shapes do not describe a supported layout: a shape that is not two-dimensional or
// has the wrong row count, a width other than the supported ones, packed bytes that do not
// divide into whole codes, a block size that is 0, not a multiple of 8, larger than 64 or than
// the row, or that does not divide the row.
BlockwiseLayout deriveBlockwiseLayout(const std::string& name, std::int64_t rows, std::int64_t cols,
                                      const std::vector<std::int64_t>& packedShape,
                                      const std::vector<std::int64_t>& scaleShape);

// The shapes a matrix of this layout is stored with.
std::vector<std::int64_t> blockwisePackedShape(const BlockwiseLayout& layout);
std::vector<std::int64_t> blockwiseScaleShape(const BlockwiseLayout& layout);

// Throws MLError (invalidModel) naming the tensor when any of `count` scales is not finite.
void checkBlockwiseScales(const std::string& name, const Float16* scales, std::size_t count);

// Reference bit packing of one row of `count` codes (count * bits a multiple of 8).
// `codes` are the signed values q; `packed` receives count * bits / 8 bytes.
void packBlockwiseRow(const std::int8_t* codes, std::int64_t count, int bits, std::uint8_t* packed);
// Reference unpacking: the signed codes q of one row.
void unpackBlockwiseRow(const std::uint8_t* packed, std::int64_t count, int bits, std::int8_t* codes);
// Reference dequantization of one row (layout.cols values): scale * q.
void dequantizeBlockwiseRow(const BlockwiseLayout& layout, const std::uint8_t* packedRow, const Float16* scaleRow,
                            float* out);

// A simple reference quantizer for one row: per block, scale = absmax / maxCode rounded to
// half precision, q = round(x / scale) clamped to the code range (all zero codes for an all-
// zero block). Throws MLError (invalidArgument) when a value is not finite or a scale does not
// fit half precision.
void quantizeBlockwiseRow(const BlockwiseLayout& layout, const float* values, std::uint8_t* packedRow,
                          Float16* scaleRow);

// Adds a compressed matrix to a weights file in its stored form: `name` holds the packed codes
// (layout.packedBytes() bytes, row after row) and name + kBlockwiseScaleSuffix the scales
// (layout.scaleCount() of them).
void addBlockwiseMatrix(SafeTensorsWriter& writer, const std::string& name, const BlockwiseLayout& layout,
                        const std::uint8_t* codes, const Float16* scales);

// Quantizes a row-major matrix of layout.rows × layout.cols values with the reference quantizer
// (quantizeBlockwiseRow, row by row) and adds it as addBlockwiseMatrix does. Throws as
// quantizeBlockwiseRow.
void addReferenceQuantizedMatrix(SafeTensorsWriter& writer, const std::string& name, const BlockwiseLayout& layout,
                                 const float* values);

}  // namespace platform::runtime
