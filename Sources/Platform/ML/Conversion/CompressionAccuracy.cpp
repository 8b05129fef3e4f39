#include "Platform/ML/Conversion/CompressionAccuracy.h"

#include "Platform/ML/DecoderSteps.h"
#include "Platform/ML/FeatureProvider.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/ModelFolder.h"

#include <algorithm>
#include <cmath>
#include <memory>

namespace platform::conversion {

namespace {

// The token every transcript starts with, where the vocabulary has it.
constexpr int startOfTranscript = 50258;

std::shared_ptr<Model> load(const std::filesystem::path& folder, std::string_view name) {
    return Model::load(ModelFolder::modelLocation(folder, name), ComputeUnits::cpuOnly);
}

MultiArray output(const std::shared_ptr<FeatureProvider>& result, const std::string& name) {
    const auto value = result->featureValue(name);
    const auto array = value ? value->multiArrayValue() : std::nullopt;
    if (!array) throw MLError(MLError::Code::invalidModel, "The model gave no " + name);
    return *array;
}

// A folder's decoder fed the tokens it is given, its inputs kept as the decoding loop keeps them.
class TeacherForcedDecoder {
public:
    TeacherForcedDecoder(const std::filesystem::path& folder, MultiArray encoderOutput)
        : model_(load(folder, ModelFolder::textDecoder)), steps_(*model_, std::move(encoderOutput)) {}

    int positions() const { return steps_.positions(); }
    int vocabulary() const {
        return static_cast<int>(model_->modelDescription().output("logits")->multiArrayConstraint->shape[2]);
    }

    // The logits after `token` at `position`, with the cache then holding that position.
    std::vector<float> step(int token, int position) {
        return output(steps_.step(token, position), "logits").floatValues();
    }

private:
    std::shared_ptr<Model> model_;
    DecoderSteps steps_;
};

struct ErrorSums {
    double error = 0;
    double signal = 0;
    void add(const std::vector<float>& reference, const std::vector<float>& candidate) {
        for (std::size_t i = 0; i < std::min(reference.size(), candidate.size()); ++i) {
            const double d = static_cast<double>(candidate[i]) - reference[i];
            error += d * d;
            signal += static_cast<double>(reference[i]) * reference[i];
        }
    }
    double relative() const { return signal > 0 ? std::sqrt(error / signal) : 0; }
};

int largest(const std::vector<float>& values) {
    return static_cast<int>(std::max_element(values.begin(), values.end()) - values.begin());
}

}  // namespace

CompressionAccuracy CompressionAccuracy::measure(const std::filesystem::path& reference,
                                                 const std::filesystem::path& candidate,
                                                 const std::vector<float>& samples, int steps) {
    const auto mel = load(reference, ModelFolder::melSpectrogram);
    const int window = mel->modelDescription().input("audio")->multiArrayConstraint->shape[0];
    MultiArray audio({window}, MultiArrayDataType::float32);
    std::copy_n(samples.begin(), std::min<std::size_t>(samples.size(), static_cast<std::size_t>(window)),
                audio.data<float>());
    const MultiArray features =
        output(mel->prediction(DictionaryFeatureProvider({{"audio", audio}})), "melspectrogram_features");

    auto encode = [&](const std::filesystem::path& folder) {
        const auto encoder = load(folder, ModelFolder::audioEncoder);
        return output(encoder->prediction(DictionaryFeatureProvider({{"melspectrogram_features", features}})),
                      "encoder_output_embeds");
    };
    const MultiArray referenceEncoding = encode(reference);
    const MultiArray candidateEncoding = encode(candidate);
    ErrorSums encoder;
    encoder.add(referenceEncoding.floatValues(), candidateEncoding.floatValues());

    TeacherForcedDecoder referenceDecoder(reference, referenceEncoding);
    TeacherForcedDecoder candidateDecoder(candidate, candidateEncoding);
    CompressionAccuracy accuracy;
    accuracy.steps = std::min(steps, referenceDecoder.positions());
    ErrorSums logits;
    int agreements = 0;
    int token = referenceDecoder.vocabulary() > startOfTranscript ? startOfTranscript : 0;
    for (int position = 0; position < accuracy.steps; ++position) {
        const auto expected = referenceDecoder.step(token, position);
        const auto got = candidateDecoder.step(token, position);
        logits.add(expected, got);
        token = largest(expected);
        if (largest(got) == token) ++agreements;
    }
    accuracy.encoderError = encoder.relative();
    accuracy.logitsError = logits.relative();
    accuracy.topOneAgreement = accuracy.steps > 0 ? static_cast<double>(agreements) / accuracy.steps : 0;
    return accuracy;
}

}  // namespace platform::conversion
