#include "Murmex/Model/ModelFeatureRecords.h"

#include <map>
#include <utility>

#include "Platform/ML/MLError.h"

namespace murmex {

using platform::FeatureValue;
using platform::MultiArray;

std::set<std::string> MelSpectrogramInput::featureNames() const { return {FeatureName::audio}; }

std::optional<FeatureValue> MelSpectrogramInput::featureValue(const std::string& featureName) const {
    if (featureName == FeatureName::audio) return FeatureValue(audio);
    return std::nullopt;
}

std::set<std::string> AudioEncoderInput::featureNames() const { return {FeatureName::melspectrogramFeatures}; }

std::optional<FeatureValue> AudioEncoderInput::featureValue(const std::string& featureName) const {
    if (featureName == FeatureName::melspectrogramFeatures) return FeatureValue(melspectrogram_features);
    return std::nullopt;
}

TextDecoderInput::TextDecoderInput(MultiArray input_ids, MultiArray cache_length, MultiArray key_cache,
                                   MultiArray value_cache, MultiArray kv_cache_update_mask,
                                   MultiArray encoder_output_embeds, MultiArray decoder_key_padding_mask)
    : input_ids(std::move(input_ids)),
      cache_length(std::move(cache_length)),
      key_cache(std::move(key_cache)),
      value_cache(std::move(value_cache)),
      kv_cache_update_mask(std::move(kv_cache_update_mask)),
      encoder_output_embeds(std::move(encoder_output_embeds)),
      decoder_key_padding_mask(std::move(decoder_key_padding_mask)) {}

TextDecoderInput::TextDecoderInput(const platform::ShapedArray<std::int32_t>& input_ids,
                                   const platform::ShapedArray<std::int32_t>& cache_length,
                                   const platform::ShapedArray<float>& key_cache,
                                   const platform::ShapedArray<float>& value_cache,
                                   const platform::ShapedArray<float>& kv_cache_update_mask,
                                   const platform::ShapedArray<float>& encoder_output_embeds,
                                   const platform::ShapedArray<float>& decoder_key_padding_mask)
    : TextDecoderInput(input_ids.toMultiArray(), cache_length.toMultiArray(), key_cache.toMultiArray(),
                       value_cache.toMultiArray(), kv_cache_update_mask.toMultiArray(),
                       encoder_output_embeds.toMultiArray(), decoder_key_padding_mask.toMultiArray()) {}

std::set<std::string> TextDecoderInput::featureNames() const {
    return {FeatureName::inputIds,
            FeatureName::cacheLength,
            FeatureName::keyCache,
            FeatureName::valueCache,
            FeatureName::kvCacheUpdateMask,
            FeatureName::encoderOutputEmbeds,
            FeatureName::decoderKeyPaddingMask};
}

std::optional<FeatureValue> TextDecoderInput::featureValue(const std::string& featureName) const {
    if (featureName == FeatureName::inputIds) return FeatureValue(input_ids);
    if (featureName == FeatureName::cacheLength) return FeatureValue(cache_length);
    if (featureName == FeatureName::keyCache) return FeatureValue(key_cache);
    if (featureName == FeatureName::valueCache) return FeatureValue(value_cache);
    if (featureName == FeatureName::kvCacheUpdateMask) return FeatureValue(kv_cache_update_mask);
    if (featureName == FeatureName::encoderOutputEmbeds) return FeatureValue(encoder_output_embeds);
    if (featureName == FeatureName::decoderKeyPaddingMask) return FeatureValue(decoder_key_padding_mask);
    return std::nullopt;
}

ModelOutputRecord::ModelOutputRecord(std::shared_ptr<const platform::FeatureProvider> features)
    : provider_(std::move(features)) {
    if (!provider_) provider_ = std::make_shared<platform::DictionaryFeatureProvider>();
}

std::set<std::string> ModelOutputRecord::featureNames() const { return provider_->featureNames(); }

std::optional<FeatureValue> ModelOutputRecord::featureValue(const std::string& featureName) const {
    return provider_->featureValue(featureName);
}

std::optional<MultiArray> ModelOutputRecord::optionalArray(const char* featureName) const {
    auto value = provider_->featureValue(featureName);
    if (!value) return std::nullopt;
    return value->multiArrayValue();
}

MultiArray ModelOutputRecord::requiredArray(const char* featureName) const {
    auto array = optionalArray(featureName);
    if (!array) {
        throw platform::MLError(platform::MLError::Code::featureMissing,
                                std::string("The model output has no multi-array feature \"") + featureName + "\"");
    }
    return *array;
}

namespace {

std::shared_ptr<const platform::FeatureProvider> dictionaryOf(std::map<std::string, FeatureValue> features) {
    return std::make_shared<platform::DictionaryFeatureProvider>(std::move(features));
}

}  // namespace

MelSpectrogramOutput::MelSpectrogramOutput(MultiArray melspectrogram_features)
    : ModelOutputRecord(dictionaryOf({{FeatureName::melspectrogramFeatures, std::move(melspectrogram_features)}})) {}

MultiArray MelSpectrogramOutput::melspectrogramFeatures() const {
    return requiredArray(FeatureName::melspectrogramFeatures);
}

platform::ShapedArray<platform::Float16> MelSpectrogramOutput::melspectrogram_featuresShapedArray() const {
    return platform::ShapedArray<platform::Float16>(melspectrogramFeatures());
}

AudioEncoderOutput::AudioEncoderOutput(MultiArray encoder_output_embeds)
    : ModelOutputRecord(dictionaryOf({{FeatureName::encoderOutputEmbeds, std::move(encoder_output_embeds)}})) {}

MultiArray AudioEncoderOutput::encoder_output_embeds() const { return requiredArray(FeatureName::encoderOutputEmbeds); }

platform::ShapedArray<platform::Float16> AudioEncoderOutput::encoder_output_embedsShapedArray() const {
    return platform::ShapedArray<platform::Float16>(encoder_output_embeds());
}

TextDecoderOutput::TextDecoderOutput(MultiArray logits, MultiArray key_cache_updates, MultiArray value_cache_updates,
                                     const MultiArray& /*logits_top_index*/)
    : ModelOutputRecord(dictionaryOf({{FeatureName::logits, std::move(logits)},
                                      {FeatureName::keyCacheUpdates, std::move(key_cache_updates)},
                                      {FeatureName::valueCacheUpdates, std::move(value_cache_updates)}})) {}

MultiArray TextDecoderOutput::logits() const { return requiredArray(FeatureName::logits); }

platform::ShapedArray<platform::Float16> TextDecoderOutput::logitsShapedArray() const {
    return platform::ShapedArray<platform::Float16>(logits());
}

MultiArray TextDecoderOutput::key_cache_updates() const { return requiredArray(FeatureName::keyCacheUpdates); }

platform::ShapedArray<platform::Float16> TextDecoderOutput::key_cache_updatesShapedArray() const {
    return platform::ShapedArray<platform::Float16>(key_cache_updates());
}

MultiArray TextDecoderOutput::value_cache_updates() const { return requiredArray(FeatureName::valueCacheUpdates); }

platform::ShapedArray<platform::Float16> TextDecoderOutput::value_cache_updatesShapedArray() const {
    return platform::ShapedArray<platform::Float16>(value_cache_updates());
}

std::optional<MultiArray> TextDecoderOutput::alignment_heads_weights() const {
    return optionalArray(FeatureName::alignmentHeadsWeights);
}

std::optional<platform::ShapedArray<platform::Float16>> TextDecoderOutput::alignment_heads_weightsShapedArray() const {
    auto weights = alignment_heads_weights();
    if (!weights) return std::nullopt;
    return platform::ShapedArray<platform::Float16>(*weights);
}

}  // namespace murmex
