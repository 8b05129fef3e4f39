// Construction of the pipeline facade, and loading, prewarming and unloading its models, with
// stages that record what they are asked to do.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "HalvexCore/Logging.h"
#include "HalvexCore/MLModelLoading.h"
#include "Murmex/Model/WhisperError.h"
#include "Murmex/Pipeline/Murmex.h"
#include "MurmexTests/PipelineTestSupport.h"
#include "Platform/ML/MLError.h"
#include "Support/Fixtures.h"
#include "Support/GeneratedModel.h"

namespace {

using halvex::ModelState;
using murmex::Murmex;
using murmex::MurmexConfig;
using murmex::WhisperError;
using norvel::test::TemporaryDirectory;
using namespace norvel::test::pipeline;
using norvel::test::thrownAs;

using Changes = std::vector<std::pair<std::optional<ModelState>, ModelState>>;

const std::vector<std::string> realLoad = {
    "load MelSpectrogram.mlmodelc cpuAndGPU",
    "load TextDecoder.mlmodelc cpuAndNeuralEngine",
    "load AudioEncoder.mlmodelc cpuAndNeuralEngine",
};
const std::vector<std::string> prewarmThenLoad = {
    "prewarm MelSpectrogram.mlmodelc cpuAndGPU",        "prewarm TextDecoder.mlmodelc cpuAndNeuralEngine",
    "prewarm AudioEncoder.mlmodelc cpuAndNeuralEngine", "load MelSpectrogram.mlmodelc cpuAndGPU",
    "load TextDecoder.mlmodelc cpuAndNeuralEngine",     "load AudioEncoder.mlmodelc cpuAndNeuralEngine",
};

// A pipeline whose tokenizer comes from nowhere: its tokenizer load only hands over a stub, so
// that these tests are about the models alone.
class StubTokenizerPipeline : public Murmex {
public:
    void loadTokenizerIfNeeded() override {
        ++tokenizerLoads;
        if (!tokenizer()) setTokenizer(std::make_shared<EmptyTokenizer>());
    }
    int tokenizerLoads = 0;
};

struct ConstructionCase {
    const char* name;
    bool withFolder;
    std::optional<bool> prewarm;
    std::optional<bool> load;
    ModelState expectedState;
    std::vector<std::string> expectedJournal;
};

TEST(PipelineConstruction, PrewarmsAndLoadsAsTheConfigurationAsks) {
    const ConstructionCase cases[] = {
        {"folder, load unset", true, std::nullopt, std::nullopt, ModelState::loaded, realLoad},
        {"folder, load false", true, std::nullopt, false, ModelState::unloaded, {}},
        {"folder, prewarm and load", true, true, true, ModelState::loaded, prewarmThenLoad},
        {"folder, prewarm, load unset", true, true, std::nullopt, ModelState::loaded, prewarmThenLoad},
        {"folder, prewarm only", true, true, false, ModelState::prewarmed,
         std::vector<std::string>(prewarmThenLoad.begin(), prewarmThenLoad.begin() + 3)},
        {"no folder, no download", false, std::nullopt, std::nullopt, ModelState::unloaded, {}},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        TemporaryDirectory folder;
        makeModelFolder(folder.path());
        FakeStages stages;
        MurmexConfig::Arguments arguments;
        if (row.withFolder) arguments.modelFolder = folder.path().string();
        arguments.prewarm = row.prewarm;
        arguments.load = row.load;
        arguments.download = false;
        auto pipeline = Murmex::create<StubTokenizerPipeline>(stages.config(arguments));

        EXPECT_EQ(pipeline->modelState(), row.expectedState);
        EXPECT_EQ(*stages.journal, row.expectedJournal);
        EXPECT_EQ(pipeline->modelFolder().has_value(), row.withFolder);
        EXPECT_EQ(pipeline->tokenizerLoads, row.expectedState == ModelState::loaded ? 1 : 0);
        EXPECT_EQ(stages.featureExtractor->hasModel(), row.expectedState == ModelState::loaded);
    }
}

TEST(PipelineConstruction, TakesTheConfiguredValuesAndDefaults) {
    FakeStages stages;
    MurmexConfig::Arguments arguments;
    arguments.download = false;
    arguments.downloadBase = "/tmp/base";
    arguments.computeOptions = murmex::ModelComputeOptions(platform::ComputeUnits::cpuOnly, platform::ComputeUnits::all,
                                                           platform::ComputeUnits::cpuAndGPU);
    auto pipeline = Murmex::create(stages.config(arguments));

    EXPECT_EQ(pipeline->modelVariant(), murmex::ModelVariant::tiny);
    EXPECT_EQ(pipeline->modelState(), ModelState::unloaded);
    EXPECT_EQ(pipeline->modelCompute().melCompute, platform::ComputeUnits::cpuOnly);
    EXPECT_EQ(pipeline->modelCompute().audioEncoderCompute, platform::ComputeUnits::all);
    EXPECT_EQ(pipeline->tokenizerFolder(), std::filesystem::path("/tmp/base"));
    EXPECT_EQ(pipeline->featureExtractor(), stages.featureExtractor);
    EXPECT_EQ(pipeline->audioEncoder(), stages.audioEncoder);
    EXPECT_EQ(pipeline->textDecoder(), stages.textDecoder);
    EXPECT_NE(pipeline->audioProcessor(), nullptr);
    EXPECT_NE(pipeline->segmentSeeker(), nullptr);
    EXPECT_EQ(pipeline->voiceActivityDetector(), nullptr);
    EXPECT_EQ(pipeline->tokenizer(), nullptr);
    EXPECT_TRUE(pipeline->audioInputOptions().channelMode.isSumChannels());
    EXPECT_FALSE(pipeline->audioInputOptions().channelMode.channels().has_value());
    EXPECT_TRUE(pipeline->audioInputOptions().audioLoadingMode.isFullFile());
    EXPECT_EQ(pipeline->currentTimings(), murmex::TranscriptionTimings());

    // The older name of the audio options reads and writes the same value.
    pipeline->setAudioInputConfig(murmex::AudioInputOptions(murmex::AudioInputOptions::ChannelMode::specificChannel(1),
                                                            murmex::AudioInputOptions::AudioLoadingMode()));
    EXPECT_EQ(pipeline->audioInputOptions().channelMode.channel(), 1);
    EXPECT_EQ(pipeline->audioInputConfig().channelMode, pipeline->audioInputOptions().channelMode);
}

TEST(PipelineConstruction, LogitFiltersReplaceTheDecodersOnlyWhenGiven) {
    struct NoFilter final : murmex::LogitsFiltering {
        platform::MultiArray filterLogits(const platform::MultiArray& logits, const std::vector<int>&) override {
            return logits;
        }
    };
    const auto own = std::vector<std::shared_ptr<murmex::LogitsFiltering>>{std::make_shared<NoFilter>()};
    const std::optional<std::vector<std::shared_ptr<murmex::LogitsFiltering>>> givens[] = {
        std::nullopt, std::vector<std::shared_ptr<murmex::LogitsFiltering>>{}};
    for (const auto& given : givens) {
        FakeStages stages;
        stages.textDecoder->setLogitsFilters(own);
        MurmexConfig::Arguments arguments;
        arguments.download = false;
        arguments.logitsFilters = given;
        auto pipeline = Murmex::create(stages.config(arguments));
        EXPECT_EQ(stages.textDecoder->logitsFilters()->size(), given ? 0u : 1u);
    }
}

TEST(PipelineConstruction, VerboseDecidesTheProcessLogLevel) {
    struct Case {
        bool verbose;
        halvex::Logging::LogLevel configured;
        halvex::Logging::LogLevel expected;
    };
    const Case cases[] = {
        {false, halvex::Logging::LogLevel::debug, halvex::Logging::LogLevel::none},
        {true, halvex::Logging::LogLevel::debug, halvex::Logging::LogLevel::debug},
        {true, halvex::Logging::LogLevel::error, halvex::Logging::LogLevel::error},
    };
    for (const auto& row : cases) {
        halvex::Logging::updateLogLevel(halvex::Logging::LogLevel::info);
        FakeStages stages;
        MurmexConfig::Arguments arguments;
        arguments.download = false;
        arguments.verbose = row.verbose;
        arguments.logLevel = row.configured;
        Murmex::create(stages.config(arguments));
        EXPECT_EQ(halvex::Logging::shared().logLevel(), row.expected);
    }
    halvex::Logging::updateLogLevel(halvex::Logging::LogLevel::none);
}

TEST(PipelineConstruction, TokenizerAssignmentReachesTheTextDecoder) {
    FakeStages stages;
    MurmexConfig::Arguments arguments;
    arguments.download = false;
    auto pipeline = Murmex::create(stages.config(arguments));
    auto tokenizer = std::make_shared<EmptyTokenizer>();
    pipeline->setTokenizer(tokenizer);
    EXPECT_EQ(stages.textDecoder->tokenizer(), tokenizer);
    pipeline->setTokenizer(nullptr);
    EXPECT_EQ(stages.textDecoder->tokenizer(), nullptr);
}

// Each way a load can fail, with its error and the state it leaves.
TEST(PipelineModelLoading, FailuresGiveTheirExactErrors) {
    struct Case {
        const char* name;
        bool withFolder;
        std::vector<std::string> missing;
        bool prewarm;
        std::string expectedMessage;  // "{folder}" stands for the model folder
        ModelState expectedState;
    };
    const Case cases[] = {
        {"load without folder", false, {}, false, "Model folder is not set.", ModelState::loading},
        {"prewarm without folder", false, {}, true, "Model folder is not set.", ModelState::prewarming},
        {"no mel model",
         true,
         {"MelSpectrogram"},
         false,
         "Model file not found at {folder}/MelSpectrogram.mlmodelc",
         ModelState::loading},
        {"no encoder",
         true,
         {"AudioEncoder"},
         false,
         "Model file not found at {folder}/AudioEncoder.mlmodelc",
         ModelState::loading},
        {"no decoder",
         true,
         {"TextDecoder"},
         true,
         "Model file not found at {folder}/TextDecoder.mlmodelc",
         ModelState::prewarming},
        {"the mel model is checked first",
         true,
         {"TextDecoder", "MelSpectrogram"},
         false,
         "Model file not found at {folder}/MelSpectrogram.mlmodelc",
         ModelState::loading},
        {"the encoder is checked before the decoder",
         true,
         {"TextDecoder", "AudioEncoder"},
         false,
         "Model file not found at {folder}/AudioEncoder.mlmodelc",
         ModelState::loading},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        TemporaryDirectory folder;
        makeModelFolder(folder.path(), row.missing);
        FakeStages stages;
        MurmexConfig::Arguments arguments;
        arguments.download = false;
        if (row.withFolder) arguments.modelFolder = folder.path().string();
        arguments.load = false;
        auto pipeline = Murmex::create<StubTokenizerPipeline>(stages.config(arguments));
        StateRecorder recorder;
        recorder.attach(*pipeline);

        auto error = thrownAs<WhisperError>([&] { pipeline->loadModels(row.prewarm); });
        ASSERT_TRUE(error.has_value());
        std::string expected = row.expectedMessage;
        if (auto at = expected.find("{folder}"); at != std::string::npos)
            expected.replace(at, 8, folder.path().string());
        EXPECT_EQ(error->kind(), WhisperError::Kind::modelsUnavailable);
        EXPECT_EQ(std::string(error->what()), expected);
        EXPECT_EQ(pipeline->modelState(), row.expectedState);
        EXPECT_EQ(recorder.changes, (Changes{{ModelState::unloaded, row.expectedState}}));
        EXPECT_TRUE(stages.journal->empty());
    }
}

TEST(PipelineModelLoading, ConstructionFailsWhenPrewarmingWithoutAFolder) {
    FakeStages stages;
    MurmexConfig::Arguments arguments;
    arguments.download = false;
    arguments.prewarm = true;
    arguments.load = true;
    auto error = thrownAs<WhisperError>([&] { Murmex::create(stages.config(arguments)); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(std::string(error->what()), "Model folder is not set.");
    EXPECT_TRUE(stages.journal->empty()) << "a failed prewarm skips the load";
}

TEST(PipelineModelLoading, AStageThatFailsToLoadStopsTheLoadWithItsOwnError) {
    TemporaryDirectory folder;
    makeModelFolder(folder.path());
    FakeStages stages;
    MurmexConfig::Arguments arguments;
    arguments.download = false;
    arguments.modelFolder = folder.path().string();
    arguments.load = false;
    auto pipeline = Murmex::create<StubTokenizerPipeline>(stages.config(arguments));
    stages.textDecoder->failLoadsWith(std::make_exception_ptr(std::runtime_error("broken decoder")));

    auto error = thrownAs<std::runtime_error>([&] { pipeline->loadModels(false); });
    ASSERT_TRUE(error.has_value());
    EXPECT_STREQ(error->what(), "broken decoder");
    EXPECT_EQ(pipeline->modelState(), ModelState::loading);
    EXPECT_TRUE(stages.featureExtractor->hasModel()) << "stages loaded before keep their models";
    EXPECT_EQ(*stages.journal, (std::vector<std::string>{realLoad[0], realLoad[1]}));
    EXPECT_EQ(pipeline->tokenizerLoads, 0);
}

TEST(PipelineModelLoading, TheStandardStagesPassOnTheRuntimesError) {
    // Model folders that exist but hold no model: the runtime refuses the first of them.
    TemporaryDirectory folder;
    makeModelFolder(folder.path());
    MurmexConfig::Arguments arguments;
    arguments.download = false;
    arguments.modelFolder = folder.path().string();
    arguments.load = false;
    auto pipeline = Murmex::create(MurmexConfig(arguments));
    for (bool prewarm : {true, false}) {
        auto error = thrownAs<platform::MLError>([&] { pipeline->loadModels(prewarm); });
        ASSERT_TRUE(error.has_value());
        EXPECT_NE(std::string(error->what()).find("MelSpectrogram"), std::string::npos) << error->what();
        EXPECT_EQ(pipeline->modelState(), prewarm ? ModelState::prewarming : ModelState::loading);
        EXPECT_EQ(pipeline->tokenizer(), nullptr);
    }
}

TEST(PipelineModelLoading, AFolderWhoseModelsDoNotBelongTogetherIsRefusedBeforeAnyLoads) {
    TemporaryDirectory folder, other;
    norvel::test::generateModelFolder(folder.path());
    norvel::test::GeneratedModelOptions narrow;
    narrow.width = 32;
    narrow.withTokenizer = false;
    norvel::test::generateModelFolder(other.path(), narrow);
    std::filesystem::remove_all(folder / "AudioEncoder.mlmodelc");
    std::filesystem::copy(other / "AudioEncoder.mlmodelc", folder / "AudioEncoder.mlmodelc");
    FakeStages stages;
    MurmexConfig::Arguments arguments;
    arguments.download = false;
    arguments.modelFolder = folder.path().string();
    arguments.load = false;
    auto pipeline = Murmex::create<StubTokenizerPipeline>(stages.config(arguments));
    auto error = thrownAs<platform::MLError>([&] { pipeline->loadModels(false); });
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(std::string(error->what()).find("the audio encoder is 32 wide, the text decoder 64"), std::string::npos)
        << error->what();
    EXPECT_EQ(*stages.journal, std::vector<std::string>{}) << "no stage loads";
}

TEST(PipelineModelLoading, StatesMoveAsTheModelsDo) {
    TemporaryDirectory folder;
    makeModelFolder(folder.path());
    FakeStages stages;
    MurmexConfig::Arguments arguments;
    arguments.download = false;
    arguments.modelFolder = folder.path().string();
    arguments.load = false;
    auto pipeline = Murmex::create<StubTokenizerPipeline>(stages.config(arguments));
    StateRecorder recorder;
    recorder.attach(*pipeline);

    pipeline->prewarmModels();
    pipeline->loadModels(false);
    pipeline->loadModels(false);
    pipeline->unloadModels();
    EXPECT_EQ(recorder.changes, (Changes{
                                    {ModelState::unloaded, ModelState::prewarming},
                                    {ModelState::prewarming, ModelState::prewarmed},
                                    {ModelState::prewarmed, ModelState::loading},
                                    {ModelState::loading, ModelState::loaded},
                                    {ModelState::loaded, ModelState::loading},
                                    {ModelState::loading, ModelState::loaded},
                                    {ModelState::loaded, ModelState::unloading},
                                    {ModelState::unloading, ModelState::unloaded},
                                }));
    EXPECT_EQ(stages.journal->back(), "unload TextDecoder");
    EXPECT_FALSE(stages.featureExtractor->hasModel());
    EXPECT_NE(pipeline->tokenizer(), nullptr) << "unloading keeps the tokenizer";

    // A load that fails leaves `loading`; the next one reports the equal pair.
    recorder.changes.clear();
    stages.audioEncoder->failLoadsWith(std::make_exception_ptr(std::runtime_error("no encoder")));
    EXPECT_THROW(pipeline->loadModels(false), std::runtime_error);
    EXPECT_THROW(pipeline->loadModels(false), std::runtime_error);
    EXPECT_EQ(recorder.changes,
              (Changes{{ModelState::unloaded, ModelState::loading}, {ModelState::loading, ModelState::loading}}));
}

TEST(PipelineModelLoading, LoadTimesIncludeAnEarlierPrewarm) {
    using namespace std::chrono_literals;
    TemporaryDirectory folder;
    makeModelFolder(folder.path());
    FakeStages stages;
    stages.textDecoder->setLoadDelay(20ms);
    stages.audioEncoder->setLoadDelay(10ms);
    MurmexConfig::Arguments arguments;
    arguments.download = false;
    arguments.modelFolder = folder.path().string();
    arguments.prewarm = true;
    auto pipeline = Murmex::create<StubTokenizerPipeline>(stages.config(arguments));

    const auto& timings = pipeline->currentTimings();
    EXPECT_GE(timings.decoderSpecializationTime, 0.020);
    EXPECT_GE(timings.encoderSpecializationTime, 0.010);
    EXPECT_GE(timings.decoderLoadTime, 0.020);
    EXPECT_GE(timings.encoderLoadTime, 0.010);
    EXPECT_GE(timings.prewarmLoadTime, timings.decoderSpecializationTime + timings.encoderSpecializationTime);
    EXPECT_GE(timings.modelLoading, timings.prewarmLoadTime + timings.decoderLoadTime + timings.encoderLoadTime);
}

TEST(PipelineModelLoading, StagesWithoutASpeechModelAreSkipped) {
    // Replacement encoders that own no model of the pipeline's kind: the load goes on without
    // them. One that only implements the core library's model loading is not asked to load or
    // unload anything either.
    struct PlainEncoder : murmex::AudioEncoding {
        std::optional<int> embedSize() const override { return 384; }
        std::shared_ptr<murmex::AudioEncoderOutputType> encodeFeatures(
            const std::shared_ptr<murmex::FeatureExtractorOutputType>&) override {
            return nullptr;
        }
    };
    struct CoreLoadingEncoder final : PlainEncoder, halvex::MLModelLoading {
        using halvex::MLModelLoading::loadModel;
        void loadModel(const std::filesystem::path&, platform::ComputeUnits, bool) override { ++calls; }
        void unloadModel() override { ++calls; }
        int calls = 0;
    };
    auto plain = std::make_shared<PlainEncoder>();
    auto core = std::make_shared<CoreLoadingEncoder>();
    for (const std::shared_ptr<murmex::AudioEncoding>& encoder :
         {std::shared_ptr<murmex::AudioEncoding>(plain), std::shared_ptr<murmex::AudioEncoding>(core)}) {
        TemporaryDirectory folder;
        makeModelFolder(folder.path());
        FakeStages stages;
        MurmexConfig::Arguments arguments;
        arguments.download = false;
        arguments.modelFolder = folder.path().string();
        MurmexConfig config = stages.config(arguments);
        config.setAudioEncoder(encoder);
        auto pipeline = Murmex::create<StubTokenizerPipeline>(config);
        EXPECT_EQ(pipeline->modelState(), ModelState::loaded);
        EXPECT_EQ(*stages.journal, (std::vector<std::string>{realLoad[0], realLoad[1]}));
        pipeline->unloadModels();
        EXPECT_EQ(pipeline->modelState(), ModelState::unloaded);
    }
    EXPECT_EQ(core->calls, 0) << "only speech stages load models";
}

// The tokenizer follows from the loaded decoder and encoder.
TEST(PipelineTokenizer, IsChosenByTheModelsSizesAndFoundBesideTheModels) {
    struct Case {
        int logitsSize;
        int embedSize;
        const char* files;
        bool multilingual;
        murmex::ModelVariant variant;
    };
    const Case cases[] = {
        {51865, 384, "multilingual", true, murmex::ModelVariant::tiny},
        {51864, 512, "english", false, murmex::ModelVariant::baseEn},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.files);
        TemporaryDirectory folder;
        makeModelFolder(folder.path());
        copyTokenizerFiles(row.files, folder.path());
        FakeStages stages;
        stages.textDecoder->logitsSize_ = row.logitsSize;
        stages.audioEncoder->embedSize_ = row.embedSize;
        MurmexConfig::Arguments arguments;
        arguments.download = false;
        arguments.modelFolder = folder.path().string();
        arguments.tokenizerFolder = folder.path() / "tokenizers";
        auto pipeline = Murmex::create(stages.config(arguments));

        ASSERT_NE(pipeline->tokenizer(), nullptr);
        EXPECT_EQ(stages.textDecoder->tokenizer(), pipeline->tokenizer());
        EXPECT_EQ(stages.textDecoder->isModelMultilingual(), row.multilingual);
        EXPECT_EQ(pipeline->modelVariant(), row.variant);
        EXPECT_EQ(pipeline->tokenizer()->specialTokens().endToken, row.multilingual ? 50257 : 50256);
        EXPECT_GT(pipeline->currentTimings().tokenizerLoadTime, 0.0);

        // A second load keeps the tokenizer it has.
        const auto tokenizer = pipeline->tokenizer();
        LogCapture log;
        pipeline->loadModels(false);
        EXPECT_EQ(pipeline->tokenizer(), tokenizer);
        EXPECT_TRUE(log.contains("Tokenizer already exists on Murmex, skipping load"));
        EXPECT_EQ(pipeline->modelState(), ModelState::loaded);
    }
}

TEST(PipelineTokenizer, UnknownModelSizesLeaveNoTokenizer) {
    TemporaryDirectory folder;
    makeModelFolder(folder.path());
    copyTokenizerFiles("multilingual", folder.path());
    for (bool decoderKnown : {false, true}) {
        FakeStages stages;
        if (decoderKnown) {
            stages.audioEncoder->embedSize_ = std::nullopt;
        } else {
            stages.textDecoder->logitsSize_ = std::nullopt;
        }
        MurmexConfig::Arguments arguments;
        arguments.download = false;
        arguments.modelFolder = folder.path().string();
        arguments.load = false;
        auto pipeline = Murmex::create(stages.config(arguments));
        auto error = thrownAs<WhisperError>([&] { pipeline->loadModels(false); });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->kind(), WhisperError::Kind::tokenizerUnavailable);
        EXPECT_STREQ(error->what(), "Tokenizer is unavailable");
        EXPECT_EQ(pipeline->tokenizer(), nullptr);
        EXPECT_EQ(pipeline->modelState(), ModelState::loading);
    }
}

}  // namespace
