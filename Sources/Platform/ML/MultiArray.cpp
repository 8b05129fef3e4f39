#include "Platform/ML/MultiArray.h"

#include "Platform/ML/Fatal.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/MLMultiArrayCreationError.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>

namespace platform {

namespace {

constexpr std::size_t storageAlignment = 64;
// Arrays beyond this size are refused rather than attempted.
constexpr std::size_t maximumBytes = std::size_t{1} << 40;

// Arrays of this size or more are mapped directly rather than taken from the allocator,
// which may keep a freed block of this size resident (a window's arrays would then stay
// after the window); fresh pages read as zero.
constexpr std::size_t mappedBytes = std::size_t{256} << 10;

std::shared_ptr<void> allocateZeroed(std::size_t bytes) {
    if (bytes >= mappedBytes) {
        void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) return nullptr;
        return std::shared_ptr<void>(memory, [bytes](void* p) { ::munmap(p, bytes); });
    }
    std::size_t rounded = (bytes + storageAlignment - 1) / storageAlignment * storageAlignment;
    if (rounded == 0) rounded = storageAlignment;
    void* memory = std::aligned_alloc(storageAlignment, rounded);
    if (memory == nullptr) return nullptr;
    std::memset(memory, 0, rounded);
    return std::shared_ptr<void>(memory, [](void* p) { std::free(p); });
}

// Product of the dimensions, or nothing on overflow past the size limit.
std::optional<std::int64_t> elementCount(const Shape& shape, std::size_t elementBytes) {
    std::int64_t count = 1;
    for (int d : shape) {
        if (d < 0) return std::nullopt;
        if (__builtin_mul_overflow(count, static_cast<std::int64_t>(d), &count)) return std::nullopt;
        if (static_cast<std::uint64_t>(count) * elementBytes > maximumBytes) return std::nullopt;
    }
    return count;
}

// The element count of `shape` laid out with `strides`; throws when the two do not match or the
// array would be too large.
std::int64_t stridedElementCount(const Shape& shape, MultiArrayDataType dataType, const Shape& strides) {
    if (strides.size() != shape.size())
        throw MLError(MLError::Code::invalidArgument,
                      "Strides " + shapeText(strides) + " do not match shape " + shapeText(shape));
    const auto count = elementCount(shape, elementSize(dataType));
    if (!count)
        throw MLError(MLError::Code::invalidArgument, "Multi-array shape " + shapeText(shape) + " is too large");
    return *count;
}

Shape rowMajorStrides(const Shape& shape) {
    Shape strides(shape.size(), 1);
    std::int64_t stride = 1;
    for (std::size_t i = shape.size(); i-- > 0;) {
        strides[i] = static_cast<int>(stride);
        stride *= std::max(shape[i], 1);
    }
    return strides;
}

double readElement(const void* address, MultiArrayDataType type) {
    switch (type) {
        case MultiArrayDataType::float16: return static_cast<double>(*static_cast<const Float16*>(address));
        case MultiArrayDataType::float32: return *static_cast<const float*>(address);
        case MultiArrayDataType::float64: return *static_cast<const double*>(address);
        case MultiArrayDataType::int32: return *static_cast<const std::int32_t*>(address);
        case MultiArrayDataType::int8: return *static_cast<const std::int8_t*>(address);
    }
    return 0;
}

template <class I>
I saturatingInteger(double value) {
    if (value != value) return 0;
    if (value <= static_cast<double>(std::numeric_limits<I>::min())) return std::numeric_limits<I>::min();
    if (value >= static_cast<double>(std::numeric_limits<I>::max())) return std::numeric_limits<I>::max();
    return static_cast<I>(value);
}

void writeElement(void* address, MultiArrayDataType type, double value) {
    switch (type) {
        case MultiArrayDataType::float16: *static_cast<Float16*>(address) = Float16(value); break;
        case MultiArrayDataType::float32: *static_cast<float*>(address) = static_cast<float>(value); break;
        case MultiArrayDataType::float64: *static_cast<double*>(address) = value; break;
        case MultiArrayDataType::int32:
            *static_cast<std::int32_t*>(address) = saturatingInteger<std::int32_t>(value);
            break;
        case MultiArrayDataType::int8:
            *static_cast<std::int8_t*>(address) = saturatingInteger<std::int8_t>(value);
            break;
    }
}

}  // namespace

std::size_t elementSize(MultiArrayDataType dataType) {
    switch (dataType) {
        case MultiArrayDataType::float16: return 2;
        case MultiArrayDataType::float32: return 4;
        case MultiArrayDataType::float64: return 8;
        case MultiArrayDataType::int32: return 4;
        case MultiArrayDataType::int8: return 1;
    }
    return 1;
}

