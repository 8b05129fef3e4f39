#include "AudioTestSupport.h"
#include "Support/Fixtures.h"
#include "Support/GeneratedModel.h"

#include "HalvexCore/External/Hub/CancellationError.h"
#include "Murmex/Audio/AudioEncoder.h"
#include "Murmex/Audio/AudioProcessor.h"
#include "Murmex/Audio/FeatureExtractor.h"
#include "Murmex/Audio/TaskCancellation.h"
#include "Murmex/Model/Signposter.h"
#include "Murmex/Model/WhisperError.h"
#include "Platform/ML/MLError.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace {

using murmex::AudioEncoder;
using murmex::AudioProcessor;
using murmex::FeatureExtractor;
using murmex::MultiArrayValue;
using murmex::TaskCancellation;
using murmex::WhisperError;
using platform::FeatureDescription;
using platform::FeatureType;
using platform::MultiArray;
using platform::MultiArrayDataType;
using platform::Shape;

platform::FeatureDescription arrayFeature(const std::string& name, Shape shape) {
    FeatureDescription description;
    description.name = name;
    description.type = FeatureType::multiArray;
    description.multiArrayConstraint = platform::MultiArrayConstraint{std::move(shape), MultiArrayDataType::float32};
    return description;
}

// A model that maps its one input to its one output: output element i is 2 × input element
// (i modulo the input's count). It can fail, leave its output out, or wait for a signal.
class StubModel : public platform::Model {
public:
    StubModel(const std::string& input, Shape inputShape, const std::string& output, Shape outputShape)
        : Model(describe(input, inputShape, output, outputShape), platform::ComputeUnits::cpuOnly),
          input_(input),
          output_(output),
          outputShape_(std::move(outputShape)) {}

    bool fails = false;
    bool omitsOutput = false;
    std::promise<void>* started = nullptr;
    std::shared_future<void> proceed;

protected:
    std::shared_ptr<platform::FeatureProvider> predict(const platform::FeatureProvider& input,
                                                       const platform::PredictionOptions&) const override {
        if (started) started->set_value();
        if (proceed.valid()) proceed.wait();
        if (fails) throw platform::MLError(platform::MLError::Code::predictionFailed, "stub failure");
        auto result = std::make_shared<platform::DictionaryFeatureProvider>();
        if (omitsOutput) return result;
        const std::vector<float> in = input.featureValue(input_)->multiArrayValue()->floatValues();
        MultiArray out(outputShape_, MultiArrayDataType::float32);
        for (int64_t i = 0; i < out.count(); ++i) out.setValue(i, 2.0 * in[size_t(i) % in.size()]);
        result->set(output_, out);
        return result;
    }

private:
    static platform::ModelDescription describe(const std::string& input, const Shape& inputShape,
                                               const std::string& output, const Shape& outputShape) {
        platform::ModelDescription description;
        description.inputDescriptionsByName[input] = arrayFeature(input, inputShape);
        description.outputDescriptionsByName[output] = arrayFeature(output, outputShape);
        return description;
    }

    std::string input_;
    std::string output_;
    Shape outputShape_;
};

std::shared_ptr<StubModel> melModel(int window = 480000, int mels = 80) {
    return std::make_shared<StubModel>("audio", Shape{window}, "melspectrogram_features", Shape{1, mels, 1, 8});
}

std::shared_ptr<StubModel> encoderModel(int mels = 80, int width = 1280, int frames = 1500) {
    return std::make_shared<StubModel>("melspectrogram_features", Shape{1, mels, 1, 8}, "encoder_output_embeds",
                                       Shape{1, width, 1, frames});
}

// A stage value of a representation of its own.
struct OwnWindow : murmex::AudioProcessorOutputType, murmex::FeatureExtractorOutputType {};

std::shared_ptr<MultiArrayValue> window(int length = 480000) {
    std::vector<float> samples(static_cast<size_t>(length));
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = float(i % 100) / 100.0f;
    return std::make_shared<MultiArrayValue>(*AudioProcessor::padOrTrimAudio(samples, 0, length));
}

// The signpost events of the stages while it lives.
class SignpostCapture {
public:
    SignpostCapture() {
        murmex::Signposter::setTracingSink([this](const murmex::SignpostEvent& event) {
            std::lock_guard<std::mutex> guard(mutex_);
            events_.push_back(
                std::string(event.kind == murmex::SignpostEvent::Kind::intervalBegin ? "begin " : "end ") +
                std::string(event.category) + " " + std::string(event.name));
        });
    }
    ~SignpostCapture() { murmex::Signposter::setTracingSink({}); }
    std::vector<std::string> events() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return events_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

void expectError(const std::function<void()>& call, WhisperError::Kind kind, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "no error";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.kind(), kind);
        EXPECT_EQ(error.message(), message);
    }
}

