#include "Platform/ML/Runtime/BlockwiseKernels.h"

#include "Platform/ML/Runtime/Kernels.h"

#include <algorithm>
#include <array>

#if defined(__x86_64__)
#include <immintrin.h>
#define BLOCKWISE_X86 1
#endif

namespace platform::runtime::kernels {

namespace {

inline void storeRow(float* y, std::size_t r, float sum, const float* bias, bool accumulate) {
    if (bias) sum += bias[r];
    y[r] = accumulate ? y[r] + sum : sum;
}

// Signed codes of one block as floats.
void blockValues(const std::uint8_t* packed, int count, int bits, float* out) {
    std::int8_t codes[kBlockwiseMaxBlock];
    unpackBlockwiseRow(packed, count, bits, codes);
    for (int i = 0; i < count; ++i) out[i] = static_cast<float>(codes[i]);
}

void gemvBlockwiseGeneric(const BlockwiseMatrix& w, const float* x, const float* bias, float* y, std::size_t rowBegin,
                          std::size_t rowEnd, bool accumulate) {
    const BlockwiseLayout& layout = w.layout;
    const std::size_t blocks = static_cast<std::size_t>(layout.blocksPerRow());
    const std::size_t block = static_cast<std::size_t>(layout.block), blockBytes = layout.blockBytes();
    float values[kBlockwiseMaxBlock];
    for (std::size_t r = rowBegin; r < rowEnd; ++r) {
        const std::uint8_t* codes = w.rowCodes(r);
        const Float16* scales = w.rowScales(r);
        float sum = 0.0f;
        for (std::size_t b = 0; b < blocks; ++b) {
            blockValues(codes + b * blockBytes, layout.block, layout.bits, values);
            const float* xb = x + b * block;
            float part = 0.0f;
            for (std::size_t i = 0; i < block; ++i) part += values[i] * xb[i];
            sum += part * scales[b].floatValue();
        }
        storeRow(y, r, sum, bias, accumulate);
    }
}

#ifdef BLOCKWISE_X86

// The products work on unsigned codes u = q + offset and take offset · Σ x of each block
// back out: Σ s·q·x = Σ s·(u·x) − s·offset·Σ x. The correction of block b, −offset·Σ x over
// the block, starts the block's accumulator (in its first lane), so it costs nothing per row.
// Blocks per call are bounded by the widest row these kernels see.
constexpr std::size_t maxBlocks = 4096;

// Where each of `lanes` codes starts: the byte holding its first bit (and the next byte,
// for codes that straddle two), and the shift that brings its first bit down.
template <int Bits, int Lanes>
struct UnpackTables {
    std::array<std::int8_t, 4 * Lanes> shuffle{};
    std::array<std::int32_t, Lanes> shifts{};
    constexpr UnpackTables() {
        for (int i = 0; i < Lanes; ++i) {
            const int bit = i * Bits;
            // The shuffles work within 16-byte lanes, each holding a copy of the source bytes.
            shuffle[static_cast<std::size_t>(4 * i)] = static_cast<std::int8_t>(bit / 8);
            shuffle[static_cast<std::size_t>(4 * i + 1)] = static_cast<std::int8_t>(bit / 8 + 1);
            shuffle[static_cast<std::size_t>(4 * i + 2)] = static_cast<std::int8_t>(-128);
            shuffle[static_cast<std::size_t>(4 * i + 3)] = static_cast<std::int8_t>(-128);
            shifts[static_cast<std::size_t>(i)] = bit % 8;
        }
    }
};

#define BLOCKWISE_AVX2 __attribute__((target("avx2,fma,f16c")))

BLOCKWISE_AVX2 inline float horizontalSum8(__m256 v) {
    __m128 low = _mm256_castps256_ps128(v);
    low = _mm_add_ps(low, _mm256_extractf128_ps(v, 1));
    __m128 shuffled = _mm_movehdup_ps(low);
    low = _mm_add_ps(low, shuffled);
    shuffled = _mm_movehl_ps(shuffled, low);
    low = _mm_add_ss(low, shuffled);
    return _mm_cvtss_f32(low);
}

// Eight unsigned codes (Bits bytes from p) as floats.
template <int Bits>
struct Unpack8 {
    __m256i shuffle, shifts, mask;
    BLOCKWISE_AVX2 Unpack8() {
        static constexpr UnpackTables<Bits, 8> tables;
        // Codes 4…7 sit in the upper 16-byte lane, which holds the same source bytes.
        shuffle = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(tables.shuffle.data()));
        shifts = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(tables.shifts.data()));
        mask = _mm256_set1_epi32((1 << Bits) - 1);
    }
    BLOCKWISE_AVX2 __m256 operator()(const std::uint8_t* p) const {
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
        if constexpr (Bits == 8) return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes));
        __m256i v = _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(bytes), shuffle);
        v = _mm256_and_si256(_mm256_srlv_epi32(v, shifts), mask);
        return _mm256_cvtepi32_ps(v);
    }
};