std::string_view dataTypeName(MultiArrayDataType dataType) {
    switch (dataType) {
        case MultiArrayDataType::float16: return "float16";
        case MultiArrayDataType::float32: return "float32";
        case MultiArrayDataType::float64: return "double";
        case MultiArrayDataType::int32: return "int32";
        case MultiArrayDataType::int8: return "int8";
    }
    return "unknown";
}

void multiArrayTypeMismatch(MultiArrayDataType expected, MultiArrayDataType actual) {
    fatalError("Multi-array element type " + std::string(dataTypeName(expected)) + " used on an array of " +
               std::string(dataTypeName(actual)));
}

void MultiArray::validateShape(const Shape& shape) {
    if (shape.empty()) throw MLError(MLError::Code::invalidArgument, "A multi-array needs at least one dimension");
    for (int d : shape) {
        if (d < 0)
            throw MLError(MLError::Code::invalidArgument,
                          "Negative dimension in multi-array shape " + shapeText(shape));
    }
}

const std::shared_ptr<const MultiArray::Layout>& MultiArray::emptyLayout() {
    static const std::shared_ptr<const Layout> empty = std::make_shared<const Layout>();
    return empty;
}

void MultiArray::setLayout(Shape shape, Shape strides) {
    layout_ = std::make_shared<const Layout>(Layout{std::move(shape), std::move(strides)});
}

void MultiArray::allocate(std::size_t bytes) {
    storage_ = allocateZeroed(bytes);
    if (!storage_)
        throw MLError(MLError::Code::invalidArgument,
                      "Out of memory allocating a multi-array of " + shapeText(shape()));
    data_ = storage_.get();
}

MultiArray::MultiArray(Shape shape, MultiArrayDataType dataType) : dataType_(dataType) {
    validateShape(shape);
    auto count = elementCount(shape, elementSize(dataType));
    if (!count)
        throw MLError(MLError::Code::invalidArgument, "Multi-array shape " + shapeText(shape) + " is too large");
    Shape strides = rowMajorStrides(shape);
    setLayout(std::move(shape), std::move(strides));
    count_ = *count;
    allocate(static_cast<std::size_t>(count_) * elementSize(dataType));
}

void MultiArray::createFloat16(MultiArray& array, Shape shape) {
    auto buffer = pixelBuffer(shape);
    if (!buffer) throw MLMultiArrayCreationError::pixelBufferFailed();
    array = MultiArray(*buffer, std::move(shape));
}

MultiArray MultiArray::withStrides(Shape shape, MultiArrayDataType dataType, Shape strides) {
    validateShape(shape);
    const std::int64_t count = stridedElementCount(shape, dataType, strides);
    std::int64_t span = 1;  // one past the largest offset reached
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (strides[i] < 0) throw MLError(MLError::Code::invalidArgument, "Negative stride in " + shapeText(strides));
        if (shape[i] == 0) span = 0;
    }
    if (span != 0) {
        for (std::size_t i = 0; i < shape.size(); ++i) span += static_cast<std::int64_t>(shape[i] - 1) * strides[i];
    }
    if (static_cast<std::uint64_t>(span) * elementSize(dataType) > maximumBytes)
        throw MLError(MLError::Code::invalidArgument, "Multi-array strides " + shapeText(strides) + " reach too far");
    MultiArray array;
    array.dataType_ = dataType;
    array.setLayout(std::move(shape), std::move(strides));
    array.count_ = count;
    array.allocate(static_cast<std::size_t>(span) * elementSize(dataType));
    return array;
}

MultiArray MultiArray::wrapping(std::shared_ptr<void> owner, void* data, Shape shape, MultiArrayDataType dataType,
                                Shape strides) {
    validateShape(shape);
    const std::int64_t count = stridedElementCount(shape, dataType, strides);
    MultiArray array;
    array.dataType_ = dataType;
    array.setLayout(std::move(shape), std::move(strides));
    array.count_ = count;
    array.storage_ = std::move(owner);
    array.data_ = data;
    return array;
}

