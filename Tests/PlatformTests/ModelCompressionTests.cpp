// Compressed model folders as the converter writes them: block-wise codes and their scales,
// matrices stored as planned, weights that cannot be coded, how closely the compressed folder
// follows the half-precision one when the runtime runs it, and the converter tool's report.
#include "Platform/ML/Conversion/CheckpointGenerator.h"
#include "Platform/ML/Conversion/CompressionAccuracy.h"
#include "Platform/ML/Conversion/CompressionPlan.h"
#include "Platform/ML/Conversion/ModelConverter.h"
#include "Platform/ML/Conversion/WeightQuantizer.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/ModelFolder.h"
#include "Platform/ML/Runtime/BlockwiseFormat.h"
#include "Platform/ML/Runtime/NumpyFile.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"
#include "Support/GeneratedCheckpoint.h"
#include "Support/Thrown.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <random>

namespace {

using namespace platform;
using namespace platform::conversion;
using norvel::test::pristineCheckpointFolder;
using norvel::test::TemporaryDirectory;
namespace fs = std::filesystem;

// The converted half-precision folder of the generated checkpoint.
const fs::path& halfPrecisionFolder() {
    static TemporaryDirectory folder;
    static const fs::path model = folder / "model";
    static const bool made = (convertCheckpoint(pristineCheckpointFolder(), model), true);
    (void)made;
    return model;
}

// The stage's matrices of two or more rows and columns, by name: their element type and shape.
std::map<std::string, std::pair<runtime::TensorDType, std::vector<std::int64_t>>> tensorsOf(const fs::path& folder,
                                                                                            std::string_view stage) {
    std::map<std::string, std::pair<runtime::TensorDType, std::vector<std::int64_t>>> tensors;
    const auto file =
        runtime::SafeTensorsFile::open(ModelFolder::compiledModel(folder, stage) / ModelFolder::weightsFile);
    for (const auto& [name, view] : file->tensors()) tensors[name] = {view.dtype, view.shape};
    return tensors;
}

std::vector<float> randomValues(std::size_t count, bool heavyTailed, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::student_t_distribution<float> studentT(4.0f);
    std::vector<float> values(count);
    for (auto& v : values) v = heavyTailed ? studentT(generator) : uniform(generator);
    return values;
}

TEST(WeightQuantizer, BlockScalesLeaveNoMoreErrorThanAbsmaxScales) {
    struct Case {
        int bits, block;
        bool heavyTailed, outlierColumn;
    };
    const Case cases[] = {{8, 64, false, false}, {8, 16, true, true}, {6, 32, true, false},
                          {6, 64, false, true},  {5, 64, true, true}, {5, 8, false, false}};
    const std::int64_t rows = 24, columns = 128;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + " bits in blocks of " + std::to_string(c.block) +
                     (c.heavyTailed ? ", heavy-tailed" : ", uniform") + (c.outlierColumn ? ", outlier column" : ""));
        const auto values = randomValues(static_cast<std::size_t>(rows * columns), c.heavyTailed, 7);
        std::vector<float> columnWeights;
        if (c.outlierColumn) {
            columnWeights.assign(columns, 1.0f);
            columnWeights[37] = 400.0f;
        }
        const QuantizedMatrix matrix =
            WeightQuantizer::quantize(values.data(), rows, columns, c.bits, c.block, columnWeights);
        ASSERT_EQ(matrix.codes.size(), static_cast<std::size_t>(rows * columns * c.bits / 8));
        ASSERT_EQ(matrix.scales.size(), static_cast<std::size_t>(rows * columns / c.block));
        const runtime::BlockwiseLayout layout{rows, columns, c.bits, c.block};
        std::vector<float> row(columns), reference(columns);
        std::vector<std::uint8_t> referenceCodes(layout.rowBytes());
        std::vector<Float16> referenceScales(layout.blocksPerRow());
        double error = 0, signal = 0;
        for (std::int64_t r = 0; r < rows; ++r) {
            // The row as the runtime reads it.
            runtime::dequantizeBlockwiseRow(layout, matrix.codes.data() + r * layout.rowBytes(),
                                            matrix.scales.data() + r * layout.blocksPerRow(), row.data());
            // Against nearest codes under absmax scales, block by block.
            const float* x = values.data() + r * columns;
            runtime::quantizeBlockwiseRow(layout, x, referenceCodes.data(), referenceScales.data());
            runtime::dequantizeBlockwiseRow(layout, referenceCodes.data(), referenceScales.data(), reference.data());
            for (std::int64_t b = 0; b < columns / c.block; ++b) {
                double ours = 0, absmax = 0;
                for (std::int64_t j = b * c.block; j < (b + 1) * c.block; ++j) {
                    const double w = columnWeights.empty() ? 1.0 : columnWeights[j];
                    ours += w * (x[j] - row[j]) * (x[j] - row[j]);
                    absmax += w * (x[j] - reference[j]) * (x[j] - reference[j]);
                    signal += w * x[j] * x[j];
                }
                EXPECT_LE(ours, absmax * (1 + 1e-5)) << "row " << r << " block " << b;
                error += ours;
            }
        }
        // Half a step of absmax / qmax at most, as a share of the values' size.
        const double qmax = (1 << (c.bits - 1)) - 1;
        EXPECT_LT(std::sqrt(error / signal), (c.heavyTailed ? 2.0 : 0.7) / qmax);
        const auto measured = WeightQuantizer::measure(values.data(), rows, columns, c.bits, c.block, columnWeights);
        EXPECT_NEAR(measured.relative(), error / signal, 1e-6 * error / signal + 1e-12);
    }

    std::vector<float> broken(64, 0.5f);
    broken[9] = std::nanf("");
    EXPECT_THROW(WeightQuantizer::quantize(broken.data(), 1, 64, 8, 64), MLError);
}

