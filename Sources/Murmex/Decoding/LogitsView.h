#pragma once

#include <cstdint>

#include "Platform/ML/Float16.h"
#include "Platform/ML/MultiArray.h"

namespace murmex {

// Direct access to one step's logits: a half-precision array whose dimensions are all 1 except
// the last, which holds one logit per token id. Reads and writes go straight to the array's
// storage through its last stride, without conversion or copies.
class LogitsView {
public:
    // Stops the process when the array is not half precision or has more than one row.
    explicit LogitsView(const platform::MultiArray& logits);

    int size() const { return size_; }
    bool isContiguous() const { return stride_ == 1; }
    platform::Float16* data() const { return data_; }

    platform::Float16 operator[](std::int64_t token) const { return data_[token * stride_]; }
    platform::Float16& at(std::int64_t token) const { return data_[token * stride_]; }

    // Writes negative infinity at `token` when it is a valid id; other ids are skipped.
    void suppress(std::int64_t token) const {
        if (token >= 0 && token < size_) data_[token * stride_] = platform::Float16::negativeInfinity();
    }
    // Writes negative infinity at every id of begin..<end that is a valid id.
    void suppressRange(std::int64_t begin, std::int64_t end) const;

private:
    platform::Float16* data_ = nullptr;
    std::int64_t stride_ = 1;
    int size_ = 0;
};

}  // namespace murmex
