#pragma once

#include <cstddef>
#include <span>

namespace platform::runtime {

class ThreadPool;

// Single-precision matrix products, C = alpha · op(A) · op(B) + beta · C, row-major, where
// op(X) is X or its transpose. With AVX-512 in use (`activeInstructionSet`) they run here:
// blocks of op(B) and of op(A) are packed into scratch the caller provides (so that it goes
// back to the system with the caller's other scratch, rather than staying with a library),
// then tiles of 12 × 32 of C are computed in registers. Otherwise OpenBLAS computes them on
// the calling thread, and the scratch is not touched. With beta 0, C is not read.
namespace kernels {

// Floats of scratch one call of `sgemm` packs into.
std::size_t sgemmScratchFloats();

// The product on the calling thread; `scratch` holds sgemmScratchFloats() floats.
void sgemm(bool transposeA, bool transposeB, std::size_t m, std::size_t n, std::size_t k, float alpha, const float* a,
           std::size_t lda, const float* b, std::size_t ldb, float beta, float* c, std::size_t ldc, float* scratch);

// Floats of scratch `sgemmParallel` packs into, with `threads` threads at work.
std::size_t sgemmParallelScratchFloats(std::size_t threads, std::size_t n, std::size_t k);

// The same product over the pool: op(B) is packed whole once, its columns shared out, then
// the rows of C are split, one block per thread at most, each packing its rows of op(A).
// `scratch` holds sgemmParallelScratchFloats(threads, n, k) floats for some number of
// threads (fewer blocks run when it holds less than the pool has threads, one at least).
void sgemmParallel(ThreadPool& pool, bool transposeA, bool transposeB, std::size_t m, std::size_t n, std::size_t k,
                   float alpha, const float* a, std::size_t lda, const float* b, std::size_t ldb, float beta, float* c,
                   std::size_t ldc, std::span<float> scratch);

}  // namespace kernels
}  // namespace platform::runtime
