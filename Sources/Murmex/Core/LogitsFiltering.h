#pragma once

#include <memory>
#include <vector>

namespace platform {
class MultiArray;
}

namespace murmex {

// A logit filter: rewrites chosen entries of one step's logits (half precision, shape
// [1, 1, V]) to negative infinity, in place, and returns the same array.
class LogitsFiltering {
public:
    virtual ~LogitsFiltering() = default;

    // `tokens` is the window's token sequence so far, prompt included.
    virtual std::shared_ptr<platform::MultiArray> filterLogits(const std::shared_ptr<platform::MultiArray>& logits,
                                                               const std::vector<int>& tokens) = 0;
};

}  // namespace murmex
