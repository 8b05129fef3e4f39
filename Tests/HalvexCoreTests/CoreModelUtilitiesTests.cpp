#include "HalvexCore/MLModelLoading.h"
#include "HalvexCore/ModelState.h"
#include "HalvexCore/ModelUtilities.h"
#include "Support/Fixtures.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using halvex::ModelState;
using halvex::ModelUtilities;

namespace {

void touch(const fs::path& path) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "x";
}

const char* const kPackageFile = "Data/com.apple.CoreML/model.mlmodel";

TEST(CoreModelState, TextsAndBusyStates) {
    struct Case {
        ModelState state;
        std::string text;
        bool busy;
    };
    const std::vector<Case> cases = {
        {ModelState::unloading, "Unloading", true},     {ModelState::unloaded, "Unloaded", false},
        {ModelState::loading, "Loading", true},         {ModelState::loaded, "Loaded", false},
        {ModelState::prewarming, "Specializing", true}, {ModelState::prewarmed, "Specialized", false},
        {ModelState::downloading, "Downloading", true}, {ModelState::downloaded, "Downloaded", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(halvex::description(c.state), c.text);
        EXPECT_EQ(halvex::isBusy(c.state), c.busy) << c.text;
    }
}

TEST(CoreModelUtilities, DetectsCompiledOrPackagedModels) {
    norvel::test::TemporaryDirectory root;
    const fs::path both = root / "both";
    const fs::path packageOnly = root / "package";
    const fs::path compiledOnly = root / "compiled";
    const fs::path empty = root / "empty";
    fs::create_directories(both / "TextDecoder.mlmodelc");
    touch(both / "TextDecoder.mlpackage" / kPackageFile);
    touch(packageOnly / "TextDecoder.mlpackage" / kPackageFile);
    fs::create_directories(compiledOnly / "TextDecoder.mlmodelc");
    fs::create_directories(empty);

    struct Case {
        fs::path folder;
        fs::path expected;
    };
    const std::vector<Case> cases = {
        {both, both / "TextDecoder.mlmodelc"},
        {packageOnly, packageOnly / "TextDecoder.mlpackage" / kPackageFile},
        {compiledOnly, compiledOnly / "TextDecoder.mlmodelc"},
        {empty, empty / "TextDecoder.mlmodelc"},
        {root / "missing", root / "missing" / "TextDecoder.mlmodelc"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ModelUtilities::detectModelURL(c.folder, "TextDecoder"), c.expected);
        EXPECT_EQ(ModelUtilities::detectModelURL(c.folder, "TextDecoder", false), c.expected);
    }
}

TEST(CoreModelUtilities, RecursiveLookupFindsNestedCompiledModels) {
    norvel::test::TemporaryDirectory root;
    const fs::path nested = root / "openai" / "whisper-tiny" / "AudioEncoder.mlmodelc";
    fs::create_directories(nested);
    fs::create_directories(root / "zzz" / "AudioEncoder.mlmodelc");  // later in name order
    touch(root / "a" / "AudioEncoder.mlpackage" / kPackageFile);     // packages are not considered
    fs::create_directory_symlink(root.path(), root / "loop");        // a link back must not hang the walk

    EXPECT_EQ(ModelUtilities::detectModelURL(root.path(), "AudioEncoder", true), nested);
    EXPECT_EQ(ModelUtilities::detectModelURL(root.path(), "TextDecoder", true), root.path() / "TextDecoder.mlmodelc");
    fs::create_directories(root / "AudioEncoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(root.path(), "AudioEncoder", true), root / "AudioEncoder.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(root / "missing", "AudioEncoder", true),
              root / "missing" / "AudioEncoder.mlmodelc");
}

TEST(CoreModelUtilities, DetectsTheFirstModelInAFolder) {
    norvel::test::TemporaryDirectory root;
    EXPECT_EQ(ModelUtilities::detectModelURL(root / "missing"), std::nullopt);
    EXPECT_EQ(ModelUtilities::detectModelURL(root.path()), std::nullopt);

    touch(root / "B.mlpackage" / kPackageFile);
    touch(root / "notes.txt");
    EXPECT_EQ(ModelUtilities::detectModelURL(root.path()), root / "B.mlpackage" / kPackageFile);

    fs::create_directories(root / "Z.mlmodelc");
    fs::create_directories(root / "M.mlmodelc");
    EXPECT_EQ(ModelUtilities::detectModelURL(root.path()), root / "M.mlmodelc");
}

// A model with a fixed description and no computation.
class DescribedModel : public platform::Model {
public:
    explicit DescribedModel(platform::ModelDescription description)
        : platform::Model(std::move(description), platform::ComputeUnits::cpuOnly) {}

protected:
    std::shared_ptr<platform::FeatureProvider> predict(const platform::FeatureProvider&,
                                                       const platform::PredictionOptions&) const override {
        return nullptr;
    }
};

platform::FeatureDescription multiArray(const std::string& name, platform::Shape shape) {
    platform::FeatureDescription feature;
    feature.name = name;
    feature.type = platform::FeatureType::multiArray;
    feature.multiArrayConstraint =
        platform::MultiArrayConstraint{std::move(shape), platform::MultiArrayDataType::float16};
    return feature;
}

TEST(CoreModelUtilities, ReadsInputAndOutputShapes) {
    platform::ModelDescription description;
    description.inputDescriptionsByName["input_ids"] = multiArray("input_ids", {1});
    description.inputDescriptionsByName["key_cache"] = multiArray("key_cache", {1, 1536, 1, 224});
    platform::FeatureDescription plain;
    plain.name = "scalar";
    plain.type = platform::FeatureType::int64;
    description.inputDescriptionsByName["scalar"] = plain;
    platform::FeatureDescription unconstrained = multiArray("loose", {});
    unconstrained.multiArrayConstraint.reset();
    description.inputDescriptionsByName["loose"] = unconstrained;
    description.outputDescriptionsByName["logits"] = multiArray("logits", {1, 1, 51865});
    const DescribedModel model(description);

    EXPECT_EQ(ModelUtilities::getModelInputShape(&model, "key_cache"), (std::vector<int>{1, 1536, 1, 224}));
    EXPECT_EQ(ModelUtilities::getModelOutputShape(&model, "logits"), (std::vector<int>{1, 1, 51865}));
    EXPECT_EQ(ModelUtilities::getModelInputShape(&model, "logits"), std::nullopt);
    EXPECT_EQ(ModelUtilities::getModelOutputShape(&model, "key_cache"), std::nullopt);
    EXPECT_EQ(ModelUtilities::getModelInputShape(&model, "scalar"), std::nullopt);
    EXPECT_EQ(ModelUtilities::getModelInputShape(&model, "loose"), std::nullopt);
    EXPECT_EQ(ModelUtilities::getModelInputShape(nullptr, "key_cache"), std::nullopt);

    struct Case {
        std::ptrdiff_t position;
        std::optional<int> input;
        std::optional<int> output;
    };
    const std::vector<Case> cases = {
        {0, 1, 1},
        {1, 1536, 1},
        {2, 1, 51865},
        {3, 224, std::nullopt},
        {4, std::nullopt, std::nullopt},
        {-1, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ModelUtilities::getModelInputDimension(&model, "key_cache", c.position), c.input) << c.position;
        EXPECT_EQ(ModelUtilities::getModelOutputDimension(&model, "logits", c.position), c.output) << c.position;
    }
    EXPECT_EQ(ModelUtilities::getModelInputDimension(nullptr, "key_cache", 0), std::nullopt);
    EXPECT_EQ(ModelUtilities::getModelOutputDimension(&model, "missing", 0), std::nullopt);
}

// The default loadModel(at:computeUnits:) asks for no prewarming.
class RecordingLoader : public halvex::MLModelLoading {
public:
    using halvex::MLModelLoading::loadModel;
    void loadModel(const fs::path& path, platform::ComputeUnits units, bool prewarm) override {
        calls.push_back({path, units, prewarm});
    }
    void unloadModel() override { ++unloads; }

    struct Call {
        fs::path path;
        platform::ComputeUnits units;
        bool prewarm;
    };
    std::vector<Call> calls;
    int unloads = 0;
};

TEST(CoreModelUtilities, ModelLoadingDefaultsToNoPrewarm) {
    RecordingLoader loader;
    loader.loadModel("/m/TextDecoder.mlmodelc", platform::ComputeUnits::cpuAndGPU);
    loader.loadModel("/m/TextDecoder.mlmodelc", platform::ComputeUnits::all, true);
    loader.unloadModel();
    ASSERT_EQ(loader.calls.size(), 2u);
    EXPECT_FALSE(loader.calls[0].prewarm);
    EXPECT_EQ(loader.calls[0].units, platform::ComputeUnits::cpuAndGPU);
    EXPECT_TRUE(loader.calls[1].prewarm);
    EXPECT_EQ(loader.unloads, 1);
}

}  // namespace
