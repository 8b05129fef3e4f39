#include "Platform/ML/Runtime/FloatGemm.h"
#include "Platform/ML/Runtime/Kernels.h"
#include "Platform/ML/Runtime/ThreadPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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
                pool.parallelFor(64, 1,
                                 [&](std::size_t begin, std::size_t end) { total += static_cast<long>(end - begin); });
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
    // The ends of the range and beyond: 0, then infinity, however far out.
    std::vector<float> ends = {-100.0f, -87.0f, 0.0f, 88.0f, 89.0f, 200.0f, 1e30f, INFINITY, -1e30f, -INFINITY};
    kernels::exponential(ends.data(), ends.size());
    EXPECT_EQ(ends[0], 0.0f);
    EXPECT_NEAR(ends[1], std::exp(-87.0), 1e-44);
    EXPECT_EQ(ends[2], 1.0f);
    EXPECT_NEAR(ends[3], std::exp(88.0), 2e-7 * std::exp(88.0));
    for (std::size_t i = 4; i < 8; ++i) EXPECT_EQ(ends[i], INFINITY) << i;
    for (std::size_t i = 8; i < 10; ++i) EXPECT_EQ(ends[i], 0.0f) << i;
    std::vector<float> notANumber = {NAN};
    kernels::exponential(notANumber.data(), 1);
    EXPECT_TRUE(std::isnan(notANumber[0]));

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

// The instruction sets this processor can run, the generic one first.
std::vector<kernels::InstructionSet> availableInstructionSets() {
    std::vector<kernels::InstructionSet> sets;
    for (auto set : {kernels::InstructionSet::generic, kernels::InstructionSet::avx2, kernels::InstructionSet::avx512})
        if (set <= kernels::bestInstructionSet()) sets.push_back(set);
    return sets;
}

// Restores the best instruction set when a test ends, whatever it limited the kernels to.
struct InstructionSetScope {
    ~InstructionSetScope() { kernels::useInstructionSet(kernels::bestInstructionSet()); }
};

TEST(Kernels, HalfPrecisionProductsMatchPlainSumsOnEveryInstructionSet) {
    InstructionSetScope restore;
    struct Shape {
        std::size_t rows, columns, stride;
    };
    // Sizes around the vector widths exercise the loops' remainders and masks: fewer
    // columns than one vector, an exact multiple, odd sizes with row padding.
    const Shape shapes[] = {{37, 45, 50}, {9, 7, 7}, {64, 64, 64}, {13, 97, 112}, {6, 224, 224}, {150, 33, 33}};
    for (auto set : availableInstructionSets()) {
        ASSERT_EQ(kernels::useInstructionSet(set), set);
        for (const Shape& shape : shapes) {
            const std::size_t rows = shape.rows, columns = shape.columns, stride = shape.stride;
            SCOPED_TRACE(std::string(kernels::instructionSetName(set)) + " " + std::to_string(rows) + "×" +
                         std::to_string(columns));
            std::vector<Float16> w(rows * stride);
            std::vector<float> x(columns), bias(rows), xt(rows);
            for (std::size_t i = 0; i < w.size(); ++i)
                w[i] = Float16(static_cast<float>((i * 7919) % 23) / 23.0f - 0.5f);
            for (std::size_t c = 0; c < columns; ++c) x[c] = static_cast<float>(c % 5) - 2.0f;
            for (std::size_t r = 0; r < rows; ++r) {
                bias[r] = static_cast<float>(r) * 0.25f;
                xt[r] = static_cast<float>(r % 3) - 1.0f;
            }
            std::vector<double> expected(rows), expectedT(columns, 0.0);
            for (std::size_t r = 0; r < rows; ++r) {
                double sum = 0;
                for (std::size_t c = 0; c < columns; ++c) {
                    const double weight = static_cast<float>(w[r * stride + c]);
                    sum += weight * x[c];
                    expectedT[c] += weight * xt[r];
                }
                expected[r] = sum;
            }
            // A product over all rows with the bias; over the rows from 3 on added to what is
            // there (rows before 3 untouched); the transposed product.
            std::vector<float> y(rows, -7.0f), added(rows, 1.5f), yt(columns + 1, 99.0f);
            ThreadPool pool(3);
            kernels::gemvHalfParallel(pool, w.data(), stride, x.data(), bias.data(), y.data(), rows, columns);
            kernels::gemvHalf(w.data(), stride, x.data(), nullptr, added.data(), 3, rows, columns, true);
            kernels::gemvHalfTransposed(w.data(), stride, xt.data(), yt.data(), rows, columns);
            for (std::size_t r = 0; r < rows; ++r) {
                EXPECT_NEAR(y[r], expected[r] + bias[r], 1e-4) << r;
                EXPECT_NEAR(added[r], r < 3 ? 1.5 : 1.5 + expected[r], 1e-4) << r;
            }
            for (std::size_t c = 0; c < columns; ++c) EXPECT_NEAR(yt[c], expectedT[c], 1e-4) << c;
            EXPECT_EQ(yt[columns], 99.0f) << "written past the end";
        }
    }
}

