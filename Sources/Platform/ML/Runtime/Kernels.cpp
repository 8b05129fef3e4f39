#include "Platform/ML/Runtime/Kernels.h"

#include "Platform/ML/Runtime/ThreadPool.h"

#include <cblas.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>

#if defined(__x86_64__)
#include <immintrin.h>
#define RUNTIME_X86 1
#endif

namespace platform::runtime::kernels {

namespace {

// e^x by Cody–Waite range reduction and a degree-7 polynomial, within two units in the
// last place; 0 below the single-precision normal range (x < −87.3 or so), infinity above
// it. Written without branches so that loops over it vectorise.
inline float expScalar(float x) {
    const float log2e = 1.44269504088896341f;
    const float ln2High = 0.693359375f;
    const float ln2Low = -2.12194440e-4f;
    const float roundingShift = 12582912.0f;  // 1.5 · 2^23: adding it rounds to an integer
    const float shifted = x * log2e + roundingShift;
    const float nf = shifted - roundingShift;
    const std::int32_t n = std::bit_cast<std::int32_t>(shifted) - std::bit_cast<std::int32_t>(roundingShift);
    const float r = (x - nf * ln2High) - nf * ln2Low;
    float p = 1.0f / 5040.0f;
    p = p * r + 1.0f / 720.0f;
    p = p * r + 1.0f / 120.0f;
    p = p * r + 1.0f / 24.0f;
    p = p * r + 1.0f / 6.0f;
    p = p * r + 0.5f;
    p = p * r + 1.0f;
    p = p * r + 1.0f;
    const std::int32_t exponent = std::min(std::max(n, -127), 128);
    const std::uint32_t keep = static_cast<std::uint32_t>(-static_cast<std::int32_t>(n > -127));
    const float scale = std::bit_cast<float>(static_cast<std::uint32_t>(exponent + 127) << 23);
    return std::bit_cast<float>(std::bit_cast<std::uint32_t>(p * scale) & keep);
}

// x · Φ(x) with Φ from the complementary error function (Abramowitz and Stegun 7.1.26),
// which keeps the negative side free of cancellation.
inline float geluScalar(float x) {
    const float a = std::fabs(x) * 0.70710678118654752f;
    const float t = 1.0f / (1.0f + 0.3275911f * a);
    float poly = 1.061405429f;
    poly = poly * t - 1.453152027f;
    poly = poly * t + 1.421413741f;
    poly = poly * t - 0.284496736f;
    poly = poly * t + 0.254829592f;
    poly = poly * t;
    const float tail = 0.5f * poly * expScalar(-a * a);  // Φ(−|x|)
    // Φ(x) = Φ(−|x|) for negative x, 1 − Φ(−|x|) otherwise; chosen without a branch.
    const float negative = static_cast<float>(std::bit_cast<std::uint32_t>(x) >> 31);
    const float phi = negative * tail + (1.0f - negative) * (1.0f - tail);
    return x * phi;
}

}  // namespace

__attribute__((target_clones("avx512f", "avx2", "default"))) void layerNorm(const float* x, float* y, const float* gamma,
                                                                            const float* beta, std::size_t n,
                                                                            float epsilon) {
    float sum = 0.0f;
#pragma omp simd reduction(+ : sum)
    for (std::size_t i = 0; i < n; ++i) sum += x[i];
    const float mean = sum / static_cast<float>(n);
    float squares = 0.0f;
#pragma omp simd reduction(+ : squares)
    for (std::size_t i = 0; i < n; ++i) {
        const float d = x[i] - mean;
        squares += d * d;
    }
    const float inverse = 1.0f / std::sqrt(squares / static_cast<float>(n) + epsilon);
#pragma omp simd
    for (std::size_t i = 0; i < n; ++i) y[i] = (x[i] - mean) * inverse * gamma[i] + beta[i];
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void gelu(float* x, std::size_t n) {
#pragma omp simd
    for (std::size_t i = 0; i < n; ++i) x[i] = geluScalar(x[i]);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void exponential(float* x, std::size_t n) {
#pragma omp simd
    for (std::size_t i = 0; i < n; ++i) x[i] = expScalar(x[i]);
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void softmax(float* x, std::size_t n) {
    float maximum = -INFINITY;
#pragma omp simd reduction(max : maximum)
    for (std::size_t i = 0; i < n; ++i) maximum = std::max(maximum, x[i]);
#pragma omp simd
    for (std::size_t i = 0; i < n; ++i) x[i] = expScalar(x[i] - maximum);
    float sum = 0.0f;
#pragma omp simd reduction(+ : sum)
    for (std::size_t i = 0; i < n; ++i) sum += x[i];
    const float inverse = 1.0f / sum;
#pragma omp simd
    for (std::size_t i = 0; i < n; ++i) x[i] *= inverse;
}

__attribute__((target_clones("avx512f", "avx2", "default"))) float softmaxUnnormalised(float* x, std::size_t n,
                                                                                      float& maximum) {
    float largest = -INFINITY;
#pragma omp simd reduction(max : largest)
    for (std::size_t i = 0; i < n; ++i) largest = std::max(largest, x[i]);
#pragma omp simd
    for (std::size_t i = 0; i < n; ++i) x[i] = expScalar(x[i] - largest);
    float sum = 0.0f;
#pragma omp simd reduction(+ : sum)
    for (std::size_t i = 0; i < n; ++i) sum += x[i];
    maximum = largest;
    return sum;
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void add(float* y, const float* x, std::size_t n) {
#pragma omp simd
    for (std::size_t i = 0; i < n; ++i) y[i] += x[i];
}

namespace {

void gemvHalfGeneric(const Float16* w, std::size_t rowStride, const float* x, const float* bias, float* y,
                     std::size_t rowBegin, std::size_t rowEnd, std::size_t columns) {
    float row[256];
    for (std::size_t r = rowBegin; r < rowEnd; ++r) {
        float sum = 0.0f;
        for (std::size_t c0 = 0; c0 < columns; c0 += 256) {
            const std::size_t len = std::min<std::size_t>(256, columns - c0);
            convertFloat16ToFloat(w + r * rowStride + c0, row, len);
            for (std::size_t c = 0; c < len; ++c) sum += row[c] * x[c0 + c];
        }
        y[r] = bias ? sum + bias[r] : sum;
    }
}

void gemvHalfTransposedGeneric(const Float16* w, std::size_t rowStride, const float* x, float* y, std::size_t rows,
                               std::size_t columns) {
    float row[256];
    std::fill(y, y + columns, 0.0f);
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c0 = 0; c0 < columns; c0 += 256) {
            const std::size_t len = std::min<std::size_t>(256, columns - c0);
            convertFloat16ToFloat(w + r * rowStride + c0, row, len);
            for (std::size_t c = 0; c < len; ++c) y[c0 + c] += x[r] * row[c];
        }
    }
}

#ifdef RUNTIME_X86
__attribute__((target("avx2,fma,f16c"))) inline float horizontalSum(__m256 v) {
    __m128 low = _mm256_castps256_ps128(v);
    __m128 high = _mm256_extractf128_ps(v, 1);
    low = _mm_add_ps(low, high);
    __m128 shuffled = _mm_movehdup_ps(low);
    low = _mm_add_ps(low, shuffled);
    shuffled = _mm_movehl_ps(shuffled, low);
    low = _mm_add_ss(low, shuffled);
    return _mm_cvtss_f32(low);
}

__attribute__((target("avx2,fma,f16c"))) inline __m256 loadHalf8(const Float16* p) {
    return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// Rows streamed from memory are requested about this many bytes ahead of their use: the
// product itself keeps too few loads in flight to reach the memory's bandwidth.
constexpr std::size_t prefetchDistance = 4096;

__attribute__((target("avx2,fma,f16c"))) void gemvHalfAvx2(const Float16* w, std::size_t rowStride, const float* x,
                                                           const float* bias, float* y, std::size_t rowBegin,
                                                           std::size_t rowEnd, std::size_t columns) {
    const std::size_t vectorColumns = columns / 16 * 16;
    const std::size_t rowBytes = columns * sizeof(Float16);
    const std::size_t rowsAhead = std::max<std::size_t>(4, (prefetchDistance + rowBytes - 1) / rowBytes);
    std::size_t r = rowBegin;
    for (; r + 4 <= rowEnd; r += 4) {
        for (std::size_t ahead = r + rowsAhead; ahead < std::min(r + rowsAhead + 4, rowEnd); ++ahead) {
            const char* row = reinterpret_cast<const char*>(w + ahead * rowStride);
            for (std::size_t b = 0; b < rowBytes; b += 64) _mm_prefetch(row + b, _MM_HINT_T0);
        }
        const Float16* w0 = w + r * rowStride;
        const Float16* w1 = w0 + rowStride;
        const Float16* w2 = w1 + rowStride;
        const Float16* w3 = w2 + rowStride;
        // Two accumulators per row shorten the dependency chains of the additions.
        __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0, b0 = a0, b1 = a0, b2 = a0, b3 = a0;
        for (std::size_t c = 0; c < vectorColumns; c += 16) {
            const __m256 x0 = _mm256_loadu_ps(x + c), x1 = _mm256_loadu_ps(x + c + 8);
            a0 = _mm256_fmadd_ps(loadHalf8(w0 + c), x0, a0);
            b0 = _mm256_fmadd_ps(loadHalf8(w0 + c + 8), x1, b0);
            a1 = _mm256_fmadd_ps(loadHalf8(w1 + c), x0, a1);
            b1 = _mm256_fmadd_ps(loadHalf8(w1 + c + 8), x1, b1);
            a2 = _mm256_fmadd_ps(loadHalf8(w2 + c), x0, a2);
            b2 = _mm256_fmadd_ps(loadHalf8(w2 + c + 8), x1, b2);
            a3 = _mm256_fmadd_ps(loadHalf8(w3 + c), x0, a3);
            b3 = _mm256_fmadd_ps(loadHalf8(w3 + c + 8), x1, b3);
        }
        float s0 = horizontalSum(_mm256_add_ps(a0, b0)), s1 = horizontalSum(_mm256_add_ps(a1, b1));
        float s2 = horizontalSum(_mm256_add_ps(a2, b2)), s3 = horizontalSum(_mm256_add_ps(a3, b3));
        for (std::size_t c = vectorColumns; c < columns; ++c) {
            s0 += static_cast<float>(w0[c]) * x[c];
            s1 += static_cast<float>(w1[c]) * x[c];
            s2 += static_cast<float>(w2[c]) * x[c];
            s3 += static_cast<float>(w3[c]) * x[c];
        }
        if (bias) {
            s0 += bias[r];
            s1 += bias[r + 1];
            s2 += bias[r + 2];
            s3 += bias[r + 3];
        }
        y[r] = s0;
        y[r + 1] = s1;
        y[r + 2] = s2;
        y[r + 3] = s3;
    }
    for (; r < rowEnd; ++r) {
        const Float16* w0 = w + r * rowStride;
        __m256 a0 = _mm256_setzero_ps();
        const std::size_t eight = columns / 8 * 8;
        for (std::size_t c = 0; c < eight; c += 8) a0 = _mm256_fmadd_ps(loadHalf8(w0 + c), _mm256_loadu_ps(x + c), a0);
        float s0 = horizontalSum(a0);
        for (std::size_t c = eight; c < columns; ++c) s0 += static_cast<float>(w0[c]) * x[c];
        y[r] = bias ? s0 + bias[r] : s0;
    }
}

__attribute__((target("avx2,fma,f16c"))) void gemvHalfTransposedAvx2(const Float16* w, std::size_t rowStride,
                                                                     const float* x, float* y, std::size_t rows,
                                                                     std::size_t columns) {
    const std::size_t vectorColumns = columns / 8 * 8;
    std::fill(y, y + columns, 0.0f);
    std::size_t r = 0;
    for (; r + 4 <= rows; r += 4) {
        const Float16* w0 = w + r * rowStride;
        const __m256 x0 = _mm256_set1_ps(x[r]), x1 = _mm256_set1_ps(x[r + 1]);
        const __m256 x2 = _mm256_set1_ps(x[r + 2]), x3 = _mm256_set1_ps(x[r + 3]);
        for (std::size_t c = 0; c < vectorColumns; c += 8) {
            __m256 acc = _mm256_loadu_ps(y + c);
            acc = _mm256_fmadd_ps(loadHalf8(w0 + c), x0, acc);
            acc = _mm256_fmadd_ps(loadHalf8(w0 + rowStride + c), x1, acc);
            acc = _mm256_fmadd_ps(loadHalf8(w0 + 2 * rowStride + c), x2, acc);
            acc = _mm256_fmadd_ps(loadHalf8(w0 + 3 * rowStride + c), x3, acc);
            _mm256_storeu_ps(y + c, acc);
        }
        for (std::size_t c = vectorColumns; c < columns; ++c) {
            y[c] += static_cast<float>(w0[c]) * x[r] + static_cast<float>(w0[rowStride + c]) * x[r + 1] +
                    static_cast<float>(w0[2 * rowStride + c]) * x[r + 2] + static_cast<float>(w0[3 * rowStride + c]) * x[r + 3];
        }
    }
    for (; r < rows; ++r) {
        const Float16* w0 = w + r * rowStride;
        const __m256 x0 = _mm256_set1_ps(x[r]);
        for (std::size_t c = 0; c < vectorColumns; c += 8)
            _mm256_storeu_ps(y + c, _mm256_fmadd_ps(loadHalf8(w0 + c), x0, _mm256_loadu_ps(y + c)));
        for (std::size_t c = vectorColumns; c < columns; ++c) y[c] += static_cast<float>(w0[c]) * x[r];
    }
}

bool hasAvx2Fma() {
    static const bool supported =
        __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("f16c");
    return supported;
}
#endif

}  // namespace

void gemvHalf(const Float16* w, std::size_t rowStride, const float* x, const float* bias, float* y, std::size_t rowBegin,
              std::size_t rowEnd, std::size_t columns) {
#ifdef RUNTIME_X86
    if (hasAvx2Fma()) return gemvHalfAvx2(w, rowStride, x, bias, y, rowBegin, rowEnd, columns);
#endif
    gemvHalfGeneric(w, rowStride, x, bias, y, rowBegin, rowEnd, columns);
}

void gemvHalfParallel(ThreadPool& pool, const Float16* w, std::size_t rowStride, const float* x, const float* bias,
                      float* y, std::size_t rows, std::size_t columns) {
    // Below about 64 KiB of weights the hand-over to other threads costs more than it saves.
    const std::size_t grain = std::max<std::size_t>(16, (std::size_t{1} << 15) / std::max<std::size_t>(columns, 1));
    pool.parallelFor(rows, grain, [&](std::size_t begin, std::size_t end) {
        gemvHalf(w, rowStride, x, bias, y, begin, end, columns);
    });
}

void gemvHalfTransposed(const Float16* w, std::size_t rowStride, const float* x, float* y, std::size_t rows,
                        std::size_t columns) {
#ifdef RUNTIME_X86
    if (hasAvx2Fma()) return gemvHalfTransposedAvx2(w, rowStride, x, y, rows, columns);
#endif
    gemvHalfTransposedGeneric(w, rowStride, x, y, rows, columns);
}

void sgemm(bool transposeA, bool transposeB, std::size_t m, std::size_t n, std::size_t k, float alpha, const float* a,
           std::size_t lda, const float* b, std::size_t ldb, float beta, float* c, std::size_t ldc) {
    if (m == 0 || n == 0) return;
    cblas_sgemm(CblasRowMajor, transposeA ? CblasTrans : CblasNoTrans, transposeB ? CblasTrans : CblasNoTrans,
                static_cast<int>(m), static_cast<int>(n), static_cast<int>(k), alpha, a, static_cast<int>(lda), b,
                static_cast<int>(ldb), beta, c, static_cast<int>(ldc));
}

void sgemmParallel(ThreadPool& pool, bool transposeA, bool transposeB, std::size_t m, std::size_t n, std::size_t k,
                   float alpha, const float* a, std::size_t lda, const float* b, std::size_t ldb, float beta, float* c,
                   std::size_t ldc) {
    // One row block per thread: each block packs the whole of B again, so more blocks
    // than threads would only repeat that work.
    const std::size_t threads = pool.threadCount();
    pool.parallelFor(m, std::max<std::size_t>(32, (m + threads - 1) / threads), [&](std::size_t begin, std::size_t end) {
        const float* aBlock = transposeA ? a + begin : a + begin * lda;
        sgemm(transposeA, transposeB, end - begin, n, k, alpha, aBlock, lda, b, ldb, beta, c + begin * ldc, ldc);
    });
}

void useSingleThreadedBlas() {
    static std::once_flag once;
    std::call_once(once, [] { openblas_set_num_threads(1); });
}

}  // namespace platform::runtime::kernels