BLOCKWISE_AVX2 inline __m256 broadcastHalf8(const Float16* p) {
    return _mm256_cvtph_ps(_mm_set1_epi16(static_cast<short>(p->bitPattern())));
}

template <int Bits, int Rows>
BLOCKWISE_AVX2 void rowsAvx2(const BlockwiseMatrix& w, const float* x, const float* corrections,
                             const Unpack8<Bits>& unpack, std::size_t r, float* sums) {
    const std::size_t blocks = static_cast<std::size_t>(w.layout.blocksPerRow());
    const std::size_t block = static_cast<std::size_t>(w.layout.block), blockBytes = w.layout.blockBytes();
    const std::uint8_t* codes[Rows];
    const Float16* scales[Rows];
    __m256 total[Rows];
    for (int i = 0; i < Rows; ++i) {
        codes[i] = w.rowCodes(r + static_cast<std::size_t>(i));
        scales[i] = w.rowScales(r + static_cast<std::size_t>(i));
        total[i] = _mm256_setzero_ps();
    }
    for (std::size_t b = 0; b < blocks; ++b) {
        const __m256 correction = _mm256_zextps128_ps256(_mm_load_ss(corrections + b));
        __m256 acc[Rows];
        for (int i = 0; i < Rows; ++i) acc[i] = correction;
        const float* xb = x + b * block;
        for (std::size_t j = 0; j < block; j += 8) {
            const __m256 xv = _mm256_loadu_ps(xb + j);
            const std::size_t offset = b * blockBytes + j * Bits / 8;
            for (int i = 0; i < Rows; ++i) acc[i] = _mm256_fmadd_ps(unpack(codes[i] + offset), xv, acc[i]);
        }
        for (int i = 0; i < Rows; ++i) total[i] = _mm256_fmadd_ps(acc[i], broadcastHalf8(scales[i] + b), total[i]);
    }
    for (int i = 0; i < Rows; ++i) sums[i] = horizontalSum8(total[i]);
}

// Σ x of each block times −offset, into `corrections`.
inline void blockCorrections(const BlockwiseLayout& layout, const float* x, float* corrections) {
    const std::size_t blocks = static_cast<std::size_t>(layout.blocksPerRow()),
                      block = static_cast<std::size_t>(layout.block);
    const float offset = static_cast<float>(blockwiseCodeOffset(layout.bits));
    for (std::size_t b = 0; b < blocks; ++b) {
        float sum = 0.0f;
        for (std::size_t i = 0; i < block; ++i) sum += x[b * block + i];
        corrections[b] = -offset * sum;
    }
}

// Rows streamed from memory are requested about this many bytes ahead of their use.
constexpr std::size_t prefetchDistance = 4096;

inline void prefetchRows(const BlockwiseMatrix& w, std::size_t from, std::size_t to, std::size_t rowEnd) {
    const std::size_t rowBytes = w.layout.rowBytes();
    for (std::size_t ahead = from; ahead < std::min(to, rowEnd); ++ahead) {
        const char* row = reinterpret_cast<const char*>(w.rowCodes(ahead));
        for (std::size_t b = 0; b < rowBytes; b += 64) _mm_prefetch(row + b, _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(w.rowScales(ahead)), _MM_HINT_T0);
    }
}

template <int Bits>
BLOCKWISE_AVX2 void gemvAvx2(const BlockwiseMatrix& w, const float* x, const float* bias, float* y,
                             std::size_t rowBegin, std::size_t rowEnd, bool accumulate) {
    alignas(64) float corrections[maxBlocks];
    blockCorrections(w.layout, x, corrections);
    const Unpack8<Bits> unpack;
    const std::size_t rowsAhead =
        std::max<std::size_t>(4, (prefetchDistance + w.layout.rowBytes() - 1) / w.layout.rowBytes());
    float sums[4];
    std::size_t r = rowBegin;
    for (; r + 4 <= rowEnd; r += 4) {
        prefetchRows(w, r + rowsAhead, r + rowsAhead + 4, rowEnd);
        rowsAvx2<Bits, 4>(w, x, corrections, unpack, r, sums);
        for (std::size_t i = 0; i < 4; ++i) storeRow(y, r + i, sums[i], bias, accumulate);
    }
    for (; r < rowEnd; ++r) {
        rowsAvx2<Bits, 1>(w, x, corrections, unpack, r, sums);
        storeRow(y, r, sums[0], bias, accumulate);
    }
}

