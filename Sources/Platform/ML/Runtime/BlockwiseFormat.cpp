#include "Platform/ML/Runtime/BlockwiseFormat.h"

#include "Platform/ML/MLError.h"
#include "Platform/ML/Runtime/SafeTensors.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace platform::runtime {

namespace {

[[noreturn]] void invalid(const std::string& name, const std::string& why) {
    throw MLError(MLError::Code::invalidModel, "Compressed weight " + name + ": " + why);
}

std::string shapeText(const std::vector<std::int64_t>& shape) {
    std::string text = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
    return text + "]";
}

}  // namespace

bool isSupportedBlockwiseWidth(int bits) {
    return std::find(std::begin(kBlockwiseWidths), std::end(kBlockwiseWidths), bits) != std::end(kBlockwiseWidths);
}

BlockwiseLayout deriveBlockwiseLayout(const std::string& name, std::int64_t rows, std::int64_t cols,
                                      const std::vector<std::int64_t>& packedShape,
                                      const std::vector<std::int64_t>& scaleShape) {
    if (rows <= 0 || cols <= 0) invalid(name, "empty logical shape");
    if (packedShape.size() != 2 || packedShape[0] != rows)
        invalid(name,
                "packed codes have shape " + shapeText(packedShape) + ", expected " + std::to_string(rows) + " rows");
    if (scaleShape.size() != 2 || scaleShape[0] != rows)
        invalid(name, "scales have shape " + shapeText(scaleShape) + ", expected " + std::to_string(rows) + " rows");
    const std::int64_t rowBytes = packedShape[1];
    if (rowBytes <= 0 || rowBytes > cols || (8 * rowBytes) % cols != 0)
        invalid(name, std::to_string(rowBytes) + " packed bytes per row do not hold " + std::to_string(cols) +
                          " codes of a whole number of bits");
    const int bits = static_cast<int>(8 * rowBytes / cols);
    if (!isSupportedBlockwiseWidth(bits)) invalid(name, "code width " + std::to_string(bits) + " is not supported");
    const std::int64_t blocks = scaleShape[1];
    if (blocks <= 0 || blocks > cols || cols % blocks != 0)
        invalid(name, std::to_string(blocks) + " scales per row do not divide " + std::to_string(cols) +
                          " columns into blocks");
    const std::int64_t block = cols / blocks;
    if (block % kBlockwiseBlockStep != 0 || block > kBlockwiseMaxBlock)
        invalid(name, "block size " + std::to_string(block) + " is not a multiple of " +
                          std::to_string(kBlockwiseBlockStep) + " up to " + std::to_string(kBlockwiseMaxBlock));
    BlockwiseLayout layout;
    layout.rows = rows;
    layout.cols = cols;
    layout.bits = bits;
    layout.block = static_cast<int>(block);
    return layout;
}

std::vector<std::int64_t> blockwisePackedShape(const BlockwiseLayout& layout) {
    return {layout.rows, static_cast<std::int64_t>(layout.rowBytes())};
}

std::vector<std::int64_t> blockwiseScaleShape(const BlockwiseLayout& layout) {
    return {layout.rows, layout.blocksPerRow()};
}

void checkBlockwiseScales(const std::string& name, const Float16* scales, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (!scales[i].isFinite()) invalid(name, "scale " + std::to_string(i) + " is not finite");
}

void packBlockwiseRow(const std::int8_t* codes, std::int64_t count, int bits, std::uint8_t* packed) {
    const int offset = blockwiseCodeOffset(bits);
    const std::uint32_t mask = (1u << bits) - 1;
    std::uint64_t accumulator = 0;
    int held = 0;
    std::size_t out = 0;
    for (std::int64_t i = 0; i < count; ++i) {
        accumulator |= static_cast<std::uint64_t>((codes[i] + offset) & mask) << held;
        held += bits;
        while (held >= 8) {
            packed[out++] = static_cast<std::uint8_t>(accumulator);
            accumulator >>= 8;
            held -= 8;
        }
    }
    if (held > 0) packed[out] = static_cast<std::uint8_t>(accumulator);
}