std::optional<PixelBuffer> MultiArray::pixelBuffer(const Shape& shape) {
    if (shape.empty()) return std::nullopt;
    const int width = shape.back();
    std::int64_t height = 1;
    for (std::size_t i = 0; i + 1 < shape.size(); ++i) {
        if (shape[i] <= 0) return std::nullopt;
        if (__builtin_mul_overflow(height, static_cast<std::int64_t>(shape[i]), &height)) return std::nullopt;
    }
    if (width <= 0 || height > std::numeric_limits<int>::max()) return std::nullopt;
    const std::size_t bytesPerRow = static_cast<std::size_t>(width) * sizeof(Float16);
    if (static_cast<std::uint64_t>(height) * bytesPerRow > maximumBytes) return std::nullopt;
    PixelBuffer buffer;
    buffer.width = width;
    buffer.height = static_cast<int>(height);
    buffer.bytesPerRow = bytesPerRow;
    buffer.storage = allocateZeroed(static_cast<std::size_t>(height) * bytesPerRow);
    if (!buffer.storage) return std::nullopt;
    buffer.baseAddress = buffer.storage.get();
    return buffer;
}

MultiArray::MultiArray(const PixelBuffer& pixelBuffer, Shape shape) : dataType_(MultiArrayDataType::float16) {
    validateShape(shape);
    std::int64_t height = 1;
    for (std::size_t i = 0; i + 1 < shape.size(); ++i) height *= shape[i];
    if (shape.back() != pixelBuffer.width || height != pixelBuffer.height ||
        pixelBuffer.bytesPerRow % sizeof(Float16) != 0)
        throw MLError(MLError::Code::invalidArgument, "Shape " + shapeText(shape) + " does not fit a pixel buffer of " +
                                                          std::to_string(pixelBuffer.width) + " × " +
                                                          std::to_string(pixelBuffer.height));
    Shape strides = rowMajorStrides(shape);
    // Rows may be padded: every dimension before the last steps by whole rows.
    const int rowStride = static_cast<int>(pixelBuffer.bytesPerRow / sizeof(Float16));
    if (shape.size() >= 2) {
        std::int64_t stride = rowStride;
        for (std::size_t i = shape.size() - 1; i-- > 0;) {
            strides[i] = static_cast<int>(stride);
            stride *= shape[i];
        }
    }
    count_ = height * shape.back();
    setLayout(std::move(shape), std::move(strides));
    storage_ = pixelBuffer.storage;
    data_ = pixelBuffer.baseAddress;
    pixelBuffer_ = pixelBuffer;
}

