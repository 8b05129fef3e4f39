#include "Platform/ML/MLError.h"
#include "Platform/ML/MLMultiArrayCreationError.h"
#include "Platform/ML/MultiArray.h"
#include "Platform/ML/ShapedArray.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using platform::Float16;
using platform::MLError;
using platform::MLMultiArrayCreationError;
using platform::MultiArray;
using platform::MultiArrayDataType;
using platform::Shape;

std::vector<double> valuesOf(const MultiArray& array) {
    std::vector<double> values;
    for (std::int64_t i = 0; i < array.count(); ++i) values.push_back(array.value(i));
    return values;
}

TEST(MultiArray, InitialValueFillsOnlyWhenItsTypeMatchesTheDataType) {
    struct Case {
        const char* what;
        MultiArray array;
        double expected;
    };
    const Case cases[] = {
        {"float32 with a float", MultiArray({2, 3}, MultiArrayDataType::float32, 1.5f), 1.5},
        {"float32 with an int stays unfilled", MultiArray({2, 3}, MultiArrayDataType::float32, 1), 0},
        {"float32 with a double stays unfilled", MultiArray({2, 3}, MultiArrayDataType::float32, 1.5), 0},
        {"double with a double", MultiArray({4}, MultiArrayDataType::float64, -2.25), -2.25},
        {"int32 with an int32", MultiArray({1, 5}, MultiArrayDataType::int32, std::int32_t{7}), 7},
        {"int32 with a float stays unfilled", MultiArray({1, 5}, MultiArrayDataType::int32, 7.0f), 0},
        {"int8 with an int8", MultiArray({3}, MultiArrayDataType::int8, std::int8_t{-3}), -3},
        {"float16 with a half", MultiArray({1, 1, 448}, MultiArrayDataType::float16, Float16(-10000.0f)), -10000},
        {"float16 with a float stays unfilled", MultiArray({1, 4}, MultiArrayDataType::float16, 2.0f), 0},
        {"any type with an unrelated value", MultiArray({2}, MultiArrayDataType::float32, std::string("x")), 0},
    };
    for (const auto& c : cases) {
        ASSERT_FALSE(c.array.isEmpty()) << c.what;
        for (double v : valuesOf(c.array)) EXPECT_EQ(v, c.expected) << c.what;
    }
    EXPECT_EQ(cases[0].array.count(), 6);
}

TEST(MultiArray, HalfPrecisionArraysLiveInAPixelBuffer) {
    MultiArray logits({1, 1, 448}, MultiArrayDataType::float16, Float16(0.5f));
    ASSERT_TRUE(logits.pixelBufferValue().has_value());
    EXPECT_EQ(logits.pixelBufferValue()->width, 448);
    EXPECT_EQ(logits.pixelBufferValue()->height, 1);
    EXPECT_EQ(logits.dataPointer(), logits.pixelBufferValue()->baseAddress);
    EXPECT_EQ(logits.strides(), (Shape{448, 448, 1}));

    struct Case {
        Shape shape;
        int width, height;
    };
    for (const auto& c : {Case{{5}, 5, 1}, Case{{2, 3, 4}, 4, 6}, Case{{1, 384, 1, 224}, 224, 384}}) {
        auto buffer = MultiArray::pixelBuffer(c.shape);
        ASSERT_TRUE(buffer.has_value());
        EXPECT_EQ(buffer->width, c.width);
        EXPECT_EQ(buffer->height, c.height);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer->baseAddress) % 64, 0u);
    }
    for (const Shape& bad : {Shape{}, Shape{2, 0}, Shape{0, 3}, Shape{1, -1}})
        EXPECT_FALSE(MultiArray::pixelBuffer(bad));

    try {
        MultiArray({}, MultiArrayDataType::float16, Float16(1.0f));
        FAIL() << "an empty half-precision shape must fail";
    } catch (const MLMultiArrayCreationError& error) {
        EXPECT_STREQ(error.what(), "Failed to create IOSurface-backed pixel buffer for MLMultiArray");
        EXPECT_EQ(error, MLMultiArrayCreationError::pixelBufferFailed());
    }
}

