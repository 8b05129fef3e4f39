#pragma once

// The named inputs and outputs of the three models of a variant:
//   mel spectrogram  "audio"                      -> "melspectrogram_features"
//   audio encoder    "melspectrogram_features"    -> "encoder_output_embeds"
//   text decoder     "input_ids", "cache_length", "key_cache", "value_cache",
//                    "kv_cache_update_mask", "encoder_output_embeds", "decoder_key_padding_mask"
//                    -> "logits", "key_cache_updates", "value_cache_updates",
//                       "alignment_heads_weights" (optional)
// Input records are feature providers over their fields, read at the moment of each lookup.
// Output records wrap the provider a prediction returned and give typed access to it; a
// required feature that the provider lacks makes its accessor throw `platform::MLError`.

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "Platform/ML/FeatureProvider.h"
#include "Platform/ML/Float16.h"
#include "Platform/ML/MultiArray.h"
#include "Platform/ML/ShapedArray.h"

namespace murmex {

namespace FeatureName {
inline constexpr const char* audio = "audio";
inline constexpr const char* melspectrogramFeatures = "melspectrogram_features";
inline constexpr const char* encoderOutputEmbeds = "encoder_output_embeds";
inline constexpr const char* inputIds = "input_ids";
inline constexpr const char* cacheLength = "cache_length";
inline constexpr const char* keyCache = "key_cache";
inline constexpr const char* valueCache = "value_cache";
inline constexpr const char* kvCacheUpdateMask = "kv_cache_update_mask";
inline constexpr const char* decoderKeyPaddingMask = "decoder_key_padding_mask";
inline constexpr const char* logits = "logits";
inline constexpr const char* keyCacheUpdates = "key_cache_updates";
inline constexpr const char* valueCacheUpdates = "value_cache_updates";
inline constexpr const char* alignmentHeadsWeights = "alignment_heads_weights";
}  // namespace FeatureName

class MelSpectrogramInput : public platform::FeatureProvider {
public:
    explicit MelSpectrogramInput(platform::MultiArray audio) : audio(std::move(audio)) {}
    explicit MelSpectrogramInput(const platform::ShapedArray<float>& audio) : audio(audio.toMultiArray()) {}

    std::set<std::string> featureNames() const override;
    std::optional<platform::FeatureValue> featureValue(const std::string& featureName) const override;

    platform::MultiArray audio;
};

class AudioEncoderInput : public platform::FeatureProvider {
public:
    explicit AudioEncoderInput(platform::MultiArray melspectrogram_features)
        : melspectrogram_features(std::move(melspectrogram_features)) {}
    explicit AudioEncoderInput(const platform::ShapedArray<float>& melspectrogram_features)
        : melspectrogram_features(melspectrogram_features.toMultiArray()) {}

    std::set<std::string> featureNames() const override;
    std::optional<platform::FeatureValue> featureValue(const std::string& featureName) const override;

    platform::MultiArray melspectrogram_features;
};

class TextDecoderInput : public platform::FeatureProvider {
public:
    TextDecoderInput(platform::MultiArray input_ids, platform::MultiArray cache_length, platform::MultiArray key_cache,
                     platform::MultiArray value_cache, platform::MultiArray kv_cache_update_mask,
                     platform::MultiArray encoder_output_embeds, platform::MultiArray decoder_key_padding_mask);
    TextDecoderInput(const platform::ShapedArray<std::int32_t>& input_ids,
                     const platform::ShapedArray<std::int32_t>& cache_length,
                     const platform::ShapedArray<float>& key_cache, const platform::ShapedArray<float>& value_cache,
                     const platform::ShapedArray<float>& kv_cache_update_mask,
                     const platform::ShapedArray<float>& encoder_output_embeds,
                     const platform::ShapedArray<float>& decoder_key_padding_mask);

    std::set<std::string> featureNames() const override;
    std::optional<platform::FeatureValue> featureValue(const std::string& featureName) const override;

    platform::MultiArray input_ids;
    platform::MultiArray cache_length;
    platform::MultiArray key_cache;
    platform::MultiArray value_cache;
    platform::MultiArray kv_cache_update_mask;
    platform::MultiArray encoder_output_embeds;
    platform::MultiArray decoder_key_padding_mask;
};

// Shared part of the output records: the wrapped provider, answered unchanged.
class ModelOutputRecord : public platform::FeatureProvider {
public:
    explicit ModelOutputRecord(std::shared_ptr<const platform::FeatureProvider> features);

    const std::shared_ptr<const platform::FeatureProvider>& provider() const { return provider_; }

    std::set<std::string> featureNames() const override;
    std::optional<platform::FeatureValue> featureValue(const std::string& featureName) const override;

protected:
    // The named multi-array; throws `platform::MLError` when the provider lacks it.
    platform::MultiArray requiredArray(const char* featureName) const;
    std::optional<platform::MultiArray> optionalArray(const char* featureName) const;

private:
    std::shared_ptr<const platform::FeatureProvider> provider_;
};

class MelSpectrogramOutput : public ModelOutputRecord {
public:
    explicit MelSpectrogramOutput(std::shared_ptr<const platform::FeatureProvider> features)
        : ModelOutputRecord(std::move(features)) {}
    explicit MelSpectrogramOutput(platform::MultiArray melspectrogram_features);

    platform::MultiArray melspectrogramFeatures() const;
    platform::ShapedArray<platform::Float16> melspectrogram_featuresShapedArray() const;
};

class AudioEncoderOutput : public ModelOutputRecord {
public:
    explicit AudioEncoderOutput(std::shared_ptr<const platform::FeatureProvider> features)
        : ModelOutputRecord(std::move(features)) {}
    explicit AudioEncoderOutput(platform::MultiArray encoder_output_embeds);

    platform::MultiArray encoder_output_embeds() const;
    platform::ShapedArray<platform::Float16> encoder_output_embedsShapedArray() const;
};

class TextDecoderOutput : public ModelOutputRecord {
public:
    explicit TextDecoderOutput(std::shared_ptr<const platform::FeatureProvider> features)
        : ModelOutputRecord(std::move(features)) {}
    // The provider holds the first three features; the index of the largest logit is not
    // kept, as nothing reads it back.
    TextDecoderOutput(platform::MultiArray logits, platform::MultiArray key_cache_updates,
                      platform::MultiArray value_cache_updates, const platform::MultiArray& logits_top_index);

    platform::MultiArray logits() const;
    platform::ShapedArray<platform::Float16> logitsShapedArray() const;
    platform::MultiArray key_cache_updates() const;
    platform::ShapedArray<platform::Float16> key_cache_updatesShapedArray() const;
    platform::MultiArray value_cache_updates() const;
    platform::ShapedArray<platform::Float16> value_cache_updatesShapedArray() const;
    std::optional<platform::MultiArray> alignment_heads_weights() const;
    std::optional<platform::ShapedArray<platform::Float16>> alignment_heads_weightsShapedArray() const;
};

}  // namespace murmex
