#include "Platform/ML/ComputeUnits.h"
#include "Platform/ML/FeatureProvider.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/Tensor.h"
#include "Support/Fixtures.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using namespace platform;

TEST(FeatureProvider, DictionaryProviderAnswersExactNamesWithSharedArrays) {
    MultiArray ids = MultiArray::from({42});
    DictionaryFeatureProvider provider({{"input_ids", FeatureValue(ids)}, {"count", FeatureValue(std::int64_t{3})}});
    EXPECT_EQ(provider.featureNames(), (std::set<std::string>{"count", "input_ids"}));

    auto value = provider.featureValue("input_ids");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type(), FeatureType::multiArray);
    ASSERT_TRUE(value->multiArrayValue());
    EXPECT_TRUE(value->multiArrayValue()->sharesStorageWith(ids));
    EXPECT_FALSE(value->int64Value());

    EXPECT_EQ(provider.featureValue("count")->int64Value(), 3);
    EXPECT_FALSE(provider.featureValue("count")->multiArrayValue());
    for (const char* other : {"Input_ids", "input_id", "logits", ""})
        EXPECT_FALSE(provider.featureValue(other)) << other;
}

TEST(ComputeUnits, DescriptionsAndDisplayNames) {
    struct Case {
        ComputeUnits units;
        const char* description;
        const char* displayName;
    };
    for (const auto& c : {Case{ComputeUnits::cpuOnly, "cpuOnly", "CPU"},
                          Case{ComputeUnits::cpuAndGPU, "cpuAndGPU", "GPU"}, Case{ComputeUnits::all, "all", "All"},
                          Case{ComputeUnits::cpuAndNeuralEngine, "cpuAndNeuralEngine", "Neural Engine"},
                          Case{static_cast<ComputeUnits>(9), "unknown", "Unknown"}}) {
        EXPECT_EQ(description(c.units), c.description);
        EXPECT_EQ(displayName(c.units), c.displayName);
    }
}

TEST(Tensor, ConversionsToListsAndArrays) {
    Tensor ints({1, 2}, std::vector<std::int32_t>{3, -4});
    EXPECT_EQ(ints.toFloatArray(), (std::vector<float>{3.0f, -4.0f}));
    EXPECT_EQ(ints.toIntArray(), (std::vector<std::int64_t>{3, -4}));

    Tensor halves({3}, std::vector<Float16>{Float16(0.5f), Float16::negativeInfinity(), Float16(-10000.0f)});
    EXPECT_EQ(halves.toFloatArray(), (std::vector<float>{0.5f, -INFINITY, -10000.0f}));
    MultiArray array = halves.toMultiArray();
    EXPECT_EQ(array.dataType(), MultiArrayDataType::float16);
    EXPECT_EQ(array.shape(), (Shape{3}));
    EXPECT_EQ(array.value(2), -10000.0);

    MultiArray source({2, 2}, MultiArrayDataType::float32, 2.5f);
    Tensor fromArray(source);
    EXPECT_EQ(fromArray.scalarType(), TensorScalarType::float32);
    EXPECT_EQ(fromArray.toFloatArray(), (std::vector<float>(4, 2.5f)));
    EXPECT_THROW(Tensor({2}, std::vector<float>{1.0f}), MLError);
}

TEST(TensorDeathTest, UnsupportedScalarTypesStopTheProcess) {
    Tensor doubles({1}, std::vector<double>{1.0});
    EXPECT_DEATH(doubles.toFloatArray(), "Unsupported scalar type: Double");
    EXPECT_DEATH(doubles.toMultiArray(), "Unsupported scalar type: Double");
    EXPECT_DEATH(Tensor({1}, std::vector<float>{1.0f}).toIntArray(), "Int32");
}

// A model whose prediction echoes its input, to exercise the input checks.
class EchoModel : public Model {
public:
    EchoModel() : Model(makeDescription(), ComputeUnits::cpuOnly) {}

private:
    static ModelDescription makeDescription() {
        ModelDescription d;
        d.inputDescriptionsByName["x"] = {"x", FeatureType::multiArray, false,
                                          MultiArrayConstraint{{1, 4}, MultiArrayDataType::float16}};
        d.inputDescriptionsByName["bias"] = {"bias", FeatureType::multiArray, true,
                                             MultiArrayConstraint{{1}, MultiArrayDataType::float32}};
        d.outputDescriptionsByName["y"] = {"y", FeatureType::multiArray, false,
                                           MultiArrayConstraint{{1, 4}, MultiArrayDataType::float16}};
        return d;
    }
    std::shared_ptr<FeatureProvider> predict(const FeatureProvider& input, const PredictionOptions&) const override {
        return std::make_shared<DictionaryFeatureProvider>(std::map<std::string, FeatureValue>{
            {"y", FeatureValue(input.featureValue("x")->multiArrayValue()->copy())}});
    }
};

TEST(Model, PredictionChecksInputsAgainstTheDescription) {
    EchoModel model;
    EXPECT_EQ(model.computeUnits(), ComputeUnits::cpuOnly);
    ASSERT_NE(model.modelDescription().input("x"), nullptr);
    EXPECT_EQ(model.modelDescription().input("y"), nullptr);

    MultiArray good({1, 4}, MultiArrayDataType::float16, Float16(3.0f));
    auto output = model.prediction(DictionaryFeatureProvider({{"x", good}}));
    EXPECT_EQ(output->featureValue("y")->multiArrayValue()->value(3), 3.0);

    struct Case {
        const char* what;
        DictionaryFeatureProvider input;
        MLError::Code code;
        const char* mentions;
    };
    const Case cases[] = {
        {"missing input", DictionaryFeatureProvider({{"bias", MultiArray({1}, MultiArrayDataType::float32)}}),
         MLError::Code::featureMissing, "\"x\""},
        {"wrong element type", DictionaryFeatureProvider({{"x", MultiArray({1, 4}, MultiArrayDataType::float32)}}),
         MLError::Code::featureTypeMismatch, "element type float32"},
        {"wrong shape", DictionaryFeatureProvider({{"x", MultiArray({1, 5}, MultiArrayDataType::float16)}}),
         MLError::Code::featureTypeMismatch, "shape [1, 5]"},
        {"not an array", DictionaryFeatureProvider({{"x", FeatureValue(std::int64_t{1})}}),
         MLError::Code::featureTypeMismatch, "int64"},
        {"empty array", DictionaryFeatureProvider({{"x", MultiArray()}}), MLError::Code::featureTypeMismatch, "empty"},
        {"wrong optional input",
         DictionaryFeatureProvider({{"x", good}, {"bias", MultiArray({2}, MultiArrayDataType::float32)}}),
         MLError::Code::featureTypeMismatch, "\"bias\""},
    };
    for (const auto& c : cases) {
        try {
            model.prediction(c.input);
            ADD_FAILURE() << c.what << " was accepted";
        } catch (const MLError& error) {
            EXPECT_EQ(error.code(), c.code) << c.what;
            EXPECT_NE(std::string(error.what()).find(c.mentions), std::string::npos) << c.what << ": " << error.what();
        }
    }
}

TEST(Model, LoadingAMissingModelFailsClearly) {
    norvel::test::TemporaryDirectory dir;
    try {
        Model::load(dir / "TextDecoder.mlmodelc", ComputeUnits::cpuAndNeuralEngine);
        FAIL() << "loading a missing model must fail";
    } catch (const MLError& error) {
        EXPECT_EQ(error.code(), MLError::Code::modelNotFound);
    }
}

}  // namespace
