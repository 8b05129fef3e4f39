// The three programs against golden values of an independent float64 reference of the
// architecture (Tools/reference/whisper_reference.py), on the generated model of seed 11
// (width 64, 4 heads, 2 layers, real vocabulary).
#include "Platform/ML/DecoderSteps.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/Runtime/Kernels.h"
#include "Platform/ML/Runtime/NumpyFile.h"
#include "Platform/ML/Runtime/TextDecoderModel.h"
#include "Support/Fixtures.h"
#include "Support/GeneratedModel.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>

#include <algorithm>
#include <cmath>
#include <thread>

namespace {

using namespace platform;
using norvel::test::fixture;
using norvel::test::TemporaryDirectory;
namespace kernels = platform::runtime::kernels;

// The instruction sets this processor can run; the kernels are limited to each in turn.
std::vector<runtime::kernels::InstructionSet> availableInstructionSets() {
    using runtime::kernels::InstructionSet;
    std::vector<InstructionSet> sets;
    for (auto set : {InstructionSet::generic, InstructionSet::avx2, InstructionSet::avx512})
        if (set <= runtime::kernels::bestInstructionSet()) sets.push_back(set);
    return sets;
}

struct InstructionSetScope {
    ~InstructionSetScope() { runtime::kernels::useInstructionSet(runtime::kernels::bestInstructionSet()); }
};

MultiArray golden(const std::string& name) { return runtime::readNumpyFile(fixture("ML/" + name)); }

// Largest absolute difference between the arrays' values (same element count required).
double maxDifference(const std::vector<float>& a, const std::vector<float>& b) {
    EXPECT_EQ(a.size(), b.size());
    double worst = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        worst = std::max(worst, std::fabs(static_cast<double>(a[i]) - b[i]));
    return worst;
}

// A 30 s window holding the first `used` samples, zeros after them.
MultiArray windowOf(const MultiArray& samples, std::size_t used) {
    MultiArray window({480000}, MultiArrayDataType::float32);
    const auto values = samples.floatValues();
    std::copy_n(values.begin(), std::min(values.size(), used), window.data<float>());
    return window;
}

MultiArray melOf(Model& model, const MultiArray& window) {
    return *model.prediction(DictionaryFeatureProvider({{"audio", window}}))
                ->featureValue("melspectrogram_features")
                ->multiArrayValue();
}

// The reference encoder output ([64, 1500]) in the decoder's input shape, as half-precision
// embeddings (what the generated encoder gives) or 32-bit ones (folders written before).
MultiArray goldenEncoderOutput(MultiArrayDataType type = MultiArrayDataType::float16) {
    const MultiArray stored = golden("encoder_output.npy");
    MultiArray encoder({1, 64, 1, 1500}, type);
    for (std::int64_t i = 0; i < encoder.count(); ++i) encoder.setValue(i, stored.data<float>()[i]);
    return encoder;
}

int argmax(const MultiArray& logits) {
    const Float16* values = logits.data<Float16>();
    int best = 0;
    for (int i = 1; i < logits.count(); ++i)
        if (static_cast<float>(values[i]) > static_cast<float>(values[best])) best = i;
    return best;
}

std::vector<int> greedy(const Model& decoder, const MultiArray& encoderOutput, const std::vector<int>& prompt,
                        int count) {
    DecoderSteps steps(decoder, encoderOutput);
    std::vector<int> tokens = prompt;
    for (int position = 0; position < static_cast<int>(prompt.size()) + count - 1; ++position) {
        auto output = steps.step(tokens[static_cast<std::size_t>(position)], position);
        if (position >= static_cast<int>(prompt.size()) - 1)
            tokens.push_back(argmax(*output->featureValue("logits")->multiArrayValue()));
    }
    return std::vector<int>(tokens.begin() + static_cast<long>(prompt.size()), tokens.end());
}

class ModelPrograms : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        directory_ = new TemporaryDirectory();
        norvel::test::generateModelFolder(directory_->path());
    }
    static void TearDownTestSuite() {
        delete directory_;
        directory_ = nullptr;
    }
    static std::shared_ptr<Model> load(const std::string& name) {
        return Model::load(directory_->path() / (name + ".mlmodelc"), ComputeUnits::cpuOnly);
    }
    static const std::vector<int> prompt;
    static TemporaryDirectory* directory_;
};

