#pragma once

#include <memory>
#include <vector>
#include "Platform/ML/MultiArray.h"

namespace murmex {

// A logit filter: rewrites chosen entries of one step's logits (half precision, shape
// [1, 1, V]) to negative infinity, in place, and returns the same array.
class LogitsFiltering {
public:
    virtual ~LogitsFiltering() = default;

    // `tokens` is the window's token sequence so far, prompt included.
    virtual platform::MultiArray filterLogits(const platform::MultiArray& logits, const std::vector<int>& tokens) = 0;
};

}  // namespace murmex
