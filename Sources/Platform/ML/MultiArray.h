#pragma once

#include "Platform/ML/Float16.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace platform {

// Element types of a multi-array, by the platform's names (`float64` is the platform's
// `double`).
enum class MultiArrayDataType { float16, float32, float64, int32, int8 };

std::size_t elementSize(MultiArrayDataType dataType);
// "float16", "float32", "double", "int32", "int8".
std::string_view dataTypeName(MultiArrayDataType dataType);

// The multi-array data type of a scalar type, for the types that have one
// (half-precision float is a shaped-array scalar whose data type is float16).
template <class T>
struct MultiArrayScalar;
template <>
struct MultiArrayScalar<Float16> {
    static constexpr MultiArrayDataType dataType = MultiArrayDataType::float16;
};
template <>
struct MultiArrayScalar<float> {
    static constexpr MultiArrayDataType dataType = MultiArrayDataType::float32;
};
template <>
struct MultiArrayScalar<double> {
    static constexpr MultiArrayDataType dataType = MultiArrayDataType::float64;
};
template <>
struct MultiArrayScalar<std::int32_t> {
    static constexpr MultiArrayDataType dataType = MultiArrayDataType::int32;
};
template <>
struct MultiArrayScalar<std::int8_t> {
    static constexpr MultiArrayDataType dataType = MultiArrayDataType::int8;
};

template <class T, class = void>
struct IsMultiArrayScalar : std::false_type {};
template <class T>
struct IsMultiArrayScalar<T, std::void_t<decltype(MultiArrayScalar<T>::dataType)>> : std::true_type {};

// Dimensions, strides and multi-indices.
using Shape = std::vector<int>;

// A shape, strides or a multi-index as text, "[1, 80, 3000]"; also for the 64-bit dimensions of
// tensor files.
template <class Integer>
std::string shapeText(const std::vector<Integer>& dimensions) {
    std::string text = "[";
    for (std::size_t i = 0; i < dimensions.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(dimensions[i]);
    }
    return text + "]";
}

// The storage that holds a half-precision array: `height` rows of `width` half-precision
// values, `bytesPerRow` bytes apart, 64-byte aligned and zero-filled. Copies share the
// storage.
struct PixelBuffer {
    int width = 0;
    int height = 0;
    std::size_t bytesPerRow = 0;
    std::shared_ptr<void> storage;  // keeps the memory alive
    void* baseAddress = nullptr;
};

// A multi-dimensional array of numbers: a shape, strides (in elements), an element type
// and aligned storage, zero-initialised when the array allocates it.
//
// A MultiArray is a reference to its storage, like the platform's array object: copies
// refer to the same elements, so a write through one copy is seen through all. Use
// `copy()` for independent contents. A default-constructed array has no storage, an
// empty shape and no elements.
class MultiArray {
public:
    MultiArray() = default;

    // A contiguous row-major array, all elements zero. Throws MLError for a negative
    // dimension, an empty shape or a size that cannot be allocated.
    MultiArray(Shape shape, MultiArrayDataType dataType);

    // A contiguous array of the shape, with every element set to the initial value when
    // the value's type is the element type of the data type (Float16 for float16, float for
    // float32, double for float64, int32_t for int32, int8_t for int8); a value of any
    // other type leaves the elements zero. Half-precision arrays live in a pixel buffer
    // (width the last dimension, height the product of the others); when that buffer
    // cannot be made, throws MLMultiArrayCreationError::pixelBufferFailed. Other failures
    // throw MLError.
    template <class T>
    MultiArray(Shape shape, MultiArrayDataType dataType, const T& initialValue);

    // An array with explicit strides (in elements, one per dimension, non-negative),
    // backed by zeroed storage large enough for every index the strides reach.
    static MultiArray withStrides(Shape shape, MultiArrayDataType dataType, Shape strides);

    // An array over memory owned elsewhere: `owner` keeps `data` alive for as long as any
    // copy of the array exists. The caller guarantees that every index reaches memory
    // inside the block.
    static MultiArray wrapping(std::shared_ptr<void> owner, void* data, Shape shape, MultiArrayDataType dataType,
                               Shape strides);

    // An array on an existing half-precision pixel buffer; the shape's last dimension must
    // be the buffer's width and the product of the others its height (MLError otherwise).
    MultiArray(const PixelBuffer& pixelBuffer, Shape shape);

    // The half-precision buffer for a shape (width = last dimension, height = product of
    // the others, 1 for a one-dimensional shape); nothing when the shape is empty, has a
    // zero or negative dimension, or is too large to allocate.
    static std::optional<PixelBuffer> pixelBuffer(const Shape& shape);