// The AVX-512 intrinsics start from "undefined" registers, which this compiler reports as
// possibly uninitialised values once inlined; none is read.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#define BLOCKWISE_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx2,fma,f16c")))

// Sixteen unsigned codes (2·Bits bytes from p) as floats.
template <int Bits>
struct Unpack16 {
    __m512i shuffle, shifts, mask;
    BLOCKWISE_AVX512 Unpack16() {
        static constexpr UnpackTables<Bits, 16> tables;
        shuffle = _mm512_loadu_si512(tables.shuffle.data());
        shifts = _mm512_loadu_si512(tables.shifts.data());
        mask = _mm512_set1_epi32((1 << Bits) - 1);
    }
    BLOCKWISE_AVX512 __m512 operator()(const std::uint8_t* p) const {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        if constexpr (Bits == 8) return _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(bytes));
        __m512i v = _mm512_shuffle_epi8(_mm512_broadcast_i32x4(bytes), shuffle);
        v = _mm512_and_si512(_mm512_srlv_epi32(v, shifts), mask);
        return _mm512_cvtepi32_ps(v);
    }
};

BLOCKWISE_AVX512 inline __m512 broadcastHalf16(const Float16* p) {
    return _mm512_cvtph_ps(_mm256_set1_epi16(static_cast<short>(p->bitPattern())));
}

BLOCKWISE_AVX512 inline float horizontalSum16(__m512 v) { return _mm512_reduce_add_ps(v); }

template <int Bits, int Rows>
BLOCKWISE_AVX512 void rowsAvx512(const BlockwiseMatrix& w, const float* x, const float* corrections,
                                 const Unpack16<Bits>& unpack, std::size_t r, float* sums) {
    const std::size_t blocks = static_cast<std::size_t>(w.layout.blocksPerRow());
    const std::size_t block = static_cast<std::size_t>(w.layout.block), blockBytes = w.layout.blockBytes();
    const std::uint8_t* codes[Rows];
    const Float16* scales[Rows];
    __m512 total[Rows];
    for (int i = 0; i < Rows; ++i) {
        codes[i] = w.rowCodes(r + static_cast<std::size_t>(i));
        scales[i] = w.rowScales(r + static_cast<std::size_t>(i));
        total[i] = _mm512_setzero_ps();
    }
    for (std::size_t b = 0; b < blocks; ++b) {
        const __m512 correction = _mm512_maskz_loadu_ps(static_cast<__mmask16>(1), corrections + b);
        __m512 acc[Rows];
        for (int i = 0; i < Rows; ++i) acc[i] = correction;
        const float* xb = x + b * block;
        for (std::size_t j = 0; j < block; j += 16) {
            const __m512 xv = _mm512_loadu_ps(xb + j);
            const std::size_t offset = b * blockBytes + j * Bits / 8;
            for (int i = 0; i < Rows; ++i) acc[i] = _mm512_fmadd_ps(unpack(codes[i] + offset), xv, acc[i]);
        }
        for (int i = 0; i < Rows; ++i) total[i] = _mm512_fmadd_ps(acc[i], broadcastHalf16(scales[i] + b), total[i]);
    }
    for (int i = 0; i < Rows; ++i) sums[i] = horizontalSum16(total[i]);
}

template <int Bits>
BLOCKWISE_AVX512 void gemvAvx512(const BlockwiseMatrix& w, const float* x, const float* bias, float* y,
                                 std::size_t rowBegin, std::size_t rowEnd, bool accumulate) {
    alignas(64) float corrections[maxBlocks];
    blockCorrections(w.layout, x, corrections);
    const Unpack16<Bits> unpack;
    const std::size_t rowsAhead =
        std::max<std::size_t>(4, (prefetchDistance + w.layout.rowBytes() - 1) / w.layout.rowBytes());
    float sums[4];
    std::size_t r = rowBegin;
    for (; r + 4 <= rowEnd; r += 4) {
        prefetchRows(w, r + rowsAhead, r + rowsAhead + 4, rowEnd);
        rowsAvx512<Bits, 4>(w, x, corrections, unpack, r, sums);
        for (std::size_t i = 0; i < 4; ++i) storeRow(y, r + i, sums[i], bias, accumulate);
    }
    for (; r < rowEnd; ++r) {
        rowsAvx512<Bits, 1>(w, x, corrections, unpack, r, sums);
        storeRow(y, r, sums[0], bias, accumulate);
    }
}