TEST(AudioStages, WithoutAModelNothingIsKnownAndNothingRuns) {
    FeatureExtractor extractor;
    AudioEncoder encoder;
    EXPECT_FALSE(extractor.windowSamples());
    EXPECT_FALSE(extractor.melCount());
    EXPECT_FALSE(encoder.embedSize());
    EXPECT_FALSE(encoder.sequenceLength());
    expectError([&] { extractor.logMelSpectrogram(window()); }, WhisperError::Kind::modelsUnavailable,
                "Models are unavailable");
    expectError([&] { encoder.encodeFeatures(std::shared_ptr<murmex::FeatureExtractorOutputType>(window(16))); },
                WhisperError::Kind::modelsUnavailable, "Models are unavailable");
    // The input's type is tested first, even without a model.
    for (const auto& input :
         {std::shared_ptr<OwnWindow>(std::make_shared<OwnWindow>()), std::shared_ptr<OwnWindow>()}) {
        expectError([&] { extractor.logMelSpectrogram(input); }, WhisperError::Kind::audioProcessingFailed,
                    "FeatureExtractor input must be MLMultiArray");
        expectError([&] { encoder.encodeFeatures(std::shared_ptr<murmex::FeatureExtractorOutputType>(input)); },
                    WhisperError::Kind::audioProcessingFailed, "AudioEncoder input must be MLMultiArray");
    }
}

TEST(AudioStages, DimensionsComeFromTheModelsDescription) {
    FeatureExtractor extractor;
    AudioEncoder encoder;
    extractor.setModel(melModel(480000, 80));
    encoder.setModel(encoderModel(80, 1280, 1500));
    EXPECT_EQ(extractor.windowSamples(), 480000);
    EXPECT_EQ(extractor.melCount(), 80);
    EXPECT_EQ(encoder.embedSize(), 1280);
    EXPECT_EQ(encoder.sequenceLength(), 1500);
    // Read again on every access: a new model shows at once.
    extractor.setModel(melModel(16000, 128));
    encoder.setModel(encoderModel(128, 384, 750));
    EXPECT_EQ(extractor.windowSamples(), 16000);
    EXPECT_EQ(extractor.melCount(), 128);
    EXPECT_EQ(encoder.embedSize(), 384);
    EXPECT_EQ(encoder.sequenceLength(), 750);
    // A shape too short for the position, or a feature of another name, gives nothing.
    extractor.setModel(std::make_shared<StubModel>("audio", Shape{480000}, "melspectrogram_features", Shape{80}));
    encoder.setModel(std::make_shared<StubModel>("melspectrogram_features", Shape{1, 80, 1, 8}, "embeddings",
                                                 Shape{1, 1280, 1, 1500}));
    EXPECT_FALSE(extractor.melCount());
    EXPECT_FALSE(encoder.embedSize());
    extractor.unloadModel();
    EXPECT_FALSE(extractor.windowSamples());
}

TEST(AudioStages, WindowsBecomeFeaturesAndFeaturesEmbeddings) {
    FeatureExtractor extractor;
    AudioEncoder encoder;
    extractor.setModel(melModel());
    encoder.setModel(encoderModel(80, 4, 6));
    SignpostCapture signposts;
    auto features = extractor.logMelSpectrogram(window());
    auto featureArray = MultiArrayValue::arrayOf(features.get());
    ASSERT_TRUE(featureArray);
    EXPECT_EQ(featureArray->shape(), (Shape{1, 80, 1, 8}));
    EXPECT_FLOAT_EQ(float(featureArray->value(int64_t(3))), 0.06f);
    auto embeddings = encoder.encodeFeatures(features);
    auto embeddingArray = MultiArrayValue::arrayOf(embeddings.get());
    ASSERT_TRUE(embeddingArray);
    EXPECT_EQ(embeddingArray->shape(), (Shape{1, 4, 1, 6}));
    EXPECT_FLOAT_EQ(float(embeddingArray->value(int64_t(3))), 0.12f);
    EXPECT_EQ(signposts.events(),
              (std::vector<std::string>{"begin FeatureExtractor ExtractAudioFeatures",
                                        "end FeatureExtractor ExtractAudioFeatures", "begin AudioEncoding EncodeAudio",
                                        "end AudioEncoding EncodeAudio"}));
}

TEST(AudioStages, PredictionOutcomesReachTheCaller) {
    FeatureExtractor extractor;
    auto model = melModel();
    extractor.setModel(model);
    SignpostCapture signposts;
    // A failing prediction: its own error, after the interval is ended.
    model->fails = true;
    EXPECT_THROW(extractor.logMelSpectrogram(window()), platform::MLError);
    EXPECT_EQ(signposts.events(), (std::vector<std::string>{"begin FeatureExtractor ExtractAudioFeatures",
                                                            "end FeatureExtractor ExtractAudioFeatures"}));
    // A window the model was not made for: the runtime's error.
    model->fails = false;
    EXPECT_THROW(extractor.logMelSpectrogram(window(1000)), platform::MLError);
    // No features in the output: nothing.
    model->omitsOutput = true;
    EXPECT_EQ(extractor.logMelSpectrogram(window()), nullptr);
    AudioEncoder encoder;
    auto encoding = encoderModel();
    encoding->omitsOutput = true;
    encoder.setModel(encoding);
    model->omitsOutput = false;
    EXPECT_EQ(encoder.encodeFeatures(extractor.logMelSpectrogram(window())), nullptr);
}

