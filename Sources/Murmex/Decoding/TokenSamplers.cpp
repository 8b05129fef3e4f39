#include "Murmex/Decoding/TokenSamplers.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>

#include "HalvexCore/FatalError.h"
#include "Murmex/Decoding/DecodingTextFormat.h"
#include "Murmex/Decoding/LogitMath.h"
#include "Murmex/Decoding/LogitsView.h"
#include "Murmex/Model/WhisperError.h"
#include "Platform/Text/NumberText.h"

namespace murmex {

namespace {

[[noreturn]] void noFiniteLogit() {
    throw WhisperError::decodingFailed("Sampling failed: no logit is a finite number");
}

// The first id whose logit is positive infinity, when some other logit is a finite number (an
// overflowed logit outweighs every finite one); without a finite logit nothing can be sampled.
int firstInfiniteWithFiniteCompany(const LogitsView& view) {
    int infinite = -1;
    bool finite = false;
    for (int i = 0; i < view.size() && (infinite < 0 || !finite); ++i) {
        const platform::Float16 value = view[i];
        if (value.isFinite()) {
            finite = true;
        } else if (infinite < 0 && value.isInfinite() && value.floatValue() > 0) {
            infinite = i;
        }
    }
    if (!finite) noFiniteLogit();
    return infinite;
}

}  // namespace

float systemUniformRandom() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    // 24 random bits spread evenly over [0, 1).
    return static_cast<float>(generator() >> 40) * 0x1p-24f;
}

// MARK: - GreedyTokenSampler

GreedyTokenSampler::GreedyTokenSampler(platform::Float16 temperature, int eotToken, DecodingOptions decodingOptions,
                                       UniformRandomSource random)
    : temperature_(temperature),
      eotToken_(eotToken),
      decodingOptions_(std::move(decodingOptions)),
      random_(random ? std::move(random) : UniformRandomSource(systemUniformRandom)) {}

std::pair<int, float> GreedyTokenSampler::sample(const platform::MultiArray& logits) const {
    const LogitsView view(logits);
    const int size = view.size();
    if (!temperature_.isFinite() || temperature_.floatValue() < 0) {
        throw WhisperError::decodingFailed("Sampling temperature " + decodingtext::halfDescription(temperature_) +
                                           " is not a finite number of at least 0");
    }
    // Logits that are not numbers never win; when no logit is a finite number (all of them
    // suppressed, or the model's output broken), there is nothing to choose from. A positive
    // temperature keeps infinities infinite and finite logits finite.
    auto unlessInfinite = [&](float largest) -> std::optional<std::pair<int, float>> {
        if (!std::isinf(largest)) return std::nullopt;
        if (largest < 0) noFiniteLogit();
        return std::pair<int, float>{firstInfiniteWithFiniteCompany(view), 0.0f};
    };

    if (temperature_.isZero()) {
        const int token = logitmath::argmax(view);
        if (token < 0) noFiniteLogit();
        if (const auto sure = unlessInfinite(view[token].floatValue())) return *sure;
        const double sum = logitmath::sumExp(view, view[token].floatValue());
        const float probability = static_cast<float>(1.0 / sum);
        return {token, std::log(probability)};
    }

    const float temperature = temperature_.floatValue();
    const float largest = logitmath::maxValue(view, 0, size, temperature);
    if (const auto sure = unlessInfinite(largest)) return *sure;
    const double sum = logitmath::sumExp(view, largest, temperature);

    // Candidate buffers reused between steps; k outside 1...size is brought into that range.
    const int k = static_cast<int>(std::clamp<std::int64_t>(decodingOptions_.topK, 1, std::max(size, 1)));
    thread_local std::vector<float> topValuesBuffer;
    thread_local std::vector<int> topIndicesBuffer;
    thread_local std::vector<float> probabilitiesBuffer;
    if (topValuesBuffer.size() < static_cast<std::size_t>(k)) {
        topValuesBuffer.resize(k);
        topIndicesBuffer.resize(k);
        probabilitiesBuffer.resize(k);
    }
    float* topValues = topValuesBuffer.data();
    int* topIndices = topIndicesBuffer.data();
    float* probabilities = probabilitiesBuffer.data();
    const int kept = logitmath::topK(view, k, temperature, topValues, topIndices);
    if (kept == 0) noFiniteLogit();

    float total = 0;
    for (int i = 0; i < kept; ++i) {
        probabilities[i] =
            static_cast<float>(static_cast<double>(logitmath::exponential(topValues[i] - largest)) / sum);
        total += probabilities[i];
    }
    const float threshold = total * random_();
    int chosen = 0;
    float running = 0;
    for (int i = 0; i < kept; ++i) {
        running += probabilities[i];
        if (running >= threshold) {
            chosen = i;
            break;
        }
    }
    return {topIndices[chosen], std::log(probabilities[chosen])};
}

SamplingResult GreedyTokenSampler::update(const std::vector<int>& tokens, const platform::MultiArray& logits,
                                          const std::vector<float>& logProbs) {
    const auto [token, logProb] = sample(logits);
    SamplingResult result;
    result.tokens.reserve(tokens.size() + 1);
    result.tokens = tokens;
    result.tokens.push_back(token);
    result.logProbs.reserve(logProbs.size() + 1);
    result.logProbs = logProbs;
    result.logProbs.push_back(logProb);
    result.completed = token == eotToken_;
    return result;
}

SamplingResult GreedyTokenSampler::finalize(const std::vector<int>& tokens, const std::vector<float>& logProbs) {
    SamplingResult result{tokens, logProbs, true};
    if (tokens.empty() || tokens.back() != eotToken_) {
        result.tokens.push_back(eotToken_);
        result.logProbs.push_back(0);
    }
    return result;
}

// MARK: - BeamSearchTokenSampler

BeamSearchTokenSampler::BeamSearchTokenSampler(int beamSize, int eotToken, float patience)
    : beamSize_(beamSize), eotToken_(eotToken), patience_(patience) {
    const float product = static_cast<float>(beamSize) * patience;
    if (!std::isfinite(product) || product >= static_cast<float>(std::numeric_limits<int>::max()) ||
        product <= static_cast<float>(std::numeric_limits<int>::min())) {
        halvex::fatalError("Invalid beam size " + std::to_string(beamSize) + " or patience " +
                           platform::numbertext::shortestWithFraction(patience));
    }
    maxCandidates_ = static_cast<int>(product);
    if (maxCandidates_ <= 0) {
        maxCandidates_ = 1;
        halvex::fatalError("Invalid beam size " + std::to_string(beamSize) + " or patience " +
                           platform::numbertext::shortestWithFraction(patience));
    }
}

SamplingResult BeamSearchTokenSampler::update(const std::vector<int>&, const platform::MultiArray&,
                                              const std::vector<float>&) {
    halvex::fatalError("Not implemented: update(tokens:logits:logProbs:)");
}

SamplingResult BeamSearchTokenSampler::finalize(const std::vector<int>&, const std::vector<float>&) {
    halvex::fatalError("Not implemented: finalize(tokens:logProbs:)");
}

}  // namespace murmex