TEST(MultiArray, StorageIsZeroedAlignedAndShared) {
    MultiArray a({3, 5, 7}, MultiArrayDataType::float32);
    EXPECT_EQ(a.strides(), (Shape{35, 7, 1}));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.dataPointer()) % 64, 0u);
    for (double v : valuesOf(a)) ASSERT_EQ(v, 0.0);

    MultiArray alias = a;  // refers to the same elements
    alias.setValue({1, 2, 3}, 4.5);
    EXPECT_EQ(a.value({1, 2, 3}), 4.5);
    EXPECT_EQ(a.data<float>()[35 + 14 + 3], 4.5f);
    EXPECT_TRUE(alias.sharesStorageWith(a));

    MultiArray independent = a.copy();
    independent.setValue({1, 2, 3}, 9.0);
    EXPECT_EQ(a.value({1, 2, 3}), 4.5);
    EXPECT_FALSE(independent.sharesStorageWith(a));

    MultiArray none;
    EXPECT_TRUE(none.isEmpty());
    EXPECT_EQ(none.count(), 0);
}

TEST(MultiArray, LargeArraysAreZeroedAndGiveTheirMemoryBackOnceReleased) {
    // A window's arrays (spectrogram, embeddings, caches) are megabytes: once the last
    // reference goes, their pages leave the process instead of waiting in the allocator.
    const long page = ::sysconf(_SC_PAGESIZE);
    // The allocator maps blocks this large itself at first, but once such a block is freed
    // it serves them from its heap, which keeps them.
    void* volatile block = std::malloc(std::size_t{16} << 20);
    std::free(block);
    void* address = nullptr;
    {
        MultiArray large({1, 512, 1, 1500}, MultiArrayDataType::float32);
        address = large.dataPointer();
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(address) % 64, 0u);
        for (std::int64_t i = 0; i < large.count(); i += 997) ASSERT_EQ(large.data<float>()[i], 0.0f) << i;
        MultiArray alias = large;
        large = MultiArray();
        alias.data<float>()[0] = 1.0f;  // still held by the alias
        unsigned char resident = 0;
        ASSERT_EQ(::mincore(address, static_cast<std::size_t>(page), &resident), 0);
    }
    unsigned char resident = 0;
    EXPECT_EQ(::mincore(address, static_cast<std::size_t>(page), &resident), -1);
    EXPECT_EQ(errno, ENOMEM);
}

TEST(MultiArray, CreationRejectsShapesItCannotHold) {
    for (const Shape& bad : {Shape{}, Shape{2, -1}, Shape{1 << 30, 1 << 30, 1 << 30}}) {
        EXPECT_THROW(MultiArray(bad, MultiArrayDataType::float32), MLError);
    }
    EXPECT_THROW(MultiArray::withStrides({2, 3}, MultiArrayDataType::int32, {1}), MLError);
    EXPECT_THROW(MultiArray::withStrides({2, 3}, MultiArrayDataType::int32, {-1, 1}), MLError);
}

