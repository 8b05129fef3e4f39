// Model variants, compute options, the device support table with its merge and lookup, and
// the pipeline configuration.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "Murmex/Model/Constants.h"
#include "Murmex/Model/ModelSupportConfig.h"
#include "Murmex/Model/ModelVariant.h"
#include "Murmex/Model/MurmexConfig.h"
#include "Support/LogCapture.h"

namespace murmex {
namespace {

const ModelSupportConfig& builtIn() { return Constants::fallbackModelSupportConfig(); }

TEST(DataModelModelVariant, DescriptionsAndLanguages) {
    std::vector<std::string> descriptions;
    for (auto variant : allModelVariants) descriptions.emplace_back(description(variant));
    EXPECT_EQ(descriptions, (std::vector<std::string>{"tiny", "tiny.en", "base", "base.en", "small", "small.en",
                                                      "medium", "medium.en", "large", "large-v2", "large-v3"}));
    EXPECT_FALSE(isMultilingual(ModelVariant::tinyEn));
    EXPECT_FALSE(isMultilingual(ModelVariant::mediumEn));
    EXPECT_TRUE(isMultilingual(ModelVariant::large));
    EXPECT_TRUE(isMultilingual(ModelVariant::largev3));

    const ModelComputeOptions defaults;
    EXPECT_EQ(defaults.melCompute, platform::ComputeUnits::cpuAndGPU);
    EXPECT_EQ(defaults.audioEncoderCompute, platform::ComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(defaults.textDecoderCompute, platform::ComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(ModelComputeOptions(platform::ComputeUnits::cpuOnly).audioEncoderCompute,
              platform::ComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(ModelComputeOptions(platform::ComputeUnits::cpuOnly, platform::ComputeUnits::all).audioEncoderCompute,
              platform::ComputeUnits::all);
}

TEST(DataModelModelSupport, BuiltInTableShape) {
    const auto& config = builtIn();
    EXPECT_EQ(config.repoName, "murmex-coreml-fallback");
    EXPECT_EQ(config.repoVersion, "0.4");
    ASSERT_EQ(config.deviceSupports.size(), 6u);
    std::vector<std::size_t> counts;
    for (const auto& row : config.deviceSupports) counts.push_back(row.models.supported.size());
    EXPECT_EQ(counts, (std::vector<std::size_t>{4, 14, 13, 22, 6, 14}));
    EXPECT_EQ(config.knownModels.size(), 22u);
    EXPECT_EQ(Constants::knownModels(), config.knownModels);
    EXPECT_EQ(std::set<std::string>(config.knownModels.begin(), config.knownModels.end()).size(), 22u);

    // Every row's disabled list is the known folders it does not support; every default is a
    // supported multilingual folder of the standard family.
    for (const auto& row : config.deviceSupports) {
        EXPECT_EQ(row.models.supported.size() + row.models.disabled.size(), 22u);
        EXPECT_NE(std::find(row.models.supported.begin(), row.models.supported.end(), row.models.defaultModel),
                  row.models.supported.end());
        EXPECT_EQ(row.models.defaultModel.rfind("openai_whisper-", 0), 0u);
        EXPECT_EQ(row.models.defaultModel.find(".en"), std::string::npos);
    }
    EXPECT_EQ(config.defaultSupport.models.defaultModel, "openai_whisper-base");
    EXPECT_EQ(config.defaultSupport.models.supported, config.knownModels);
    EXPECT_FALSE(config.defaultSupport.chips);
    EXPECT_TRUE(config.defaultSupport.identifiers.empty());

    // The application's four choices are among the known folders.
    for (const char* folder : {"openai_whisper-tiny", "openai_whisper-base", "openai_whisper-small_216MB",
                               "openai_whisper-large-v3_turbo_954MB"}) {
        EXPECT_NE(std::find(config.knownModels.begin(), config.knownModels.end(), folder), config.knownModels.end())
            << folder;
    }
}

TEST(DataModelModelSupport, LongestIdentifierPrefixWins) {
    const auto& rows = builtIn().deviceSupports;
    struct Case {
        const char* device;
        int row;  // index into the built-in rows, -1 for the default row
    };
    const std::vector<Case> cases = {
        {"Mac14,2", 3},   {"Mac13,1", 2},  {"iPhone15,4", 1},  {"Watch7,1", 0},
        {"iPad13,10", 2},  // iPad13,1 (row 5) and iPad13,10 (row 3): the longer wins
        {"iPad16,1", 1},   // iPad16 (row 4) and iPad16,1 (row 2)
        {"iPad14,10", 3}, {"iPad14,1", 5}, {"Macmini8,1", -1}, {"", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.device);
        norvel::test::LogCapture capture;
        const ModelSupport support = builtIn().modelSupport(c.device);
        if (c.row < 0) {
            EXPECT_EQ(support, builtIn().defaultSupport.models);
            EXPECT_EQ(capture.lines(), std::vector<std::string>{std::string("No device support found for ") + c.device +
                                                                ", using default"});
        } else {
            EXPECT_EQ(support, rows[static_cast<std::size_t>(c.row)].models);
            ASSERT_EQ(capture.lines().size(), 1u);
            EXPECT_EQ(capture.lines()[0].rfind(std::string("Matched ") + c.device + " to devices: [\"", 0), 0u);
        }
    }

    // Equal lengths keep the earlier row.
    ModelSupportConfig tie("other", "1",
                           {{std::nullopt, {"Mac1"}, {"first", {"first"}, {}}},
                            {std::nullopt, {"Mac2", "Mac1"}, {"second", {"second"}, {}}}});
    EXPECT_EQ(tie.modelSupport("Mac1,1").defaultModel, "first");
    norvel::test::LogCapture capture;
    tie.modelSupport("Mac2,5");
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"Matched Mac2,5 to devices: [\"Mac2\", \"Mac1\"]"});
}

TEST(DataModelModelSupport, RemoteDocumentMergesWithTheBuiltInTable) {
    const Json document = Json::parse(R"({
        "name": "murmex-coreml", "version": "1.0",
        "device_support": [{"identifiers": ["Mac14"], "models": {"default": "X", "supported": ["X", "openai_whisper-tiny"]}}]
    })");
    const auto config = coding::decode<ModelSupportConfig>(document);
    const auto& rows = builtIn().deviceSupports;
    ASSERT_EQ(config.deviceSupports.size(), 6u);
    const auto& merged = config.deviceSupports[0];
    EXPECT_FALSE(merged.chips);
    EXPECT_EQ(merged.identifiers, std::vector<std::string>{"Mac14"});
    EXPECT_EQ(merged.models.defaultModel, "X");
    std::vector<std::string> expected = {"X"};
    for (const auto& name : rows[3].models.supported) expected.push_back(name);  // tiny is not repeated
    EXPECT_EQ(merged.models.supported, expected);
    EXPECT_TRUE(merged.models.disabled.empty());
    // Row 4 is dropped: it names Mac14; the others follow in order.
    for (std::size_t i = 0, j = 1; i < rows.size(); ++i) {
        if (i == 3) continue;
        EXPECT_EQ(config.deviceSupports[j].identifiers, rows[i].identifiers);
        EXPECT_EQ(config.deviceSupports[j++].models.supported, rows[i].models.supported);
    }
    EXPECT_EQ(config.knownModels.size(), 23u);
    EXPECT_EQ(config.knownModels.front(), "X");

    // A document of another repository keeps only its own rows.
    const Json other = Json::parse(R"({
        "name": "other-repo", "version": "2",
        "device_support": [{"chips": "M9", "identifiers": ["Mac99"],
                            "models": {"default": "a", "supported": ["a", "b"], "disabled": ["ignored"]}},
                           {"identifiers": ["Mac98"], "models": {"default": "c", "supported": ["c", "a"]}}]
    })");
    const auto own = coding::decode<ModelSupportConfig>(other);
    ASSERT_EQ(own.deviceSupports.size(), 2u);
    EXPECT_EQ(own.knownModels, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(own.deviceSupports[0].chips, "M9");
    EXPECT_EQ(own.deviceSupports[0].models.disabled, std::vector<std::string>{"c"});
    EXPECT_EQ(own.deviceSupports[1].models.disabled, std::vector<std::string>{"b"});
    EXPECT_EQ(own.defaultSupport.models.supported, own.knownModels);

    // Written back: the merged rows, "chips" only when present, no computed fields.
    const Json written = coding::encode(own);
    EXPECT_EQ(written.dump(),
              R"({"name":"other-repo","version":"2","device_support":[{"chips":"M9","identifiers":["Mac99"],)"
              R"("models":{"default":"a","supported":["a","b"]}},{"identifiers":["Mac98"],"models":{"default":"c",)"
              R"("supported":["c","a"]}}]})");
    EXPECT_EQ(coding::decode<ModelSupportConfig>(written), own);
}

TEST(DataModelModelSupport, MalformedDocumentsFail) {
    struct Case {
        const char* json;
        DecodingError::Kind kind;
        std::vector<std::string> path;
    };
    const std::vector<Case> cases = {
        {R"({"version":"1","device_support":[]})", DecodingError::Kind::keyNotFound, {"name"}},
        {R"({"name":"r","version":"1","device_support":[{"models":{"default":"a","supported":[]}}]})",
         DecodingError::Kind::keyNotFound,
         {"device_support", "Index 0", "identifiers"}},
        {R"({"name":"r","version":"1","device_support":[{"identifiers":[]}]})",
         DecodingError::Kind::keyNotFound,
         {"device_support", "Index 0", "models"}},
        {R"({"name":"r","version":"1","device_support":[{"identifiers":[],"models":{"supported":[]}}]})",
         DecodingError::Kind::keyNotFound,
         {"device_support", "Index 0", "models", "default"}},
        {R"({"name":"r","version":1,"device_support":[]})", DecodingError::Kind::typeMismatch, {"version"}},
        {R"({"name":"r","version":"1","device_support":[{"chips":3,"identifiers":[],"models":{"default":"a","supported":[]}}]})",
         DecodingError::Kind::typeMismatch,
         {"device_support", "Index 0", "chips"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        try {
            coding::decode<ModelSupportConfig>(Json::parse(c.json));
            ADD_FAILURE() << "read succeeded";
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), c.kind);
            EXPECT_EQ(error.codingPath(), c.path);
        }
    }
    // A row without chips reads.
    EXPECT_NO_THROW(coding::decode<ModelSupportConfig>(Json::parse(
        R"({"name":"r","version":"1","device_support":[{"chips":null,"identifiers":[],"models":{"default":"a","supported":[]}}]})")));
}

// Stage stand-ins, to check that the configuration keeps the very objects it is given.
class NullExtractor : public FeatureExtracting {
public:
    std::optional<int> melCount() const override { return 80; }
    std::optional<int> windowSamples() const override { return 480000; }
    std::shared_ptr<FeatureExtractorOutputType> logMelSpectrogram(
        const std::shared_ptr<AudioProcessorOutputType>&) override {
        return nullptr;
    }
};

class PassFilter : public LogitsFiltering {
public:
    platform::MultiArray filterLogits(const platform::MultiArray& logits, const std::vector<int>&) override {
        return logits;
    }
};

TEST(DataModelMurmexConfig, StoresExactlyWhatItIsGiven) {
    const MurmexConfig empty;
    EXPECT_FALSE(empty.model() || empty.downloadBase() || empty.modelRepo() || empty.modelToken() ||
                 empty.modelEndpoint() || empty.modelFolder() || empty.tokenizerFolder() || empty.computeOptions() ||
                 empty.audioInputConfigStorage() || empty.logitsFilters() || empty.prewarm() || empty.load());
    EXPECT_FALSE(empty.audioProcessor() || empty.featureExtractor() || empty.audioEncoder() || empty.textDecoder() ||
                 empty.segmentSeeker() || empty.voiceActivityDetector());

    auto extractor = std::make_shared<NullExtractor>();
    auto filter = std::make_shared<PassFilter>();
    MurmexConfig config({.model = "tiny",
                         .downloadBase = "/tmp/models",
                         .modelFolder = "/tmp/models/openai_whisper-tiny",
                         .computeOptions = ModelComputeOptions(),
                         .audioInputConfig = AudioInputOptions(AudioInputOptions::ChannelMode::specificChannel(1),
                                                               AudioInputOptions::AudioLoadingMode::incremental()),
                         .featureExtractor = extractor,
                         .logitsFilters = std::vector<std::shared_ptr<LogitsFiltering>>{filter},
                         .verbose = true,
                         .logLevel = halvex::Logging::LogLevel::debug,
                         .prewarm = true,
                         .load = false,
                         .download = false});
    EXPECT_EQ(config.model(), "tiny");
    EXPECT_EQ(config.downloadBase(), std::filesystem::path("/tmp/models"));
    EXPECT_EQ(config.modelFolder(), "/tmp/models/openai_whisper-tiny");
    EXPECT_FALSE(config.modelRepo());
    EXPECT_EQ(config.featureExtractor(), extractor);
    ASSERT_TRUE(config.logitsFilters());
    EXPECT_EQ(config.logitsFilters()->at(0), filter);
    EXPECT_EQ(config.audioInputConfigStorage()->channelMode, AudioInputOptions::ChannelMode::specificChannel(1));
    EXPECT_TRUE(config.verbose());
    EXPECT_EQ(config.logLevel(), halvex::Logging::LogLevel::debug);
    EXPECT_EQ(config.prewarm(), true);
    EXPECT_EQ(config.load(), false);
    EXPECT_FALSE(config.download());

    // The computed audio input configuration is the stored one, both ways.
    config.setAudioInputConfig(AudioInputOptions());
    EXPECT_EQ(config.audioInputConfigStorage()->channelMode, AudioInputOptions::ChannelMode::sumChannels());
    config.setAudioInputConfig(std::nullopt);
    EXPECT_FALSE(config.audioInputConfigStorage());
    EXPECT_FALSE(config.audioInputConfig());
}

}  // namespace
}  // namespace murmex
