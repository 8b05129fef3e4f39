#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "DecodingTestSupport.h"
#include "Murmex/Decoding/LogitMath.h"
#include "Murmex/Decoding/TokenSamplers.h"
#include "Murmex/Model/WhisperError.h"

namespace murmex {
namespace {

using decodingtest::logitsOf;

double logSoftmax(const std::vector<float>& logits, std::size_t index, double temperature = 1.0) {
    double sum = 0;
    for (float value : logits) sum += std::exp(value / temperature);
    return logits[index] / temperature - std::log(sum);
}

TEST(DecodingSampler, TemperatureZeroTakesTheFirstLargestLogitWithItsLogProbability) {
    GreedyTokenSampler sampler(platform::Float16(0.0f), 3, DecodingOptions());
    const std::vector<float> values = {1.0f, 3.0f, 2.0f, 3.0f, -INFINITY};
    const auto logits = logitsOf(values);
    for (int call = 0; call < 2; ++call) {
        const auto [token, logProb] = sampler.sample(logits);
        EXPECT_EQ(token, 1);
        EXPECT_NEAR(logProb, logSoftmax({1, 3, 2, 3}, 1), 1e-6);
    }
}

TEST(DecodingSampler, UpdateAppendsAndCompletesOnlyAtTheEndToken) {
    struct Case {
        int best;
        bool completed;
    };
    for (const Case& c : std::vector<Case>{{2, false}, {4, true}}) {
        GreedyTokenSampler sampler(platform::Float16(0.0f), 4, DecodingOptions());
        std::vector<float> values(6, 0.0f);
        values[static_cast<std::size_t>(c.best)] = 5.0f;
        const std::vector<int> tokens = {7, 8};
        const std::vector<float> logProbs = {0.0f, -0.5f};
        const SamplingResult result = sampler.update(tokens, logitsOf(values), logProbs);
        EXPECT_EQ(result.tokens, (std::vector<int>{7, 8, c.best}));
        ASSERT_EQ(result.logProbs.size(), 3u);
        EXPECT_EQ(result.logProbs[1], -0.5f);
        EXPECT_NEAR(result.logProbs[2], logSoftmax(values, static_cast<std::size_t>(c.best)), 1e-6);
        EXPECT_EQ(result.completed, c.completed);
    }
}

TEST(DecodingSampler, FinalizeClosesTheSequenceWithTheEndToken) {
    GreedyTokenSampler sampler(platform::Float16(0.0f), 9, DecodingOptions());
    struct Case {
        std::vector<int> tokens;
        std::vector<float> logProbs;
        std::vector<int> expectedTokens;
        std::vector<float> expectedLogProbs;
    };
    const std::vector<Case> cases = {
        {{}, {}, {9}, {0.0f}},
        {{1, 9}, {0.0f, -0.25f}, {1, 9}, {0.0f, -0.25f}},
        {{1, 2}, {0.0f, -0.25f}, {1, 2, 9}, {0.0f, -0.25f, 0.0f}},
    };
    for (const Case& c : cases) {
        const SamplingResult result = sampler.finalize(c.tokens, c.logProbs);
        EXPECT_EQ(result.tokens, c.expectedTokens);
        EXPECT_EQ(result.logProbs, c.expectedLogProbs);
        EXPECT_TRUE(result.completed);
    }
}

// Top-k draws: the first candidate whose running probability reaches sum × u, with the
// probabilities of the temperature-scaled distribution.
TEST(DecodingSampler, TopKDrawFollowsTheScaledProbabilities) {
    const float ln5 = std::log(0.5f), ln3 = std::log(0.3f), ln2 = std::log(0.2f);
    struct Case {
        std::vector<float> logits;
        float temperature;
        std::int64_t topK;
        float u;
        int expected;
    };
    const std::vector<Case> cases = {
        {{ln3, ln5, -INFINITY, ln2}, 1.0f, 3, 0.0f, 1},
        {{ln3, ln5, -INFINITY, ln2}, 1.0f, 3, 0.4f, 1},
        {{ln3, ln5, -INFINITY, ln2}, 1.0f, 3, 0.6f, 0},
        {{ln3, ln5, -INFINITY, ln2}, 1.0f, 3, 0.9f, 3},
        {{ln3, ln5, -INFINITY, ln2}, 1.0f, 2, 0.9f, 0},  // the draw is within the k kept
        {{ln3, ln5, -INFINITY, ln2}, 1.0f, 1, 0.99f, 1},
        {{ln3, ln5, -INFINITY, ln2}, 1.0f, 4294967297, 0.9f, 3},  // all kept, not cut to k = 1
        {{2.0f, 1.0f}, 1.0f, 2, 0.85f, 1},                        // p = 0.731, 0.269
        {{2.0f, 1.0f}, 0.5f, 2, 0.85f, 0},                        // p = 0.881, 0.119
        {{2.0f, 1.0f}, 0.5f, 2, 0.9f, 1},
    };
    for (const Case& c : cases) {
        DecodingOptions options;
        options.topK = c.topK;
        GreedyTokenSampler sampler(platform::Float16(c.temperature), 5, options, [u = c.u] { return u; });
        const auto [token, logProb] = sampler.sample(logitsOf(c.logits));
        EXPECT_EQ(token, c.expected) << "u " << c.u << " k " << c.topK << " T " << c.temperature;
        std::vector<float> finite;
        for (float v : c.logits) finite.push_back(std::isinf(v) ? -1e9f : platform::Float16(v).floatValue());
        EXPECT_NEAR(
            logProb,
            logSoftmax(finite, static_cast<std::size_t>(c.expected), platform::Float16(c.temperature).floatValue()),
            1e-5);
    }
}

TEST(DecodingSampler, TopOneAtAnyTemperatureIsTheMostProbableToken) {
    DecodingOptions options;
    options.topK = 1;
    GreedyTokenSampler sampler(platform::Float16(0.7998046875f), 5, options);
    std::vector<float> values(1000, 0.0f);
    values[421] = 0.5f;
    for (int draw = 0; draw < 20; ++draw) EXPECT_EQ(sampler.sample(logitsOf(values)).first, 421);
}

// Broken model output (or audio) never stops the process: logits that are not numbers are passed
// over, an overflowed logit wins outright, and with no finite logit at all, or a temperature
// that cannot scale them, the sampler fails with a decoding error.
TEST(DecodingSampler, LogitsThatAreNotFiniteNumbersAreNeverSampledBlindly) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* name;
        std::vector<float> logits;
        int expected;  // -1: decodingFailed
        float expectedLogProb = 0.0f;
    };
    const std::vector<Case> cases = {
        {"all not numbers", {nan, nan, nan}, -1},
        {"all suppressed", {-INFINITY, -INFINITY}, -1},
        {"suppressed and not numbers", {-INFINITY, nan, -INFINITY}, -1},
        {"an overflow alone", {nan, INFINITY, -INFINITY}, -1},
        {"numbers among not numbers", {nan, 1.0f, nan, 3.0f, nan}, 3, static_cast<float>(logSoftmax({1.0f, 3.0f}, 1))},
        {"an overflow among numbers", {1.0f, INFINITY, 2.0f, INFINITY}, 1, 0.0f},
    };
    for (const Case& c : cases) {
        for (float temperature : {0.0f, 0.5f}) {
            SCOPED_TRACE(std::string(c.name) + ", temperature " + std::to_string(temperature));
            DecodingOptions options;
            options.topK = 1;
            GreedyTokenSampler sampler(platform::Float16(temperature), 4, options, [] { return 0.5f; });
            if (c.expected < 0) {
                try {
                    sampler.update({1}, logitsOf(c.logits), {0.0f});
                    ADD_FAILURE() << "a token was sampled";
                } catch (const WhisperError& error) {
                    EXPECT_EQ(error.kind(), WhisperError::Kind::decodingFailed);
                    EXPECT_STREQ(error.what(), "Sampling failed: no logit is a finite number");
                }
                continue;
            }
            const auto [token, logProb] = sampler.sample(logitsOf(c.logits));
            EXPECT_EQ(token, c.expected);
            if (temperature == 0.0f || c.expectedLogProb == 0.0f) {
                EXPECT_NEAR(logProb, c.expectedLogProb, 1e-6);
            }
            EXPECT_TRUE(std::isfinite(logProb));
        }
    }
    for (float temperature : {-0.5f, nan, INFINITY, 1e6f}) {
        SCOPED_TRACE(temperature);
        GreedyTokenSampler sampler(platform::Float16(temperature), 4, DecodingOptions());
        try {
            sampler.sample(logitsOf({1.0f, 2.0f}));
            ADD_FAILURE() << "a token was sampled";
        } catch (const WhisperError& error) {
            EXPECT_EQ(error.kind(), WhisperError::Kind::decodingFailed);
            EXPECT_NE(std::string(error.what()).find("is not a finite number of at least 0"), std::string::npos)
                << error.what();
        }
    }
}

