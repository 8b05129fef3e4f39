#pragma once

#include <functional>
#include <utility>
#include <vector>

#include "Murmex/Model/DecodingOptions.h"
#include "Murmex/Model/TokenSampling.h"
#include "Platform/ML/Float16.h"
#include "Platform/ML/MultiArray.h"

namespace murmex {

// A source of uniform random numbers in [0, 1).
using UniformRandomSource = std::function<float()>;

// The system's random source: a per-thread generator seeded from the operating system.
float systemUniformRandom();

// Picks the next token from the softmax of the logits. At temperature 0 it takes the largest
// logit (the first one on ties); at any other temperature it divides the logits by the
// temperature and draws among the `topK` most probable tokens in proportion to their
// probabilities (without renormalising them): the first candidate whose running sum of
// probabilities reaches the sum × u, u uniform in [0, 1), or the most probable one when
// rounding leaves every running sum below it. The log-probability reported is that of the
// chosen token under the scaled distribution. Logits that are not numbers are never chosen; a
// logit of positive infinity is chosen with log-probability 0. Throws WhisperError.decodingFailed
// when no logit is a finite number, or when the temperature is negative or not a finite number.
class GreedyTokenSampler : public TokenSampling {
public:
    GreedyTokenSampler(platform::Float16 temperature, int eotToken, DecodingOptions decodingOptions,
                       UniformRandomSource random = systemUniformRandom);

    platform::Float16 temperature() const { return temperature_; }
    void setTemperature(platform::Float16 temperature) { temperature_ = temperature; }
    int eotToken() const { return eotToken_; }
    void setEotToken(int token) { eotToken_ = token; }
    const DecodingOptions& decodingOptions() const { return decodingOptions_; }
    void setDecodingOptions(DecodingOptions options) { decodingOptions_ = std::move(options); }

    // The tokens and log-probabilities with the chosen token appended; completed when it is the
    // end token. The logits must be half precision with a single row (else the process stops).
    SamplingResult update(const std::vector<int>& tokens, const platform::MultiArray& logits,
                          const std::vector<float>& logProbs) override;
    // Appends the end token (log-probability 0) unless the tokens already end with it.
    SamplingResult finalize(const std::vector<int>& tokens, const std::vector<float>& logProbs) override;

    // The chosen token and its log-probability, without building a result.
    std::pair<int, float> sample(const platform::MultiArray& logits) const;

private:
    platform::Float16 temperature_;
    int eotToken_;
    DecodingOptions decodingOptions_;
    UniformRandomSource random_;
};

// Beam search: it keeps its settings and validates them, but sampling with it is not
// available; `update` and `finalize` stop the process.
class BeamSearchTokenSampler : public TokenSampling {
public:
    // Stops the process when beamSize × patience truncates to 0 or less, or is not a finite
    // number in the integer range.
    BeamSearchTokenSampler(int beamSize, int eotToken, float patience = 1);

    int beamSize() const { return beamSize_; }
    int eotToken() const { return eotToken_; }
    float patience() const { return patience_; }
    int maxCandidates() const { return maxCandidates_; }
    const std::vector<float>& finishedSequences() const { return finishedSequences_; }

    void reset() { finishedSequences_.clear(); }

    SamplingResult update(const std::vector<int>& tokens, const platform::MultiArray& logits,
                          const std::vector<float>& logProbs) override;
    SamplingResult finalize(const std::vector<int>& tokens, const std::vector<float>& logProbs) override;

private:
    int beamSize_;
    int eotToken_;
    float patience_;
    int maxCandidates_ = 1;
    std::vector<float> finishedSequences_;
};

}  // namespace murmex
