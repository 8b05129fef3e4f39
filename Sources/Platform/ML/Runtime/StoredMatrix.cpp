#include "Platform/ML/Runtime/StoredMatrix.h"

#include "Platform/ML/MLError.h"

#include <cstring>
#include <vector>

namespace platform::runtime {

StoredMatrix StoredMatrix::find(const SafeTensorsFile& file, const std::string& name, std::int64_t rows,
                                std::int64_t cols, WeightFormat format) {
    StoredMatrix matrix;
    const TensorView* view = file.find(name);
    if (format != WeightFormat::blockwise || view == nullptr || view->dtype != TensorDType::U8) {
        matrix.plain = &file.require(name, {rows, cols});
        return matrix;
    }
    const std::string scaleName = name + kBlockwiseScaleSuffix;
    const TensorView* scales = file.find(scaleName);
    if (scales == nullptr)
        throw MLError(MLError::Code::invalidModel,
                      "Compressed weight " + name + ": its scales (" + scaleName + ") are missing");
    if (scales->dtype != TensorDType::F16)
        throw MLError(MLError::Code::invalidModel,
                      "Compressed weight " + name + ": its scales are " + dtypeName(scales->dtype) + ", not F16");
    matrix.codes = view;
    matrix.scales = scales;
    matrix.layout = deriveBlockwiseLayout(name, rows, cols, view->shape, scales->shape);
    // The file checked that each tensor's bytes match its shape; the layout ties the shapes
    // together, so these sizes hold.
    if (view->byteCount != matrix.layout.packedBytes() ||
        scales->byteCount != matrix.layout.scaleCount() * sizeof(Float16))
        throw MLError(MLError::Code::invalidModel, "Compressed weight " + name + ": stored sizes do not match");
    std::vector<Float16> values(matrix.layout.scaleCount());
    matrix.copyScales(values.data());
    checkBlockwiseScales(name, values.data(), values.size());
    return matrix;
}

void StoredMatrix::copyScales(Float16* out) const {
    std::memcpy(static_cast<void*>(out), scales->data, layout.scaleCount() * sizeof(Float16));
}

}  // namespace platform::runtime
