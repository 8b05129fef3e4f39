#include "Platform/ML/Runtime/FloatGemm.h"

#include "Platform/ML/Runtime/Kernels.h"
#include "Platform/ML/Runtime/ThreadPool.h"

#include <cblas.h>

#include <algorithm>
#include <mutex>

#if defined(__x86_64__)
#include <immintrin.h>
#define GEMM_X86 1
#endif

namespace platform::runtime::kernels {

namespace {

// Blocking: a block of op(B), depth × columns (packed once per block and read by every
// tile of it from the outer caches), and a block of op(A), rows × depth (read by the
// tiles of one block of columns from the second-level cache). A tile reads a sliver of
// op(B), depth × tile columns, from the first-level cache.
constexpr std::size_t depthBlock = 256;
constexpr std::size_t rowBlock = 96;  // a multiple of a tile's rows
constexpr std::size_t columnBlock = 1536;
// Every sliver of op(B) is as wide as a tile.
constexpr std::size_t sliverColumns = 32;
constexpr std::size_t packedAFloats = rowBlock * depthBlock;

std::size_t packedBFloats(std::size_t n, std::size_t k) {
    return (n + sliverColumns - 1) / sliverColumns * sliverColumns * k;
}

#ifdef GEMM_X86

// Lines [first, first + count) of an operand over depth [p0, p0 + depth), in groups of Width
// lines (rows of op(A), columns of op(B)): each group holds for every depth step its lines'
// values side by side, zero past the last line. The value of line l at depth p is
// x[l · lineStride + p · depthStride]; one of the two strides is 1.
template <std::size_t Width>
void pack(const float* x, std::size_t lineStride, std::size_t depthStride, std::size_t first, std::size_t count,
          std::size_t p0, std::size_t depth, float* out) {
    for (std::size_t i = 0; i < count; i += Width) {
        const std::size_t lines = std::min(Width, count - i);
        float* group = out + i * depth;
        if (lines < Width)
            for (std::size_t p = 0; p < depth; ++p) std::fill(group + p * Width + lines, group + (p + 1) * Width, 0.0f);
        const float* start = x + (first + i) * lineStride + p0 * depthStride;
        if (depthStride == 1) {
            for (std::size_t l = 0; l < lines; ++l)
                for (std::size_t p = 0; p < depth; ++p) group[p * Width + l] = start[l * lineStride + p];
        } else {
            for (std::size_t p = 0; p < depth; ++p)
                std::copy(start + p * depthStride, start + p * depthStride + lines, group + p * Width);
        }
    }
}

// Rows [i0, i0 + rows) of op(A) over depth [p0, p0 + depth), in panels of Rows rows.
template <std::size_t Rows>
void packA(bool transposed, const float* a, std::size_t lda, std::size_t i0, std::size_t rows, std::size_t p0,
           std::size_t depth, float* out) {
    pack<Rows>(a, transposed ? 1 : lda, transposed ? lda : 1, i0, rows, p0, depth, out);
}

// Columns [j0, j0 + columns) of op(B) over depth [p0, p0 + depth), in slivers of Columns columns.
template <std::size_t Columns>
void packB(bool transposed, const float* b, std::size_t ldb, std::size_t j0, std::size_t columns, std::size_t p0,
           std::size_t depth, float* out) {
    pack<Columns>(b, transposed ? ldb : 1, transposed ? 1 : ldb, j0, columns, p0, depth, out);
}

// C[rows × columns] = alpha · Σ_p panel[p] ⊗ sliver[p] + beta · C for a tile of at most
// 12 × 32, C not read when beta is 0. The tile's rows of C are requested first, so that
// they arrive while the sums are computed.
__attribute__((target("avx512f,avx2,fma"))) void tileAvx512(std::size_t depth, const float* panel,
                                                            const float* sliver, std::size_t rows,
                                                            std::size_t columns, float alpha, float beta, float* c,
                                                            std::size_t ldc) {
    constexpr std::size_t tileRows = 12;
    for (std::size_t r = 0; r < rows; ++r) {
        _mm_prefetch(reinterpret_cast<const char*>(c + r * ldc), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(c + r * ldc + columns - 1), _MM_HINT_T0);
    }
    __m512 left[tileRows], right[tileRows];
#pragma GCC unroll 12
    for (std::size_t r = 0; r < tileRows; ++r) left[r] = right[r] = _mm512_setzero_ps();
    for (std::size_t p = 0; p < depth; ++p) {
        const float* b = sliver + p * sliverColumns;
        const __m512 b0 = _mm512_loadu_ps(b), b1 = _mm512_loadu_ps(b + 16);
#pragma GCC unroll 12
        for (std::size_t r = 0; r < tileRows; ++r) {
            const __m512 a = _mm512_set1_ps(panel[p * tileRows + r]);
            left[r] = _mm512_fmadd_ps(a, b0, left[r]);
            right[r] = _mm512_fmadd_ps(a, b1, right[r]);
        }
    }
    const __m512 scaleSums = _mm512_set1_ps(alpha), scaleC = _mm512_set1_ps(beta);
    const __mmask16 first = columns >= 16 ? __mmask16(0xFFFF) : static_cast<__mmask16>((1u << columns) - 1u);
    const __mmask16 second = columns >= 32   ? __mmask16(0xFFFF)
                             : columns <= 16 ? __mmask16(0)
                                             : static_cast<__mmask16>((1u << (columns - 16)) - 1u);
#pragma GCC unroll 12
    for (std::size_t r = 0; r < tileRows; ++r) {
        if (r == rows) break;
        float* out = c + r * ldc;
        __m512 low = _mm512_mul_ps(left[r], scaleSums), high = _mm512_mul_ps(right[r], scaleSums);
        if (beta != 0.0f) {
            low = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(first, out), scaleC, low);
            high = _mm512_fmadd_ps(_mm512_maskz_loadu_ps(second, out + 16), scaleC, high);
        }
        _mm512_mask_storeu_ps(out, first, low);
        _mm512_mask_storeu_ps(out + 16, second, high);
    }
}

// C = beta · C, C not read when beta is 0 (a product without depth).
void scale(std::size_t m, std::size_t n, float beta, float* c, std::size_t ldc) {
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < n; ++j) c[i * ldc + j] = beta == 0.0f ? 0.0f : beta * c[i * ldc + j];
}

