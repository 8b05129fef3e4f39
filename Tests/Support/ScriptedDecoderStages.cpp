#include "Support/ScriptedDecoderStages.h"

#include "Murmex/Model/StageValueTypes.h"

namespace norvel::test {

std::shared_ptr<murmex::FeatureExtractorOutputType> ScriptedFeatureExtractor::logMelSpectrogram(
    const std::shared_ptr<murmex::AudioProcessorOutputType>& audio) {
    const auto samples = murmex::MultiArrayValue::arrayOf(audio.get());
    {
        std::lock_guard lock(mutex_);
        firstSamples_.push_back(samples && samples->count() > 0 ? static_cast<float>(samples->value(std::int64_t{0}))
                                                                : -1.0f);
        windowLengths_.push_back(samples ? samples->count() : -1);
    }
    if (fail) return nullptr;
    return std::make_shared<murmex::MultiArrayValue>(
        platform::MultiArray({1, 80, 1, 3000}, platform::MultiArrayDataType::float16));
}

std::vector<float> ScriptedFeatureExtractor::firstSamples() const {
    std::lock_guard lock(mutex_);
    return firstSamples_;
}

std::vector<std::int64_t> ScriptedFeatureExtractor::windowLengths() const {
    std::lock_guard lock(mutex_);
    return windowLengths_;
}

std::shared_ptr<murmex::AudioEncoderOutputType> ScriptedAudioEncoder::encodeFeatures(
    const std::shared_ptr<murmex::FeatureExtractorOutputType>&) {
    if (fail) return nullptr;
    platform::MultiArray output = prototype_.copy();
    output.setValue(std::int64_t{0}, static_cast<double>(windows_++));
    return std::make_shared<murmex::MultiArrayValue>(output);
}

}  // namespace norvel::test
