#include "Platform/ML/Runtime/Kernels.h"
#include "Platform/ML/Runtime/ThreadPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace platform;
using namespace platform::runtime;

TEST(ThreadPool, ParallelLoopsCoverEveryIndexOnceEvenFromSeveralCallers) {
    ThreadPool pool(4);
    EXPECT_EQ(pool.threadCount(), 4u);
    for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{1000}}) {
        std::vector<std::atomic<int>> hits(count);
        pool.parallelFor(count, 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) hits[i]++;
        });
        for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(hits[i].load(), 1) << count << " " << i;
    }
    std::atomic<long> total{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 3; ++c)
        callers.emplace_back([&] {
            for (int round = 0; round < 200; ++round)
                pool.parallelFor(64, 1, [&](std::size_t begin, std::size_t end) { total += static_cast<long>(end - begin); });
        });
    for (auto& t : callers) t.join();
    EXPECT_EQ(total.load(), 3 * 200 * 64);

    EXPECT_THROW(pool.parallelFor(100, 1,
                                  [](std::size_t begin, std::size_t) {
                                      if (begin == 0) throw std::runtime_error("chunk failed");
                                  }),
                 std::runtime_error);
    pool.setThreadCount(2);
    EXPECT_EQ(pool.threadCount(), 2u);
    std::atomic<int> after{0};
    pool.parallelFor(10, 1, [&](std::size_t begin, std::size_t end) { after += static_cast<int>(end - begin); });
    EXPECT_EQ(after.load(), 10);
}

TEST(Kernels, ElementFunctionsMatchDoublePrecision) {
    std::vector<float> x;
    for (int i = -4000; i <= 4000; ++i) x.push_back(static_cast<float>(i) / 400.0f);  // [-10, 10]
    std::vector<float> gelu = x, exponent = x;
    kernels::gelu(gelu.data(), gelu.size());
    kernels::exponential(exponent.data(), exponent.size());
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double v = x[i];
        const double g = 0.5 * v * (1.0 + std::erf(v / std::sqrt(2.0)));
        EXPECT_NEAR(gelu[i], g, 2e-7 * (1.0 + std::fabs(v))) << v;
        EXPECT_NEAR(exponent[i], std::exp(v), 2e-7 * std::exp(v)) << v;
    }
    std::vector<float> tiny = {-100.0f, -87.0f, 0.0f};
    kernels::exponential(tiny.data(), tiny.size());
    EXPECT_EQ(tiny[0], 0.0f);
    EXPECT_NEAR(tiny[1], std::exp(-87.0), 1e-44);
    EXPECT_EQ(tiny[2], 1.0f);

    std::vector<float> scores = {1.0f, 2.0f, 3.0f, -10000.0f};
    kernels::softmax(scores.data(), scores.size());
    const double sum = std::exp(-2.0) + std::exp(-1.0) + 1.0;
    EXPECT_NEAR(scores[0], std::exp(-2.0) / sum, 1e-7);
    EXPECT_NEAR(scores[2], 1.0 / sum, 1e-7);
    EXPECT_EQ(scores[3], 0.0f);

    std::vector<float> row = {1, 2, 3, 4}, gamma = {1, 1, 2, 2}, beta = {0, 0, 0, 1}, out(4);
    kernels::layerNorm(row.data(), out.data(), gamma.data(), beta.data(), 4);
    const double deviation = std::sqrt(1.25 + 1e-5);
    EXPECT_NEAR(out[0], -1.5 / deviation, 1e-6);
    EXPECT_NEAR(out[3], 2 * 1.5 / deviation + 1, 1e-6);
}

TEST(Kernels, HalfPrecisionProductsMatchPlainSums) {
    // Odd sizes exercise the vector loops' remainders.
    const std::size_t rows = 37, columns = 45, stride = 50;
    std::vector<Float16> w(rows * stride);
    std::vector<float> x(columns), bias(rows), xt(rows);
    for (std::size_t i = 0; i < w.size(); ++i) w[i] = Float16(static_cast<float>((i * 7919) % 23) / 23.0f - 0.5f);
    for (std::size_t c = 0; c < columns; ++c) x[c] = static_cast<float>(c % 5) - 2.0f;
    for (std::size_t r = 0; r < rows; ++r) {
        bias[r] = static_cast<float>(r) * 0.25f;
        xt[r] = static_cast<float>(r % 3) - 1.0f;
    }
    std::vector<float> y(rows), yt(columns);
    ThreadPool pool(3);
    kernels::gemvHalfParallel(pool, w.data(), stride, x.data(), bias.data(), y.data(), rows, columns);
    kernels::gemvHalfTransposed(w.data(), stride, xt.data(), yt.data(), rows, columns);
    for (std::size_t r = 0; r < rows; ++r) {
        double sum = bias[r];
        for (std::size_t c = 0; c < columns; ++c) sum += static_cast<double>(static_cast<float>(w[r * stride + c])) * x[c];
        EXPECT_NEAR(y[r], sum, 1e-4) << r;
    }
    for (std::size_t c = 0; c < columns; ++c) {
        double sum = 0;
        for (std::size_t r = 0; r < rows; ++r) sum += static_cast<double>(static_cast<float>(w[r * stride + c])) * xt[r];
        EXPECT_NEAR(yt[c], sum, 1e-4) << c;
    }
}

}  // namespace
