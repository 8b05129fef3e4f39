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

// The codes are requested this far ahead as they are read, requested steadily so that the
// memory keeps enough requests in flight. The kernels read a group of rows side by side,
// but the rows are contiguous: each step requests as many bytes as the group reads in it,
// in the order the group lies in memory, so that every byte of the rows that follow is
// requested once, however long the rows are.
constexpr std::size_t streamAhead = 8192;

// Requests the `stepBytes` bytes that lie `streamAhead` past the first `done` bytes of a
// group of contiguous rows starting at `group`.
inline void requestAhead(const std::uint8_t* group, std::size_t done, std::size_t stepBytes) {
    const char* from = reinterpret_cast<const char*>(group) + streamAhead + done;
    for (std::size_t k = 0; k < stepBytes; k += 64) _mm_prefetch(from + k, _MM_HINT_T0);
}

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
        requestAhead(codes[0], b * Rows * blockBytes, Rows * blockBytes);
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

template <int Bits>
BLOCKWISE_AVX2 void gemvAvx2(const BlockwiseMatrix& w, const float* x, const float* bias, float* y,
                             std::size_t rowBegin, std::size_t rowEnd, bool accumulate) {
    alignas(64) float corrections[maxBlocks];
    blockCorrections(w.layout, x, corrections);
    const Unpack8<Bits> unpack;
    float sums[4];
    std::size_t r = rowBegin;
    for (; r + 4 <= rowEnd; r += 4) {
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
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#define BLOCKWISE_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,avx512vnni,avx2,fma,f16c")))

// The AVX-512 products take x as 15-bit integers, x ≈ step · x15 with one step for the
// whole vector (its largest magnitude over 16383: an error below 2⁻¹⁵ of the largest value,
// far under that of the codes, even with a few channels many times larger than the rest),
// split into two signed bytes, x15 = 256 · high + low. The processor's byte dot products
// (vpdpbusd: unsigned code × signed byte, 64 products per instruction) then give each
// block's Σ code · x15 as 256 · Σ code · high + Σ code · low, which is scaled once per block.
// The codes are unsigned (u = q + offset); offset · Σ x15 of each block is the same for
// every row and is taken back out at the row's end, weighted by the row's scales.
constexpr std::size_t maxColumns = 16384;
constexpr std::size_t maxBlocks512 = maxColumns / 32 + 16;  // room for whole vectors of scales

// acc += Σ of groups of four byte products (vpdpbusd), written so that the compiler
// accumulates in place rather than copying every accumulator each time (its form of the
// intrinsic does).
BLOCKWISE_AVX512 inline void byteDotAccumulate(__m512i& acc, __m512i codes, __m512i x) {
    asm("vpdpbusd %2, %1, %0" : "+v"(acc) : "v"(codes), "v"(x));
}

// Sixty-four unsigned codes (8·Bits bytes from p) as bytes.
template <int Bits>
struct Unpack64 {
    __m512i spread, shifts, mask;
    BLOCKWISE_AVX512 Unpack64() {
        // Each 64-bit lane takes the Bits bytes holding its eight codes; each byte of the lane
        // then takes the eight bits from its code's first bit on.
        std::array<std::int8_t, 64> bytes{}, counts{};
        for (int lane = 0; lane < 8; ++lane)
            for (int j = 0; j < 8; ++j) {
                bytes[static_cast<std::size_t>(8 * lane + j)] =
                    static_cast<std::int8_t>(lane * Bits + std::min(j, Bits - 1));
                counts[static_cast<std::size_t>(8 * lane + j)] = static_cast<std::int8_t>(j * Bits);
            }
        spread = _mm512_loadu_si512(bytes.data());
        shifts = _mm512_loadu_si512(counts.data());
        mask = _mm512_set1_epi8(static_cast<char>((1 << Bits) - 1));
    }
    BLOCKWISE_AVX512 __m512i operator()(const std::uint8_t* p) const {
        if constexpr (Bits == 8) {
            return _mm512_loadu_si512(p);
        } else {
            // Exactly the 8·Bits bytes of the codes: never a byte past a row's end.
            const __m512i v = _mm512_maskz_loadu_epi8((std::uint64_t{1} << (8 * Bits)) - 1, p);
            return _mm512_and_si512(_mm512_multishift_epi64_epi8(shifts, _mm512_permutexvar_epi8(spread, v)), mask);
        }
    }
};

// x as 15-bit integers split into high and low signed bytes (columns a multiple of 64),
// and Σ x15 of each 32 columns; returns the step.
BLOCKWISE_AVX512 float quantizeActivations(const float* x, std::size_t columns, std::int8_t* high, std::int8_t* low,
                                           std::int32_t* sums32) {
    __m512 largest = _mm512_setzero_ps();
    for (std::size_t c = 0; c < columns; c += 16)
        largest = _mm512_max_ps(largest, _mm512_abs_ps(_mm512_loadu_ps(x + c)));
    const float maximum = _mm512_reduce_max_ps(largest);
    const __m512 factor = _mm512_set1_ps(maximum > 0.0f ? 16383.0f / maximum : 0.0f);
    const __m512i ones = _mm512_set1_epi16(1);
    for (std::size_t c = 0; c < columns; c += 32) {
        const __m256i a = _mm512_cvtsepi32_epi16(_mm512_cvtps_epi32(_mm512_mul_ps(_mm512_loadu_ps(x + c), factor)));
        const __m256i b =
            _mm512_cvtsepi32_epi16(_mm512_cvtps_epi32(_mm512_mul_ps(_mm512_loadu_ps(x + c + 16), factor)));
        const __m512i v = _mm512_inserti64x4(_mm512_castsi256_si512(a), b, 1);
        const __m512i lo = _mm512_srai_epi16(_mm512_slli_epi16(v, 8), 8);
        const __m512i hi = _mm512_srai_epi16(_mm512_sub_epi16(v, lo), 8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(low + c), _mm512_cvtepi16_epi8(lo));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(high + c), _mm512_cvtepi16_epi8(hi));
        sums32[c / 32] = _mm512_reduce_add_epi32(_mm512_madd_epi16(v, ones));
    }
    return maximum > 0.0f ? maximum / 16383.0f : 0.0f;
}

// Rows r … r + Rows − 1 of a matrix in blocks of Block (32 or 64) values, columns a
// multiple of 64: sixty-four codes per step, whose products land in the first and second
// half of the accumulator for the two blocks of 32 they span.
template <int Bits, int Block, int Rows>
BLOCKWISE_AVX512 void rowsAvx512(const BlockwiseMatrix& w, const std::int8_t* high, const std::int8_t* low,
                                 const float* corrections, const Unpack64<Bits>& unpack, std::size_t r, float* sums) {
    const std::size_t columns = static_cast<std::size_t>(w.layout.cols);
    const std::size_t blocks = columns / Block;
    const std::uint8_t* codes[Rows];
    alignas(64) float scales[Rows][maxBlocks512];
    __m512 total[Rows];
    for (int i = 0; i < Rows; ++i) {
        codes[i] = w.rowCodes(r + static_cast<std::size_t>(i));
        const Float16* rowScales = w.rowScales(r + static_cast<std::size_t>(i));
        __m512 correction = _mm512_setzero_ps();
        for (std::size_t b = 0; b < blocks; b += 16) {
            const __mmask16 m =
                blocks - b >= 16 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1u << (blocks - b)) - 1u);
            const __m512 s = _mm512_cvtph_ps(_mm256_maskz_loadu_epi16(m, rowScales + b));
            _mm512_store_ps(scales[i] + b, s);
            correction = _mm512_fmadd_ps(s, _mm512_maskz_loadu_ps(m, corrections + b), correction);
        }
        // The offset's share, −offset · Σ s_b · Σ x15 over the row's blocks, in the first lane.
        total[i] = _mm512_maskz_mov_ps(1, _mm512_set1_ps(_mm512_reduce_add_ps(correction)));
    }
    // Lanes 0–7 hold the first block of 32 of a step, lanes 8–15 the second.
    const __m512i halves = _mm512_set_epi32(1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0);
    for (std::size_t c = 0; c < columns; c += 64) {
        const __m512i xh = _mm512_loadu_si512(high + c), xl = _mm512_loadu_si512(low + c);
        const std::size_t offset = c * Bits / 8;
        requestAhead(codes[0], Rows * offset, Rows * 8 * Bits);
        for (int i = 0; i < Rows; ++i) {
            const __m512i u = unpack(codes[i] + offset);
            __m512i acc = _mm512_setzero_si512();
            byteDotAccumulate(acc, u, xh);
            acc = _mm512_slli_epi32(acc, 8);
            byteDotAccumulate(acc, u, xl);
            __m512 scale;
            if constexpr (Block == 64)
                scale = _mm512_set1_ps(scales[i][c / 64]);
            else
                scale = _mm512_permutexvar_ps(halves, _mm512_castps128_ps512(_mm_castpd_ps(_mm_load_sd(
                                                          reinterpret_cast<const double*>(scales[i] + c / 32)))));
            total[i] = _mm512_fmadd_ps(_mm512_cvtepi32_ps(acc), scale, total[i]);
        }
    }
    for (int i = 0; i < Rows; ++i) sums[i] = _mm512_reduce_add_ps(total[i]);
}

