#include "Platform/ML/Runtime/Kernels.h"

#include "Platform/ML/Runtime/ThreadPool.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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
    // Beyond these the result is 0 or infinity anyway; inside them nothing below overflows
    // (not a number stays one).
    x = std::min(std::max(x, -104.0f), 89.0f);
    const float log2e = 1.44269504088896341f;
    const float ln2High = 0.693359375f;
    const float ln2Low = -2.12194440e-4f;
    const float roundingShift = 12582912.0f;  // 1.5 · 2^23: adding it rounds to an integer
    const float shifted = x * log2e + roundingShift;
    const float nf = shifted - roundingShift;
    // Unsigned, so that not a number wraps instead of overflowing.
    const auto n =
        static_cast<std::int32_t>(std::bit_cast<std::uint32_t>(shifted) - std::bit_cast<std::uint32_t>(roundingShift));
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

__attribute__((target_clones("avx512f", "avx2", "default"))) void layerNorm(const float* x, float* y,
                                                                            const float* gamma, const float* beta,
                                                                            std::size_t n, float epsilon) {
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

// Stores a row's product: y = sum + bias, or y += sum + bias.
inline void storeRow(float* y, std::size_t r, float sum, const float* bias, bool accumulate) {
    if (bias) sum += bias[r];
    y[r] = accumulate ? y[r] + sum : sum;
}

void gemvHalfGeneric(const Float16* w, std::size_t rowStride, const float* x, const float* bias, float* y,
                     std::size_t rowBegin, std::size_t rowEnd, std::size_t columns, bool accumulate) {
    float row[256];
    for (std::size_t r = rowBegin; r < rowEnd; ++r) {
        float sum = 0.0f;
        for (std::size_t c0 = 0; c0 < columns; c0 += 256) {
            const std::size_t len = std::min<std::size_t>(256, columns - c0);
            convertFloat16ToFloat(w + r * rowStride + c0, row, len);
            for (std::size_t c = 0; c < len; ++c) sum += row[c] * x[c0 + c];
        }
        storeRow(y, r, sum, bias, accumulate);
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
// Each of four rows' next cache lines `streamDistance` bytes ahead (rows are contiguous, so
// this runs into the rows that follow): requested steadily as the rows are read, the memory
// keeps enough requests in flight.
constexpr std::size_t streamDistance = 8192;
inline void streamAhead(const Float16* w0, const Float16* w1, const Float16* w2, const Float16* w3) {
    for (const Float16* row : {w0, w1, w2, w3})
        _mm_prefetch(reinterpret_cast<const char*>(row) + streamDistance, _MM_HINT_T0);
}

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
                                                           std::size_t rowEnd, std::size_t columns, bool accumulate) {
    const std::size_t vectorColumns = columns / 16 * 16;
    std::size_t r = rowBegin;
    for (; r + 4 <= rowEnd; r += 4) {
        const Float16* w0 = w + r * rowStride;
        const Float16* w1 = w0 + rowStride;
        const Float16* w2 = w1 + rowStride;
        const Float16* w3 = w2 + rowStride;
        // Two accumulators per row shorten the dependency chains of the additions.
        __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0, b0 = a0, b1 = a0, b2 = a0, b3 = a0;
        for (std::size_t c = 0; c < vectorColumns; c += 16) {
            if (c % 32 == 0) streamAhead(w0 + c, w1 + c, w2 + c, w3 + c);
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
        storeRow(y, r, s0, bias, accumulate);
        storeRow(y, r + 1, s1, bias, accumulate);
        storeRow(y, r + 2, s2, bias, accumulate);
        storeRow(y, r + 3, s3, bias, accumulate);
    }
    for (; r < rowEnd; ++r) {
        const Float16* w0 = w + r * rowStride;
        __m256 a0 = _mm256_setzero_ps();
        const std::size_t eight = columns / 8 * 8;
        for (std::size_t c = 0; c < eight; c += 8) a0 = _mm256_fmadd_ps(loadHalf8(w0 + c), _mm256_loadu_ps(x + c), a0);
        float s0 = horizontalSum(a0);
        for (std::size_t c = eight; c < columns; ++c) s0 += static_cast<float>(w0[c]) * x[c];
        storeRow(y, r, s0, bias, accumulate);
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
                    static_cast<float>(w0[2 * rowStride + c]) * x[r + 2] +
                    static_cast<float>(w0[3 * rowStride + c]) * x[r + 3];
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

#define RUNTIME_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx2,fma,f16c")))

// Sixteen half-precision values widened, or the first `count` of them and zeros after.
// (The zero-masking forms compile to the plain conversion; the unmasked intrinsic trips a
// false uninitialised-value warning of the compiler.)
RUNTIME_AVX512 inline __m512 loadHalf16(const Float16* p) {
    return _mm512_maskz_cvtph_ps(static_cast<__mmask16>(0xFFFF),
                                 _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}
RUNTIME_AVX512 inline __m512 loadHalf16(const Float16* p, __mmask16 mask) {
    return _mm512_maskz_cvtph_ps(static_cast<__mmask16>(0xFFFF), _mm256_maskz_loadu_epi16(mask, p));
}

RUNTIME_AVX512 inline float horizontalSum(__m512 v) {
    const __m512d bits = _mm512_castps_pd(v);
    const __m256 low = _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(static_cast<__mmask8>(0xF), bits, 0));
    const __m256 high = _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(static_cast<__mmask8>(0xF), bits, 1));
    return horizontalSum(_mm256_add_ps(low, high));
}

RUNTIME_AVX512 void gemvHalfAvx512(const Float16* w, std::size_t rowStride, const float* x, const float* bias, float* y,
                                   std::size_t rowBegin, std::size_t rowEnd, std::size_t columns, bool accumulate) {
    const std::size_t pairs = columns / 32 * 32, sixteens = columns / 16 * 16;
    const __mmask16 tailMask = static_cast<__mmask16>((1u << (columns - sixteens)) - 1u);
    std::size_t r = rowBegin;
    for (; r + 4 <= rowEnd; r += 4) {
        const Float16* w0 = w + r * rowStride;
        const Float16* w1 = w0 + rowStride;
        const Float16* w2 = w1 + rowStride;
        const Float16* w3 = w2 + rowStride;
        __m512 a0 = _mm512_setzero_ps(), a1 = a0, a2 = a0, a3 = a0, b0 = a0, b1 = a0, b2 = a0, b3 = a0;
        std::size_t c = 0;
        for (; c < pairs; c += 32) {
            streamAhead(w0 + c, w1 + c, w2 + c, w3 + c);
            const __m512 x0 = _mm512_loadu_ps(x + c), x1 = _mm512_loadu_ps(x + c + 16);
            a0 = _mm512_fmadd_ps(loadHalf16(w0 + c), x0, a0);
            b0 = _mm512_fmadd_ps(loadHalf16(w0 + c + 16), x1, b0);
            a1 = _mm512_fmadd_ps(loadHalf16(w1 + c), x0, a1);
            b1 = _mm512_fmadd_ps(loadHalf16(w1 + c + 16), x1, b1);
            a2 = _mm512_fmadd_ps(loadHalf16(w2 + c), x0, a2);
            b2 = _mm512_fmadd_ps(loadHalf16(w2 + c + 16), x1, b2);
            a3 = _mm512_fmadd_ps(loadHalf16(w3 + c), x0, a3);
            b3 = _mm512_fmadd_ps(loadHalf16(w3 + c + 16), x1, b3);
        }
        if (c < sixteens) {
            const __m512 x0 = _mm512_loadu_ps(x + c);
            a0 = _mm512_fmadd_ps(loadHalf16(w0 + c), x0, a0);
            a1 = _mm512_fmadd_ps(loadHalf16(w1 + c), x0, a1);
            a2 = _mm512_fmadd_ps(loadHalf16(w2 + c), x0, a2);
            a3 = _mm512_fmadd_ps(loadHalf16(w3 + c), x0, a3);
            c += 16;
        }
        if (c < columns) {
            const __m512 x0 = _mm512_maskz_loadu_ps(tailMask, x + c);
            b0 = _mm512_fmadd_ps(loadHalf16(w0 + c, tailMask), x0, b0);
            b1 = _mm512_fmadd_ps(loadHalf16(w1 + c, tailMask), x0, b1);
            b2 = _mm512_fmadd_ps(loadHalf16(w2 + c, tailMask), x0, b2);
            b3 = _mm512_fmadd_ps(loadHalf16(w3 + c, tailMask), x0, b3);
        }
        storeRow(y, r, horizontalSum(_mm512_add_ps(a0, b0)), bias, accumulate);
        storeRow(y, r + 1, horizontalSum(_mm512_add_ps(a1, b1)), bias, accumulate);
        storeRow(y, r + 2, horizontalSum(_mm512_add_ps(a2, b2)), bias, accumulate);
        storeRow(y, r + 3, horizontalSum(_mm512_add_ps(a3, b3)), bias, accumulate);
    }
    for (; r < rowEnd; ++r) {
        const Float16* w0 = w + r * rowStride;
        __m512 a0 = _mm512_setzero_ps();
        std::size_t c = 0;
        for (; c < sixteens; c += 16) a0 = _mm512_fmadd_ps(loadHalf16(w0 + c), _mm512_loadu_ps(x + c), a0);
        if (c < columns) a0 = _mm512_fmadd_ps(loadHalf16(w0 + c, tailMask), _mm512_maskz_loadu_ps(tailMask, x + c), a0);
        storeRow(y, r, horizontalSum(a0), bias, accumulate);
    }
}

RUNTIME_AVX512 void gemvHalfTransposedAvx512(const Float16* w, std::size_t rowStride, const float* x, float* y,
                                             std::size_t rows, std::size_t columns) {
    // Up to 64 columns at a time, held in four registers over all rows.
    auto maskFor = [&](std::size_t c) -> __mmask16 {
        if (c >= columns) return 0;
        return columns - c >= 16 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1u << (columns - c)) - 1u);
    };
    for (std::size_t c = 0; c < columns; c += 64) {
        const __mmask16 m0 = maskFor(c), m1 = maskFor(c + 16), m2 = maskFor(c + 32), m3 = maskFor(c + 48);
        __m512 a0 = _mm512_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
        const Float16* row = w + c;
        if (m3 == 0xFFFF) {
            for (std::size_t r = 0; r < rows; ++r, row += rowStride) {
                const __m512 xr = _mm512_set1_ps(x[r]);
                a0 = _mm512_fmadd_ps(loadHalf16(row), xr, a0);
                a1 = _mm512_fmadd_ps(loadHalf16(row + 16), xr, a1);
                a2 = _mm512_fmadd_ps(loadHalf16(row + 32), xr, a2);
                a3 = _mm512_fmadd_ps(loadHalf16(row + 48), xr, a3);
            }
        } else {
            for (std::size_t r = 0; r < rows; ++r, row += rowStride) {
                const __m512 xr = _mm512_set1_ps(x[r]);
                a0 = _mm512_fmadd_ps(loadHalf16(row, m0), xr, a0);
                if (m1) a1 = _mm512_fmadd_ps(loadHalf16(row + 16, m1), xr, a1);
                if (m2) a2 = _mm512_fmadd_ps(loadHalf16(row + 32, m2), xr, a2);
                if (m3) a3 = _mm512_fmadd_ps(loadHalf16(row + 48, m3), xr, a3);
            }
        }
        _mm512_mask_storeu_ps(y + c, m0, a0);
        _mm512_mask_storeu_ps(y + c + 16, m1, a1);
        _mm512_mask_storeu_ps(y + c + 32, m2, a2);
        _mm512_mask_storeu_ps(y + c + 48, m3, a3);
    }
}
#endif

InstructionSet detectInstructionSet() {
#ifdef RUNTIME_X86
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("f16c");
    const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                        __builtin_cpu_supports("avx512vl");
    return avx512 ? InstructionSet::avx512 : avx2 ? InstructionSet::avx2 : InstructionSet::generic;
#else
    return InstructionSet::generic;
#endif
}

InstructionSet initialInstructionSet() {
    InstructionSet set = detectInstructionSet();
    if (const char* limit = std::getenv("MURMEX_KERNELS")) {
        for (InstructionSet candidate : {InstructionSet::generic, InstructionSet::avx2, InstructionSet::avx512})
            if (std::strcmp(limit, instructionSetName(candidate)) == 0) set = std::min(set, candidate);
    }
    return set;
}

std::atomic<InstructionSet>& active() {
    static std::atomic<InstructionSet> set{initialInstructionSet()};
    return set;
}

}  // namespace

const char* instructionSetName(InstructionSet set) {
    switch (set) {
        case InstructionSet::generic: return "generic";
        case InstructionSet::avx2: return "avx2";
        case InstructionSet::avx512: return "avx512";
    }
    return "generic";
}

InstructionSet bestInstructionSet() {
    static const InstructionSet best = detectInstructionSet();
    return best;
}

InstructionSet activeInstructionSet() { return active().load(std::memory_order_relaxed); }

InstructionSet useInstructionSet(InstructionSet set) {
    const InstructionSet used = std::min(set, bestInstructionSet());
    active().store(used, std::memory_order_relaxed);
    return used;
}

void gemvHalf(const Float16* w, std::size_t rowStride, const float* x, const float* bias, float* y,
              std::size_t rowBegin, std::size_t rowEnd, std::size_t columns, bool accumulate) {
#ifdef RUNTIME_X86
    switch (activeInstructionSet()) {
        case InstructionSet::avx512:
            return gemvHalfAvx512(w, rowStride, x, bias, y, rowBegin, rowEnd, columns, accumulate);
        case InstructionSet::avx2: return gemvHalfAvx2(w, rowStride, x, bias, y, rowBegin, rowEnd, columns, accumulate);
        case InstructionSet::generic: break;
    }
#endif
    gemvHalfGeneric(w, rowStride, x, bias, y, rowBegin, rowEnd, columns, accumulate);
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
    switch (activeInstructionSet()) {
        case InstructionSet::avx512: return gemvHalfTransposedAvx512(w, rowStride, x, y, rows, columns);
        case InstructionSet::avx2: return gemvHalfTransposedAvx2(w, rowStride, x, y, rows, columns);
        case InstructionSet::generic: break;
    }
#endif
    gemvHalfTransposedGeneric(w, rowStride, x, y, rows, columns);
}

}  // namespace platform::runtime::kernels
