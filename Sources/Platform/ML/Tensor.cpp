#include "Platform/ML/Tensor.h"

#include "Platform/ML/Fatal.h"
#include "Platform/ML/MLError.h"

#include <cstring>
#include <string>

namespace platform {

namespace {

std::size_t scalarSize(TensorScalarType type) {
    switch (type) {
        case TensorScalarType::float16: return 2;
        case TensorScalarType::float32: return 4;
        case TensorScalarType::float64: return 8;
        case TensorScalarType::int32: return 4;
        case TensorScalarType::int8:
        case TensorScalarType::uint8:
        case TensorScalarType::boolean: return 1;
    }
    return 1;
}

template <class T>
std::vector<std::byte> bytesOf(const std::vector<T>& scalars) {
    std::vector<std::byte> bytes(scalars.size() * sizeof(T));
    if (!scalars.empty()) std::memcpy(bytes.data(), scalars.data(), bytes.size());
    return bytes;
}

std::int64_t product(const Shape& shape) {
    std::int64_t n = 1;
    for (int d : shape) n *= d;
    return n;
}

}  // namespace

std::string_view tensorScalarTypeName(TensorScalarType type) {
    switch (type) {
        case TensorScalarType::float16: return "Float16";
        case TensorScalarType::float32: return "Float";
        case TensorScalarType::float64: return "Double";
        case TensorScalarType::int32: return "Int32";
        case TensorScalarType::int8: return "Int8";
        case TensorScalarType::uint8: return "UInt8";
        case TensorScalarType::boolean: return "Bool";
    }
    return "Unknown";
}

Tensor::Tensor(Shape shape, TensorScalarType type, std::vector<std::byte> bytes)
    : shape_(std::move(shape)), scalarType_(type), bytes_(std::move(bytes)) {
    for (int d : shape_) {
        if (d < 0) throw MLError(MLError::Code::invalidArgument, "Negative dimension in tensor shape");
    }
    if (static_cast<std::int64_t>(bytes_.size()) != product(shape_) * static_cast<std::int64_t>(scalarSize(type)))
        throw MLError(MLError::Code::invalidArgument, "Tensor scalar count does not match its shape");
}

Tensor::Tensor(Shape shape, std::vector<Float16> scalars)
    : Tensor(std::move(shape), TensorScalarType::float16, bytesOf(scalars)) {}
Tensor::Tensor(Shape shape, std::vector<float> scalars)
    : Tensor(std::move(shape), TensorScalarType::float32, bytesOf(scalars)) {}
Tensor::Tensor(Shape shape, std::vector<double> scalars)
    : Tensor(std::move(shape), TensorScalarType::float64, bytesOf(scalars)) {}
Tensor::Tensor(Shape shape, std::vector<std::int32_t> scalars)
    : Tensor(std::move(shape), TensorScalarType::int32, bytesOf(scalars)) {}
Tensor::Tensor(Shape shape, std::vector<std::int8_t> scalars)
    : Tensor(std::move(shape), TensorScalarType::int8, bytesOf(scalars)) {}
Tensor::Tensor(Shape shape, std::vector<std::uint8_t> scalars)
    : Tensor(std::move(shape), TensorScalarType::uint8, bytesOf(scalars)) {}
Tensor::Tensor(Shape shape, std::vector<bool> scalars)
    : Tensor(std::move(shape), TensorScalarType::boolean, [&] {
          std::vector<std::byte> bytes(scalars.size());
          for (std::size_t i = 0; i < scalars.size(); ++i)
              bytes[i] = std::byte{scalars[i] ? std::uint8_t{1} : std::uint8_t{0}};
          return bytes;
      }()) {}

Tensor::Tensor(const MultiArray& array) : shape_(array.shape()) {
    const MultiArray contiguous = array.isContiguous() ? array : array.copy();
    switch (array.dataType()) {
        case MultiArrayDataType::float16: scalarType_ = TensorScalarType::float16; break;
        case MultiArrayDataType::float32: scalarType_ = TensorScalarType::float32; break;
        case MultiArrayDataType::float64: scalarType_ = TensorScalarType::float64; break;
        case MultiArrayDataType::int32: scalarType_ = TensorScalarType::int32; break;
        case MultiArrayDataType::int8: scalarType_ = TensorScalarType::int8; break;
    }
    bytes_.resize(static_cast<std::size_t>(contiguous.count()) * elementSize(array.dataType()));
    if (!bytes_.empty()) std::memcpy(bytes_.data(), contiguous.dataPointer(), bytes_.size());
}

std::int64_t Tensor::scalarCount() const { return product(shape_); }

void Tensor::unsupported() const {
    fatalError("Unsupported scalar type: " + std::string(tensorScalarTypeName(scalarType_)));
}

std::vector<std::int64_t> Tensor::toIntArray() const {
    if (scalarType_ != TensorScalarType::int32)
        fatalError("toIntArray requires an Int32 tensor, not " + std::string(tensorScalarTypeName(scalarType_)));
    std::vector<std::int64_t> result(static_cast<std::size_t>(scalarCount()));
    for (std::size_t i = 0; i < result.size(); ++i) {
        std::int32_t v;
        std::memcpy(&v, bytes_.data() + i * 4, 4);
        result[i] = v;
    }
    return result;
}

std::vector<float> Tensor::toFloatArray() const {
    std::vector<float> result(static_cast<std::size_t>(scalarCount()));
    switch (scalarType_) {
        case TensorScalarType::float32:
            if (!result.empty()) std::memcpy(result.data(), bytes_.data(), bytes_.size());
            break;
        case TensorScalarType::float16:
            convertFloat16ToFloat(reinterpret_cast<const Float16*>(bytes_.data()), result.data(), result.size());
            break;
        case TensorScalarType::int32:
            for (std::size_t i = 0; i < result.size(); ++i) {
                std::int32_t v;
                std::memcpy(&v, bytes_.data() + i * 4, 4);
                result[i] = static_cast<float>(v);
            }
            break;
        default: unsupported();
    }
    return result;
}

MultiArray Tensor::toMultiArray() const {
    MultiArrayDataType type;
    switch (scalarType_) {
        case TensorScalarType::float32: type = MultiArrayDataType::float32; break;
        case TensorScalarType::float16: type = MultiArrayDataType::float16; break;
        case TensorScalarType::int32: type = MultiArrayDataType::int32; break;
        default: unsupported();
    }
    MultiArray array(shape_.empty() ? Shape{1} : shape_, type);
    if (!bytes_.empty()) std::memcpy(array.dataPointer(), bytes_.data(), bytes_.size());
    return array;
}

}  // namespace platform
