// Converting into a compressed folder: the budget a folder's name asks for, folders that fit it
// and load, folders without a budget left exactly as they were, and a budget out of reach.
#include "Platform/ML/Conversion/CheckpointGenerator.h"
#include "Platform/ML/Conversion/CompressionPlan.h"
#include "Platform/ML/Conversion/ModelConverter.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/ModelFolder.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace platform;
using namespace platform::conversion;
using norvel::test::readText;
using norvel::test::snapshot;
using norvel::test::TemporaryDirectory;
namespace fs = std::filesystem;

// A small multilingual checkpoint (its token embedding takes most of the folder) and the
// folder that a plain conversion makes of it.
struct Checkpoint {
    TemporaryDirectory dir;
    fs::path folder = dir / "checkpoint";
    fs::path plain = dir / "plain";

    Checkpoint() {
        CheckpointConfig config = *checkpointPreset("tiny");
        config.width = 64;
        config.encoderHeads = config.decoderHeads = 2;
        config.encoderLayers = config.decoderLayers = 2;
        config.alignmentHeads = {{1, 1}};
        GeneratorOptions options;
        options.seed = 17;
        options.tokenizerFolder = norvel::test::fixture("tokenizers/multilingual");
        generateCheckpoint(folder, config, options);
        convertCheckpoint(folder, plain);
    }
};

const Checkpoint& checkpoint() {
    static const Checkpoint made;
    return made;
}

bool saysCompressed(const fs::path& folder, std::string_view stage) {
    const std::string manifest = readText(ModelFolder::compiledModel(folder, stage) / ModelFolder::manifestFile);
    return manifest.find("\"weightFormat\": \"blockwise\"") != std::string::npos;
}

TEST(CompressedConversion, TheBudgetComesFromTheFolderName) {
    const struct {
        const char* name;
        std::optional<std::uint64_t> budget;
    } cases[] = {
        {"openai_whisper-small_216MB", 216'000'000},
        {"openai_whisper-large-v3_turbo_954MB", 954'000'000},
        {"model_1MB", 1'000'000},
        {"model_0MB", 0},
        {"openai_whisper-tiny", std::nullopt},
        {"openai_whisper-small_MB", std::nullopt},
        {"openai_whisper-small_216mb", std::nullopt},
        {"openai_whisper-small_-216MB", std::nullopt},
        {"openai_whisper-small_+216MB", std::nullopt},
        {"openai_whisper-small_216 MB", std::nullopt},
        {"216MB", std::nullopt},
        {"openai_whisper-small_216MB.old", std::nullopt},
        {"openai_whisper-small_99999999999999999999MB", std::nullopt},  // beyond 64 bits
    };
    for (const auto& row : cases) EXPECT_EQ(sizeBudgetOf(row.name), row.budget) << row.name;
}

TEST(CompressedConversion, CompressedFoldersFitTheirBudgetAndLoadWhileOthersStayAsTheyWere) {
    const auto& source = checkpoint();
    const std::uint64_t plainBytes = platform::ModelFolder::bytesOnDisk(source.plain);
    const struct {
        const char* name;
        std::optional<std::uint64_t> optionBudget;
        bool halfPrecision;
        std::optional<std::uint64_t> expectedBudget;  // none: the plain folder, byte for byte
    } cases[] = {
        {"openai_whisper-tiny", std::nullopt, false, std::nullopt},
        {"model_7MB", std::nullopt, false, 7'000'000},
        {"model_5MB", std::nullopt, false, 5'000'000},    // a tight budget
        {"model_50MB", std::nullopt, false, 50'000'000},  // room for 8 bits throughout
        {"model", 6'000'000, false, 6'000'000},           // the option without a suffix
        {"model_5MB", 7'000'000, false, 7'000'000},       // the option over the name
        {"model_5MB", std::nullopt, true, std::nullopt},  // half precision over the name
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(std::string(row.name) + (row.optionBudget ? " with a budget" : "") +
                     (row.halfPrecision ? " in half precision" : ""));
        TemporaryDirectory dir;
        const fs::path destination = dir / row.name;
        ConversionOptions options;
        options.sizeBudget = row.optionBudget;
        options.halfPrecision = row.halfPrecision;
        installConvertedModel(source.folder, destination, options);
        ASSERT_TRUE(ModelFolder::isComplete(destination));
        if (!row.expectedBudget) {
            EXPECT_EQ(snapshot(destination), snapshot(source.plain));
            continue;
        }
        const std::uint64_t bytes = platform::ModelFolder::bytesOnDisk(destination);
        EXPECT_LE(bytes, *row.expectedBudget);
        EXPECT_LT(bytes, plainBytes);
        for (const auto stage : {ModelFolder::audioEncoder, ModelFolder::textDecoder}) {
            EXPECT_TRUE(saysCompressed(destination, stage)) << stage;
            EXPECT_NO_THROW(Model::load(ModelFolder::compiledModel(destination, stage))) << stage;
        }
        EXPECT_FALSE(saysCompressed(destination, ModelFolder::melSpectrogram));
    }
}

TEST(CompressedConversion, ABudgetOutOfReachIsAnErrorAndInstallsNothing) {
    TemporaryDirectory dir;
    const fs::path destination = dir / "model_2MB";
    try {
        installConvertedModel(checkpoint().folder, destination);
        FAIL() << "a folder over its budget was installed";
    } catch (const MLError& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find("2,000,000"), std::string::npos) << message;
        EXPECT_NE(message.find("narrowest"), std::string::npos) << message;
    }
    EXPECT_FALSE(fs::exists(destination));
}

}  // namespace