const std::vector<int> ModelPrograms::prompt = {50258, 50259, 50359, 50363};
TemporaryDirectory* ModelPrograms::directory_ = nullptr;

TEST_F(ModelPrograms, MelSpectrogramOfSpeechMatchesTheReference) {
    auto model = load("MelSpectrogram");
    const MultiArray samples = golden("jfk_16k.npy");
    const MultiArray mel = melOf(*model, windowOf(samples, 480000));
    ASSERT_EQ(mel.shape(), (Shape{1, 80, 1, 3000}));

    const MultiArray expected = golden("mel80_jfk_head.npy");  // [80, 1200]
    const int kept = expected.shape()[1];
    const auto values = mel.floatValues();
    const auto reference = expected.floatValues();
    const float floor = *std::max_element(reference.begin(), reference.end()) - 2.0f;
    double worst = 0;
    for (int band = 0; band < 80; ++band) {
        for (int frame = 0; frame < 3000; ++frame) {
            const float want = frame < kept ? reference[static_cast<std::size_t>(band * kept + frame)] : floor;
            worst = std::max(
                worst, std::fabs(static_cast<double>(values[static_cast<std::size_t>(band * 3000 + frame)]) - want));
        }
    }
    EXPECT_LE(worst, 1e-3);
}

TEST_F(ModelPrograms, MelSpectrogramWith128BandsMatchesTheReference) {
    TemporaryDirectory dir;
    norvel::test::GeneratedModelOptions options;
    options.melCount = 128;
    options.withTokenizer = false;
    norvel::test::generateModelFolder(dir.path(), options);
    auto model = Model::load(dir / "MelSpectrogram.mlmodelc", ComputeUnits::all);
    EXPECT_EQ(model->modelDescription().output("melspectrogram_features")->multiArrayConstraint->shape,
              (Shape{1, 128, 1, 3000}));
    const MultiArray mel = melOf(*model, windowOf(golden("jfk_16k.npy"), 48000));
    const MultiArray expected = golden("mel128_jfk3s_head.npy");  // [128, 320]
    const int kept = expected.shape()[1];
    const auto values = mel.floatValues();
    const auto reference = expected.floatValues();
    double worst = 0;
    for (int band = 0; band < 128; ++band)
        for (int frame = 0; frame < kept; ++frame)
            worst =
                std::max(worst, std::fabs(static_cast<double>(values[static_cast<std::size_t>(band * 3000 + frame)]) -
                                          reference[static_cast<std::size_t>(band * kept + frame)]));
    EXPECT_LE(worst, 1e-3);
}

MultiArray encoderInput() {
    // The stored head of the reference spectrogram, the floor value everywhere after it.
    const MultiArray head = golden("mel80_jfk_head.npy");
    const auto values = head.floatValues();
    const int kept = head.shape()[1];
    const float floor = *std::max_element(values.begin(), values.end()) - 2.0f;
    MultiArray input({1, 80, 1, 3000}, MultiArrayDataType::float32, floor);
    for (int band = 0; band < 80; ++band)
        for (int frame = 0; frame < kept; ++frame)
            input.data<float>()[band * 3000 + frame] = values[static_cast<std::size_t>(band * kept + frame)];
    return input;
}

TEST_F(ModelPrograms, AudioEncoderMatchesTheReference) {
    auto model = load("AudioEncoder");
    auto output = model->prediction(DictionaryFeatureProvider({{"melspectrogram_features", encoderInput()}}));
    const MultiArray embeds = *output->featureValue("encoder_output_embeds")->multiArrayValue();
    ASSERT_EQ(embeds.shape(), (Shape{1, 64, 1, 1500}));
    // The model holds its matrices in half precision, the reference (float64) the
    // checkpoint's single-precision ones: through two convolutions and two blocks, the
    // outputs (layer-normed, of order 1) agree to within a few half-precision steps of
    // values of order 1 (2⁻¹⁰ each).
    EXPECT_LE(maxDifference(embeds.floatValues(), golden("encoder_output.npy").floatValues()), 4.0 / 1024);
}

