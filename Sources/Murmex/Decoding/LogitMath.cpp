#include "Murmex/Decoding/LogitMath.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MURMEX_LOGITS_X86 1
#endif

namespace murmex::logitmath {

namespace {

// Cody–Waite range reduction and a degree-6 polynomial; the same operations in the scalar
// and the vector forms, so that both give the same value for each element.
constexpr float expLowest = -87.0f;
constexpr float expHighest = 88.0f;
constexpr float log2e = 1.44269504088896341f;
constexpr float roundingMagic = 12582912.0f;  // 1.5 × 2^23
constexpr float ln2High = 0.693359375f;
constexpr float ln2Low = -2.12194440e-4f;
constexpr float p0 = 1.9875691500e-4f;
constexpr float p1 = 1.3981999507e-3f;
constexpr float p2 = 8.3334519073e-3f;
constexpr float p3 = 4.1665795894e-2f;
constexpr float p4 = 1.6666665459e-1f;
constexpr float p5 = 5.0000001201e-1f;

float scalarExp(float x) {
    if (!(x >= expLowest)) return 0.0f;  // NaN too
    x = x > expHighest ? expHighest : x;
    const float t = x * log2e + roundingMagic;
    const float n = t - roundingMagic;
    std::int32_t bits = 0;
    std::memcpy(&bits, &t, sizeof bits);
    const std::int32_t exponent = bits - 0x4B400000;
    const float r = (x - n * ln2High) - n * ln2Low;
    float p = p0;
    p = p * r + p1;
    p = p * r + p2;
    p = p * r + p3;
    p = p * r + p4;
    p = p * r + p5;
    p = (p * (r * r) + r) + 1.0f;
    const std::int32_t scaleBits = (exponent + 127) << 23;
    float scale = 0;
    std::memcpy(&scale, &scaleBits, sizeof scale);
    return p * scale;
}

std::atomic<bool> vectorEnabled{true};

#ifdef MURMEX_LOGITS_X86
bool cpuHasVectorKernels() {
    static const bool available = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c");
    return available;
}

__attribute__((target("avx2,f16c"))) inline __m256 loadHalves(const platform::Float16* data) {
    return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data)));
}

__attribute__((target("avx2,f16c"))) inline __m256 vectorExp(__m256 x) {
    const __m256 keep = _mm256_cmp_ps(x, _mm256_set1_ps(expLowest), _CMP_GE_OQ);
    x = _mm256_min_ps(_mm256_max_ps(x, _mm256_set1_ps(expLowest)), _mm256_set1_ps(expHighest));
    const __m256 magic = _mm256_set1_ps(roundingMagic);
    const __m256 t = _mm256_add_ps(_mm256_mul_ps(x, _mm256_set1_ps(log2e)), magic);
    const __m256 n = _mm256_sub_ps(t, magic);
    const __m256i exponent = _mm256_sub_epi32(_mm256_castps_si256(t), _mm256_set1_epi32(0x4B400000));
    const __m256 r = _mm256_sub_ps(_mm256_sub_ps(x, _mm256_mul_ps(n, _mm256_set1_ps(ln2High))),
                                   _mm256_mul_ps(n, _mm256_set1_ps(ln2Low)));
    __m256 p = _mm256_set1_ps(p0);
    p = _mm256_add_ps(_mm256_mul_ps(p, r), _mm256_set1_ps(p1));
    p = _mm256_add_ps(_mm256_mul_ps(p, r), _mm256_set1_ps(p2));
    p = _mm256_add_ps(_mm256_mul_ps(p, r), _mm256_set1_ps(p3));
    p = _mm256_add_ps(_mm256_mul_ps(p, r), _mm256_set1_ps(p4));
    p = _mm256_add_ps(_mm256_mul_ps(p, r), _mm256_set1_ps(p5));
    p = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(p, _mm256_mul_ps(r, r)), r), _mm256_set1_ps(1.0f));
    const __m256 scale = _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_add_epi32(exponent, _mm256_set1_epi32(127)), 23));
    return _mm256_and_ps(_mm256_mul_ps(p, scale), keep);
}

// The largest number of each lane; NaN lanes never win.
__attribute__((target("avx2,f16c"))) float vectorMax(const platform::Float16* data, int begin, int end, float divisor) {
    const __m256 scale = _mm256_set1_ps(divisor);
    __m256 best = _mm256_set1_ps(-std::numeric_limits<float>::infinity());
    int i = begin;
    for (; i + 8 <= end; i += 8) {
        __m256 v = _mm256_div_ps(loadHalves(data + i), scale);
        const __m256 ordered = _mm256_cmp_ps(v, v, _CMP_ORD_Q);
        v = _mm256_blendv_ps(best, v, ordered);
        best = _mm256_max_ps(best, v);
    }
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, best);
    float largest = -std::numeric_limits<float>::infinity();
    for (float lane : lanes) largest = lane > largest ? lane : largest;
    for (; i < end; ++i) {
        const float v = data[i].floatValue() / divisor;
        largest = v > largest ? v : largest;
    }
    return largest;
}

