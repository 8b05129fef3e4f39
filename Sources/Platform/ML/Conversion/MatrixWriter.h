#pragma once

#include "Platform/ML/Conversion/CompressionPlan.h"
#include "Platform/ML/Runtime/SafeTensors.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform::conversion {

// Puts the layer matrices of one stage into its weights file: in half precision without a plan
// (or where the plan leaves a matrix out), otherwise compressed as the plan says: the matrix's
// name holds the packed codes (U8, [rows, columns × bits / 8]) and NAME.scale the blocks'
// scales (F16, [rows, columns / block]).
class MatrixWriter {
public:
    MatrixWriter(const CompressionPlan* plan, std::string_view stage, runtime::SafeTensorsWriter& writer)
        : plan_(plan), stage_(stage), writer_(writer) {}

    // Throws MLError (invalidModel) when a compressed matrix holds a value that is not finite.
    void add(const std::string& name, std::int64_t rows, std::int64_t columns, const std::vector<float>& values);

private:
    const CompressionPlan* plan_;
    std::string_view stage_;
    runtime::SafeTensorsWriter& writer_;
};

}  // namespace platform::conversion
