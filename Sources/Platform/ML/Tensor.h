#pragma once

#include "Platform/ML/MultiArray.h"

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace platform {

// Scalar types a tensor may hold.
enum class TensorScalarType { float16, float32, float64, int32, int8, uint8, boolean };

// "Float16", "Float", "Double", "Int32", "Int8", "UInt8", "Bool".
std::string_view tensorScalarTypeName(TensorScalarType type);

// An immutable n-dimensional value with a scalar type and contiguous row-major scalars.
class Tensor {
public:
    Tensor(Shape shape, std::vector<Float16> scalars);
    Tensor(Shape shape, std::vector<float> scalars);
    Tensor(Shape shape, std::vector<double> scalars);
    Tensor(Shape shape, std::vector<std::int32_t> scalars);
    Tensor(Shape shape, std::vector<std::int8_t> scalars);
    Tensor(Shape shape, std::vector<std::uint8_t> scalars);
    Tensor(Shape shape, std::vector<bool> scalars);
    // The array's elements in logical order, with its shape and element type.
    explicit Tensor(const MultiArray& array);

    const Shape& shape() const { return shape_; }
    TensorScalarType scalarType() const { return scalarType_; }
    std::int64_t scalarCount() const;

    // The int32 scalars as integers; any other scalar type stops the process.
    std::vector<std::int64_t> toIntArray() const;
    // float32, float16 or int32 scalars converted to float; any other scalar type stops
    // the process with "Unsupported scalar type: " and the type's name.
    std::vector<float> toFloatArray() const;
    // A multi-array of the tensor's shape and scalar type (float32, float16 or int32;
    // any other stops the process like toFloatArray).
    MultiArray toMultiArray() const;

private:
    Tensor(Shape shape, TensorScalarType type, std::vector<std::byte> bytes);
    [[noreturn]] void unsupported() const;

    Shape shape_;
    TensorScalarType scalarType_;
    std::vector<std::byte> bytes_;
};

}  // namespace platform
