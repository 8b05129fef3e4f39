#include "Platform/ML/MLError.h"
#include "Platform/ML/Runtime/BlockwiseFormat.h"
#include "Platform/ML/Runtime/ModelManifest.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

using namespace platform;
using namespace platform::runtime;

TEST(BlockwiseFormat, CodesAreALittleEndianBitStreamOfOffsetValues) {
    struct Case {
        int bits;
        std::vector<std::int8_t> codes;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {8, {-127, 0, 127, 1}, {0x01, 0x80, 0xFF, 0x81}},
        {6, {-31, 0, 31, 1}, {0x01, 0xF8, 0x87}},
        {5, {-15, 15, 0, 1, -1, 2, 3, -2}, {0xE1, 0xC3, 0xF8, 0xE4, 0x74}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bits);
        std::vector<std::uint8_t> packed(c.bytes.size());
        packBlockwiseRow(c.codes.data(), static_cast<std::int64_t>(c.codes.size()), c.bits, packed.data());
        EXPECT_EQ(packed, c.bytes);
        std::vector<std::int8_t> codes(c.codes.size());
        unpackBlockwiseRow(c.bytes.data(), static_cast<std::int64_t>(codes.size()), c.bits, codes.data());
        EXPECT_EQ(codes, c.codes);
    }
}

TEST(BlockwiseFormat, QuantizedRowsDequantizeWithinHalfAStepOfEveryWidth) {
    std::mt19937 random(7);
    std::normal_distribution<float> normal(0.0f, 0.05f);
    for (int bits : kBlockwiseWidths) {
        for (int block : {8, 32, 64}) {
            SCOPED_TRACE(std::to_string(bits) + " bits, block " + std::to_string(block));
            BlockwiseLayout layout{1, 128, bits, block};
            std::vector<float> values(128);
            for (auto& v : values) v = normal(random);
            for (int i = 0; i < block; ++i) values[static_cast<std::size_t>(i)] = 0.0f;  // an all-zero block
            std::vector<std::uint8_t> packed(layout.rowBytes());
            std::vector<Float16> scales(static_cast<std::size_t>(layout.blocksPerRow()));
            quantizeBlockwiseRow(layout, values.data(), packed.data(), scales.data());
            std::vector<float> restored(128);
            dequantizeBlockwiseRow(layout, packed.data(), scales.data(), restored.data());
            for (std::size_t i = 0; i < values.size(); ++i) {
                const float step = scales[i / static_cast<std::size_t>(block)].floatValue();
                // Half a step, plus the clamp of the largest value when its scale rounded down.
                EXPECT_LE(std::fabs(values[i] - restored[i]), 0.5f * step + 1e-3f * std::fabs(values[i])) << i;
            }
            EXPECT_EQ(scales[0].floatValue(), 0.0f);
        }
    }
}

TEST(BlockwiseFormat, LayoutsComeFromTheStoredShapesAndBadOnesNameTheTensor) {
    struct Case {
        const char* what;
        std::vector<std::int64_t> packed, scale;
        int bits, block;  // 0: rejected
    };
    const Case cases[] = {
        {"8 bits, block 64", {4, 128}, {4, 2}, 8, 64},
        {"6 bits, block 32", {4, 96}, {4, 4}, 6, 32},
        {"5 bits, block 8", {4, 80}, {4, 16}, 5, 8},
        {"4 bits", {4, 64}, {4, 2}, 0, 0},
        {"7 bits", {4, 112}, {4, 2}, 0, 0},
        {"codes not a whole number of bits", {4, 100}, {4, 2}, 0, 0},
        {"packed bytes missing", {4, 0}, {4, 2}, 0, 0},
        {"more bytes than 8 bits need", {4, 256}, {4, 2}, 0, 0},
        {"packed rows missing", {3, 128}, {4, 2}, 0, 0},
        {"packed shape flat", {512}, {4, 2}, 0, 0},
        {"no scales", {4, 128}, {4, 0}, 0, 0},
        {"scale rows missing", {4, 128}, {2, 2}, 0, 0},
        {"block 128 larger than 64", {4, 128}, {4, 1}, 0, 0},
        {"block 4 not a multiple of 8", {4, 128}, {4, 32}, 0, 0},
        {"blocks do not divide the row", {4, 128}, {4, 3}, 0, 0},
        {"more scales than columns", {4, 128}, {4, 256}, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.bits) {
            const auto layout = deriveBlockwiseLayout("w", 4, 128, c.packed, c.scale);
            EXPECT_EQ(layout.bits, c.bits);
            EXPECT_EQ(layout.block, c.block);
            EXPECT_EQ(blockwisePackedShape(layout), c.packed);
            EXPECT_EQ(blockwiseScaleShape(layout), c.scale);
            continue;
        }
        try {
            deriveBlockwiseLayout("layers.0.mlp.up", 4, 128, c.packed, c.scale);
            ADD_FAILURE() << "accepted";
        } catch (const MLError& error) {
            EXPECT_EQ(error.code(), MLError::Code::invalidModel);
            EXPECT_NE(std::string(error.what()).find("layers.0.mlp.up"), std::string::npos) << error.what();
        }
    }
    const Float16 scales[] = {Float16(0.5f), Float16::quietNaN()};
    EXPECT_NO_THROW(checkBlockwiseScales("w", scales, 1));
    EXPECT_THROW(checkBlockwiseScales("w", scales, 2), MLError);
}

TEST(BlockwiseFormat, ManifestsRecordTheFormatAndRefuseOnesThisRuntimeCannotRead) {
    auto manifest = ModelManifest::forDecoder(DecoderHyperparameters{});
    EXPECT_EQ(ModelManifest::parse(manifest.serialize(), "half").weightFormat, WeightFormat::half);
    manifest.weightFormat = WeightFormat::blockwise;
    const std::string text = manifest.serialize();
    EXPECT_EQ(ModelManifest::parse(text, "compressed").weightFormat, WeightFormat::blockwise);

    struct Case {
        const char* from;
        const char* to;
        const char* says;
    };
    const Case cases[] = {
        {"\"weightFormatVersion\": 1", "\"weightFormatVersion\": 2", "version 2"},
        {"\"weightFormat\": \"blockwise\"", "\"weightFormat\": \"lattice\"", "\"lattice\""},
        {"\"weightFormatVersion\": 1", "\"weightFormatVersion\": \"1\"", "cannot read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.to);
        std::string changed = text;
        const auto at = changed.find(c.from);
        ASSERT_NE(at, std::string::npos);
        changed.replace(at, std::string(c.from).size(), c.to);
        try {
            ModelManifest::parse(changed, "model.json");
            ADD_FAILURE() << "accepted";
        } catch (const MLError& error) {
            EXPECT_NE(std::string(error.what()).find(c.says), std::string::npos) << error.what();
            EXPECT_NE(std::string(error.what()).find("cannot read"), std::string::npos) << error.what();
        }
    }
}

}  // namespace