TEST_F(ModelPrograms, TwoEncoderPassesAtOnceMatchTheirSeparatePasses) {
    auto model = load("AudioEncoder");
    const MultiArray first = encoderInput();
    MultiArray second = encoderInput();
    float* values = second.data<float>();
    for (std::int64_t i = 0; i < second.count(); ++i) values[i] = values[i] * 0.7f - 0.2f;
    auto encode = [&](const MultiArray& mel) {
        return model->prediction(DictionaryFeatureProvider({{"melspectrogram_features", mel}}))
            ->featureValue("encoder_output_embeds")
            ->multiArrayValue()
            ->floatValues();
    };
    const auto alone1 = encode(first), alone2 = encode(second);
    ASSERT_NE(alone1, alone2) << "the two inputs must encode differently for this test to mean anything";

    // Passes that share the pool's threads keep their scratch (attention scores) apart.
    for (int round = 0; round < 3; ++round) {
        std::vector<float> together1, together2;
        std::thread a([&] { together1 = encode(first); });
        std::thread b([&] { together2 = encode(second); });
        a.join();
        b.join();
        EXPECT_EQ(together1, alone1);
        EXPECT_EQ(together2, alone2);
    }
}

TEST_F(ModelPrograms, TextDecoderStepsMatchTheReferenceOnEveryInstructionSet) {
    auto decoder = load("TextDecoder");
    InstructionSetScope restore;
    for (auto set : availableInstructionSets()) {
        kernels::useInstructionSet(set);
        SCOPED_TRACE(kernels::instructionSetName(set));
        const MultiArray tokens = golden("decoder_tokens.npy");
        const MultiArray logits = golden("decoder_logits.npy");  // rows for steps 0, 3 and the last
        const MultiArray keys = golden("decoder_keys.npy");      // [steps, layers·width]
        const MultiArray values = golden("decoder_values.npy");
        const MultiArray alignment = golden("decoder_alignment.npy");  // [steps, 1500]
        const int steps = static_cast<int>(tokens.count());
        const int width = keys.shape()[1];
        const int vocabulary = logits.shape()[1];
        const std::vector<int> logitSteps = {0, 3, steps - 1};

        DecoderSteps decoding(*decoder, goldenEncoderOutput());
        double worstLogit = 0, worstKey = 0, worstAlignment = 0;
        for (int position = 0; position < steps; ++position) {
            auto output = decoding.step(static_cast<int>(tokens.value(position)), position);
            const MultiArray stepLogits = *output->featureValue("logits")->multiArrayValue();
            ASSERT_EQ(stepLogits.shape(), (Shape{1, 1, vocabulary}));
            const MultiArray stepKeys = *output->featureValue("key_cache_updates")->multiArrayValue();
            const MultiArray stepValues = *output->featureValue("value_cache_updates")->multiArrayValue();
            const MultiArray stepAlignment = *output->featureValue("alignment_heads_weights")->multiArrayValue();
            ASSERT_EQ(stepKeys.shape(), (Shape{1, width, 1, 1}));
            ASSERT_EQ(stepAlignment.shape(), (Shape{1, 1500}));
            for (int c = 0; c < width; ++c) {
                worstKey = std::max(worstKey, std::fabs(stepKeys.value(c) - keys.value({position, c})));
                worstKey = std::max(worstKey, std::fabs(stepValues.value(c) - values.value({position, c})));
            }
            double sum = 0;
            for (int t = 0; t < 1500; ++t) {
                sum += stepAlignment.value(t);
                worstAlignment =
                    std::max(worstAlignment, std::fabs(stepAlignment.value(t) - alignment.value({position, t})));
            }
            EXPECT_NEAR(sum, 1.0, 0.01) << "alignment weights are probabilities, step " << position;
            const auto found = std::find(logitSteps.begin(), logitSteps.end(), position);
            if (found != logitSteps.end()) {
                const int row = static_cast<int>(found - logitSteps.begin());
                for (int v = 0; v < vocabulary; ++v)
                    worstLogit = std::max(worstLogit, std::fabs(stepLogits.value(v) - logits.value({row, v})));
            }
        }
        // Half-precision outputs may differ from the reference by their last bit: logits of
        // magnitude up to 16 are 1/128 apart, keys and values up to 4 are 1/256 apart, alignment
        // weights are probabilities.
        EXPECT_LE(worstLogit, 2.0 / 128);
        EXPECT_LE(worstKey, 1.0 / 256);
        EXPECT_LE(worstAlignment, 1e-4);
    }
}

