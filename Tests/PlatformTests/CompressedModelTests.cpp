#include "Platform/ML/DecoderSteps.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/ModelFolder.h"
#include "Platform/ML/Runtime/BlockwiseGemm.h"
#include "Platform/ML/Runtime/BlockwiseKernels.h"
#include "Platform/ML/Runtime/CrossStateKernels.h"
#include "Platform/ML/Runtime/Kernels.h"
#include "Platform/ML/Runtime/TextDecoderModel.h"
#include "Platform/ML/Runtime/ThreadPool.h"
#include "Support/CompressedModel.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"
#include "Support/GeneratedModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

namespace {

using namespace platform;
using namespace platform::runtime;
using norvel::test::TemporaryDirectory;
namespace fs = std::filesystem;

struct InstructionSetScope {
    ~InstructionSetScope() { kernels::useInstructionSet(kernels::bestInstructionSet()); }
};

std::vector<kernels::InstructionSet> availableInstructionSets() {
    std::vector<kernels::InstructionSet> sets;
    for (auto set : {kernels::InstructionSet::generic, kernels::InstructionSet::avx2, kernels::InstructionSet::avx512})
        if (set <= kernels::bestInstructionSet()) sets.push_back(set);
    return sets;
}

// A compressed matrix of random codes and scales, with the padding the products may read.
struct RandomMatrix {
    BlockwiseLayout layout;
    std::vector<std::uint8_t> codes;
    std::vector<Float16> scales;
    std::vector<float> dequantized;  // the reference values, row after row