TEST(Kernels, MatrixProductsMatchPlainSumsForEveryLayoutOnEveryInstructionSet) {
    InstructionSetScope restore;
    struct Shape {
        std::size_t m, n, k;
    };
    // Around every tile's edges (12 × 32, 6 × 16, 4 × 16), deeper than a block of depth
    // with a remainder, more rows than a block of rows, more columns than the single-thread
    // product packs at once, and no depth at all.
    const Shape shapes[] = {{1, 1, 1}, {13, 33, 17}, {7, 15, 5}, {100, 70, 300}, {5, 1600, 9}, {3, 4, 0}};
    // C's rows and B's are wider than the product: nothing past them may change.
    const std::size_t margin = 3;
    ThreadPool pool(3);
    for (auto set : availableInstructionSets()) {
        ASSERT_EQ(kernels::useInstructionSet(set), set);
        for (const Shape& shape : shapes)
            for (int layout = 0; layout < 4; ++layout)
                for (const float beta : {0.0f, 1.0f, -0.5f})
                    for (const bool parallel : {false, true}) {
                        const bool transposeA = layout & 1, transposeB = layout & 2;
                        const std::size_t m = shape.m, n = shape.n, k = shape.k;
                        SCOPED_TRACE(std::string(kernels::instructionSetName(set)) + " " + std::to_string(m) + "×" +
                                     std::to_string(n) + "×" + std::to_string(k) + " layout " +
                                     std::to_string(layout) + " beta " + std::to_string(beta) +
                                     (parallel ? " parallel" : ""));
                        const std::size_t lda = (transposeA ? m : k) + margin, ldb = (transposeB ? k : n) + margin;
                        const std::size_t ldc = n + margin;
                        std::vector<float> a((transposeA ? k : m) * lda + 1), b((transposeB ? n : k) * ldb + 1);
                        for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<float>((i * 7919) % 29) / 29.0f - 0.5f;
                        for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<float>((i * 104729) % 31) / 31.0f - 0.5f;
                        // With beta 0, C is not read: a not-a-number there must not come through.
                        std::vector<float> c(m * ldc, beta == 0.0f ? NAN : 2.0f);
                        const std::vector<float> before = c;
                        const float alpha = 0.75f;
                        if (parallel) {
                            // Room for one block of rows only, then for all: both split the rows.
                            const std::size_t threads = m % 2 == 0 ? 3 : 1;
                            std::vector<float> scratch(kernels::sgemmParallelScratchFloats(threads, n, k));
                            kernels::sgemmParallel(pool, transposeA, transposeB, m, n, k, alpha, a.data(), lda,
                                                   b.data(), ldb, beta, c.data(), ldc, scratch);
                        } else {
                            std::vector<float> scratch(kernels::sgemmScratchFloats());
                            kernels::sgemm(transposeA, transposeB, m, n, k, alpha, a.data(), lda, b.data(), ldb,
                                           beta, c.data(), ldc, scratch.data());
                        }
                        for (std::size_t i = 0; i < m; ++i) {
                            for (std::size_t j = 0; j < n; ++j) {
                                double sum = 0.0, size = 0.0;
                                for (std::size_t p = 0; p < k; ++p) {
                                    const double x = transposeA ? a[p * lda + i] : a[i * lda + p];
                                    const double y = transposeB ? b[j * ldb + p] : b[p * ldb + j];
                                    sum += x * y;
                                    size += std::fabs(x * y);
                                }
                                const double expected = alpha * sum + (beta == 0.0f ? 0.0 : beta * before[i * ldc + j]);
                                ASSERT_NEAR(c[i * ldc + j], expected, 1e-6 * (1.0 + size)) << i << " " << j;
                            }
                            for (std::size_t j = n; j < ldc; ++j)
                                ASSERT_TRUE(std::isnan(c[i * ldc + j]) ? std::isnan(before[i * ldc + j])
                                                                       : c[i * ldc + j] == before[i * ldc + j])
                                    << "written past row " << i;
                        }
                    }
    }
}