TEST(ModelCompression, TheMatricesReadAtEveryTokenStayWithinEightBits) {
    CheckpointConfig config = *checkpointPreset("tiny");
    config.width = 128;
    config.encoderHeads = config.decoderHeads = 2;
    config.encoderLayers = config.decoderLayers = 4;
    config.vocabulary = 512;
    std::uint64_t weights = 0, halfPrecision = 0;
    for (const auto& m : compressibleMatrices(config)) {
        weights += static_cast<std::uint64_t>(m.rows * m.columns);
        halfPrecision += static_cast<std::uint64_t>(m.rows * m.columns) * 2;
    }
    std::uint32_t seed = 1;
    const auto tensor = [&](const std::string&, const std::vector<std::int64_t>& shape) {
        std::size_t count = 1;
        for (const auto n : shape) count *= static_cast<std::size_t>(n);
        return randomValues(count, true, seed++);
    };
    // Room for everything in half precision; room for a little over 8 bits, which the
    // planner must weigh; room for 7 bits.
    for (const std::uint64_t budget : {halfPrecision, weights * 9 / 8, weights * 7 / 8}) {
        SCOPED_TRACE(budget);
        const auto plan = CompressionPlan::choose(config, budget, 0, tensor);
        int wide = 0;
        for (const auto& entry : plan.entries()) {
            const auto& m = entry.matrix;
            const bool everyToken = m.stage == ModelFolder::textDecoder && m.group != "cross_attention.key" &&
                                    m.group != "cross_attention.value";
            if (everyToken) {
                EXPECT_LE(entry.bits, 8) << m.name;
                if (entry.bits == 8) {
                    EXPECT_EQ(entry.block, WeightQuantizer::blockFor(m.columns)) << m.name;
                }
            }
            wide += entry.bits == 16 || (entry.bits == 8 && entry.block < WeightQuantizer::blockFor(m.columns));
        }
        // The rest of the budget is spent on the other matrices.
        if (budget >= weights * 9 / 8) {
            EXPECT_GT(wide, 0);
        }
        EXPECT_LE(plan.estimatedBytes(), budget);
    }
}

TEST(ModelCompression, ABudgetWithHalfPrecisionIsRefusedAndInstallsNothing) {
    TemporaryDirectory dir;
    ConversionOptions options;
    options.sizeBudget = 9'000'000;
    options.halfPrecision = true;
    const auto error = norvel::test::thrownAs<MLError>(
        [&] { installConvertedModel(pristineCheckpointFolder(), dir / "openai_whisper-tiny", options); });
    ASSERT_TRUE(error);
    EXPECT_NE(std::string(error->what()).find("both a size budget and half precision"), std::string::npos)
        << error->what();
    EXPECT_FALSE(fs::exists(dir / "openai_whisper-tiny"));
}

