#include "Platform/ML/Runtime/BlockwiseGemm.h"

#include "Platform/ML/Runtime/Kernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#define GEMM_X86 1
#endif

namespace platform::runtime::kernels::gemm {

namespace {

// The packed matrix, panel after panel: the codes of each pair of columns k, k+1 as 32 rows ×
// 2 signed 16-bit integers (row n's two codes side by side), pair after pair; then the
// scales, for each panel and block the 32 rows' scales in single precision.
std::size_t codeShorts(const BlockwiseLayout& layout) {
    return static_cast<std::size_t>(layout.rows) * static_cast<std::size_t>(layout.cols);
}

std::size_t scalesOffset(const BlockwiseLayout& layout) { return (codeShorts(layout) * 2 + 63) / 64 * 64; }

#ifdef GEMM_X86
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#define GEMM_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vnni,avx2,fma,f16c")))

// acc += Σ of pairs of 16-bit products (vpdpwssd), written so that the compiler accumulates
// in place rather than copying every accumulator each time (its form of the intrinsic does).
GEMM_AVX512 inline void dotAccumulate(__m512i& acc, __m512i a, __m512i b) {
    asm("vpdpwssd %2, %1, %0" : "+v"(acc) : "v"(a), "v"(b));
}

// Rows [m, m + Rows) of C over one panel: 32 columns in two registers per row, integer sums
// per block, scaled into single-precision sums at each block's end.
template <int Rows>
GEMM_AVX512 void tile(const std::int16_t* x16, std::size_t k, const float* steps, const std::int16_t* codes,
                      const float* scales, std::size_t blocks, std::size_t pairsPerBlock, float* c, std::size_t ldc,
                      bool accumulate) {
    __m512 sum[Rows][2];
    for (int i = 0; i < Rows; ++i) sum[i][0] = sum[i][1] = _mm512_setzero_ps();
    const std::int16_t* w = codes;
    std::size_t pair = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        __m512i acc[Rows][2];
        for (int i = 0; i < Rows; ++i) acc[i][0] = acc[i][1] = _mm512_setzero_si512();
        for (std::size_t p = 0; p < pairsPerBlock; ++p, ++pair, w += 64) {
            const __m512i w0 = _mm512_load_si512(w), w1 = _mm512_load_si512(w + 32);
            for (int i = 0; i < Rows; ++i) {
                std::int32_t two;
                std::memcpy(&two, x16 + static_cast<std::size_t>(i) * k + 2 * pair, sizeof two);
                const __m512i xv = _mm512_set1_epi32(two);
                dotAccumulate(acc[i][0], xv, w0);
                dotAccumulate(acc[i][1], xv, w1);
            }
        }
        const __m512 s0 = _mm512_load_ps(scales + b * 32), s1 = _mm512_load_ps(scales + b * 32 + 16);
        for (int i = 0; i < Rows; ++i) {
            sum[i][0] = _mm512_fmadd_ps(_mm512_cvtepi32_ps(acc[i][0]), s0, sum[i][0]);
            sum[i][1] = _mm512_fmadd_ps(_mm512_cvtepi32_ps(acc[i][1]), s1, sum[i][1]);
        }
    }
    for (int i = 0; i < Rows; ++i) {
        const __m512 step = _mm512_set1_ps(steps[i]);
        float* out = c + static_cast<std::size_t>(i) * ldc;
        __m512 r0 = _mm512_mul_ps(sum[i][0], step), r1 = _mm512_mul_ps(sum[i][1], step);
        if (accumulate) {
            r0 = _mm512_add_ps(r0, _mm512_loadu_ps(out));
            r1 = _mm512_add_ps(r1, _mm512_loadu_ps(out + 16));
        }
        _mm512_storeu_ps(out, r0);
        _mm512_storeu_ps(out + 16, r1);
    }
}

GEMM_AVX512 void multiplyAvx512(const std::int16_t* x16, const float* steps, std::size_t rowBegin, std::size_t rowEnd,
                                const BlockwiseLayout& layout, const void* packed, std::size_t panelBegin,
                                std::size_t panelEnd, float* c, std::size_t ldc, bool accumulate) {
    const std::size_t k = static_cast<std::size_t>(layout.cols);
    const std::size_t blocks = static_cast<std::size_t>(layout.blocksPerRow());
    const std::size_t pairsPerBlock = static_cast<std::size_t>(layout.block) / 2;
    const auto* codes = static_cast<const std::int16_t*>(packed);
    const auto* scales =
        reinterpret_cast<const float*>(static_cast<const std::uint8_t*>(packed) + scalesOffset(layout));
    for (std::size_t panel = panelBegin; panel < panelEnd; ++panel) {
        const std::int16_t* panelCodes = codes + panel * panelRows * k;
        const float* panelScales = scales + panel * blocks * panelRows;
        float* cPanel = c + panel * panelRows;
        std::size_t m = rowBegin;
        for (; m + 6 <= rowEnd; m += 6)
            tile<6>(x16 + m * k, k, steps + m, panelCodes, panelScales, blocks, pairsPerBlock, cPanel + m * ldc, ldc,
                    accumulate);
        for (; m < rowEnd; ++m)
            tile<1>(x16 + m * k, k, steps + m, panelCodes, panelScales, blocks, pairsPerBlock, cPanel + m * ldc, ldc,
                    accumulate);
    }
}

GEMM_AVX512 void quantizeRowsAvx512(const float* x, std::size_t stride, std::size_t columns, std::size_t rowBegin,
                                    std::size_t rowEnd, std::int16_t* out, float* steps) {
    for (std::size_t r = rowBegin; r < rowEnd; ++r) {
        const float* row = x + r * stride;
        std::int16_t* q = out + r * columns;
        auto maskAt = [&](std::size_t c) {
            return columns - c >= 16 ? static_cast<__mmask16>(0xFFFF)
                                     : static_cast<__mmask16>((1u << (columns - c)) - 1u);
        };
        __m512 largest = _mm512_setzero_ps();
        for (std::size_t c = 0; c < columns; c += 16)
            largest = _mm512_max_ps(largest, _mm512_abs_ps(_mm512_maskz_loadu_ps(maskAt(c), row + c)));
        const float maximum = _mm512_reduce_max_ps(largest);
        if (!(maximum > 0.0f)) {
            std::fill(q, q + columns, std::int16_t{0});
            steps[r] = 0.0f;
            continue;
        }
        const __m512 factor = _mm512_set1_ps(32767.0f / maximum);
        for (std::size_t c = 0; c < columns; c += 16) {
            const __mmask16 m = maskAt(c);
            const __m512i v = _mm512_cvtps_epi32(_mm512_mul_ps(_mm512_maskz_loadu_ps(m, row + c), factor));
            _mm256_mask_storeu_epi16(q + c, m, _mm512_cvtsepi32_epi16(v));
        }
        steps[r] = maximum / 32767.0f;
    }
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

bool hasIntegerDotProducts() {
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512vnni") != 0;
    }();
    return available;
}
#endif

}  // namespace