TEST_F(ModelPrograms, TextDecoderStepsReadNothingPastTheLastAttendedPosition) {
    auto decoder = load("TextDecoder");
    const MultiArray tokens = golden("decoder_tokens.npy");
    const int steps = 6;
    auto logitsOf = [](const std::shared_ptr<FeatureProvider>& output) {
        const MultiArray logits = *output->featureValue("logits")->multiArrayValue();
        std::vector<float> values(static_cast<std::size_t>(logits.count()));
        for (std::size_t i = 0; i < values.size(); ++i) values[i] = logits.value(static_cast<int>(i));
        return values;
    };
    // The last step's logits, with the caches' masked tail left as it is or filled with
    // something wild (a buffer reused from a longer window, say), which must not reach the step.
    auto lastLogits = [&](std::optional<float> wild) {
        DecoderSteps decoding(*decoder, goldenEncoderOutput());
        for (int position = 0; position < steps - 1; ++position)
            decoding.step(static_cast<int>(tokens.value(position)), position);
        const int width = decoding.keyCache().shape()[1], positions = decoding.positions();
        if (wild)
            for (MultiArray* cache : {&decoding.keyCache(), &decoding.valueCache()})
                for (int c = 0; c < width; ++c)
                    for (int j = steps; j < positions; ++j) cache->data<Float16>()[c * positions + j] = Float16(*wild);
        return logitsOf(decoding.predict(static_cast<int>(tokens.value(steps - 1)), steps - 1));
    };
    const std::vector<float> clean = lastLogits(std::nullopt);
    for (float wild : {std::numeric_limits<float>::quiet_NaN(), 60000.0f}) EXPECT_EQ(lastLogits(wild), clean) << wild;
}

TEST_F(ModelPrograms, GreedyDecodingWithTheCacheGivesTheReferenceTokensOnEveryInstructionSet) {
    auto decoder = load("TextDecoder");
    const MultiArray expected = golden("decoder_tokens.npy");
    InstructionSetScope restore;
    for (auto set : availableInstructionSets()) {
        kernels::useInstructionSet(set);
        const auto decoded = greedy(*decoder, goldenEncoderOutput(), prompt, 30);
        ASSERT_EQ(decoded.size(), 30u);
        for (int i = 0; i < 30; ++i)
            EXPECT_EQ(decoded[static_cast<std::size_t>(i)], expected.value(4 + i))
                << kernels::instructionSetName(set) << " token " << i;
    }
}

}  // namespace