// The products of x given as its 15-bit form (high and low bytes, sums of 32, step).
template <int Bits, int Block>
BLOCKWISE_AVX512 void gemvAvx512Coded(const BlockwiseMatrix& w, const std::int8_t* high, const std::int8_t* low,
                                      const std::int32_t* sums32, float step, const float* bias, float* y,
                                      std::size_t rowBegin, std::size_t rowEnd, bool accumulate) {
    const std::size_t blocks = static_cast<std::size_t>(w.layout.cols) / Block;
    alignas(64) float corrections[maxBlocks512];
    for (std::size_t b = 0; b < blocks; ++b) {
        const std::int32_t sum = Block == 64 ? sums32[2 * b] + sums32[2 * b + 1] : sums32[b];
        corrections[b] = -static_cast<float>(blockwiseCodeOffset(Bits)) * static_cast<float>(sum);
    }
    const Unpack64<Bits> unpack;
    float sums[8];
    std::size_t r = rowBegin;
    for (; r + 8 <= rowEnd; r += 8) {
        rowsAvx512<Bits, Block, 8>(w, high, low, corrections, unpack, r, sums);
        for (std::size_t i = 0; i < 8; ++i) storeRow(y, r + i, sums[i] * step, bias, accumulate);
    }
    for (; r < rowEnd; ++r) {
        rowsAvx512<Bits, Block, 1>(w, high, low, corrections, unpack, r, sums);
        storeRow(y, r, sums[0] * step, bias, accumulate);
    }
}

