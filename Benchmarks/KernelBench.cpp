// The decoder's matrix-vector products on one thread, streaming matrices far larger than
// the caches (as a token step does): bytes read per second and weights per nanosecond for
// half precision and every compressed width and block, so that a kernel change shows in
// isolation from the thread pool; the same over 8 MB, which stays in the caches, shows
// the products' own speed. Matrices are shaped as the small size's up projection (3072 rows
// of 768) or down projection (768 rows of 3072: long rows, each read as its own stream).
// Arguments: /<bits, 16 = half precision>/<block>/<MB streamed>/<0 up, 1 down>.
// The same for the cross-attention over coded keys and values.
// The encoder's single-precision matrix products on one thread, the runtime's own against
// OpenBLAS's: /<shape>/<0 own, 1 OpenBLAS>.
#include "Platform/ML/Float16.h"
#include "Platform/ML/Runtime/BlockwiseKernels.h"
#include "Platform/ML/Runtime/CrossStateKernels.h"
#include "Platform/ML/Runtime/FloatGemm.h"
#include "Platform/ML/Runtime/Kernels.h"
#include "Platform/ML/Runtime/ThreadPool.h"

#include <benchmark/benchmark.h>
#include <cblas.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

using namespace platform;
using namespace platform::runtime;

void BM_KernelStreamingProduct(benchmark::State& state) {
    const int bits = static_cast<int>(state.range(0));
    const int block = static_cast<int>(state.range(1));
    // Matrices of the small size's up or down projection until the given megabytes are read.
    const bool down = state.range(3) == 1;
    const std::int64_t rows = down ? 768 : 3072, cols = down ? 3072 : 768;
    const std::size_t matrixBytes = bits == 16
                                        ? static_cast<std::size_t>(rows * cols) * 2
                                        : static_cast<std::size_t>(rows * cols * bits / 8 + rows * cols / block * 2);
    const std::size_t count = std::max<std::size_t>(1, (static_cast<std::size_t>(state.range(2)) << 20) / matrixBytes);
    std::mt19937 random(3);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<std::vector<std::uint8_t>> codes(count);
    std::vector<std::vector<Float16>> scales(count);
    std::vector<WeightMatrix> matrices(count);
    for (std::size_t m = 0; m < count; ++m) {
        WeightMatrix& w = matrices[m];
        w.rows = static_cast<std::size_t>(rows);
        w.cols = static_cast<std::size_t>(cols);
        if (bits == 16) {
            scales[m].resize(static_cast<std::size_t>(rows * cols));
            for (auto& v : scales[m]) v = Float16(static_cast<float>(byte(random) - 128) / 4096.0f);
            w.half = scales[m].data();
            continue;
        }
        const BlockwiseLayout layout{rows, cols, bits, block};
        codes[m].resize(layout.packedBytes() + kBlockwiseReadPadding);
        for (auto& v : codes[m]) v = static_cast<std::uint8_t>(byte(random));
        scales[m].assign(layout.scaleCount(), Float16(0.01f));
        w.blockwise = BlockwiseMatrix{codes[m].data(), scales[m].data(), layout};
    }
    std::vector<float> x(static_cast<std::size_t>(cols), 0.5f), y(static_cast<std::size_t>(rows));
    for (auto& v : x) v = static_cast<float>(byte(random)) / 255.0f;
    for (auto _ : state) {
        for (const WeightMatrix& w : matrices) kernels::gemv(w, x.data(), nullptr, y.data(), 0, w.rows);
        benchmark::DoNotOptimize(y.data());
    }
    const double streamed = static_cast<double>(state.iterations()) * static_cast<double>(count);
    state.counters["GB_per_s"] =
        benchmark::Counter(streamed * static_cast<double>(matrixBytes), benchmark::Counter::kIsRate);
    state.counters["weights_per_ns"] =
        benchmark::Counter(streamed * static_cast<double>(rows * cols) * 1e-9, benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_KernelStreamingProduct)
    ->ArgsProduct({{16, 8, 6, 5}, {32, 64}, {256, 8}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

namespace {

// The cost of a team's stage boundary: 100 stages (a decoder step's count) of four parts
// per thread that do nothing, or that each sum the given bytes (in the caches), on a pool
// of the given threads. Arguments: /<threads>/<bytes per part>.
void BM_KernelTeamStages(benchmark::State& state) {
    const auto threads = static_cast<std::size_t>(state.range(0));
    const auto floats = static_cast<std::size_t>(state.range(1)) / sizeof(float);
    const std::size_t parts = platform::runtime::ThreadTeam::partsPerThread * threads;
    platform::runtime::ThreadPool pool(threads);
    std::vector<float> data(std::max<std::size_t>(1, floats * parts), 1.0f);
    std::vector<float> sums(16 * threads);
    for (auto _ : state) {
        pool.team([&](auto& team) {
            for (int stage = 0; stage < 100; ++stage)
                team.stage(
                    parts, 1, [] {},
                    [&](std::size_t begin, std::size_t end) {
                        float partial[8] = {};
                        for (std::size_t i = begin * floats; i < end * floats; i += 8)
                            for (std::size_t j = 0; j < 8; ++j) partial[j] += data[i + j];
                        for (float p : partial) sums[16 * team.index()] += p;
                    });
        });
    }
    benchmark::DoNotOptimize(sums.data());
    state.counters["us_per_stage"] = benchmark::Counter(static_cast<double>(state.iterations()) * 100.0,
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// A team of one short stage: what starting a team on the pool and seeing every joined
// worker return costs (once per decoder step).
void BM_KernelTeamStart(benchmark::State& state) {
    const auto threads = static_cast<std::size_t>(state.range(0));
    platform::runtime::ThreadPool pool(threads);
    std::vector<float> sums(16 * threads);
    for (auto _ : state) {
        pool.team([&](auto& team) {
            team.stage(
                64, 1, [] {},
                [&](std::size_t begin, std::size_t end) { sums[16 * team.index()] += static_cast<float>(end - begin); });
        });
    }
    benchmark::DoNotOptimize(sums.data());
}

// One thread's share of a decoder step's cross-attention: the scores of a 64-wide head's
// query against blocks of 192 coded keys and the weighted sum of as many coded values, over
// heads of 1500 frames until the given megabytes of codes are read (256 MB streams from
// memory as a step does; 2 MB stays in the caches and shows the kernels' own speed).
// Arguments: /<MB of codes>.
void BM_KernelCrossAttention(benchmark::State& state) {
    const std::size_t frames = 1500, width = 64, block = 192;
    const std::size_t padded = kernels::paddedKeyFrames(frames);
    const std::size_t keyCodes = padded * width, valueCodes = frames * width;
    const std::size_t heads =
        std::max<std::size_t>(1, (static_cast<std::size_t>(state.range(0)) << 20) / (keyCodes + valueCodes));
    std::mt19937 random(5);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    std::vector<float> rows(frames * width);
    for (auto& v : rows) v = normal(random);
    std::vector<std::int8_t> keys(heads * keyCodes), values(heads * valueCodes);
    std::vector<float> keyScales(heads * padded), valueScales(heads * padded);
    for (std::size_t h = 0; h < heads; ++h) {
        kernels::quantizeKeys(rows.data(), frames, width, width, keys.data() + h * keyCodes,
                              keyScales.data() + h * padded);
        kernels::quantizeValues(rows.data(), frames, width, width, values.data() + h * valueCodes,
                                valueScales.data() + h * padded);
    }
    std::vector<float> q(width), scores(padded), out(width);
    for (auto& v : q) v = normal(random);
    for (auto _ : state) {
        for (std::size_t h = 0; h < heads; ++h)
            for (std::size_t first = 0; first < frames; first += block) {
                const std::size_t last = std::min(frames, first + block);
                kernels::keyScores(keys.data() + h * keyCodes, keyScales.data() + h * padded, width, q.data(),
                                   0.125f, scores.data(), first, last);
                for (std::size_t t = first; t < last; ++t) scores[t] = std::exp(scores[t] - 4.0f);
                kernels::weightedValues(values.data() + h * valueCodes + first * width,
                                        valueScales.data() + h * padded + first, width, scores.data() + first,
                                        last - first, out.data());
            }
        benchmark::DoNotOptimize(out.data());
    }
    const double codes = static_cast<double>(state.iterations()) * static_cast<double>(heads) * 2.0 *
                         static_cast<double>(frames * width);
    state.counters["codes_per_ns"] = benchmark::Counter(codes * 1e-9, benchmark::Counter::kIsRate);
}

}  // namespace

void BM_KernelMatrixProduct(benchmark::State& state) {
    struct Shape {
        const char* name;
        bool transposeA, transposeB;
        std::size_t m, n, k;
    };
    // One thread's rows of a layer's products at 8 threads (tiny's up projection, small's
    // down projection) and at 2 (small's up projection), an attention block's scores and
    // weighted values, and a share of small's second convolution.
    static const Shape shapes[] = {{"tiny up, 8 threads", false, true, 188, 1536, 384},
                                   {"small down, 8 threads", false, true, 188, 768, 3072},
                                   {"small up, 2 threads", false, true, 750, 3072, 768},
                                   {"attention scores", false, true, 128, 1500, 64},
                                   {"attention values", false, false, 128, 64, 1500},
                                   {"small convolution", false, false, 96, 1500, 2304}};
    const Shape& shape = shapes[state.range(0)];
    const bool blas = state.range(1) == 1;
    state.SetLabel(std::string(shape.name) + (blas ? ", OpenBLAS" : ", own"));
    std::mt19937 random(5);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    std::vector<float> a(shape.m * shape.k), b(shape.k * shape.n), c(shape.m * shape.n),
        scratch(kernels::sgemmScratchFloats());
    for (float& x : a) x = value(random);
    for (float& x : b) x = value(random);
    const std::size_t lda = shape.transposeA ? shape.m : shape.k, ldb = shape.transposeB ? shape.k : shape.n;
    openblas_set_num_threads(1);
    for (auto _ : state) {
        if (blas)
            cblas_sgemm(CblasRowMajor, shape.transposeA ? CblasTrans : CblasNoTrans,
                        shape.transposeB ? CblasTrans : CblasNoTrans, static_cast<int>(shape.m),
                        static_cast<int>(shape.n), static_cast<int>(shape.k), 1.0f, a.data(), static_cast<int>(lda),
                        b.data(), static_cast<int>(ldb), 0.0f, c.data(), static_cast<int>(shape.n));
        else
            kernels::sgemm(shape.transposeA, shape.transposeB, shape.m, shape.n, shape.k, 1.0f, a.data(), lda,
                           b.data(), ldb, 0.0f, c.data(), shape.n, scratch.data());
        benchmark::DoNotOptimize(c.data());
    }
    state.counters["GFLOPs"] = benchmark::Counter(2.0 * static_cast<double>(shape.m * shape.n * shape.k) * 1e-9,
                                                  benchmark::Counter::kIsIterationInvariantRate);
}

BENCHMARK(BM_KernelMatrixProduct)->ArgsProduct({{0, 1, 2, 3, 4, 5}, {0, 1}})->UseRealTime();
BENCHMARK(BM_KernelCrossAttention)->Arg(256)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_KernelTeamStart)->Arg(8)->Arg(2)->UseRealTime();
BENCHMARK(BM_KernelTeamStages)->ArgsProduct({{8, 2}, {0, 4096}})->UseRealTime();