bool available(const BlockwiseLayout& layout) {
#ifdef GEMM_X86
    return activeInstructionSet() == InstructionSet::avx512 && hasIntegerDotProducts() &&
           layout.rows % static_cast<std::int64_t>(panelRows) == 0;
#else
    (void)layout;
    return false;
#endif
}

std::size_t packedBytes(const BlockwiseLayout& layout) {
    return scalesOffset(layout) +
           static_cast<std::size_t>(layout.rows) * static_cast<std::size_t>(layout.blocksPerRow()) * sizeof(float);
}

void pack(const BlockwiseMatrix& w, std::size_t panelBegin, std::size_t panelEnd, void* packed) {
    const BlockwiseLayout& layout = w.layout;
    const std::size_t k = static_cast<std::size_t>(layout.cols),
                      blocks = static_cast<std::size_t>(layout.blocksPerRow());
    auto* codes = static_cast<std::int16_t*>(packed);
    auto* scales = reinterpret_cast<float*>(static_cast<std::uint8_t*>(packed) + scalesOffset(layout));
    std::vector<std::int16_t> row(k);
    for (std::size_t panel = panelBegin; panel < panelEnd; ++panel) {
        std::int16_t* panelCodes = codes + panel * panelRows * k;
        float* panelScales = scales + panel * blocks * panelRows;
        for (std::size_t j = 0; j < panelRows; ++j) {
            const std::size_t n = panel * panelRows + j;
            unpackRow16(layout, w.rowCodes(n), row.data());
            // Each pair of codes goes to its place among the panel's 32 rows.
            std::int16_t* out = panelCodes + 2 * j;
            for (std::size_t pair = 0; pair < k / 2; ++pair)
                std::memcpy(out + pair * 2 * panelRows, row.data() + 2 * pair, 2 * sizeof(std::int16_t));
            const Float16* rowScales = w.rowScales(n);
            for (std::size_t b = 0; b < blocks; ++b) panelScales[b * panelRows + j] = rowScales[b].floatValue();
        }
    }
}

void quantizeRows(const float* x, std::size_t stride, std::size_t columns, std::size_t rowBegin, std::size_t rowEnd,
                  std::int16_t* out, float* steps) {
#ifdef GEMM_X86
    quantizeRowsAvx512(x, stride, columns, rowBegin, rowEnd, out, steps);
#else
    (void)x, (void)stride, (void)columns, (void)rowBegin, (void)rowEnd, (void)out, (void)steps;
#endif
}

void multiply(const std::int16_t* x16, const float* steps, std::size_t rowBegin, std::size_t rowEnd,
              const BlockwiseLayout& layout, const void* packed, std::size_t panelBegin, std::size_t panelEnd, float* c,
              std::size_t ldc, bool accumulate) {
#ifdef GEMM_X86
    multiplyAvx512(x16, steps, rowBegin, rowEnd, layout, packed, panelBegin, panelEnd, c, ldc, accumulate);
#else
    (void)x16, (void)steps, (void)rowBegin, (void)rowEnd, (void)layout, (void)packed, (void)panelBegin, (void)panelEnd,
        (void)c, (void)ldc, (void)accumulate;
#endif
}

}  // namespace platform::runtime::kernels::gemm