MultiArray MultiArray::from(const std::vector<std::int64_t>& ints, int dims) {
    if (dims < 1) throw MLError(MLError::Code::invalidArgument, "A multi-array needs at least one dimension");
    Shape shape(static_cast<std::size_t>(dims), 1);
    if (ints.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        throw MLError(MLError::Code::invalidArgument, "Too many integers for one multi-array");
    shape.back() = static_cast<int>(ints.size());
    MultiArray array(shape, MultiArrayDataType::int32);
    auto* data = array.data<std::int32_t>();
    for (std::size_t i = 0; i < ints.size(); ++i) {
        if (ints[i] < std::numeric_limits<std::int32_t>::min() || ints[i] > std::numeric_limits<std::int32_t>::max())
            throw MLError(MLError::Code::invalidArgument,
                          "Integer " + std::to_string(ints[i]) + " does not fit in 32 bits");
        data[i] = static_cast<std::int32_t>(ints[i]);
    }
    return array;
}

bool MultiArray::isContiguous() const {
    const Shape& extents = shape();
    const Shape& steps = strides();
    std::int64_t stride = 1;
    for (std::size_t i = extents.size(); i-- > 0;) {
        if (steps[i] != stride) return false;
        stride *= std::max(extents[i], 1);
    }
    return true;
}

void MultiArray::fillAllWith(const void* valueBytes) const {
    const std::size_t size = elementSize(dataType_);
    if (isContiguous()) {
        auto* bytes = static_cast<std::byte*>(data_);
        for (std::int64_t i = 0; i < count_; ++i)
            std::memcpy(bytes + static_cast<std::size_t>(i) * size, valueBytes, size);
        return;
    }
    for (std::int64_t i = 0; i < count_; ++i)
        std::memcpy(static_cast<std::byte*>(data_) + static_cast<std::size_t>(storageOffset(i)) * size, valueBytes,
                    size);
}

std::int64_t MultiArray::linearOffset(const Shape& index, const std::optional<Shape>& strides) const {
    const Shape& s = strides ? *strides : this->strides();
    std::int64_t offset = 0;
    const std::size_t n = std::min(index.size(), s.size());
    for (std::size_t i = 0; i < n; ++i) offset += static_cast<std::int64_t>(index[i]) * s[i];
    return offset;
}

void MultiArray::fillIndexes(const std::vector<Shape>& indexes, const void* valueBytes,
                             MultiArrayDataType valueType) const {
    if (valueType != dataType_) multiArrayTypeMismatch(valueType, dataType_);
    const std::size_t size = elementSize(dataType_);
    for (const auto& index : indexes) {
        if (index.size() != shape().size()) continue;
        bool inside = true;
        for (std::size_t i = 0; i < index.size() && inside; ++i) inside = index[i] >= 0 && index[i] < shape()[i];
        if (!inside) continue;
        std::memcpy(static_cast<std::byte*>(data_) + static_cast<std::size_t>(linearOffset(index)) * size, valueBytes,
                    size);
    }
}

void MultiArray::fillLastDimension(int begin, int end, Float16 value) const {
    if (shape().size() != 3 || shape()[0] != 1 || shape()[1] != 1)
        fatalError("fillLastDimension requires an array of shape [1, 1, N], not " + shapeText(shape()));
    if (dataType_ != MultiArrayDataType::float16) multiArrayTypeMismatch(MultiArrayDataType::float16, dataType_);
    if (begin < 0 || end < begin || end > shape()[2])
        fatalError("fillLastDimension range " + std::to_string(begin) + "..<" + std::to_string(end) + " outside 0..." +
                   std::to_string(shape()[2]));
    auto* data = static_cast<Float16*>(data_);
    const std::int64_t stride = strides()[2];
    for (int i = begin; i < end; ++i) data[i * stride] = value;
}

std::int64_t MultiArray::storageOffset(std::int64_t logicalIndex) const {
    if (logicalIndex < 0 || logicalIndex >= count_)
        fatalError("Multi-array index " + std::to_string(logicalIndex) + " out of range for " + shapeText(shape()));
    std::int64_t offset = 0;
    for (std::size_t i = shape().size(); i-- > 0;) {
        const std::int64_t extent = shape()[i];
        offset += (logicalIndex % extent) * strides()[i];
        logicalIndex /= extent;
    }
    return offset;
}

std::int64_t MultiArray::storageOffset(const Shape& index) const {
    bool inside = index.size() == shape().size();
    for (std::size_t i = 0; i < index.size() && inside; ++i) inside = index[i] >= 0 && index[i] < shape()[i];
    if (!inside) fatalError("Multi-array index " + shapeText(index) + " out of range for " + shapeText(shape()));
    return linearOffset(index);
}

double MultiArray::value(std::int64_t index) const {
    return readElement(
        static_cast<std::byte*>(data_) + storageOffset(index) * static_cast<std::int64_t>(elementSize(dataType_)),
        dataType_);
}

void MultiArray::setValue(std::int64_t index, double value) const {
    writeElement(
        static_cast<std::byte*>(data_) + storageOffset(index) * static_cast<std::int64_t>(elementSize(dataType_)),
        dataType_, value);
}

double MultiArray::value(const Shape& index) const {
    return readElement(
        static_cast<std::byte*>(data_) + storageOffset(index) * static_cast<std::int64_t>(elementSize(dataType_)),
        dataType_);
}

void MultiArray::setValue(const Shape& index, double value) const {
    writeElement(
        static_cast<std::byte*>(data_) + storageOffset(index) * static_cast<std::int64_t>(elementSize(dataType_)),
        dataType_, value);
}

MultiArray MultiArray::copy() const {
    if (isEmpty()) return {};
    MultiArray result(shape(), dataType_);
    const std::size_t size = elementSize(dataType_);
    if (isContiguous()) {
        std::memcpy(result.data_, data_, static_cast<std::size_t>(count_) * size);
    } else {
        auto* out = static_cast<std::byte*>(result.data_);
        for (std::int64_t i = 0; i < count_; ++i)
            std::memcpy(out + static_cast<std::size_t>(i) * size,
                        static_cast<const std::byte*>(data_) + static_cast<std::size_t>(storageOffset(i)) * size, size);
    }
    return result;
}

std::vector<float> MultiArray::floatValues() const {
    std::vector<float> values(static_cast<std::size_t>(count_));
    if (dataType_ == MultiArrayDataType::float16 && isContiguous()) {
        convertFloat16ToFloat(static_cast<const Float16*>(data_), values.data(), values.size());
        return values;
    }
    if (dataType_ == MultiArrayDataType::float32 && isContiguous()) {
        std::memcpy(values.data(), data_, values.size() * sizeof(float));
        return values;
    }
    for (std::int64_t i = 0; i < count_; ++i) values[static_cast<std::size_t>(i)] = static_cast<float>(value(i));
    return values;
}

}  // namespace platform