// The products in tiles of 12 × 32.
struct OwnKernel {
    static constexpr std::size_t Rows = 12, Columns = sliverColumns;
    static_assert(rowBlock % Rows == 0);

    // Rows [0, m) of C over one block of depth (a and slivers point to where it begins),
    // op(B) packed: the sliver of columns jr … jr + 31 at slivers + jr · pitch, pitch being
    // the depth the slivers were packed over.
    static void depthBlockRows(bool transposeA, std::size_t m, std::size_t n, std::size_t depth, float alpha,
                               const float* a, std::size_t lda, const float* slivers, std::size_t pitch, float beta,
                               float* c, std::size_t ldc, float* packedA) {
        for (std::size_t ic = 0; ic < m; ic += rowBlock) {
            const std::size_t rows = std::min(rowBlock, m - ic);
            packA<Rows>(transposeA, a, lda, ic, rows, 0, depth, packedA);
            for (std::size_t jr = 0; jr < n; jr += Columns) {
                const float* sliver = slivers + jr * pitch;
                for (std::size_t ir = 0; ir < rows; ir += Rows) {
                    tileAvx512(depth, packedA + ir * depth, sliver, std::min(Rows, rows - ir),
                               std::min(Columns, n - jr), alpha, beta, c + (ic + ir) * ldc + jr, ldc);
                }
            }
        }
    }

    // The whole product, packing op(B) a block at a time.
    static void multiply(bool transposeA, bool transposeB, std::size_t m, std::size_t n, std::size_t k, float alpha,
                         const float* a, std::size_t lda, const float* b, std::size_t ldb, float beta, float* c,
                         std::size_t ldc, float* scratch) {
        float* packedB = scratch;
        float* packedA = scratch + depthBlock * columnBlock;
        for (std::size_t jc = 0; jc < n; jc += columnBlock) {
            const std::size_t columns = std::min(columnBlock, n - jc);
            for (std::size_t pc = 0; pc < k; pc += depthBlock) {
                const std::size_t depth = std::min(depthBlock, k - pc);
                packB<sliverColumns>(transposeB, b, ldb, jc, columns, pc, depth, packedB);
                // The first block of depth applies beta; the others add to it.
                depthBlockRows(transposeA, m, columns, depth, alpha, a + (transposeA ? pc * lda : pc), lda,
                               packedB, depth, pc == 0 ? beta : 1.0f, c + jc, ldc, packedA);
            }
        }
    }

    // Rows [0, m) of C with op(B) packed whole (slivers over all of k).
    static void multiplyPacked(bool transposeA, std::size_t m, std::size_t n, std::size_t k, float alpha,
                               const float* a, std::size_t lda, const float* packedB, float beta, float* c,
                               std::size_t ldc, float* packedA) {
        for (std::size_t pc = 0; pc < k; pc += depthBlock) {
            const std::size_t depth = std::min(depthBlock, k - pc);
            depthBlockRows(transposeA, m, n, depth, alpha, a + (transposeA ? pc * lda : pc), lda,
                           packedB + pc * sliverColumns, k, pc == 0 ? beta : 1.0f, c, ldc, packedA);
        }
    }
};

