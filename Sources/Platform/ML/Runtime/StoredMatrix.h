#pragma once

#include "Platform/ML/Runtime/BlockwiseFormat.h"
#include "Platform/ML/Runtime/SafeTensors.h"

#include <cstdint>
#include <string>

namespace platform::runtime {

// A weight matrix as a weights file stores it: one plain tensor (half, single or
// bfloat16 precision), or — in a stage whose weights are compressed — packed codes and
// their scales.
struct StoredMatrix {
    const TensorView* plain = nullptr;
    const TensorView* codes = nullptr;
    const TensorView* scales = nullptr;
    BlockwiseLayout layout;

    bool compressed() const { return codes != nullptr; }

    // Matrix `name` of logical shape [rows, cols]. In a compressed stage a U8 tensor of that
    // name is the packed codes and `name.scale` must hold its scales; anything else must be
    // a plain tensor of exactly that shape. Throws MLError (invalidModel) naming the tensor
    // when it is missing, of the wrong shape or type, or its compressed layout is
    // inconsistent (see deriveBlockwiseLayout) or has a scale that is not finite.
    static StoredMatrix find(const SafeTensorsFile& file, const std::string& name, std::int64_t rows, std::int64_t cols,
                             WeightFormat format);

    // The scales copied into `out` (layout.scaleCount() values); the file's data need not be
    // aligned.
    void copyScales(Float16* out) const;
};

}  // namespace platform::runtime