    RandomMatrix(BlockwiseLayout l, std::mt19937& random) : layout(l) {
        codes.resize(layout.packedBytes() + kBlockwiseReadPadding, 0xA5);
        scales.resize(layout.scaleCount());
        const int maxCode = blockwiseMaxCode(layout.bits);
        std::uniform_int_distribution<int> code(-maxCode, maxCode);
        std::uniform_real_distribution<float> scale(0.001f, 0.05f);
        std::vector<std::int8_t> row(static_cast<std::size_t>(layout.cols));
        for (std::int64_t r = 0; r < layout.rows; ++r) {
            for (auto& q : row) q = static_cast<std::int8_t>(code(random));
            // The extremes of the code range in every row.
            row[0] = static_cast<std::int8_t>(maxCode);
            row[1] = static_cast<std::int8_t>(-maxCode);
            packBlockwiseRow(row.data(), layout.cols, layout.bits, codes.data() + r * layout.rowBytes());
        }
        for (auto& s : scales) s = Float16(scale(random));
        dequantized.resize(static_cast<std::size_t>(layout.rows * layout.cols));
        for (std::int64_t r = 0; r < layout.rows; ++r)
            dequantizeBlockwiseRow(layout, codes.data() + r * layout.rowBytes(),
                                   scales.data() + r * layout.blocksPerRow(), dequantized.data() + r * layout.cols);
    }
    BlockwiseMatrix view() const { return BlockwiseMatrix{codes.data(), scales.data(), layout}; }
};

TEST(CompressedKernels, ProductsMatchTheDequantizedMatrixOnEveryInstructionSet) {
    InstructionSetScope restore;
    // Every width; blocks of sixteens and of odd eights; row counts around the four-row
    // groups; rows from 24 to 256 columns.
    const BlockwiseLayout layouts[] = {{37, 128, 8, 64}, {9, 96, 6, 32},    {13, 48, 5, 16}, {6, 24, 8, 8},
                                       {5, 80, 6, 40},   {150, 256, 5, 64}, {4, 64, 6, 64},  {11, 192, 6, 32},
                                       {9, 128, 5, 32},  {16, 64, 8, 32}};
    std::mt19937 random(5);
    for (const auto& layout : layouts) {
        const RandomMatrix matrix(layout, random);
        const auto rows = static_cast<std::size_t>(layout.rows), cols = static_cast<std::size_t>(layout.cols);
        std::vector<float> x(cols), bias(rows);
        std::normal_distribution<float> normal(0.0f, 1.0f);
        for (auto& v : x) v = normal(random);
        for (auto& v : bias) v = normal(random);
        // The products may take x at 15-bit precision (one step for the whole vector): an
        // error of at most half a step, 2⁻¹⁵ of the largest |x|, per value.
        const double largest = std::fabs(
            *std::max_element(x.begin(), x.end(), [](float a, float b) { return std::fabs(a) < std::fabs(b); }));
        std::vector<double> expected(rows), tolerance(rows);
        for (std::size_t r = 0; r < rows; ++r) {
            double weights = 0;
            for (std::size_t c = 0; c < cols; ++c) {
                const double wrc = matrix.dequantized[r * cols + c];
                expected[r] += wrc * x[c];
                weights += std::fabs(wrc);
            }
            tolerance[r] = weights * largest * std::ldexp(1.0, -15) + 1e-5 * (1.0 + std::fabs(expected[r]));
        }
        for (auto set : availableInstructionSets()) {
            ASSERT_EQ(kernels::useInstructionSet(set), set);
            SCOPED_TRACE(std::string(kernels::instructionSetName(set)) + " " + std::to_string(layout.bits) +
                         " bits, block " + std::to_string(layout.block) + ", " + std::to_string(rows) + "×" +
                         std::to_string(cols));
            // All rows with the bias; rows from 3 on added to what is there.
            std::vector<float> y(rows + 1, -7.0f), added(rows, 1.5f);
            kernels::gemvBlockwise(matrix.view(), x.data(), bias.data(), y.data(), 0, rows);
            kernels::gemvBlockwise(matrix.view(), x.data(), nullptr, added.data(), 3, rows, true);
            for (std::size_t r = 0; r < rows; ++r) {
                EXPECT_NEAR(y[r], expected[r] + bias[r], tolerance[r]) << r;
                EXPECT_NEAR(added[r], r < 3 ? 1.5 : 1.5 + expected[r], tolerance[r]) << r;
            }
            EXPECT_EQ(y[rows], -7.0f) << "written past the end";
            // A vector prepared once for several products gives the same results.
            WeightMatrix weights;
            weights.blockwise = matrix.view();
            weights.rows = rows;
            weights.cols = cols;
            kernels::ProductInput prepared;
            prepared.set(x.data(), cols);
            std::vector<float> viaPrepared(rows, -7.0f);
            kernels::gemv(weights, prepared, bias.data(), viaPrepared.data(), 0, rows / 2);
            kernels::gemv(weights, prepared, bias.data(), viaPrepared.data(), rows / 2, rows);
            for (std::size_t r = 0; r < rows; ++r) EXPECT_EQ(viaPrepared[r], y[r]) << r;
            std::vector<float> restored(2 * cols);
            kernels::dequantizeBlockwiseRows(matrix.view(), rows - 2, rows, restored.data());
            EXPECT_TRUE(std::equal(restored.begin(), restored.end(), matrix.dequantized.end() - 2 * cols));
        }
    }
}

TEST(CompressedKernels, CodedCrossAttentionStateMatchesItsValuesOnEveryInstructionSet) {
    InstructionSetScope restore;
    struct Case {
        std::size_t frames, width, first, last;
    };
    // Heads as wide as every model's (64) and narrower ones the vector paths do not divide;
    // frame counts that leave a part block; ranges from a later block and ending inside one.
    const Case cases[] = {{37, 64, 0, 37}, {37, 64, 16, 30}, {16, 40, 0, 16}, {5, 24, 0, 5}, {50, 72, 32, 50}};
    std::mt19937 random(11);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    for (const auto& c : cases) {
        const std::size_t stride = c.width + 3;  // rows of a wider product, as the decoder passes them
        std::vector<float> keys(c.frames * stride), values(c.frames * stride), q(c.width), weights(c.frames);
        for (auto* v : {&keys, &values})
            for (auto& x : *v) x = 3.0f * normal(random);
        for (std::size_t ch = 0; ch < c.width; ++ch) keys[2 * stride + ch] = 0.0f;  // a row of zeros
        keys[3 * stride + 1] = 1e4f;                                                // a row with one outlier
        for (auto& x : q) x = normal(random);
        for (auto& x : weights) x = std::fabs(normal(random));
        const std::size_t padded = kernels::paddedKeyFrames(c.frames);
        for (auto set : availableInstructionSets()) {
            ASSERT_EQ(kernels::useInstructionSet(set), set);
            SCOPED_TRACE(std::string(kernels::instructionSetName(set)) + " " + std::to_string(c.frames) + " frames × " +
                         std::to_string(c.width) + ", from " + std::to_string(c.first));
            std::vector<std::int8_t> keyCodes(padded * c.width, 99), valueCodes(c.frames * c.width);
            std::vector<float> keyScales(padded, -1.0f), valueScales(c.frames);
            kernels::quantizeKeys(keys.data(), c.frames, c.width, stride, keyCodes.data(), keyScales.data());
            kernels::quantizeValues(values.data(), c.frames, c.width, stride, valueCodes.data(), valueScales.data());
            // Each value within half a step of its row's scale; the zero row codes to zeros.
            auto key = [&](std::size_t t, std::size_t ch) {
                const std::size_t block = t / kernels::keyFrameBlock, lane = t % kernels::keyFrameBlock;
                return keyScales[t] * keyCodes[(block * c.width + ch) * kernels::keyFrameBlock + lane];
            };
            auto value = [&](std::size_t t, std::size_t ch) { return valueScales[t] * valueCodes[t * c.width + ch]; };
            for (std::size_t t = 0; t < c.frames; ++t)
                for (std::size_t ch = 0; ch < c.width; ++ch) {
                    ASSERT_NEAR(key(t, ch), keys[t * stride + ch], 0.5001 * keyScales[t]) << t << " " << ch;
                    ASSERT_NEAR(value(t, ch), values[t * stride + ch], 0.5001 * valueScales[t]) << t << " " << ch;
                }
            EXPECT_EQ(keyScales[2], 0.0f);
            for (std::size_t t = c.frames; t < padded; ++t) EXPECT_EQ(keyScales[t], 0.0f) << "padding " << t;

            // The products against the coded values, computed here in double precision.
            std::vector<float> scores(c.frames + 1, -5.0f);
            kernels::keyScores(keyCodes.data(), keyScales.data(), c.width, q.data(), 0.125f, scores.data(), c.first,
                               c.last);
            for (std::size_t t = 0; t < c.frames + 1; ++t) {
                if (t < c.first || t >= c.last) {
                    EXPECT_EQ(scores[t], -5.0f) << "written outside the range at " << t;
                    continue;
                }
                double expected = 0, magnitude = 0;
                for (std::size_t ch = 0; ch < c.width; ++ch) {
                    expected += 0.125 * q[ch] * key(t, ch);
                    magnitude += std::fabs(0.125 * q[ch] * key(t, ch));
                }
                EXPECT_NEAR(scores[t], expected, 1e-5 * magnitude + 1e-6) << t;
            }
            const std::size_t count = c.last - c.first;
            std::vector<float> out(c.width + 1, -5.0f);
            kernels::weightedValues(valueCodes.data() + c.first * c.width, valueScales.data() + c.first, c.width,
                                    weights.data() + c.first, count, out.data());
            for (std::size_t ch = 0; ch < c.width; ++ch) {
                double expected = 0, magnitude = 0;
                for (std::size_t t = c.first; t < c.last; ++t) {
                    expected += weights[t] * value(t, ch);
                    magnitude += std::fabs(weights[t] * value(t, ch));
                }
                EXPECT_NEAR(out[ch], expected, 1e-5 * magnitude + 1e-6) << ch;
            }
            EXPECT_EQ(out[c.width], -5.0f) << "written past the head";
        }
    }
}

TEST(CompressedKernels, IntegerMatrixProductsMatchTheDequantizedMatrix) {
    const BlockwiseLayout layouts[] = {{64, 128, 8, 64}, {96, 96, 6, 32}, {32, 48, 5, 16}, {64, 24, 8, 8}};
    if (!kernels::gemm::available(layouts[0])) GTEST_SKIP() << "no integer dot products on this processor";
    std::mt19937 random(9);
    for (const auto& layout : layouts) {
        SCOPED_TRACE(std::to_string(layout.bits) + " bits, block " + std::to_string(layout.block) + ", " +
                     std::to_string(layout.rows) + "×" + std::to_string(layout.cols));
        const RandomMatrix matrix(layout, random);
        const auto n = static_cast<std::size_t>(layout.rows), k = static_cast<std::size_t>(layout.cols);
        // Thirteen rows of x (two tiles of six and one left over); row 4 all zero, row 7 with
        // one channel twenty times the others.
        const std::size_t m = 13;
        std::vector<float> x(m * k);
        std::normal_distribution<float> normal(0.0f, 1.0f);
        for (auto& v : x) v = normal(random);
        std::fill_n(x.begin() + 4 * static_cast<long>(k), k, 0.0f);
        x[7 * k + 3] = 20.0f;
        std::vector<std::byte> packed(kernels::gemm::packedBytes(layout) + 64);
        void* aligned = packed.data() + (64 - reinterpret_cast<std::uintptr_t>(packed.data()) % 64) % 64;
        const std::size_t panels = n / kernels::gemm::panelRows;
        kernels::gemm::pack(matrix.view(), 0, 1, aligned);
        kernels::gemm::pack(matrix.view(), 1, panels, aligned);
        std::vector<std::int16_t> x16(m * k);
        std::vector<float> steps(m);
        kernels::gemm::quantizeRows(x.data(), k, k, 0, m, x16.data(), steps.data());
        // All rows and panels; then rows 2… and panels 1… added to what is there.
        std::vector<float> c(m * n, 99.0f), added(m * n, 1.5f);
        kernels::gemm::multiply(x16.data(), steps.data(), 0, m, layout, aligned, 0, panels, c.data(), n, false);
        kernels::gemm::multiply(x16.data(), steps.data(), 2, m, layout, aligned, 1, panels, added.data(), n, true);
        for (std::size_t row = 0; row < m; ++row) {
            float largest = 0;
            for (std::size_t col = 0; col < k; ++col) largest = std::max(largest, std::fabs(x[row * k + col]));
            for (std::size_t col = 0; col < n; ++col) {
                double expected = 0, weights = 0;
                for (std::size_t i = 0; i < k; ++i) {
                    expected += double(matrix.dequantized[col * k + i]) * x[row * k + i];
                    weights += std::fabs(matrix.dequantized[col * k + i]);
                }
                // Half a step of the row's 16-bit integers per value, and rounding.
                const double tolerance = weights * largest * std::ldexp(1.0, -16) + 1e-5 * (1.0 + std::fabs(expected));
                ASSERT_NEAR(c[row * n + col], expected, tolerance) << row << ", " << col;
                const bool inRange = row >= 2 && col >= kernels::gemm::panelRows;
                ASSERT_NEAR(added[row * n + col], inRange ? 1.5 + expected : 1.5, tolerance) << row << ", " << col;
            }
        }
    }
}

// Relative RMS difference of two equally long sequences.
double relativeError(const std::vector<float>& value, const std::vector<float>& reference) {
    double error = 0, norm = 0;
    for (std::size_t i = 0; i < reference.size(); ++i) {
        error += (double(value[i]) - reference[i]) * (double(value[i]) - reference[i]);
        norm += double(reference[i]) * reference[i];
    }
    return std::sqrt(error / norm);
}

// The encoder output and the logits and alignment weights of a few decoder steps.
struct Outputs {
    std::vector<float> encoder, logits, alignment;
};

Outputs run(const fs::path& folder) {
    auto encoder = Model::load(ModelFolder::compiledModel(folder, ModelFolder::audioEncoder));
    auto decoder = Model::load(ModelFolder::compiledModel(folder, ModelFolder::textDecoder));
    MultiArray mel({1, 80, 1, 3000}, MultiArrayDataType::float32);
    for (std::int64_t i = 0; i < mel.count(); ++i)
        mel.data<float>()[i] =
            std::sin(0.001f * static_cast<float>(i)) + 0.3f * std::cos(0.37f * static_cast<float>(i));
    const MultiArray embeds = *encoder->prediction(DictionaryFeatureProvider({{"melspectrogram_features", mel}}))
                                   ->featureValue("encoder_output_embeds")
                                   ->multiArrayValue();
    Outputs out;
    out.encoder = embeds.floatValues();
    DecoderSteps steps(*decoder, embeds);
    const int tokens[] = {50258, 50259, 50359, 50363, 440};
    for (int position = 0; position < 5; ++position) {
        const auto step = steps.step(tokens[position], position);
        for (float v : step->featureValue("logits")->multiArrayValue()->floatValues()) out.logits.push_back(v);
        for (float v : step->featureValue("alignment_heads_weights")->multiArrayValue()->floatValues())
            out.alignment.push_back(v);
    }
    return out;
}

TEST(CompressedModel, FollowsTheHalfPrecisionModelWithinTheErrorOfItsWidths) {
    TemporaryDirectory half;
    norvel::test::GeneratedModelOptions options;
    options.withTokenizer = false;
    norvel::test::generateModelFolder(half.path(), options);
    const Outputs reference = run(half.path());

    struct Case {
        const char* what;
        norvel::test::CompressionOptions compression;
        double encoderError, logitsError;
    };
    auto widths = [](int attention, int other) {
        return [=](const std::string& name) { return name.find("attention") != std::string::npos ? attention : other; };
    };
    const Case cases[] = {
        {"8 bits, blocks of 32", {32, widths(8, 8)}, 0.015, 0.02},
        {"8 bits, blocks of 64", {64, widths(8, 8)}, 0.015, 0.02},
        {"6 and 5 bits", {32, widths(6, 5)}, 0.08, 0.1},
        {"8 bits and half precision", {16, widths(8, 0)}, 0.015, 0.02},
    };
    InstructionSetScope restore;
    for (const auto& c : cases) {
        TemporaryDirectory compressed;
        fs::copy(half.path(), compressed.path(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        norvel::test::compressModelFolder(compressed.path(), c.compression);
        // The first folder on every instruction set, the others on the best.
        for (auto set : availableInstructionSets()) {
            if (&c != &cases[0] && set != kernels::bestInstructionSet()) continue;
            kernels::useInstructionSet(set);
            SCOPED_TRACE(std::string(c.what) + " on " + kernels::instructionSetName(set));
            const Outputs outputs = run(compressed.path());
            const double encoderError = relativeError(outputs.encoder, reference.encoder);
            const double logitsError = relativeError(outputs.logits, reference.logits);
            EXPECT_LT(encoderError, c.encoderError);
            EXPECT_LT(logitsError, c.logitsError);
            // Some error there must be: the compressed weights are in use.
            EXPECT_GT(encoderError, 1e-5);
            EXPECT_GT(logitsError, 1e-5);
            EXPECT_LT(relativeError(outputs.alignment, reference.alignment), 4 * c.logitsError);
        }
    }
}

TEST(CompressedModel, DamagedBlockLayoutsFailToLoadNamingTheTensor) {
    TemporaryDirectory source;
    norvel::test::GeneratedModelOptions options;
    options.withTokenizer = false;
    norvel::test::generateModelFolder(source.path(), options);
    norvel::test::compressModelFolder(source.path());
    const fs::path decoder = ModelFolder::compiledModel(source.path(), ModelFolder::textDecoder);
    const std::string victim = "layer.1.mlp.down.weight";  // [64, 256], blocks of 32

    using Edit = std::function<void(const TensorView&, SafeTensorsWriter&)>;
    auto replacing = [&](const std::string& name, Edit edit) {
        return [=](const TensorView& tensor, SafeTensorsWriter& writer) {
            if (tensor.name == name)
                edit(tensor, writer);
            else
                norvel::test::copyTensor(tensor, writer);
        };
    };
    auto bytes = [](std::size_t count) { return std::vector<std::byte>(count, std::byte{0x11}); };
    struct Case {
        const char* what;
        norvel::test::TensorEdit edit;
    };
    const Case cases[] = {
        {"scales missing", replacing(victim + ".scale", [](const TensorView&, SafeTensorsWriter&) {})},
        {"scales in single precision",
         replacing(victim + ".scale",
                   [](const TensorView& t, SafeTensorsWriter& w) { w.addF32(t.name, t.shape, t.toFloat()); })},
        {"packed bytes shorter than the shape needs",
         replacing(victim,
                   [&](const TensorView& t, SafeTensorsWriter& w) {
                       w.add(t.name, TensorDType::U8, {64, 255}, bytes(64 * 255));
                   })},
        {"width not supported (7 bits)", replacing(victim,
                                                   [&](const TensorView& t, SafeTensorsWriter& w) {
                                                       w.add(t.name, TensorDType::U8, {64, 224}, bytes(64 * 224));
                                                   })},
        {"block size 0", replacing(victim + ".scale",
                                   [&](const TensorView& t, SafeTensorsWriter& w) {
                                       w.add(t.name, TensorDType::F16, {64, 0}, {});
                                   })},
        {"block larger than the row", replacing(victim + ".scale",
                                                [&](const TensorView& t, SafeTensorsWriter& w) {
                                                    w.add(t.name, TensorDType::F16, {64, 1}, bytes(64 * 2));
                                                })},
        {"scale rows missing", replacing(victim + ".scale",
                                         [&](const TensorView& t, SafeTensorsWriter& w) {
                                             w.add(t.name, TensorDType::F16, {63, 8}, bytes(63 * 8 * 2));
                                         })},
        {"a scale not finite", replacing(victim + ".scale",
                                         [&](const TensorView& t, SafeTensorsWriter& w) {
                                             auto values = t.toFloat();
                                             values[77] = INFINITY;
                                             w.addF16(t.name, t.shape, values);
                                         })},
        {"an embedding compressed with a wrong row count",
         replacing("token_embedding",
                   [&](const TensorView& t, SafeTensorsWriter& w) {
                       w.add(t.name, TensorDType::U8, {t.shape[0] - 1, t.shape[1]},
                             bytes(static_cast<std::size_t>((t.shape[0] - 1) * t.shape[1])));
                   })},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TemporaryDirectory dir;
        const fs::path model = dir / "TextDecoder.mlmodelc";
        fs::copy(decoder, model);
        norvel::test::rewriteWeights(model / ModelFolder::weightsFile, c.edit);
        try {
            Model::load(model);
            ADD_FAILURE() << "loaded";
        } catch (const MLError& error) {
            EXPECT_EQ(error.code(), MLError::Code::invalidModel);
            const std::string message = error.what();
            const std::string named =
                std::string(c.what).find("embedding") != std::string::npos ? "token_embedding" : victim;
            EXPECT_NE(message.find(named), std::string::npos) << message;
        }
    }
    // A folder marked with a version this runtime does not know.
    TemporaryDirectory dir;
    const fs::path model = dir / "TextDecoder.mlmodelc";
    fs::copy(decoder, model);
    std::string manifest = norvel::test::readText(model / ModelFolder::manifestFile);
    manifest.replace(manifest.find("\"weightFormatVersion\": 1"), 24, "\"weightFormatVersion\": 3");
    norvel::test::writeText(model / ModelFolder::manifestFile, manifest);
    try {
        Model::load(model);
        ADD_FAILURE() << "loaded";
    } catch (const MLError& error) {
        EXPECT_NE(std::string(error.what()).find("version 3, which this runtime cannot read"), std::string::npos)
            << error.what();
    }
}

}  // namespace
