#include "Platform/ML/DecoderSteps.h"

#include "Platform/ML/MLError.h"

#include <string>
#include <utility>

namespace platform {

namespace {

MultiArray output(const FeatureProvider& result, const std::string& name) {
    const auto value = result.featureValue(name);
    const auto array = value ? value->multiArrayValue() : std::nullopt;
    if (!array) throw MLError(MLError::Code::invalidModel, "The model gave no " + name);
    return *array;
}

}  // namespace

DecoderSteps::DecoderSteps(const Model& decoder, MultiArray encoderOutput)
    : decoder_(decoder), encoderOutput_(std::move(encoderOutput)) {
    const Shape cache = decoder_.modelDescription().input("key_cache")->multiArrayConstraint->shape;
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

std::shared_ptr<FeatureProvider> DecoderSteps::predict(int token, int position) {
    inputIds_.data<std::int32_t>()[0] = token;
    cacheLength_.data<std::int32_t>()[0] = position;
    return decoder_.prediction(DictionaryFeatureProvider({{"input_ids", inputIds_},
                                                          {"cache_length", cacheLength_},
                                                          {"key_cache", keyCache_},
                                                          {"value_cache", valueCache_},
                                                          {"kv_cache_update_mask", updateMask_},
                                                          {"encoder_output_embeds", encoderOutput_},
                                                          {"decoder_key_padding_mask", paddingMask_}}));
}

std::shared_ptr<FeatureProvider> DecoderSteps::step(int token, int position) {
    auto result = predict(token, position);
    const MultiArray keys = output(*result, "key_cache_updates");
    const MultiArray values = output(*result, "value_cache_updates");
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
    return result;
}

}  // namespace platform