// The byte products of x in its coded form (high and low bytes, sums of 32, step), for
// every layout these kernels take: blocks of 32 or 64, 8, 6 or 5 bits.
void gemvCoded(const BlockwiseMatrix& w, const std::int8_t* high, const std::int8_t* low, const std::int32_t* sums32,
               float step, const float* bias, float* y, std::size_t rowBegin, std::size_t rowEnd, bool accumulate) {
    auto run = [&]<int Bits>() {
        if (w.layout.block == 64)
            gemvAvx512Coded<Bits, 64>(w, high, low, sums32, step, bias, y, rowBegin, rowEnd, accumulate);
        else
            gemvAvx512Coded<Bits, 32>(w, high, low, sums32, step, bias, y, rowBegin, rowEnd, accumulate);
    };
    switch (w.layout.bits) {
        case 8: return run.template operator()<8>();
        case 6: return run.template operator()<6>();
        default: return run.template operator()<5>();
    }
}

// The same with x as floats, coded here first.
void gemvAvx512(const BlockwiseMatrix& w, const float* x, const float* bias, float* y, std::size_t rowBegin,
                std::size_t rowEnd, bool accumulate) {
    alignas(64) std::int8_t high[maxColumns], low[maxColumns];
    alignas(64) std::int32_t sums32[maxColumns / 32];
    const float step = quantizeActivations(x, static_cast<std::size_t>(w.layout.cols), high, low, sums32);
    gemvCoded(w, high, low, sums32, step, bias, y, rowBegin, rowEnd, accumulate);
}