TEST(ThreadPool, TeamsSplitStagesOverTheirThreads) {
    ThreadPool pool(4);
    const std::size_t count = 1003;
    std::vector<int> values(count, 0);
    std::atomic<int> wrong{0};

    // Stages: every item once per stage, what a stage wrote seen by the next, each thread's
    // preparation once per stage and only before its parts.
    std::vector<std::atomic<int>> hits(count);
    std::atomic<int> stageErrors{0};
    std::vector<std::atomic<int>> seen(4);
    pool.team(60, [&](ThreadTeam& team) {
        if (team.size() != 4 || team.index() >= 4)
            stageErrors++;
        else
            seen[team.index()]++;
        for (int round = 1; round <= 30; ++round) {
            int prepared = 0, partsRun = 0;
            team.stage(
                count, 8, [&] { ++prepared; },
                [&](std::size_t begin, std::size_t end) {
                    if (prepared != 1 || begin % 8 != 0) stageErrors++;
                    ++partsRun;
                    for (std::size_t i = begin; i < end; ++i) values[i] = round, hits[i]++;
                });
            if (prepared != (partsRun > 0 ? 1 : 0)) stageErrors++;
            team.stage(
                count, 8, [] {},
                [&](std::size_t begin, std::size_t end) {
                    for (std::size_t i = begin; i < end; ++i)
                        if (values[(i * 7) % count] != round) stageErrors++;
                });
        }
    });
    EXPECT_EQ(stageErrors.load(), 0);
    EXPECT_EQ(seen[0].load(), 1);  // workers come at most once, the caller always
    for (auto& s : seen) EXPECT_LE(s.load(), 1);
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(hits[i].load(), 30) << i;

    // A thread that does not come to a stage holds up nothing: thread 1 waits until thread 0
    // is past the first stage, which thread 0 can only pass by doing thread 1's parts too.
    std::atomic<bool> past{false};
    std::vector<int> byWhom(count, -1);
    pool.team(2, [&](ThreadTeam& team) {
        if (team.index() == 1)
            while (!past.load()) std::this_thread::yield();
        team.stage(
            count, 1, [] {},
            [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) byWhom[i] = static_cast<int>(team.index());
            });
        if (team.index() == 0) past = true;
        team.stage(
            4, 1, [] {}, [](std::size_t, std::size_t) {});
    });
    EXPECT_TRUE(std::none_of(byWhom.begin(), byWhom.end(), [](int who) { return who == 1 || who < 0; }));

    // Threads that wait long for a stage go to sleep, and whichever thread finishes the stage
    // wakes them (a lost wake-up hangs here).
    std::vector<int> slow(4, 0);
    std::atomic<int> unseen{0};
    pool.team(6, [&](ThreadTeam& team) {
        for (int round = 1; round <= 3; ++round) {
            team.stage(
                4, 1, [] {},
                [&](std::size_t begin, std::size_t end) {
                    for (std::size_t i = begin; i < end; ++i) {
                        if (i == static_cast<std::size_t>(round)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
                        slow[i] = round;
                    }
                });
            team.stage(
                4, 1, [] {},
                [&](std::size_t begin, std::size_t end) {
                    for (std::size_t i = begin; i < end; ++i)
                        if (slow[(i + 1) % 4] != round) unseen++;
                });
        }
    });
    EXPECT_EQ(unseen.load(), 0);

    // Teams one right after another: workers take their places without a lock, so one that
    // comes late must find no place rather than run a team whose caller has returned, and
    // no two threads of a team share a number.
    constexpr int teams = 3000;
    std::vector<std::atomic<bool>> returned(teams);
    std::atomic<int> lateOrDoubled{0};
    for (int t = 0; t < teams; ++t) {
        std::atomic<unsigned> numbers{0};
        pool.team(1, [&, t](ThreadTeam& team) {
            if (returned[static_cast<std::size_t>(t)].load()) lateOrDoubled++;
            if (numbers.fetch_or(1u << team.index()) & (1u << team.index())) lateOrDoubled++;
            team.stage(
                8, 1, [] {}, [](std::size_t, std::size_t) {});
        });
        returned[static_cast<std::size_t>(t)] = true;
    }
    EXPECT_EQ(lateOrDoubled.load(), 0);

    // Teams and parallel loops from several callers at once all complete.
    std::atomic<long> loops{0};
    std::vector<std::thread> callers;
    for (int c = 0; c < 3; ++c)
        callers.emplace_back([&, c] {
            for (int round = 0; round < 100; ++round) {
                if (c == 0) {
                    pool.parallelFor(
                        64, 1, [&](std::size_t begin, std::size_t end) { loops += static_cast<long>(end - begin); });
                } else {
                    std::vector<int> local(count, 0);
                    pool.team(2, [&](ThreadTeam& team) {
                        team.stage(
                            count, 1, [] {},
                            [&](std::size_t begin, std::size_t end) {
                                for (std::size_t i = begin; i < end; ++i) local[i] = 1;
                            });
                        team.stage(
                            1, 1, [] {},
                            [&](std::size_t, std::size_t) {
                                for (int v : local)
                                    if (v != 1) wrong++;
                            });
                    });
                }
            }
        });
    for (auto& t : callers) t.join();
    EXPECT_EQ(loops.load(), 100 * 64);
    EXPECT_EQ(wrong.load(), 0);

    // A pool of one runs the team on the caller alone.
    pool.setThreadCount(1);
    int calls = 0;
    pool.team(1, [&](ThreadTeam& team) {
        EXPECT_EQ(team.size(), 1u);
        team.stage(
            10, 4, [&] { ++calls; },
            [&](std::size_t begin, std::size_t end) {
                EXPECT_EQ(begin, 0u);
                EXPECT_EQ(end, 10u);
                ++calls;
            });
    });
    EXPECT_EQ(calls, 2);
}

