#pragma once

#include "Platform/ML/Runtime/BlockwiseFormat.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace platform::runtime {

// A compressed matrix in memory: the packed codes row after row (layout.rowBytes() each),
// then its scales row after row (layout.blocksPerRow() each). The products may read up to
// kBlockwiseReadPadding bytes past the last row's codes (never using them), so whoever
// holds the codes keeps that much readable memory after them.
struct BlockwiseMatrix {
    const std::uint8_t* codes = nullptr;
    const Float16* scales = nullptr;
    BlockwiseLayout layout;

    const std::uint8_t* rowCodes(std::size_t row) const { return codes + row * layout.rowBytes(); }
    const Float16* rowScales(std::size_t row) const {
        return scales + row * static_cast<std::size_t>(layout.blocksPerRow());
    }
};

inline constexpr std::size_t kBlockwiseReadPadding = 64;

// A weight matrix [rows, cols] held in half precision (`half`, rows after rows) or
// compressed (`blockwise`).
struct WeightMatrix {
    const Float16* half = nullptr;
    BlockwiseMatrix blockwise;
    std::size_t rows = 0;
    std::size_t cols = 0;

    bool compressed() const { return half == nullptr; }
    // Bytes a product streams: codes and scales, or the half-precision values.
    std::size_t bytes() const;
};

namespace kernels {

// y[r] = Σ_c w[r][c] · x[c] (+ bias[r]) for r in [rowBegin, rowEnd), w dequantized in
// registers (scale × code); with `accumulate` the result is added to y[r]. Uses the
// instruction set chosen for the half-precision products (see Kernels.h).
void gemvBlockwise(const BlockwiseMatrix& w, const float* x, const float* bias, float* y, std::size_t rowBegin,
                   std::size_t rowEnd, bool accumulate = false);

// Rows [rowBegin, rowEnd) of the matrix dequantized into `out`, row after row.
void dequantizeBlockwiseRows(const BlockwiseMatrix& w, std::size_t rowBegin, std::size_t rowEnd, float* out);

// The signed codes of one row (layout.cols of them) as 16-bit integers.
void unpackRow16(const BlockwiseLayout& layout, const std::uint8_t* rowCodes, std::int16_t* out);

// The products and row conversions of a matrix in whichever form it is held.
void gemv(const WeightMatrix& w, const float* x, const float* bias, float* y, std::size_t rowBegin, std::size_t rowEnd,
          bool accumulate = false);

// A vector that several products read (a decoder thread's input to a stage, whose parts are
// products over a few rows each), converted at most once: on processors with byte dot
// products, the first compressed product that reads it puts it in the integer form those
// products take, and the others reuse that form (half-precision products never need it).
// Holds `x` by address: it must stay unchanged while products read it. One thread's.
class ProductInput {
public:
    void set(const float* x, std::size_t columns);
    const float* values() const { return x_; }

private:
    friend void gemv(const WeightMatrix& w, ProductInput& x, const float* bias, float* y, std::size_t rowBegin,
                     std::size_t rowEnd, bool accumulate);
    void code();
    const float* x_ = nullptr;
    std::size_t columns_ = 0;
    bool coded_ = false;
    float step_ = 0.0f;
    std::vector<std::int8_t> high_, low_;
    std::vector<std::int32_t> sums32_;
};

// The product with a prepared vector: the same results as with its values.
void gemv(const WeightMatrix& w, ProductInput& x, const float* bias, float* y, std::size_t rowBegin,
          std::size_t rowEnd, bool accumulate = false);
void matrixRows(const WeightMatrix& w, std::size_t rowBegin, std::size_t rowEnd, float* out);
// Requests up to `bytes` of rows [rowBegin, rowEnd) into the core's second-level cache.
void prefetchRows(const WeightMatrix& w, std::size_t rowBegin, std::size_t rowEnd, std::size_t bytes);

}  // namespace kernels
}  // namespace platform::runtime
