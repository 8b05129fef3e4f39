#pragma once

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "Murmex/Model/WhisperError.h"
#include "Platform/ML/Float16.h"
#include "Platform/ML/MultiArray.h"
#include "Support/LogCapture.h"

namespace murmex::decodingtest {

// The WhisperError that `action` throws; a test failure when it throws none.
template <class Action>
WhisperError errorOf(Action&& action) {
    try {
        action();
    } catch (const WhisperError& error) {
        return error;
    }
    ADD_FAILURE() << "no WhisperError thrown";
    return WhisperError::decodingFailed("none");
}

using CapturedLog = norvel::test::LogCapture;

// Half-precision logits of shape [1, 1, values.size()].
inline platform::MultiArray logitsOf(const std::vector<float>& values) {
    platform::MultiArray logits({1, 1, static_cast<int>(values.size())}, platform::MultiArrayDataType::float16);
    auto* data = logits.data<platform::Float16>();
    for (std::size_t i = 0; i < values.size(); ++i) data[i] = platform::Float16(values[i]);
    return logits;
}

// Logits of `size` tokens, all `fill`, with one token raised to `high`.
inline platform::MultiArray uniformLogits(int size, float fill = 0.0f, int raised = -1, float high = 0.0f) {
    std::vector<float> values(static_cast<std::size_t>(size), fill);
    if (raised >= 0) values[static_cast<std::size_t>(raised)] = high;
    return logitsOf(values);
}

// The ids whose logit is negative infinity.
inline std::set<int> suppressedIds(const platform::MultiArray& logits) {
    std::set<int> ids;
    const auto* data = logits.data<platform::Float16>();
    for (int i = 0; i < logits.shape().back(); ++i) {
        if (data[i].bitPattern() == platform::Float16::negativeInfinity().bitPattern()) ids.insert(i);
    }
    return ids;
}

inline std::set<int> idRange(int begin, int end) {
    std::set<int> ids;
    for (int i = begin; i < end; ++i) ids.insert(i);
    return ids;
}

inline std::set<int> unite(std::set<int> a, const std::set<int>& b) {
    a.insert(b.begin(), b.end());
    return a;
}

}  // namespace murmex::decodingtest
