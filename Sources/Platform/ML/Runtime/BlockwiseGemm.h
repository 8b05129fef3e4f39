#pragma once

#include "Platform/ML/Runtime/BlockwiseKernels.h"

#include <cstddef>
#include <cstdint>

namespace platform::runtime::kernels {

// Matrix products with many rows of x (the encoder's), in integer arithmetic: x is taken
// as 16-bit integers with one step per row (an error below 2⁻¹⁶ of the row's largest
// value), the codes as they are, and each block's integer sum is scaled by its scale.
// The matrix is first packed into panels of 32 rows (packBlockwiseGemm, in shares over
// panels), x quantized row by row (quantizeGemmRows), then blockwiseGemm computes
// C[m][n] (=|+=) Σ_k x[m][k] · w[n][k] over a range of rows of x and of panels.
namespace gemm {

inline constexpr std::size_t panelRows = 32;

// Whether the integer products run here for this matrix (AVX-512 with integer dot
// products in use, rows a multiple of 32); otherwise dequantize and use sgemm.
bool available(const BlockwiseLayout& layout);
// Bytes of the packed matrix.
std::size_t packedBytes(const BlockwiseLayout& layout);
// Packs panels [panelBegin, panelEnd) of the matrix into `packed` (packedBytes, 64-byte aligned).
void pack(const BlockwiseMatrix& w, std::size_t panelBegin, std::size_t panelEnd, void* packed);
// Rows [rowBegin, rowEnd) of x (`columns` values each, `stride` apart) as 16-bit integers
// (`columns` apart) and their steps.
void quantizeRows(const float* x, std::size_t stride, std::size_t columns, std::size_t rowBegin, std::size_t rowEnd,
                  std::int16_t* out, float* steps);
// C rows [rowBegin, rowEnd), columns of panels [panelBegin, panelEnd).
void multiply(const std::int16_t* x16, const float* steps, std::size_t rowBegin, std::size_t rowEnd,
              const BlockwiseLayout& layout, const void* packed, std::size_t panelBegin, std::size_t panelEnd, float* c,
              std::size_t ldc, bool accumulate);

}  // namespace gemm

}  // namespace platform::runtime::kernels