// Thirty-two unsigned codes (4·Bits bytes from p) as 16-bit integers.
template <int Bits>
struct Unpack32 {
    __m512i permute, shifts, mask;
    BLOCKWISE_AVX512 Unpack32() {
        std::array<std::int8_t, 64> bytes{};
        std::array<std::int16_t, 32> counts{};
        for (int i = 0; i < 32; ++i) {
            const int bit = i * Bits;
            bytes[static_cast<std::size_t>(2 * i)] = static_cast<std::int8_t>(bit / 8);
            bytes[static_cast<std::size_t>(2 * i + 1)] = static_cast<std::int8_t>(bit / 8 + 1);
            counts[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(bit % 8);
        }
        permute = _mm512_loadu_si512(bytes.data());
        shifts = _mm512_loadu_si512(counts.data());
        mask = _mm512_set1_epi16(static_cast<short>((1 << Bits) - 1));
    }
    BLOCKWISE_AVX512 __m512i operator()(const std::uint8_t* p) const {
        // Exactly the 4·Bits bytes of the codes: never a byte past a row's end.
        const __m256i bytes = _mm256_maskz_loadu_epi8(static_cast<__mmask32>((std::uint64_t{1} << (4 * Bits)) - 1), p);
        if constexpr (Bits == 8) return _mm512_cvtepu8_epi16(bytes);
        __m512i v = _mm512_permutexvar_epi8(permute, _mm512_zextsi256_si512(bytes));
        return _mm512_and_si512(_mm512_srlv_epi16(v, shifts), mask);
    }
};

template <int Bits>
BLOCKWISE_AVX512 void unpackRow16Avx512(const std::uint8_t* codes, std::size_t columns, std::int16_t* out) {
    const Unpack32<Bits> unpack;
    const __m512i offset = _mm512_set1_epi16(static_cast<short>(blockwiseCodeOffset(Bits)));
    for (std::size_t c = 0; c < columns; c += 32)
        _mm512_storeu_si512(out + c, _mm512_sub_epi16(unpack(codes + c * Bits / 8), offset));
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

bool hasIntegerDotProducts() {
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vnni");
    }();
    return available;
}

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
struct Avx2Kernel {
    static void run(const BlockwiseMatrix& w, const float* x, const float* bias, float* y, std::size_t rowBegin,
                    std::size_t rowEnd, bool accumulate) {
        gemvAvx2<Bits>(w, x, bias, y, rowBegin, rowEnd, accumulate);
    }
};

// Whether the sixty-four-code products take inputs of this many columns on this processor,
// and whether they take this matrix.
bool byteInputs(std::size_t columns) {
    return activeInstructionSet() == InstructionSet::avx512 && columns % 64 == 0 && columns <= maxColumns &&
           hasIntegerDotProducts();
}

bool byteProducts(const BlockwiseLayout& layout) {
    return byteInputs(static_cast<std::size_t>(layout.cols)) && (layout.block == 32 || layout.block == 64) &&
           (layout.bits == 8 || layout.bits == 6 || layout.bits == 5);
}

#endif

}  // namespace

