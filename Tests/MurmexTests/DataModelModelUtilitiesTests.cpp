// The model interface of the speech stages, the speech library's model helpers and the
// language recognizer used for word splitting.

#include <gtest/gtest.h>

#include <mutex>

#include "HalvexCore/Protected.h"
#include "Murmex/Model/Constants.h"
#include "Murmex/Model/LanguageRecognizer.h"
#include "Murmex/Model/ModelUtilities.h"
#include "Murmex/Model/WhisperMLModel.h"
#include "Platform/ML/MLError.h"
#include "Support/Fixtures.h"
#include "Support/GeneratedModel.h"
#include "Support/LogCapture.h"

namespace murmex {
namespace {

class StubModel : public platform::Model {
public:
    StubModel() : platform::Model(platform::ModelDescription{}, platform::ComputeUnits::cpuOnly) {}

protected:
    std::shared_ptr<platform::FeatureProvider> predict(const platform::FeatureProvider&,
                                                       const platform::PredictionOptions&) const override {
        return std::make_shared<platform::DictionaryFeatureProvider>();
    }
};

// A stage that keeps its model behind its own lock and takes the default load and unload.
class Stage : public WhisperMLModel {
public:
    std::shared_ptr<platform::Model> model() const override { return model_.get(); }
    void setModel(std::shared_ptr<platform::Model> model) override { model_.set(std::move(model)); }

private:
    halvex::Protected<std::shared_ptr<platform::Model>> model_;
};

TEST(DataModelWhisperMLModel, StateFollowsTheModel) {
    Stage stage;
    EXPECT_EQ(stage.modelState(), halvex::ModelState::unloaded);
    auto model = std::make_shared<StubModel>();
    stage.setModel(model);
    EXPECT_EQ(stage.modelState(), halvex::ModelState::loaded);

    // A failed load is passed on and leaves the model as it was, in both modes.
    norvel::test::TemporaryDirectory folder;
    for (bool prewarm : {false, true}) {
        EXPECT_THROW(stage.loadModel(folder / "Missing.mlmodelc", platform::ComputeUnits::cpuOnly, prewarm),
                     platform::MLError);
        EXPECT_EQ(stage.model(), model);
    }
    stage.unloadModel();
    EXPECT_EQ(stage.modelState(), halvex::ModelState::unloaded);

    // A real model: prewarming loads and drops it; loading keeps it with its compute units.
    norvel::test::generateModelFolder(folder.path(), {.width = 32, .heads = 2, .layers = 1, .withTokenizer = false});
    const auto encoder = folder / "AudioEncoder.mlmodelc";
    stage.loadModel(encoder, platform::ComputeUnits::cpuAndGPU, true);
    EXPECT_EQ(stage.modelState(), halvex::ModelState::unloaded);
    stage.loadModel(encoder, platform::ComputeUnits::cpuAndGPU, false);
    ASSERT_EQ(stage.modelState(), halvex::ModelState::loaded);
    EXPECT_EQ(stage.model()->computeUnits(), platform::ComputeUnits::cpuAndGPU);
    stage.unloadModel();
    EXPECT_EQ(stage.modelState(), halvex::ModelState::unloaded);
}

TEST(DataModelModelUtilities, DetectVariant) {
    struct Case {
        int logits, encoder;
        ModelVariant expected;
    };
    const std::vector<Case> cases = {
        {51864, 384, ModelVariant::tinyEn},    {51864, 768, ModelVariant::smallEn},
        {51864, 1024, ModelVariant::mediumEn}, {51864, 1280, ModelVariant::baseEn},
        {51864, 512, ModelVariant::baseEn},    {51865, 384, ModelVariant::tiny},
        {51865, 768, ModelVariant::small},     {51865, 1024, ModelVariant::medium},
        {51865, 1280, ModelVariant::largev2},  {51865, 1000, ModelVariant::base},
        {51865, 512, ModelVariant::base},      {51866, 384, ModelVariant::largev3},
        {51866, 1280, ModelVariant::largev3},
    };
    {
        norvel::test::LogCapture capture;
        for (const auto& c : cases) {
            EXPECT_EQ(ModelUtilities::detectVariant(c.logits, c.encoder), c.expected) << c.logits << "/" << c.encoder;
        }
        EXPECT_TRUE(capture.lines().empty());
    }
    norvel::test::LogCapture capture;
    EXPECT_EQ(ModelUtilities::detectVariant(50000, 384), ModelVariant::base);
    EXPECT_EQ(capture.lines(),
              std::vector<std::string>{"Unrecognized vocabulary size: 50000, defaulting to base variant"});
}

TEST(DataModelModelUtilities, TokenizerRepositoriesAndSupport) {
    EXPECT_EQ(ModelUtilities::tokenizerNameForVariant(ModelVariant::largev3), "openai/whisper-large-v3");
    EXPECT_EQ(ModelUtilities::tokenizerNameForVariant(ModelVariant::tinyEn), "openai/whisper-tiny.en");
    EXPECT_EQ(ModelUtilities::modelSupport("Mac15,3"),
              Constants::fallbackModelSupportConfig().deviceSupports[3].models);
    ModelSupportConfig own("own", "1", {{std::nullopt, {"Mac15"}, {"a", {"a"}, {}}}});
    EXPECT_EQ(ModelUtilities::modelSupport("Mac15,3", own).defaultModel, "a");
}

TEST(DataModelModelUtilities, FormatModelFiles) {
    EXPECT_EQ(ModelUtilities::formatModelFiles({"a-tiny/x.mlmodelc", "a-tiny/y", "a-base_turbo/x", "a-large-v3_900MB/z",
                                                "config.json", "b-small.en/x"}),
              (std::vector<std::string>{"a-tiny", "b-small.en", "a-large-v3_900MB"}));
    EXPECT_EQ(
        ModelUtilities::formatModelFiles({"z-large-v2/a", "a-large-v3/b", "m-medium.en/c", "m-medium/d", "q-base"}),
        (std::vector<std::string>{"q-base", "m-medium", "m-medium.en", "a-large-v3", "z-large-v2"}));
    EXPECT_TRUE(ModelUtilities::formatModelFiles({}).empty());
}

TEST(DataModelLanguageRecognizer, ScriptsDecideTheSplittingLanguage) {
    struct Case {
        const char* text;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"\u3053\u3093\u306B\u3061\u306F\u4E16\u754C", "ja"},
        {"\u4F60\u597D\uFF0C\u4E16\u754C", "zh"},
        {"\u0E2A\u0E27\u0E31\u0E2A\u0E14\u0E35", "th"},
        {"\u0EAA\u0EB0\u0E9A\u0EB2\u0E8D\u0E94\u0EB5", "lo"},
        {"\u1019\u1004\u103A\u1039\u1002\u101C\u102C", "my"},
        {"\uC548\uB155\uD558\uC138\uC694", "ko"},
        {" And so, my fellow Americans", "und"},
        {"Tokyo \u6771\u4EAC\u90FD\u3068\u5927\u962A", "ja"},
        {"", std::nullopt},
        {" 123 ... !?", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(LanguageRecognizer::dominantLanguage(c.text), c.expected) << c.text;
}

}  // namespace
}  // namespace murmex
