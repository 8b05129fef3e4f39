#pragma once

#include "Platform/ML/MultiArray.h"

#include <cstdint>
#include <vector>

namespace platform {

// A typed n-dimensional value: a shape and its scalars in row-major order. Made from a
// multi-array by converting each element to the scalar type.
template <class Scalar>
class ShapedArray {
public:
    static_assert(IsMultiArrayScalar<Scalar>::value, "ShapedArray needs a multi-array scalar type");

    ShapedArray() = default;
    ShapedArray(Shape shape, std::vector<Scalar> scalars) : shape_(std::move(shape)), scalars_(std::move(scalars)) {}
    explicit ShapedArray(const MultiArray& array) : shape_(array.shape()) {
        scalars_.reserve(static_cast<std::size_t>(array.count()));
        for (std::int64_t i = 0; i < array.count(); ++i) scalars_.push_back(static_cast<Scalar>(array.value(i)));
    }

    const Shape& shape() const { return shape_; }
    const std::vector<Scalar>& scalars() const { return scalars_; }
    std::vector<Scalar>& scalars() { return scalars_; }

    // A multi-array of the same shape whose element type is the scalar's.
    MultiArray toMultiArray() const {
        MultiArray array(shape_, MultiArrayScalar<Scalar>::dataType);
        Scalar* data = array.data<Scalar>();
        for (std::size_t i = 0; i < scalars_.size(); ++i) data[i] = scalars_[i];
        return array;
    }

private:
    Shape shape_;
    std::vector<Scalar> scalars_;
};

}  // namespace platform