namespace {

// Another encoder output: the reference one, shifted and scaled.
MultiArray otherEncoderOutput() {
    MultiArray encoder = goldenEncoderOutput();
    for (std::int64_t i = 0; i < encoder.count(); ++i) encoder.setValue(i, encoder.value(i) * -0.8 + 0.3);
    return encoder;
}

TEST_F(ModelPrograms, TwoWindowsDecodedAtOnceMatchTheirSeparateDecodings) {
    auto decoder = load("TextDecoder");
    const MultiArray first = goldenEncoderOutput(), second = otherEncoderOutput();
    const auto alone1 = greedy(*decoder, first, prompt, 12);
    const auto alone2 = greedy(*decoder, second, prompt, 12);
    ASSERT_NE(alone1, alone2) << "the two windows must decode differently for this test to mean anything";

    for (int round = 0; round < 3; ++round) {
        std::vector<int> together1, together2;
        std::thread a([&] { together1 = greedy(*decoder, first, prompt, 12); });
        std::thread b([&] { together2 = greedy(*decoder, second, prompt, 12); });
        a.join();
        b.join();
        EXPECT_EQ(together1, alone1);
        EXPECT_EQ(together2, alone2);
    }
}

TEST_F(ModelPrograms, CrossAttentionFollowsTheEncoderOutputItIsGiven) {
    auto decoder = load("TextDecoder");
    auto* program = dynamic_cast<runtime::TextDecoderModel*>(decoder.get());
    ASSERT_NE(program, nullptr);
    const auto expectedOther = greedy(*decoder, otherEncoderOutput(), prompt, 6);

    {
        // The same array throughout a window is prepared once and kept while it lives.
        MultiArray reused = goldenEncoderOutput();
        const auto firstTokens = greedy(*decoder, reused, prompt, 6);
        EXPECT_EQ(program->cachedEncoderOutputs(), 1u);  // the other array above has died since
        // Contents overwritten in place are noticed: the result is that of the new contents.
        const MultiArray other = otherEncoderOutput();
        std::copy_n(other.data<Float16>(), other.count(), reused.data<Float16>());
        EXPECT_EQ(greedy(*decoder, reused, prompt, 6), expectedOther);
        EXPECT_NE(firstTokens, expectedOther);
    }
    // Entries go with their arrays.
    greedy(*decoder, goldenEncoderOutput(), prompt, 1);
    EXPECT_LE(program->cachedEncoderOutputs(), 1u);
}

TEST_F(ModelPrograms, DecoderOutputsAreFreshArraysTheCallerOwns) {
    auto decoder = load("TextDecoder");
    DecoderSteps steps(*decoder, goldenEncoderOutput());
    auto first = steps.step(prompt[0], 0);
    const MultiArray firstLogits = *first->featureValue("logits")->multiArrayValue();
    const std::vector<float> kept = firstLogits.floatValues();
    firstLogits.fillLastDimension(0, 10, Float16::negativeInfinity());  // callers write into the logits

    for (int position = 1; position < 4; ++position) {
        auto next = steps.step(prompt[static_cast<std::size_t>(position)], position);
        for (const char* name : {"logits", "key_cache_updates", "value_cache_updates", "alignment_heads_weights"}) {
            const MultiArray array = *next->featureValue(name)->multiArrayValue();
            EXPECT_FALSE(array.sharesStorageWith(*first->featureValue(name)->multiArrayValue())) << name;
        }
    }
    // What the caller holds is untouched by later predictions.
    const std::vector<float> now = firstLogits.floatValues();
    for (std::size_t i = 10; i < kept.size(); ++i) ASSERT_EQ(now[i], kept[i]) << i;

    // Arrays the caller has let go may be reused, but every value is written anew.
    for (int position = 4; position < 8; ++position) {
        auto output = steps.step(220, position);
        const MultiArray logits = *output->featureValue("logits")->multiArrayValue();
        for (std::int64_t i = 0; i < logits.count(); ++i)
            ASSERT_FALSE(std::isinf(logits.value(i))) << position << " " << i;
        logits.fillLastDimension(0, static_cast<int>(logits.count()), Float16::negativeInfinity());
    }
}

TEST_F(ModelPrograms, DecoderRejectsInputsOutsideItsRange) {
    auto decoder = load("TextDecoder");
    struct Case {
        const char* what;
        int token, position;
    };
    for (const auto& c :
         {Case{"negative token", -1, 0}, Case{"token past the vocabulary", 51865, 0},
          Case{"negative position", 50258, -1}, Case{"position past the learned positions", 50258, 448}}) {
        DecoderSteps steps(*decoder, goldenEncoderOutput());
        try {
            steps.predict(c.token, c.position);
            ADD_FAILURE() << c.what << " was accepted";
        } catch (const MLError& error) {
            EXPECT_EQ(error.code(), MLError::Code::predictionFailed) << c.what;
        }
    }
}

}  // namespace