TEST(ModelCompression, FoldersHoldThePlannedCodesAndFollowTheHalfPrecisionFolder) {
    const auto samples = runtime::readNumpyFile(norvel::test::fixture("ML/jfk_16k.npy")).floatValues();
    struct Case {
        const char* name;
        std::optional<std::uint64_t> budget;  // none: the name's
        double encoderError, logitsError, agreement;
    };
    // The widest codes take 5.97 MB. Measured: 0.38% and 0.64% (widest), 0.38% and 1.6% (5.5 MB),
    // 0.38% and 3.2% (5 MB).
    const Case cases[] = {
        {"openai_whisper-tiny_9MB", std::nullopt, 0.01, 0.015, 0.95},
        {"openai_whisper-tiny_5500kB", 5'500'000, 0.01, 0.04, 0.9},
        {"openai_whisper-tiny_5MB", std::nullopt, 0.015, 0.07, 0.85},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TemporaryDirectory dir;
        ConversionOptions options;
        options.sizeBudget = c.budget;
        std::optional<CompressionPlan> plan;
        options.planned = [&](const CompressionPlan& chosen) { plan = chosen; };
        installConvertedModel(pristineCheckpointFolder(), dir / c.name, options);
        ASSERT_TRUE(plan);
        EXPECT_LE(platform::ModelFolder::bytesOnDisk(dir / c.name), plan->estimatedBytes());
        // Each matrix is stored as planned: codes of its width and a scale per block.
        for (const auto stage : {ModelFolder::audioEncoder, ModelFolder::textDecoder}) {
            const auto tensors = tensorsOf(dir / c.name, stage);
            for (const auto& entry : plan->entries()) {
                if (entry.matrix.stage != stage) continue;
                SCOPED_TRACE(entry.matrix.name);
                const auto& [dtype, shape] = tensors.at(entry.matrix.name);
                if (entry.bits == 16) {
                    EXPECT_EQ(dtype, runtime::TensorDType::F16);
                    continue;
                }
                EXPECT_EQ(dtype, runtime::TensorDType::U8);
                EXPECT_EQ(shape, (std::vector<std::int64_t>{entry.matrix.rows, entry.matrix.columns * entry.bits / 8}));
                EXPECT_EQ(tensors.at(entry.matrix.name + ".scale").second,
                          (std::vector<std::int64_t>{entry.matrix.rows, entry.matrix.columns / entry.block}));
            }
        }
        const auto accuracy = CompressionAccuracy::measure(halfPrecisionFolder(), dir / c.name, samples);
        EXPECT_EQ(accuracy.steps, 64);
        EXPECT_LT(accuracy.encoderError, c.encoderError);
        EXPECT_LT(accuracy.logitsError, c.logitsError);
        EXPECT_GE(accuracy.topOneAgreement, c.agreement);
        // Some error there must be: the compressed weights are in use.
        EXPECT_GT(accuracy.encoderError, 1e-5);
        EXPECT_GT(accuracy.logitsError, 1e-5);
    }
}

TEST(ModelCompression, TheConverterToolPrintsThePlanAndTheSize) {
    TemporaryDirectory dir;
    auto run = [&](const std::string& arguments) {
        const std::string command = std::string(NORVEL_BIN_DIR) + "/murmex-convert " +
                                    pristineCheckpointFolder().string() + " " + arguments + " >" +
                                    (dir / "out.txt").string() + " 2>&1";
        const int status = std::system(command.c_str());
        return std::pair{WIFEXITED(status) ? WEXITSTATUS(status) : -1, norvel::test::readText(dir / "out.txt")};
    };
    const auto [status, output] = run((dir / "openai_whisper-tiny_6MB").string() + " --quiet");
    ASSERT_EQ(status, 0) << output;
    for (const char* line :
         {"bits per weight", "AudioEncoder attention.qkv", "TextDecoder token_embedding", "estimated size:"})
        EXPECT_NE(output.find(line), std::string::npos) << line << " in\n" << output;
    const std::string size =
        std::to_string(platform::ModelFolder::bytesOnDisk(dir / "openai_whisper-tiny_6MB")) + " bytes";
    EXPECT_NE(output.find(size), std::string::npos) << size << " in\n" << output;

    struct Case {
        std::string arguments;
        int status;
    };
    const Case misuse[] = {
        {(dir / "a").string() + " --size-budget 8 --half-precision", 2},
        {(dir / "b").string() + " --size-budget lots", 2},
        {(dir / "c").string() + " --size-budget 4", 1},
        {(dir / "d_2MB").string(), 1},
    };
    for (const auto& c : misuse) {
        SCOPED_TRACE(c.arguments);
        const auto [code, text] = run(c.arguments);
        EXPECT_EQ(code, c.status) << text;
        EXPECT_NE(text.find("murmex-convert: "), std::string::npos) << text;
    }
}

