#include "Platform/ML/Runtime/CrossStateKernels.h"

#include "Platform/ML/Runtime/Kernels.h"

#include <algorithm>
#include <cmath>

#if defined(__x86_64__)
#include <immintrin.h>
#define CROSS_STATE_X86 1
#endif

namespace platform::runtime::kernels {

namespace {

// One row's scale, and its codes through `code(index, value)`.
template <class Code>
inline float quantizeRow(const float* row, std::size_t width, Code&& code) {
    float largest = 0.0f;
    for (std::size_t c = 0; c < width; ++c) largest = std::max(largest, std::fabs(row[c]));
    if (!(largest > 0.0f) || !std::isfinite(largest)) {
        for (std::size_t c = 0; c < width; ++c) code(c, std::int8_t{0});
        return 0.0f;
    }
    const float inverse = 127.0f / largest;
    for (std::size_t c = 0; c < width; ++c) {
        const float scaled = std::min(127.0f, std::max(-127.0f, std::nearbyint(row[c] * inverse)));
        code(c, static_cast<std::int8_t>(scaled));
    }
    return largest / 127.0f;
}

inline void quantizeKeysGeneric(const float* rows, std::size_t frames, std::size_t width, std::size_t stride,
                                std::int8_t* codes, float* scales) {
    const std::size_t padded = paddedKeyFrames(frames);
    for (std::size_t t = 0; t < padded; ++t) {
        std::int8_t* block = codes + (t / keyFrameBlock) * keyFrameBlock * width;
        const std::size_t lane = t % keyFrameBlock;
        if (t >= frames) {
            for (std::size_t c = 0; c < width; ++c) block[c * keyFrameBlock + lane] = 0;
            scales[t] = 0.0f;
            continue;
        }
        scales[t] = quantizeRow(rows + t * stride, width,
                                [&](std::size_t c, std::int8_t q) { block[c * keyFrameBlock + lane] = q; });
    }
}

inline void quantizeValuesGeneric(const float* rows, std::size_t frames, std::size_t width, std::size_t stride,
                                  std::int8_t* codes, float* scales) {
    for (std::size_t t = 0; t < frames; ++t) {
        std::int8_t* out = codes + t * width;
        scales[t] = quantizeRow(rows + t * stride, width, [&](std::size_t c, std::int8_t q) { out[c] = q; });
    }
}

inline void keyScoresGeneric(const std::int8_t* codes, const float* scales, std::size_t width, const float* q,
                             float factor, float* scores, std::size_t first, std::size_t last) {
    for (std::size_t b = first / keyFrameBlock; b * keyFrameBlock < last; ++b) {
        const std::int8_t* block = codes + b * keyFrameBlock * width;
        float sums[keyFrameBlock] = {};
        for (std::size_t c = 0; c < width; ++c)
            for (std::size_t j = 0; j < keyFrameBlock; ++j)
                sums[j] += q[c] * static_cast<float>(block[c * keyFrameBlock + j]);
        const std::size_t begin = b * keyFrameBlock, end = std::min(last, begin + keyFrameBlock);
        for (std::size_t t = begin; t < end; ++t) scores[t] = factor * scales[t] * sums[t - begin];
    }
}

inline void weightedValuesGeneric(const std::int8_t* codes, const float* scales, std::size_t width,
                                  const float* weights, std::size_t frames, float* out) {
    std::fill(out, out + width, 0.0f);
    for (std::size_t t = 0; t < frames; ++t) {
        const float w = weights[t] * scales[t];
        const std::int8_t* row = codes + t * width;
        for (std::size_t c = 0; c < width; ++c) out[c] += w * static_cast<float>(row[c]);
    }
}

#ifdef CROSS_STATE_X86

#define CROSS_STATE_AVX2 __attribute__((target("avx2,fma,f16c")))
#define CROSS_STATE_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx2,fma,f16c")))

// The quantization loops, compiled for each instruction set (they run once per encoder
// output, over every layer's keys and values).
CROSS_STATE_AVX2 void quantizeKeysAvx2(const float* rows, std::size_t frames, std::size_t width, std::size_t stride,
                                       std::int8_t* codes, float* scales) {
    quantizeKeysGeneric(rows, frames, width, stride, codes, scales);
}
CROSS_STATE_AVX2 void quantizeValuesAvx2(const float* rows, std::size_t frames, std::size_t width, std::size_t stride,
                                         std::int8_t* codes, float* scales) {
    quantizeValuesGeneric(rows, frames, width, stride, codes, scales);
}

CROSS_STATE_AVX2 inline __m256 codes8(const std::int8_t* p) {
    return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}

CROSS_STATE_AVX2 void keyScoresAvx2(const std::int8_t* codes, const float* scales, std::size_t width, const float* q,
                                    float factor, float* scores, std::size_t first, std::size_t last) {
    const __m256 f = _mm256_set1_ps(factor);
    for (std::size_t b = first / keyFrameBlock; b * keyFrameBlock < last; ++b) {
        const std::int8_t* block = codes + b * keyFrameBlock * width;
        __m256 low0 = _mm256_setzero_ps(), high0 = low0, low1 = low0, high1 = low0;
        std::size_t c = 0;
        for (; c + 2 <= width; c += 2) {
            const __m256 q0 = _mm256_set1_ps(q[c]), q1 = _mm256_set1_ps(q[c + 1]);
            low0 = _mm256_fmadd_ps(codes8(block + c * keyFrameBlock), q0, low0);
            high0 = _mm256_fmadd_ps(codes8(block + c * keyFrameBlock + 8), q0, high0);
            low1 = _mm256_fmadd_ps(codes8(block + (c + 1) * keyFrameBlock), q1, low1);
            high1 = _mm256_fmadd_ps(codes8(block + (c + 1) * keyFrameBlock + 8), q1, high1);
        }
        for (; c < width; ++c) {
            const __m256 q0 = _mm256_set1_ps(q[c]);
            low0 = _mm256_fmadd_ps(codes8(block + c * keyFrameBlock), q0, low0);
            high0 = _mm256_fmadd_ps(codes8(block + c * keyFrameBlock + 8), q0, high0);
        }
        const std::size_t begin = b * keyFrameBlock;
        alignas(32) float sums[keyFrameBlock];
        _mm256_store_ps(sums,
                        _mm256_mul_ps(_mm256_mul_ps(_mm256_add_ps(low0, low1), f), _mm256_loadu_ps(scales + begin)));
        _mm256_store_ps(sums + 8, _mm256_mul_ps(_mm256_mul_ps(_mm256_add_ps(high0, high1), f),
                                                _mm256_loadu_ps(scales + begin + 8)));
        const std::size_t end = std::min(last, begin + keyFrameBlock);
        for (std::size_t t = begin; t < end; ++t) scores[t] = sums[t - begin];
    }
}

CROSS_STATE_AVX2 void weightedValuesAvx2(const std::int8_t* codes, const float* scales, std::size_t width,
                                         const float* weights, std::size_t frames, float* out) {
    // Thirty-two channels at a time, held in four registers over all frames.
    for (std::size_t c0 = 0; c0 < width; c0 += 32) {
        __m256 acc[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
        const std::size_t parts = std::min<std::size_t>(4, (width - c0) / 8);
        for (std::size_t t = 0; t < frames; ++t) {
            const __m256 w = _mm256_set1_ps(weights[t] * scales[t]);
            const std::int8_t* row = codes + t * width + c0;
            for (std::size_t k = 0; k < parts; ++k) acc[k] = _mm256_fmadd_ps(codes8(row + 8 * k), w, acc[k]);
        }
        for (std::size_t k = 0; k < parts; ++k) _mm256_storeu_ps(out + c0 + 8 * k, acc[k]);
    }
}

// The AVX-512 intrinsics start from "undefined" registers, which this compiler reports as
// possibly uninitialised values once inlined; none is read.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

CROSS_STATE_AVX512 void quantizeKeysAvx512(const float* rows, std::size_t frames, std::size_t width, std::size_t stride,
                                           std::int8_t* codes, float* scales) {
    quantizeKeysGeneric(rows, frames, width, stride, codes, scales);
}
CROSS_STATE_AVX512 void quantizeValuesAvx512(const float* rows, std::size_t frames, std::size_t width,
                                             std::size_t stride, std::int8_t* codes, float* scales) {
    quantizeValuesGeneric(rows, frames, width, stride, codes, scales);
}

CROSS_STATE_AVX512 inline __m512 codes16(const std::int8_t* p) {
    return _mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
}

CROSS_STATE_AVX512 void keyScoresAvx512(const std::int8_t* codes, const float* scales, std::size_t width,
                                        const float* q, float factor, float* scores, std::size_t first,
                                        std::size_t last) {
    const __m512 f = _mm512_set1_ps(factor);
    for (std::size_t b = first / keyFrameBlock; b * keyFrameBlock < last; ++b) {
        const std::int8_t* block = codes + b * keyFrameBlock * width;
        // Four sums over alternate channels, so that the multiply-adds do not wait on each other.
        __m512 a0 = _mm512_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
        std::size_t c = 0;
        for (; c + 4 <= width; c += 4) {
            a0 = _mm512_fmadd_ps(codes16(block + c * keyFrameBlock), _mm512_set1_ps(q[c]), a0);
            a1 = _mm512_fmadd_ps(codes16(block + (c + 1) * keyFrameBlock), _mm512_set1_ps(q[c + 1]), a1);
            a2 = _mm512_fmadd_ps(codes16(block + (c + 2) * keyFrameBlock), _mm512_set1_ps(q[c + 2]), a2);
            a3 = _mm512_fmadd_ps(codes16(block + (c + 3) * keyFrameBlock), _mm512_set1_ps(q[c + 3]), a3);
        }
        for (; c < width; ++c) a0 = _mm512_fmadd_ps(codes16(block + c * keyFrameBlock), _mm512_set1_ps(q[c]), a0);
        const std::size_t begin = b * keyFrameBlock;
        const __m512 sums = _mm512_mul_ps(_mm512_mul_ps(_mm512_add_ps(_mm512_add_ps(a0, a1), _mm512_add_ps(a2, a3)), f),
                                          _mm512_loadu_ps(scales + begin));
        const std::size_t count = std::min(last, begin + keyFrameBlock) - begin;
        _mm512_mask_storeu_ps(scores + begin, static_cast<__mmask16>((1u << count) - 1u), sums);
    }
}

CROSS_STATE_AVX512 void weightedValuesAvx512(const std::int8_t* codes, const float* scales, std::size_t width,
                                             const float* weights, std::size_t frames, float* out) {
    // Sixty-four channels at a time, held in four registers over all frames.
    for (std::size_t c0 = 0; c0 < width; c0 += 64) {
        __m512 a0 = _mm512_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
        const std::int8_t* row = codes + c0;
        if (width - c0 >= 64) {
            for (std::size_t t = 0; t < frames; ++t, row += width) {
                const __m512 w = _mm512_set1_ps(weights[t] * scales[t]);
                a0 = _mm512_fmadd_ps(codes16(row), w, a0);
                a1 = _mm512_fmadd_ps(codes16(row + 16), w, a1);
                a2 = _mm512_fmadd_ps(codes16(row + 32), w, a2);
                a3 = _mm512_fmadd_ps(codes16(row + 48), w, a3);
            }
            _mm512_storeu_ps(out + c0, a0);
            _mm512_storeu_ps(out + c0 + 16, a1);
            _mm512_storeu_ps(out + c0 + 32, a2);
            _mm512_storeu_ps(out + c0 + 48, a3);
        } else {
            for (std::size_t t = 0; t < frames; ++t, row += width) {
                const __m512 w = _mm512_set1_ps(weights[t] * scales[t]);
                a0 = _mm512_fmadd_ps(codes16(row), w, a0);
                if (width - c0 > 16) a1 = _mm512_fmadd_ps(codes16(row + 16), w, a1);
                if (width - c0 > 32) a2 = _mm512_fmadd_ps(codes16(row + 32), w, a2);
            }
            _mm512_storeu_ps(out + c0, a0);
            if (width - c0 > 16) _mm512_storeu_ps(out + c0 + 16, a1);
            if (width - c0 > 32) _mm512_storeu_ps(out + c0 + 32, a2);
        }
    }
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif

// The vector paths need channels in whole vectors (every model's heads are 64 wide).
bool vectorWidth(std::size_t width, std::size_t lanes) { return width % lanes == 0; }

}  // namespace

void quantizeKeys(const float* rows, std::size_t frames, std::size_t width, std::size_t stride, std::int8_t* codes,
                  float* scales) {
#ifdef CROSS_STATE_X86
    switch (activeInstructionSet()) {
        case InstructionSet::avx512: return quantizeKeysAvx512(rows, frames, width, stride, codes, scales);
        case InstructionSet::avx2: return quantizeKeysAvx2(rows, frames, width, stride, codes, scales);
        case InstructionSet::generic: break;
    }
#endif
    quantizeKeysGeneric(rows, frames, width, stride, codes, scales);
}

void quantizeValues(const float* rows, std::size_t frames, std::size_t width, std::size_t stride, std::int8_t* codes,
                    float* scales) {
#ifdef CROSS_STATE_X86
    switch (activeInstructionSet()) {
        case InstructionSet::avx512: return quantizeValuesAvx512(rows, frames, width, stride, codes, scales);
        case InstructionSet::avx2: return quantizeValuesAvx2(rows, frames, width, stride, codes, scales);
        case InstructionSet::generic: break;
    }
#endif
    quantizeValuesGeneric(rows, frames, width, stride, codes, scales);
}

void keyScores(const std::int8_t* codes, const float* scales, std::size_t width, const float* q, float factor,
               float* scores, std::size_t first, std::size_t last) {
    if (first >= last) return;
#ifdef CROSS_STATE_X86
    switch (activeInstructionSet()) {
        case InstructionSet::avx512: return keyScoresAvx512(codes, scales, width, q, factor, scores, first, last);
        case InstructionSet::avx2: return keyScoresAvx2(codes, scales, width, q, factor, scores, first, last);
        case InstructionSet::generic: break;
    }
#endif
    keyScoresGeneric(codes, scales, width, q, factor, scores, first, last);
}

void weightedValues(const std::int8_t* codes, const float* scales, std::size_t width, const float* weights,
                    std::size_t frames, float* out) {
#ifdef CROSS_STATE_X86
    switch (activeInstructionSet()) {
        case InstructionSet::avx512:
            if (vectorWidth(width, 16)) return weightedValuesAvx512(codes, scales, width, weights, frames, out);
            break;
        case InstructionSet::avx2:
            if (vectorWidth(width, 8)) return weightedValuesAvx2(codes, scales, width, weights, frames, out);
            break;
        case InstructionSet::generic: break;
    }
#endif
    weightedValuesGeneric(codes, scales, width, weights, frames, out);
}

}  // namespace platform::runtime::kernels