TEST(MultiArray, StridedArraysAreAddressedThroughTheirStrides) {
    // Two rows of three, each row padded to eight elements.
    MultiArray padded = MultiArray::withStrides({2, 3}, MultiArrayDataType::int32, {8, 1});
    for (int i = 0; i < 6; ++i) padded.setValue(i, i + 1);
    const auto* raw = padded.data<std::int32_t>();
    EXPECT_EQ(raw[0], 1);
    EXPECT_EQ(raw[2], 3);
    EXPECT_EQ(raw[8], 4);
    EXPECT_EQ(raw[10], 6);
    EXPECT_FALSE(padded.isContiguous());
    MultiArray compact = padded.copy();
    EXPECT_TRUE(compact.isContiguous());
    EXPECT_EQ(valuesOf(compact), (std::vector<double>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(padded.floatValues(), (std::vector<float>{1, 2, 3, 4, 5, 6}));
}

TEST(MultiArray, FromIntegersMakesAnInt32RowOfTheRequestedRank) {
    MultiArray ids = MultiArray::from({50258, 50259, 50359}, 3);
    EXPECT_EQ(ids.shape(), (Shape{1, 1, 3}));
    EXPECT_EQ(ids.dataType(), MultiArrayDataType::int32);
    EXPECT_EQ(valuesOf(ids), (std::vector<double>{50258, 50259, 50359}));
    EXPECT_EQ(MultiArray::from({4}).shape(), (Shape{1}));
    EXPECT_EQ(MultiArray::from({}, 2).shape(), (Shape{1, 0}));
    EXPECT_THROW(MultiArray::from({1}, 0), MLError);
    EXPECT_THROW(MultiArray::from({std::int64_t{1} << 31}), MLError);
}

TEST(MultiArray, LinearOffsetSumsOverThePositionsBothListsHave) {
    MultiArray a({4, 10}, MultiArrayDataType::float32);
    EXPECT_EQ(a.linearOffset({1, 2}, Shape{10, 1}), 12);
    EXPECT_EQ(a.linearOffset({1, 2}, Shape{10}), 10);
    EXPECT_EQ(a.linearOffset({3, 7}), 37);
    EXPECT_EQ(a.linearOffset({3}), 30);
}

TEST(MultiArray, FillWritesOnlyValidMultiIndices) {
    MultiArray logits({1, 1, 100}, MultiArrayDataType::float16, Float16(1.0f));
    logits.fill<Float16>({{0, 0, 5}, {0, 0, 100}, {0, 0, -1}, {0, 5}, {0, 0, 0, 7}, {0, 0, 99}},
                         Float16::negativeInfinity());
    for (int i = 0; i < 100; ++i) {
        const bool written = i == 5 || i == 99;
        EXPECT_EQ(std::isinf(logits.value(i)), written) << i;
    }

    // Through strides: a column of a padded matrix.
    MultiArray padded = MultiArray::withStrides({3, 2}, MultiArrayDataType::int32, {4, 1});
    padded.fill<std::int32_t>({{0, 1}, {1, 1}, {2, 1}, {3, 1}}, 8);
    EXPECT_EQ(valuesOf(padded), (std::vector<double>{0, 8, 0, 8, 0, 8}));
}

TEST(MultiArray, FillLastDimensionWritesTheRange) {
    MultiArray logits({1, 1, 10}, MultiArrayDataType::float16);
    logits.fillLastDimension(3, 7, Float16::negativeInfinity());
    logits.fillLastDimension(9, 10, Float16(2.0f));
    logits.fillLastDimension(4, 4, Float16(5.0f));
    const auto values = valuesOf(logits);
    for (int i = 0; i < 10; ++i) {
        const double expected = (i >= 3 && i < 7) ? -INFINITY : (i == 9 ? 2.0 : 0.0);
        EXPECT_EQ(values[static_cast<std::size_t>(i)], expected) << i;
    }
}

TEST(MultiArrayDeathTest, BrokenCallerContractsStopTheProcess) {
    MultiArray matrix({2, 10}, MultiArrayDataType::float16);
    EXPECT_DEATH(matrix.fillLastDimension(0, 1, Float16(1.0f)), "shape \\[1, 1, N\\]");
    MultiArray row({1, 1, 10}, MultiArrayDataType::float16);
    EXPECT_DEATH(row.fillLastDimension(5, 11, Float16(1.0f)), "range");
    EXPECT_DEATH(row.fill<float>({{0, 0, 1}}, 1.0f), "float32");
    EXPECT_DEATH(row.data<std::int32_t>(), "int32");
    EXPECT_DEATH(row.value(10), "out of range");
}

TEST(MultiArray, ShapedArraysConvertElementsBothWays) {
    MultiArray source({2, 2}, MultiArrayDataType::float32);
    for (int i = 0; i < 4; ++i) source.setValue(i, 0.1 * (i + 1));
    platform::ShapedArray<Float16> half(source);
    EXPECT_EQ(half.shape(), (Shape{2, 2}));
    EXPECT_EQ(half.scalars()[0].bitPattern(), Float16(0.1f).bitPattern());
    MultiArray back = half.toMultiArray();
    EXPECT_EQ(back.dataType(), MultiArrayDataType::float16);
    EXPECT_EQ(back.value(3), static_cast<double>(Float16(0.4f)));
}

}  // namespace
