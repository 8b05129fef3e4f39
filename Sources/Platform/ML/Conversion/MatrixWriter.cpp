#include "Platform/ML/Conversion/MatrixWriter.h"

#include "Platform/ML/Conversion/WeightQuantizer.h"
#include "Platform/ML/MLError.h"

#include <cstring>

namespace platform::conversion {

void MatrixWriter::add(const std::string& name, std::int64_t rows, std::int64_t columns,
                       const std::vector<float>& values) {
    const CompressionPlan::Entry* entry = plan_ ? plan_->find(stage_, name) : nullptr;
    if (!entry || entry->bits == 16) {
        writer_.addF16(name, {rows, columns}, values);
        return;
    }
    if (entry->matrix.rows != rows || entry->matrix.columns != columns)
        throw MLError(MLError::Code::invalidArgument, "Cannot convert: the plan for " + name + " has another shape");
    QuantizedMatrix matrix;
    try {
        matrix =
            WeightQuantizer::quantize(values.data(), rows, columns, entry->bits, entry->block, entry->columnWeights);
    } catch (const MLError& error) {
        if (error.code() != MLError::Code::invalidModel) throw;
        throw MLError(MLError::Code::invalidModel,
                      "Cannot convert: tensor " + name + " holds a value that is not a finite number");
    }
    std::vector<std::byte> codes(matrix.codes.size());
    std::memcpy(codes.data(), matrix.codes.data(), codes.size());
    writer_.add(name, runtime::TensorDType::U8, {rows, matrix.rowBytes()}, std::move(codes));
    std::vector<std::byte> scales(matrix.scales.size() * sizeof(Float16));
    std::memcpy(scales.data(), matrix.scales.data(), scales.size());
    writer_.add(name + ".scale", runtime::TensorDType::F16, {rows, matrix.blocksPerRow()}, std::move(scales));
}

}  // namespace platform::conversion
