#pragma once

#include "Platform/ML/Float16.h"

#include <cstddef>

namespace platform::runtime {

class ThreadPool;

// Numeric building blocks of the model programs. Element-wise loops are written so the
// compiler vectorises them (no fast-math: every operation rounds as written); products with
// half-precision weights use the processor's conversion and fused multiply-add
// instructions where available. Matrix products are in FloatGemm.h.
namespace kernels {

// y = (x − mean) / sqrt(variance + epsilon) × gamma + beta over n values.
void layerNorm(const float* x, float* y, const float* gamma, const float* beta, std::size_t n, float epsilon = 1e-5f);

// x ← x · Φ(x), the Gaussian error linear unit with the error function (not the tanh
// approximation); accurate to a few units in the last place of single precision.
void gelu(float* x, std::size_t n);

// x ← e^x.
void exponential(float* x, std::size_t n);

// x ← softmax(x), subtracting the maximum first.
void softmax(float* x, std::size_t n);
// x ← exp(x − max x) without the division; returns Σ x and stores max x in `maximum`.
// Softmax over a range split in parts: each part's values are later scaled by
// exp(part maximum − overall maximum) / overall sum.
float softmaxUnnormalised(float* x, std::size_t n, float& maximum);

// y ← y + x.
void add(float* y, const float* x, std::size_t n);

// Instruction sets of the half-precision products, each a superset of the one before.
// The best one the processor offers is used unless limited to a lower one (tests limit it
// to prove every path; MURMEX_KERNELS=generic|avx2|avx512 limits it for a whole process).
enum class InstructionSet { generic, avx2, avx512 };
const char* instructionSetName(InstructionSet set);
InstructionSet bestInstructionSet();
InstructionSet activeInstructionSet();
// Uses `set`, or the best one available below it; returns the set now in use.
InstructionSet useInstructionSet(InstructionSet set);

// y[r] = Σ_c w[r·rowStride + c] · x[c] (+ bias[r]) for r in [rowBegin, rowEnd): a
// matrix-vector product with half-precision rows. With `accumulate` the result is added
// to y[r] instead (a residual connection).
void gemvHalf(const Float16* w, std::size_t rowStride, const float* x, const float* bias, float* y,
              std::size_t rowBegin, std::size_t rowEnd, std::size_t columns, bool accumulate = false);

// The same product over all rows, spread over the pool when it is large enough.
void gemvHalfParallel(ThreadPool& pool, const Float16* w, std::size_t rowStride, const float* x, const float* bias,
                      float* y, std::size_t rows, std::size_t columns);

// y[c] = Σ_r x[r] · w[r·rowStride + c] for c in [0, columns): the transposed product.
void gemvHalfTransposed(const Float16* w, std::size_t rowStride, const float* x, float* y, std::size_t rows,
                        std::size_t columns);

}  // namespace kernels
}  // namespace platform::runtime