TEST(AudioStages, CancelledTasksStopBeforeThePrediction) {
    FeatureExtractor extractor;
    AudioEncoder encoder;
    extractor.setModel(melModel());
    encoder.setModel(encoderModel());
    std::stop_source task;
    task.request_stop();
    SignpostCapture signposts;
    {
        TaskCancellation::Scope scope(task.get_token());
        EXPECT_THROW(extractor.logMelSpectrogram(window()), halvex::CancellationError);
        MultiArray features(Shape{1, 80, 1, 8}, MultiArrayDataType::float32);
        EXPECT_THROW(encoder.encodeFeatures(features), halvex::CancellationError);
    }
    EXPECT_TRUE(signposts.events().empty());
    // Outside the cancelled task's scope, the same calls run.
    EXPECT_TRUE(extractor.logMelSpectrogram(window()));
}

TEST(AudioStages, UnloadingDoesNotWaitForARunningPrediction) {
    FeatureExtractor extractor;
    auto model = melModel();
    std::promise<void> started;
    std::promise<void> release;
    model->started = &started;
    model->proceed = release.get_future().share();
    extractor.setModel(model);
    auto running = std::async(std::launch::async, [&] { return extractor.logMelSpectrogram(window()); });
    started.get_future().wait();
    extractor.unloadModel();  // returns while the prediction still waits
    EXPECT_FALSE(extractor.model());
    release.set_value();
    // The prediction kept the model it started with.
    EXPECT_TRUE(MultiArrayValue::arrayOf(running.get().get()));
    expectError([&] { extractor.logMelSpectrogram(window()); }, WhisperError::Kind::modelsUnavailable,
                "Models are unavailable");
}

}  // namespace

namespace {

// A generated model folder with random weights, loaded as the pipeline loads it.
TEST(AudioStagesWithGeneratedModel, SpeechBecomesFeaturesAndEmbeddings) {
    norvel::test::TemporaryDirectory folder;
    norvel::test::GeneratedModelOptions options;
    options.withTokenizer = false;
    norvel::test::generateModelFolder(folder.path(), options);
    FeatureExtractor extractor;
    AudioEncoder encoder;
    extractor.loadModel(folder / "MelSpectrogram.mlmodelc", platform::ComputeUnits::cpuOnly, false);
    encoder.loadModel(folder / "AudioEncoder.mlmodelc", platform::ComputeUnits::cpuOnly, false);
    EXPECT_EQ(extractor.windowSamples(), 480000);
    EXPECT_EQ(extractor.melCount(), options.melCount);
    EXPECT_EQ(encoder.embedSize(), options.width);
    EXPECT_EQ(encoder.sequenceLength(), 1500);

    const auto speech = AudioProcessor::loadAudioAsFloatArray(norvel::test::fixture("audio/jfk.flac").string());
    AudioProcessor processor;
    const auto features = extractor.logMelSpectrogram(processor.padOrTrim(speech, 0, 480000));
    const auto featureArray = MultiArrayValue::arrayOf(features.get());
    ASSERT_TRUE(featureArray);
    EXPECT_EQ(featureArray->shape(), (Shape{1, options.melCount, 1, 3000}));
    // Log-mel features of real speech: finite, and varying over the 11 s of speech more than
    // over the padding after it.
    const auto values = featureArray->floatValues();
    for (float value : values) ASSERT_TRUE(std::isfinite(value));
    auto spread = [&](int firstFrame, int frames) {
        float low = 1e9f, high = -1e9f;
        for (int band = 0; band < options.melCount; ++band)
            for (int frame = firstFrame; frame < firstFrame + frames; ++frame) {
                low = std::min(low, values[size_t(band) * 3000 + size_t(frame)]);
                high = std::max(high, values[size_t(band) * 3000 + size_t(frame)]);
            }
        return high - low;
    };
    EXPECT_GT(spread(100, 900), 4 * spread(1500, 1400) + 0.1f);

    const auto embeddings = encoder.encodeFeatures(features);
    const auto embeddingArray = MultiArrayValue::arrayOf(embeddings.get());
    ASSERT_TRUE(embeddingArray);
    EXPECT_EQ(embeddingArray->shape(), (Shape{1, options.width, 1, 1500}));
    for (float value : embeddingArray->floatValues()) ASSERT_TRUE(std::isfinite(value));

    // A window the model was not made for is the runtime's error; prewarming leaves no model.
    EXPECT_THROW(extractor.logMelSpectrogram(processor.padOrTrim(speech, 0, 1000)), platform::MLError);
    extractor.loadModel(folder / "MelSpectrogram.mlmodelc", platform::ComputeUnits::cpuOnly, true);
    expectError([&] { extractor.logMelSpectrogram(processor.padOrTrim(speech, 0, 480000)); },
                WhisperError::Kind::modelsUnavailable, "Models are unavailable");
    // A missing model file is the runtime's error, and leaves the stage as it was.
    encoder.setModel(nullptr);
    EXPECT_THROW(encoder.loadModel(folder / "Missing.mlmodelc", platform::ComputeUnits::cpuOnly, false),
                 platform::MLError);
    EXPECT_FALSE(encoder.model());
}

}  // namespace