    // An int32 array of shape [1, …, 1, n] (`dims` dimensions, the last n = ints.size())
    // holding the integers in order. Throws MLError when `dims` is below 1 or an integer
    // does not fit in 32 bits.
    static MultiArray from(const std::vector<std::int64_t>& ints, int dims = 1);

    const Shape& shape() const { return layout_->shape; }
    const Shape& strides() const { return layout_->strides; }
    MultiArrayDataType dataType() const { return dataType_; }
    std::int64_t count() const { return count_; }
    bool isEmpty() const { return data_ == nullptr; }
    // True when the strides are the row-major strides of the shape.
    bool isContiguous() const;

    // The first element's address; elements are reached through the strides.
    void* dataPointer() const { return data_; }
    // The typed first element; T must be the element type of the data type (a mismatch is
    // a broken caller contract and stops the process).
    template <class T>
    T* data() const;

    // The pixel buffer behind a half-precision array made from one, if any.
    const std::optional<PixelBuffer>& pixelBufferValue() const { return pixelBuffer_; }

    // Sum of index[i] × stride[i] over the positions both lists have; the strides default
    // to the array's own.
    std::int64_t linearOffset(const Shape& index, const std::optional<Shape>& strides = std::nullopt) const;

    // Writes `value` at every multi-index whose length equals the rank and whose components
    // lie inside their dimensions; other multi-indices are skipped. T must be the element
    // type of the data type (otherwise the process stops).
    template <class T>
    void fill(const std::vector<Shape>& indexes, T value) const;

    // For a half-precision array of shape [1, 1, N]: writes `value` at positions
    // begin..<end of the last dimension. Any other shape or data type, or a range outside
    // 0...N, is a broken caller contract and stops the process.
    void fillLastDimension(int begin, int end, Float16 value) const;

    // Element access by logical row-major position (0..<count) or by multi-index, with
    // conversion from and to double. Out-of-range positions stop the process.
    double value(std::int64_t index) const;
    void setValue(std::int64_t index, double value) const;
    double value(const Shape& index) const;
    void setValue(const Shape& index, double value) const;

    // A contiguous copy with its own storage.
    MultiArray copy() const;
    // Element values converted to float, in logical row-major order.
    std::vector<float> floatValues() const;

    // True when both arrays refer to the same storage block.
    bool sharesStorageWith(const MultiArray& other) const { return storage_ && storage_ == other.storage_; }
    // A weak reference to the storage block, for caches keyed by an array's identity.
    std::weak_ptr<void> storageReference() const { return storage_; }
    // How many arrays refer to the storage block (for pools that recycle arrays nobody
    // else holds any more).
    long storageUseCount() const { return storage_.use_count(); }

private:
    void allocate(std::size_t bytes);
    void fillAllWith(const void* valueBytes) const;
    void fillIndexes(const std::vector<Shape>& indexes, const void* valueBytes, MultiArrayDataType valueType) const;
    std::int64_t storageOffset(std::int64_t logicalIndex) const;
    std::int64_t storageOffset(const Shape& index) const;
    static void validateShape(const Shape& shape);
    static void createFloat16(MultiArray& array, Shape shape);

    // Shape and strides, shared between copies so that copying an array allocates nothing.
    struct Layout {
        Shape shape;
        Shape strides;
    };
    static const std::shared_ptr<const Layout>& emptyLayout();
    void setLayout(Shape shape, Shape strides);

    std::shared_ptr<const Layout> layout_ = emptyLayout();
    MultiArrayDataType dataType_ = MultiArrayDataType::float32;
    std::int64_t count_ = 0;
    std::shared_ptr<void> storage_;
    void* data_ = nullptr;
    std::optional<PixelBuffer> pixelBuffer_;
};

[[noreturn]] void multiArrayTypeMismatch(MultiArrayDataType expected, MultiArrayDataType actual);

template <class T>
MultiArray::MultiArray(Shape shape, MultiArrayDataType dataType, const T& initialValue) {
    if (dataType == MultiArrayDataType::float16) {
        createFloat16(*this, std::move(shape));
    } else {
        *this = MultiArray(std::move(shape), dataType);
    }
    if constexpr (IsMultiArrayScalar<T>::value) {
        if (MultiArrayScalar<T>::dataType == dataType) fillAllWith(&initialValue);
    }
}

template <class T>
T* MultiArray::data() const {
    static_assert(IsMultiArrayScalar<T>::value, "not a multi-array element type");
    if (MultiArrayScalar<T>::dataType != dataType_) multiArrayTypeMismatch(MultiArrayScalar<T>::dataType, dataType_);
    return static_cast<T*>(data_);
}

template <class T>
void MultiArray::fill(const std::vector<Shape>& indexes, T value) const {
    static_assert(IsMultiArrayScalar<T>::value, "not a multi-array element type");
    fillIndexes(indexes, &value, MultiArrayScalar<T>::dataType);
}

}  // namespace platform
