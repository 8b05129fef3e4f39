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

// e^x for x ≤ 88.3, by Cody–Waite range reduction and a degree-7 polynomial; 0 below the
// single-precision normal range. Plain arithmetic so that loops over it vectorise.
inline float expScalar(float x) {
    const float log2e = 1.44269504088896341f;
    const float ln2High = 0.693359375f;
    const float ln2Low = -2.12194440e-4f;
    const bool underflow = x < -87.3f;
    x = std::min(std::max(x, -87.3f), 88.3f);
    const float shifted = x * log2e;
    const int n = static_cast<int>(shifted + (shifted >= 0.0f ? 0.5f : -0.5f));
    const float nf = static_cast<float>(n);
    const float r = (x - nf * ln2High) - nf * ln2Low;
    float p = 1.0f / 5040.0f;
    p = p * r + 1.0f / 720.0f;
    p = p * r + 1.0f / 120.0f;
    p = p * r + 1.0f / 24.0f;
    p = p * r + 1.0f / 6.0f;
    p = p * r + 0.5f;
    p = p * r + 1.0f;
    p = p * r + 1.0f;
    const float scale = std::bit_cast<float>(static_cast<std::uint32_t>(n + 127) << 23);
    return underflow ? 0.0f : p * scale;
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
    const float erfc = poly * expScalar(-a * a);
    const float phi = x >= 0.0f ? 1.0f - 0.5f * erfc : 0.5f * erfc;
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
    float sum = 0.0f;
#pragma omp simd reduction(+ : sum)
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = expScalar(x[i] - maximum);
        sum += x[i];
    }
    const float inverse = 1.0f / sum;
#pragma omp simd
    for (std::size_t i = 0; i < n; ++i) x[i] *= inverse;
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

__attribute__((target("avx2,fma,f16c"))) void gemvHalfAvx2(const Float16* w, std::size_t rowStride, const float* x,
                                                           const float* bias, float* y, std::size_t rowBegin,
                                                           std::size_t rowEnd, std::size_t columns) {
    const std::size_t vectorColumns = columns / 8 * 8;
    std::size_t r = rowBegin;
    for (; r + 4 <= rowEnd; r += 4) {
        const Float16* w0 = w + r * rowStride;
        const Float16* w1 = w0 + rowStride;
        const Float16* w2 = w1 + rowStride;
        const Float16* w3 = w2 + rowStride;
        __m256 a0 = _mm256_setzero_ps(), a1 = _mm256_setzero_ps(), a2 = _mm256_setzero_ps(), a3 = _mm256_setzero_ps();
        for (std::size_t c = 0; c < vectorColumns; c += 8) {
            const __m256 xv = _mm256_loadu_ps(x + c);
            a0 = _mm256_fmadd_ps(loadHalf8(w0 + c), xv, a0);
            a1 = _mm256_fmadd_ps(loadHalf8(w1 + c), xv, a1);
            a2 = _mm256_fmadd_ps(loadHalf8(w2 + c), xv, a2);
            a3 = _mm256_fmadd_ps(loadHalf8(w3 + c), xv, a3);
        }
        float s0 = horizontalSum(a0), s1 = horizontalSum(a1), s2 = horizontalSum(a2), s3 = horizontalSum(a3);
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
        for (std::size_t c = 0; c < vectorColumns; c += 8) a0 = _mm256_fmadd_ps(loadHalf8(w0 + c), _mm256_loadu_ps(x + c), a0);
        float s0 = horizontalSum(a0);
        for (std::size_t c = vectorColumns; c < columns; ++c) s0 += static_cast<float>(w0[c]) * x[c];
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
    // Row blocks of at least 32 rows keep each call large enough for the packed kernels.
    pool.parallelFor(m, 32, [&](std::size_t begin, std::size_t end) {
        const float* aBlock = transposeA ? a + begin : a + begin * lda;
        sgemm(transposeA, transposeB, end - begin, n, k, alpha, aBlock, lda, b, ldb, beta, c + begin * ldc, ldc);
    });
}

void useSingleThreadedBlas() {
    static std::once_flag once;
    std::call_once(once, [] { openblas_set_num_threads(1); });
}

}  // namespace platform::runtime::kernels