#pragma GCC diagnostic pop

template <template <int> class Kernel>
bool dispatchBits(int bits, const BlockwiseMatrix& w, const float* x, const float* bias, float* y, std::size_t rowBegin,
                  std::size_t rowEnd, bool accumulate) {
    switch (bits) {
        case 8: Kernel<8>::run(w, x, bias, y, rowBegin, rowEnd, accumulate); return true;
        case 6: Kernel<6>::run(w, x, bias, y, rowBegin, rowEnd, accumulate); return true;
        case 5: Kernel<5>::run(w, x, bias, y, rowBegin, rowEnd, accumulate); return true;
        default: return false;
    }
}

template <int Bits>
struct Avx512Kernel {
    static void run(const BlockwiseMatrix& w, const float* x, const float* bias, float* y, std::size_t rowBegin,
                    std::size_t rowEnd, bool accumulate) {
        gemvAvx512<Bits>(w, x, bias, y, rowBegin, rowEnd, accumulate);
    }
};

template <int Bits>
struct Avx2Kernel {
    static void run(const BlockwiseMatrix& w, const float* x, const float* bias, float* y, std::size_t rowBegin,
                    std::size_t rowEnd, bool accumulate) {
        gemvAvx2<Bits>(w, x, bias, y, rowBegin, rowEnd, accumulate);
    }
};

#endif

}  // namespace

void gemvBlockwise(const BlockwiseMatrix& w, const float* x, const float* bias, float* y, std::size_t rowBegin,
                   std::size_t rowEnd, bool accumulate) {
#ifdef BLOCKWISE_X86
    if (static_cast<std::size_t>(w.layout.blocksPerRow()) <= maxBlocks) {
        switch (activeInstructionSet()) {
            case InstructionSet::avx512:
                // Sixteen codes at a time; blocks of an odd number of eights take the eight-wide path.
                if (w.layout.block % 16 == 0) {
                    if (dispatchBits<Avx512Kernel>(w.layout.bits, w, x, bias, y, rowBegin, rowEnd, accumulate)) return;
                    break;
                }
                [[fallthrough]];
            case InstructionSet::avx2:
                if (dispatchBits<Avx2Kernel>(w.layout.bits, w, x, bias, y, rowBegin, rowEnd, accumulate)) return;
                break;
            case InstructionSet::generic: break;
        }
    }
#endif
    gemvBlockwiseGeneric(w, x, bias, y, rowBegin, rowEnd, accumulate);
}

void dequantizeBlockwiseRows(const BlockwiseMatrix& w, std::size_t rowBegin, std::size_t rowEnd, float* out) {
    const std::size_t cols = static_cast<std::size_t>(w.layout.cols);
    for (std::size_t r = rowBegin; r < rowEnd; ++r)
        dequantizeBlockwiseRow(w.layout, w.rowCodes(r), w.rowScales(r), out + (r - rowBegin) * cols);
}

void gemv(const WeightMatrix& w, const float* x, const float* bias, float* y, std::size_t rowBegin, std::size_t rowEnd,
          bool accumulate) {
    if (w.half)
        gemvHalf(w.half, w.cols, x, bias, y, rowBegin, rowEnd, w.cols, accumulate);
    else
        gemvBlockwise(w.blockwise, x, bias, y, rowBegin, rowEnd, accumulate);
}

void matrixRows(const WeightMatrix& w, std::size_t rowBegin, std::size_t rowEnd, float* out) {
    if (w.half)
        convertFloat16ToFloat(w.half + rowBegin * w.cols, out, (rowEnd - rowBegin) * w.cols);
    else
        dequantizeBlockwiseRows(w.blockwise, rowBegin, rowEnd, out);
}

}  // namespace platform::runtime::kernels

namespace platform::runtime {

std::size_t WeightMatrix::bytes() const {
    if (half) return rows * cols * sizeof(Float16);
    return blockwise.layout.packedBytes() + blockwise.layout.scaleCount() * sizeof(Float16);
}

}  // namespace platform::runtime
