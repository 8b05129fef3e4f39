// A variant whose name carries a size ("…_216MB") is downloaded as its hub checkpoint and
// converted into a compressed folder of at most that size, which the pipeline then runs.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "Murmex/Pipeline/Murmex.h"
#include "Platform/ML/ModelFolder.h"
#include "Platform/ML/Runtime/ModelManifest.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"
#include "Support/GeneratedCheckpoint.h"
#include "Support/HubServer.h"
#include "Support/ScopedEnvironment.h"

namespace {

namespace fs = std::filesystem;
using murmex::Murmex;
using murmex::MurmexConfig;

TEST(CompressedDownload, ASizedVariantIsConvertedWithinItsSizeAndTranscribes) {
    norvel::test::ScopedEnvironment online{"CI_DISABLE_NETWORK_MONITOR", "1"};
    norvel::test::TemporaryDirectory work;
    norvel::test::HubServer server;
    // The small model's repository serves a checkpoint of tiny's vocabulary, 64 wide.
    norvel::test::generateCheckpointFolder(work / "checkpoint");
    norvel::test::serveCheckpoint(server, "openai/whisper-small", work / "checkpoint");

    const std::string variant = "openai_whisper-small_216MB";
    const fs::path folder = Murmex::download(variant, work / "hub", false, Murmex::defaultModelRepository, std::nullopt,
                                             server.endpoint(), nullptr, {});
    EXPECT_EQ(folder.filename(), variant);
    EXPECT_LE(platform::ModelFolder::bytesOnDisk(folder), 216'000'000u);
    for (const auto stage : {platform::ModelFolder::audioEncoder, platform::ModelFolder::textDecoder}) {
        const fs::path manifest =
            platform::ModelFolder::compiledModel(folder, stage) / platform::ModelFolder::manifestFile;
        EXPECT_EQ(
            platform::runtime::ModelManifest::parse(norvel::test::readText(manifest), manifest.string()).weightFormat,
            platform::runtime::WeightFormat::blockwise)
            << stage;
    }

    MurmexConfig::Arguments arguments;
    arguments.modelFolder = folder.string();
    arguments.download = false;
    auto pipeline = Murmex::create(MurmexConfig(arguments));
    const auto results =
        pipeline->transcribe(norvel::test::fixture("audio/jfk.flac").string(), std::nullopt, std::nullopt, nullptr);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_NEAR(results[0]->timings().inputAudioSeconds, 11.0, 0.01);
    EXPECT_GT(results[0]->timings().totalDecodingLoops, 0.0);
}

}  // namespace
