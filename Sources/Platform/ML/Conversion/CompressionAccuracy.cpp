#include "Platform/ML/Conversion/CompressionAccuracy.h"

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

// A decoder's inputs between steps, advanced as the decoding loop advances them.
class TeacherForcedDecoder {
public:
    TeacherForcedDecoder(const std::filesystem::path& folder, MultiArray encoderOutput)
        : model_(load(folder, ModelFolder::textDecoder)), encoderOutput_(std::move(encoderOutput)) {
        const Shape cache = model_->modelDescription().input("key_cache")->multiArrayConstraint->shape;
        positions_ = static_cast<int>(cache[3]);
        inputIds_ = MultiArray({1}, MultiArrayDataType::int32);
        cacheLength_ = MultiArray({1}, MultiArrayDataType::int32);
        keyCache_ = MultiArray(cache, MultiArrayDataType::float16, Float16(0.0f));
        valueCache_ = MultiArray(cache, MultiArrayDataType::float16, Float16(0.0f));
        updateMask_ = MultiArray({1, positions_}, MultiArrayDataType::int32);
        paddingMask_ = MultiArray({1, positions_}, MultiArrayDataType::float16, Float16(-10000.0f));
        updateMask_.setValue(0, 1);
        paddingMask_.setValue(0, 0);
    }

    int positions() const { return positions_; }
    int vocabulary() const {
        return static_cast<int>(model_->modelDescription().output("logits")->multiArrayConstraint->shape[2]);
    }

    // The logits after `token` at `position`, with the cache then holding that position.
    std::vector<float> step(int token, int position) {
        inputIds_.data<std::int32_t>()[0] = token;
        cacheLength_.data<std::int32_t>()[0] = position;
        const auto result = model_->prediction(DictionaryFeatureProvider({{"input_ids", inputIds_},
                                                                          {"cache_length", cacheLength_},
                                                                          {"key_cache", keyCache_},
                                                                          {"value_cache", valueCache_},
                                                                          {"kv_cache_update_mask", updateMask_},
                                                                          {"encoder_output_embeds", encoderOutput_},
                                                                          {"decoder_key_padding_mask", paddingMask_}}));
        const MultiArray keys = output(result, "key_cache_updates");
        const MultiArray values = output(result, "value_cache_updates");
        const int width = keyCache_.shape()[1];
        for (int c = 0; c < width; ++c) {
            keyCache_.data<Float16>()[c * positions_ + position] = keys.data<Float16>()[c];
            valueCache_.data<Float16>()[c * positions_ + position] = values.data<Float16>()[c];
        }
        if (position + 1 < positions_) {
            paddingMask_.setValue(position + 1, 0);
            updateMask_.setValue(position, 0);
            updateMask_.setValue(position + 1, 1);
        }
        return output(result, "logits").floatValues();
    }

private:
    std::shared_ptr<Model> model_;
    MultiArray encoderOutput_;
    int positions_ = 0;
    MultiArray inputIds_, cacheLength_, keyCache_, valueCache_, updateMask_, paddingMask_;
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