__attribute__((target("avx2,f16c"))) double vectorSumExp(const platform::Float16* data, int count, float shift,
                                                         float divisor) {
    const __m256 scale = _mm256_set1_ps(divisor);
    const __m256 offset = _mm256_set1_ps(shift);
    __m256d low = _mm256_setzero_pd();
    __m256d high = _mm256_setzero_pd();
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256 e = vectorExp(_mm256_sub_ps(_mm256_div_ps(loadHalves(data + i), scale), offset));
        low = _mm256_add_pd(low, _mm256_cvtps_pd(_mm256_castps256_ps128(e)));
        high = _mm256_add_pd(high, _mm256_cvtps_pd(_mm256_extractf128_ps(e, 1)));
    }
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, _mm256_add_pd(low, high));
    double sum = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
    for (; i < count; ++i) sum += static_cast<double>(scalarExp(data[i].floatValue() / divisor - shift));
    return sum;
}

// The first position of data[begin..<end] that equals `value`, or -1.
__attribute__((target("avx2,f16c"))) int vectorFind(const platform::Float16* data, int begin, int end, float value) {
    const __m256 wanted = _mm256_set1_ps(value);
    int i = begin;
    for (; i + 8 <= end; i += 8) {
        const int mask = _mm256_movemask_ps(_mm256_cmp_ps(loadHalves(data + i), wanted, _CMP_EQ_OQ));
        if (mask != 0) return i + __builtin_ctz(static_cast<unsigned>(mask));
    }
    for (; i < end; ++i) {
        if (data[i].floatValue() == value) return i;
    }
    return -1;
}

// Positions whose value exceeds `threshold`, eight at a time, as a bit mask.
__attribute__((target("avx2,f16c"))) int vectorAbove(const platform::Float16* data, float divisor, float threshold,
                                                     float* values) {
    const __m256 v = _mm256_div_ps(loadHalves(data), _mm256_set1_ps(divisor));
    _mm256_storeu_ps(values, v);
    return _mm256_movemask_ps(_mm256_cmp_ps(v, _mm256_set1_ps(threshold), _CMP_GT_OQ));
}
#else
bool cpuHasVectorKernels() { return false; }
#endif

bool useVector(const LogitsView& logits) { return logits.isContiguous() && vectorEnabled && cpuHasVectorKernels(); }

// Inserts (value, id) into the descending list of `kept` entries when it belongs there.
void insertCandidate(float value, int id, int k, int& kept, float* values, int* ids) {
    if (kept == k && !(value > values[k - 1])) return;
    int position = kept < k ? kept++ : k - 1;
    while (position > 0 && value > values[position - 1]) {
        values[position] = values[position - 1];
        ids[position] = ids[position - 1];
        --position;
    }
    values[position] = value;
    ids[position] = id;
}

}  // namespace

float exponential(float x) { return scalarExp(x); }

void setVectorKernelsEnabled(bool enabled) { vectorEnabled = enabled; }
bool vectorKernelsAvailable() { return cpuHasVectorKernels(); }

float maxValue(const LogitsView& logits, int begin, int end, float divisor) {
    begin = begin < 0 ? 0 : begin;
    end = end > logits.size() ? logits.size() : end;
#ifdef MURMEX_LOGITS_X86
    if (useVector(logits) && begin < end) return vectorMax(logits.data(), begin, end, divisor);
#endif
    float largest = -std::numeric_limits<float>::infinity();
    for (int i = begin; i < end; ++i) {
        const float v = logits[i].floatValue() / divisor;
        largest = v > largest ? v : largest;
    }
    return largest;
}

int argmax(const LogitsView& logits) {
    const float largest = maxValue(logits, 0, logits.size());
    if (std::isnan(largest)) return -1;
#ifdef MURMEX_LOGITS_X86
    if (useVector(logits)) return vectorFind(logits.data(), 0, logits.size(), largest);
#endif
    for (int i = 0; i < logits.size(); ++i) {
        if (logits[i].floatValue() == largest) return i;
    }
    return -1;
}

double sumExp(const LogitsView& logits, float shift, float divisor) {
#ifdef MURMEX_LOGITS_X86
    if (useVector(logits)) return vectorSumExp(logits.data(), logits.size(), shift, divisor);
#endif
    double sum = 0;
    for (int i = 0; i < logits.size(); ++i)
        sum += static_cast<double>(scalarExp(logits[i].floatValue() / divisor - shift));
    return sum;
}

int topK(const LogitsView& logits, int k, float divisor, float* values, int* ids) {
    if (k <= 0) return 0;
    int kept = 0;
    const int count = logits.size();
    int i = 0;
#ifdef MURMEX_LOGITS_X86
    if (useVector(logits)) {
        float block[8];
        for (; i + 8 <= count; i += 8) {
            const float threshold = kept == k ? values[k - 1] : -std::numeric_limits<float>::infinity();
            int mask = vectorAbove(logits.data() + i, divisor, threshold, block);
            if (kept < k) mask = 0xFF;  // fill the list first, whatever the values
            while (mask != 0) {
                const int lane = __builtin_ctz(static_cast<unsigned>(mask));
                mask &= mask - 1;
                if (!std::isnan(block[lane])) insertCandidate(block[lane], i + lane, k, kept, values, ids);
            }
        }
    }
#endif
    for (; i < count; ++i) {
        const float v = logits[i].floatValue() / divisor;
        if (!std::isnan(v)) insertCandidate(v, i, k, kept, values, ids);
    }
    return kept;
}

}  // namespace murmex::logitmath