TEST(ThreadPool, TeamsGetRoomForTheStagesTheirBodyCallsWithAnyNumberOfThreads) {
    // The pool's workers exist when the death test starts its child: a child forked from
    // this process could inherit a lock a worker held and wait on it forever, so the child
    // runs the test afresh instead.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (std::size_t threads : {1, 3}) {
        SCOPED_TRACE(threads);
        ThreadPool pool(threads);
        std::vector<int> hits(5 * 40, 0);
        // A body generic over its team is counted first; the stages then all run.
        pool.team([&](auto& team) {
            for (std::size_t stage = 0; stage < 5; ++stage)
                team.stage(
                    40, 1, [] {},
                    [&](std::size_t begin, std::size_t end) {
                        for (std::size_t i = begin; i < end; ++i) hits[stage * 40 + i]++;
                    });
        });
        EXPECT_EQ(std::count(hits.begin(), hits.end(), 1), 5 * 40);
        // More stages than the team was given room for end the program, alone or not.
        EXPECT_DEATH(pool.team(1,
                               [](ThreadTeam& team) {
                                   for (int stage = 0; stage < 2; ++stage)
                                       team.stage(
                                           4, 1, [] {}, [](std::size_t, std::size_t) {});
                               }),
                     "");
    }
}

}  // namespace