#endif

// Whether the products run here: with AVX-512, where these tiles measured 1.4 to 1.7 times
// OpenBLAS's rate on the encoder's products. Elsewhere OpenBLAS, whose kernels for other
// processors were the faster, computes them on the calling thread.
bool ownKernels() {
#ifdef GEMM_X86
    return activeInstructionSet() == InstructionSet::avx512;
#else
    return false;
#endif
}

void blasProduct(bool transposeA, bool transposeB, std::size_t m, std::size_t n, std::size_t k, float alpha,
                 const float* a, std::size_t lda, const float* b, std::size_t ldb, float beta, float* c,
                 std::size_t ldc) {
    static std::once_flag singleThreaded;
    std::call_once(singleThreaded, [] { openblas_set_num_threads(1); });  // the pool provides the threads
    cblas_sgemm(CblasRowMajor, transposeA ? CblasTrans : CblasNoTrans, transposeB ? CblasTrans : CblasNoTrans,
                static_cast<int>(m), static_cast<int>(n), static_cast<int>(k), alpha, a, static_cast<int>(lda), b,
                static_cast<int>(ldb), beta, c, static_cast<int>(ldc));
}

}  // namespace

std::size_t sgemmScratchFloats() { return depthBlock * columnBlock + packedAFloats; }

std::size_t sgemmParallelScratchFloats(std::size_t threads, std::size_t n, std::size_t k) {
    return packedBFloats(n, k) + std::max<std::size_t>(threads, 1) * packedAFloats;
}

void sgemm(bool transposeA, bool transposeB, std::size_t m, std::size_t n, std::size_t k, float alpha, const float* a,
           std::size_t lda, const float* b, std::size_t ldb, float beta, float* c, std::size_t ldc, float* scratch) {
    if (m == 0 || n == 0) return;
#ifdef GEMM_X86
    if (ownKernels()) {
        if (k == 0) return scale(m, n, beta, c, ldc);
        return OwnKernel::multiply(transposeA, transposeB, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc, scratch);
    }
#endif
    (void)scratch;
    blasProduct(transposeA, transposeB, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}

void sgemmParallel(ThreadPool& pool, bool transposeA, bool transposeB, std::size_t m, std::size_t n, std::size_t k,
                   float alpha, const float* a, std::size_t lda, const float* b, std::size_t ldb, float beta, float* c,
                   std::size_t ldc, std::span<float> scratch) {
    if (m == 0 || n == 0) return;
    const std::size_t threads = pool.threadCount();
#ifdef GEMM_X86
    if (ownKernels()) {
        if (k == 0) return scale(m, n, beta, c, ldc);
        // op(B) is packed once, a share of its slivers by each thread, and read by all.
        float* packedB = scratch.data();
        const std::size_t slivers = (n + sliverColumns - 1) / sliverColumns;
        pool.parallelFor(slivers, 1, [&](std::size_t begin, std::size_t end) {
            const std::size_t first = begin * sliverColumns, last = std::min(n, end * sliverColumns);
            packB<sliverColumns>(transposeB, b, ldb, first, last - first, 0, k, packedB + first * k);
        });
        // Then one block of rows per thread, each packing its rows of op(A) into its own share.
        float* packedA = packedB + packedBFloats(n, k);
        const std::size_t room = (scratch.size() - packedBFloats(n, k)) / packedAFloats;
        const std::size_t blocks = std::max<std::size_t>(1, std::min(threads, room));
        const std::size_t grain = std::max<std::size_t>(16, (m + blocks - 1) / blocks);
        pool.parallelFor(m, grain, [&](std::size_t begin, std::size_t end) {
            const float* aBlock = transposeA ? a + begin : a + begin * lda;
            OwnKernel::multiplyPacked(transposeA, end - begin, n, k, alpha, aBlock, lda, packedB, beta,
                                      c + begin * ldc, ldc, packedA + begin / grain * packedAFloats);
        });
        return;
    }
#endif
    (void)scratch;
    // One row block per thread: each block packs the whole of op(B) again, so more blocks
    // than threads would only repeat that work.
    pool.parallelFor(m, std::max<std::size_t>(32, (m + threads - 1) / threads), [&](std::size_t begin, std::size_t end) {
        const float* aBlock = transposeA ? a + begin : a + begin * lda;
        blasProduct(transposeA, transposeB, end - begin, n, k, alpha, aBlock, lda, b, ldb, beta, c + begin * ldc, ldc);
    });
}

}  // namespace platform::runtime::kernels
