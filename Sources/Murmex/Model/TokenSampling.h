#pragma once

#include <memory>
#include <vector>
#include "Platform/ML/MultiArray.h"

namespace murmex {

// One sampling step's outcome: the tokens with the chosen one appended, the log-probabilities
// with its own appended, and whether the sequence has ended.
struct SamplingResult {
    std::vector<int> tokens;
    std::vector<float> logProbs;
    bool completed = false;

    friend bool operator==(const SamplingResult&, const SamplingResult&) = default;
};

// Picks the next token from the (filtered) logits and closes a finished sequence.
class TokenSampling {
public:
    virtual ~TokenSampling() = default;

    virtual SamplingResult update(const std::vector<int>& tokens, const platform::MultiArray& logits,
                                  const std::vector<float>& logProbs) = 0;
    virtual SamplingResult finalize(const std::vector<int>& tokens, const std::vector<float>& logProbs) = 0;
};

}  // namespace murmex
