#include "Murmex/Decoding/LogitsView.h"

#include <algorithm>
#include <string>

#include "HalvexCore/FatalError.h"

namespace murmex {

LogitsView::LogitsView(const platform::MultiArray& logits) {
    if (logits.dataType() != platform::MultiArrayDataType::float16)
        halvex::fatalError("Logits must be half precision, not " +
                           std::string(platform::dataTypeName(logits.dataType())));
    const auto& shape = logits.shape();
    if (shape.empty() || logits.isEmpty()) halvex::fatalError("Logits array has no elements");
    for (std::size_t i = 0; i + 1 < shape.size(); ++i) {
        if (shape[i] != 1) halvex::fatalError("Logits must hold a single row of token scores");
    }
    data_ = logits.data<platform::Float16>();
    stride_ = logits.strides().back();
    size_ = shape.back();
}

void LogitsView::suppressRange(std::int64_t begin, std::int64_t end) const {
    begin = std::max<std::int64_t>(begin, 0);
    end = std::min<std::int64_t>(end, size_);
    const platform::Float16 negativeInfinity = platform::Float16::negativeInfinity();
    if (stride_ == 1) {
        std::fill(data_ + begin, data_ + std::max(begin, end), negativeInfinity);
        return;
    }
    for (std::int64_t i = begin; i < end; ++i) data_[i * stride_] = negativeInfinity;
}

}  // namespace murmex
