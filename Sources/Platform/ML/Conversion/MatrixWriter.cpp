#include "Platform/ML/Conversion/MatrixWriter.h"

#include "Platform/ML/Conversion/WeightQuantizer.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/Runtime/BlockwiseFormat.h"

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
    runtime::addBlockwiseMatrix(writer_, name, matrix.layout, matrix.codes.data(), matrix.scales.data());
}

}  // namespace platform::conversion