TEST(CheckpointGenerator, TrainedLookingCheckpointsHaveHeavyTailsAndOutlierChannels) {
    TemporaryDirectory dir;
    CheckpointConfig config = *checkpointPreset("tiny");
    config.width = 256;
    config.encoderHeads = config.decoderHeads = 4;
    config.encoderLayers = config.decoderLayers = 1;
    struct Case {
        const char* name;
        bool heavyTailed, outlierChannels;
    };
    const Case cases[] = {{"plain", false, false}, {"heavy", true, false}, {"outliers", false, true}};
    std::map<std::string, std::shared_ptr<runtime::SafeTensorsFile>> files;
    for (const auto& c : cases) {
        GeneratorOptions options;
        options.heavyTailed = c.heavyTailed;
        options.outlierChannels = c.outlierChannels;
        generateCheckpoint(dir / c.name, config, options);
        files[c.name] = runtime::SafeTensorsFile::open(dir / c.name / "model.safetensors");
    }
    // Heavy tails: the same spread, far more values beyond four standard deviations.
    for (const char* tensor : {"model.encoder.layers.0.fc1.weight", "model.decoder.embed_tokens.weight"}) {
        SCOPED_TRACE(tensor);
        auto moments = [&](const char* name) {
            const auto values = files[name]->find(tensor)->toFloat();
            double square = 0;
            for (float v : values) square += static_cast<double>(v) * v;
            const double deviation = std::sqrt(square / static_cast<double>(values.size()));
            std::size_t far = 0;
            for (float v : values) far += std::fabs(v) > 4 * deviation;
            return std::pair{deviation, static_cast<double>(far) / static_cast<double>(values.size())};
        };
        const auto [plainDeviation, plainFar] = moments("plain");
        const auto [heavyDeviation, heavyFar] = moments("heavy");
        EXPECT_NEAR(heavyDeviation / plainDeviation, 1.0, 0.05);
        EXPECT_EQ(plainFar, 0.0);  // uniform values end at 1.73 deviations
        EXPECT_GT(heavyFar, 0.003);
    }
    // Outlier channels: 0.5% of 256 rounds to one channel, 20 times the gain, the same in every norm.
    std::optional<std::size_t> outlier;
    for (const char* norm : {"model.encoder.layers.0.self_attn_layer_norm.weight", "model.encoder.layer_norm.weight",
                             "model.decoder.layers.0.encoder_attn_layer_norm.weight"}) {
        SCOPED_TRACE(norm);
        const auto plain = files["plain"]->find(norm)->toFloat();
        const auto gains = files["outliers"]->find(norm)->toFloat();
        std::vector<std::size_t> large;
        for (std::size_t j = 0; j < gains.size(); ++j) {
            if (gains[j] != plain[j]) {
                EXPECT_FLOAT_EQ(gains[j], 20 * plain[j]);
                large.push_back(j);
            }
        }
        ASSERT_EQ(large.size(), 1u);
        if (outlier) {
            EXPECT_EQ(large[0], *outlier);
        }
        outlier = large[0];
        EXPECT_EQ(
            files["outliers"]->find(std::string(norm).replace(std::string(norm).size() - 6, 6, "bias"))->toFloat(),
            files["plain"]->find(std::string(norm).replace(std::string(norm).size() - 6, 6, "bias"))->toFloat());
    }
    // Everything else is as without the options.
    const auto* plainConv = files["plain"]->find("model.encoder.conv1.weight");
    const auto* outlierConv = files["outliers"]->find("model.encoder.conv1.weight");
    EXPECT_EQ(std::vector<std::byte>(plainConv->data, plainConv->data + plainConv->byteCount),
              std::vector<std::byte>(outlierConv->data, outlierConv->data + outlierConv->byteCount));
}

}  // namespace