void gemvBlockwise(const BlockwiseMatrix& w, const float* x, const float* bias, float* y, std::size_t rowBegin,
                   std::size_t rowEnd, bool accumulate) {
#ifdef BLOCKWISE_X86
    if (static_cast<std::size_t>(w.layout.blocksPerRow()) <= maxBlocks) {
        switch (activeInstructionSet()) {
            case InstructionSet::avx512:
                // Sixty-four codes at a time, with the byte permutes and byte dot products of
                // newer processors; other layouts and processors take the eight-wide path.
                if (byteProducts(w.layout)) return gemvAvx512(w, x, bias, y, rowBegin, rowEnd, accumulate);
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

void unpackRow16(const BlockwiseLayout& layout, const std::uint8_t* rowCodes, std::int16_t* out) {
    const auto columns = static_cast<std::size_t>(layout.cols);
#ifdef BLOCKWISE_X86
    // Thirty-two codes at a time, reading no byte past the row.
    if (activeInstructionSet() == InstructionSet::avx512 && hasIntegerDotProducts() && columns % 32 == 0) {
        switch (layout.bits) {
            case 8: return unpackRow16Avx512<8>(rowCodes, columns, out);
            case 6: return unpackRow16Avx512<6>(rowCodes, columns, out);
            case 5: return unpackRow16Avx512<5>(rowCodes, columns, out);
            default: break;
        }
    }
#endif
    std::int8_t codes[kBlockwiseMaxBlock];
    for (std::size_t b = 0; b < static_cast<std::size_t>(layout.blocksPerRow()); ++b) {
        unpackBlockwiseRow(rowCodes + b * layout.blockBytes(), layout.block, layout.bits, codes);
        for (int i = 0; i < layout.block; ++i)
            out[b * static_cast<std::size_t>(layout.block) + static_cast<std::size_t>(i)] = codes[i];
    }
}

void dequantizeBlockwiseRows(const BlockwiseMatrix& w, std::size_t rowBegin, std::size_t rowEnd, float* out) {
    const std::size_t cols = static_cast<std::size_t>(w.layout.cols);
    for (std::size_t r = rowBegin; r < rowEnd; ++r)
        dequantizeBlockwiseRow(w.layout, w.rowCodes(r), w.rowScales(r), out + (r - rowBegin) * cols);
}

void ProductInput::set(const float* x, std::size_t columns) {
    x_ = x;
    columns_ = columns;
    coded_ = false;
}

void ProductInput::code() {
#ifdef BLOCKWISE_X86
    if (coded_) return;
    if (high_.size() < columns_) {
        high_.resize(columns_);
        low_.resize(columns_);
        sums32_.resize(columns_ / 32);
    }
    step_ = quantizeActivations(x_, columns_, high_.data(), low_.data(), sums32_.data());
    coded_ = true;
#endif
}

void gemv(const WeightMatrix& w, ProductInput& x, const float* bias, float* y, std::size_t rowBegin,
          std::size_t rowEnd, bool accumulate) {
#ifdef BLOCKWISE_X86
    const BlockwiseLayout& layout = w.blockwise.layout;
    // byteProducts also says that the byte products take inputs of this many columns.
    if (!w.half && static_cast<std::size_t>(layout.cols) == x.columns_ && byteProducts(layout)) {
        x.code();
        return gemvCoded(w.blockwise, x.high_.data(), x.low_.data(), x.sums32_.data(), x.step_, bias, y, rowBegin,
                         rowEnd, accumulate);
    }
#endif
    gemv(w, x.values(), bias, y, rowBegin, rowEnd, accumulate);
}

void gemv(const WeightMatrix& w, const float* x, const float* bias, float* y, std::size_t rowBegin, std::size_t rowEnd,
          bool accumulate) {
    if (w.half)
        gemvHalf(w.half, w.cols, x, bias, y, rowBegin, rowEnd, w.cols, accumulate);
    else
        gemvBlockwise(w.blockwise, x, bias, y, rowBegin, rowEnd, accumulate);
}

void prefetchRows(const WeightMatrix& w, std::size_t rowBegin, std::size_t rowEnd, std::size_t bytes) {
#ifdef BLOCKWISE_X86
    auto request = [](const void* start, std::size_t length) {
        const char* p = static_cast<const char*>(start);
        for (std::size_t offset = 0; offset < length; offset += 64) _mm_prefetch(p + offset, _MM_HINT_T1);
    };
    if (w.half) {
        request(w.half + rowBegin * w.cols, std::min(bytes, (rowEnd - rowBegin) * w.cols * sizeof(Float16)));
        return;
    }
    const std::size_t rowBytes = w.blockwise.layout.rowBytes();
    const std::size_t rows = std::min(rowEnd - rowBegin, bytes / rowBytes + 1);
    request(w.blockwise.rowCodes(rowBegin), std::min(bytes, rows * rowBytes));
    request(w.blockwise.rowScales(rowBegin),
            rows * static_cast<std::size_t>(w.blockwise.layout.blocksPerRow()) * sizeof(Float16));
#else
    (void)w, (void)rowBegin, (void)rowEnd, (void)bytes;
#endif
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