TEST(DecodingSamplerDeathTest, BeamSearchValidatesAndIsNotAvailable) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    BeamSearchTokenSampler sampler(5, 50257, 1.0f);
    EXPECT_EQ(sampler.maxCandidates(), 5);
    EXPECT_TRUE(sampler.finishedSequences().empty());
    EXPECT_EQ(BeamSearchTokenSampler(4, 1, 1.5f).maxCandidates(), 6);
    EXPECT_DEATH(BeamSearchTokenSampler(5, 50257, 0.1f), "Invalid beam size 5 or patience 0.1");
    EXPECT_DEATH(sampler.update({}, logitsOf({0.0f}), {}), "Not implemented: update\\(tokens:logits:logProbs:\\)");
    EXPECT_DEATH(sampler.finalize({}, {}), "Not implemented: finalize\\(tokens:logProbs:\\)");
}

}  // namespace
}  // namespace murmex

namespace murmex {
namespace {

TEST(DecodingLogitMath, VectorKernelsAgreeWithThePlainLoops) {
    // Without AVX2 both runs take the plain loops and agree trivially.
    std::vector<float> values(51865);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = std::sin(static_cast<float>(i) * 0.37f) * 12.0f;
    values[17] = -INFINITY;
    values[40000] = values[50000] = 12.5f;  // a tie for the largest
    const auto logits = logitsOf(values);
    const LogitsView view(logits);
    struct Outcome {
        float max, textMax;
        int argmax;
        double sum;
        std::vector<float> topValues;
        std::vector<int> topIds;
    };
    auto measure = [&](float divisor) {
        Outcome o;
        o.max = logitmath::maxValue(view, 0, view.size(), divisor);
        o.textMax = logitmath::maxValue(view, 3, 50364, divisor);
        o.argmax = logitmath::argmax(view);
        o.sum = logitmath::sumExp(view, o.max, divisor);
        o.topValues.resize(7);
        o.topIds.resize(7);
        logitmath::topK(view, 7, divisor, o.topValues.data(), o.topIds.data());
        return o;
    };
    for (float divisor : {1.0f, 0.7998046875f}) {
        const Outcome vector = measure(divisor);
        logitmath::setVectorKernelsEnabled(false);
        const Outcome plain = measure(divisor);
        logitmath::setVectorKernelsEnabled(true);
        EXPECT_EQ(vector.max, plain.max);
        EXPECT_EQ(vector.textMax, plain.textMax);
        EXPECT_EQ(vector.argmax, 40000);
        EXPECT_EQ(plain.argmax, 40000);
        EXPECT_NEAR(vector.sum, plain.sum, plain.sum * 1e-12);
        EXPECT_EQ(vector.topValues, plain.topValues);
        EXPECT_EQ(vector.topIds, plain.topIds);
        EXPECT_EQ(vector.topIds[0], 40000);
        EXPECT_EQ(vector.topIds[1], 50000);
    }
    for (float x = -90.0f; x < 88.0f; x += 0.0137f) {
        const double exact = std::exp(static_cast<double>(x));
        if (x < -87.0f) {
            EXPECT_EQ(logitmath::exponential(x), 0.0f);
        } else {
            ASSERT_NEAR(logitmath::exponential(x), exact, exact * 3e-7) << x;
        }
    }
}

}  // namespace
}  // namespace murmex