void unpackBlockwiseRow(const std::uint8_t* packed, std::int64_t count, int bits, std::int8_t* codes) {
    const int offset = blockwiseCodeOffset(bits);
    const std::uint32_t mask = (1u << bits) - 1;
    std::uint64_t accumulator = 0;
    int held = 0;
    std::size_t in = 0;
    for (std::int64_t i = 0; i < count; ++i) {
        while (held < bits) {
            accumulator |= static_cast<std::uint64_t>(packed[in++]) << held;
            held += 8;
        }
        codes[i] = static_cast<std::int8_t>(static_cast<int>(accumulator & mask) - offset);
        accumulator >>= bits;
        held -= bits;
    }
}

void dequantizeBlockwiseRow(const BlockwiseLayout& layout, const std::uint8_t* packedRow, const Float16* scaleRow,
                            float* out) {
    std::int8_t codes[kBlockwiseMaxBlock];
    for (std::int64_t b = 0; b < layout.blocksPerRow(); ++b) {
        unpackBlockwiseRow(packedRow + b * layout.blockBytes(), layout.block, layout.bits, codes);
        const float scale = scaleRow[b].floatValue();
        for (int i = 0; i < layout.block; ++i) out[b * layout.block + i] = scale * static_cast<float>(codes[i]);
    }
}

void quantizeBlockwiseRow(const BlockwiseLayout& layout, const float* values, std::uint8_t* packedRow,
                          Float16* scaleRow) {
    const int maxCode = blockwiseMaxCode(layout.bits);
    std::int8_t codes[kBlockwiseMaxBlock];
    for (std::int64_t b = 0; b < layout.blocksPerRow(); ++b) {
        const float* block = values + b * layout.block;
        float absMax = 0.0f;
        for (int i = 0; i < layout.block; ++i) {
            if (!std::isfinite(block[i]))
                throw MLError(MLError::Code::invalidArgument, "Cannot compress a value that is not finite");
            absMax = std::max(absMax, std::fabs(block[i]));
        }
        const Float16 scale(absMax / static_cast<float>(maxCode));
        if (!scale.isFinite())
            throw MLError(MLError::Code::invalidArgument, "A block scale does not fit half precision");
        const float s = scale.floatValue();
        for (int i = 0; i < layout.block; ++i) {
            const float q = s > 0.0f ? std::nearbyint(block[i] / s) : 0.0f;
            codes[i] =
                static_cast<std::int8_t>(std::clamp(q, static_cast<float>(-maxCode), static_cast<float>(maxCode)));
        }
        scaleRow[b] = scale;
        packBlockwiseRow(codes, layout.block, layout.bits, packedRow + b * layout.blockBytes());
    }
}

void addBlockwiseMatrix(SafeTensorsWriter& writer, const std::string& name, const BlockwiseLayout& layout,
                        const std::uint8_t* codes, const Float16* scales) {
    std::vector<std::byte> codeBytes(layout.packedBytes());
    std::memcpy(codeBytes.data(), codes, codeBytes.size());
    std::vector<std::byte> scaleBytes(layout.scaleCount() * sizeof(Float16));
    std::memcpy(scaleBytes.data(), scales, scaleBytes.size());
    writer.add(name, TensorDType::U8, blockwisePackedShape(layout), std::move(codeBytes));
    writer.add(name + kBlockwiseScaleSuffix, TensorDType::F16, blockwiseScaleShape(layout), std::move(scaleBytes));
}

void addReferenceQuantizedMatrix(SafeTensorsWriter& writer, const std::string& name, const BlockwiseLayout& layout,
                                 const float* values) {
    std::vector<std::uint8_t> codes(layout.packedBytes());
    std::vector<Float16> scales(layout.scaleCount());
    for (std::int64_t r = 0; r < layout.rows; ++r)
        quantizeBlockwiseRow(layout, values + r * layout.cols, codes.data() + r * layout.rowBytes(),
                             scales.data() + r * layout.blocksPerRow());
    addBlockwiseMatrix(writer, name, layout, codes.data(), scales.data());
}

}  // namespace platform::runtime
