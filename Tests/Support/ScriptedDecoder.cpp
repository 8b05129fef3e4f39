#include "Support/ScriptedDecoder.h"

#include <algorithm>
#include <stdexcept>

#include "Platform/ML/FeatureProvider.h"
#include "Platform/ML/Float16.h"

namespace norvel::test {

using platform::FeatureDescription;
using platform::FeatureType;
using platform::Float16;
using platform::MultiArray;
using platform::MultiArrayConstraint;
using platform::MultiArrayDataType;

std::shared_ptr<ScriptedDecoderModel> ScriptedDecoderModel::make(Dimensions dimensions, Script script) {
    return std::shared_ptr<ScriptedDecoderModel>(new ScriptedDecoderModel(dimensions, std::move(script)));
}

ScriptedDecoderModel::Script ScriptedDecoderModel::sequence(std::vector<ScriptedStep> steps) {
    if (steps.empty()) throw std::invalid_argument("a scripted sequence needs at least one step");
    return [steps = std::move(steps)](const ScriptedCall&, int index) {
        return steps[std::min<std::size_t>(static_cast<std::size_t>(index), steps.size() - 1)];
    };
}

platform::ModelDescription ScriptedDecoderModel::description(const Dimensions& d) {
    platform::ModelDescription description;
    auto add = [](std::map<std::string, FeatureDescription>& table, const std::string& name, platform::Shape shape,
                  MultiArrayDataType type, bool optional = false) {
        table[name] = FeatureDescription{name, FeatureType::multiArray, optional, MultiArrayConstraint{shape, type}};
    };
    auto& in = description.inputDescriptionsByName;
    add(in, "input_ids", {1}, MultiArrayDataType::int32);
    add(in, "cache_length", {1}, MultiArrayDataType::int32);
    add(in, "key_cache", {1, d.embed, 1, d.sequence}, MultiArrayDataType::float16);
    add(in, "value_cache", {1, d.embed, 1, d.sequence}, MultiArrayDataType::float16);
    add(in, "kv_cache_update_mask", {1, d.sequence}, MultiArrayDataType::int32);
    add(in, "encoder_output_embeds", {1, d.encoderWidth, 1, d.window}, d.encoderType);
    add(in, "decoder_key_padding_mask", {1, d.sequence}, MultiArrayDataType::float16);
    auto& out = description.outputDescriptionsByName;
    add(out, "logits", {1, 1, d.vocabulary}, MultiArrayDataType::float16);
    add(out, "key_cache_updates", {1, d.embed, 1, 1}, MultiArrayDataType::float16);
    add(out, "value_cache_updates", {1, d.embed, 1, 1}, MultiArrayDataType::float16);
    if (d.alignment) add(out, "alignment_heads_weights", {1, d.window}, MultiArrayDataType::float16, true);
    return description;
}

ScriptedDecoderModel::ScriptedDecoderModel(Dimensions dimensions, Script script)
    : platform::Model(description(dimensions), platform::ComputeUnits::cpuOnly),
      dimensions_(dimensions),
      script_(std::move(script)) {}

std::vector<ScriptedCall> ScriptedDecoderModel::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

void ScriptedDecoderModel::setBeforePrediction(std::function<void(int)> hook) { beforePrediction_ = std::move(hook); }

MultiArray ScriptedDecoderModel::encoderOutput() const {
    return MultiArray({1, dimensions_.encoderWidth, 1, dimensions_.window}, dimensions_.encoderType);
}

std::shared_ptr<platform::FeatureProvider> ScriptedDecoderModel::predict(const platform::FeatureProvider& input,
                                                                         const platform::PredictionOptions&) const {
    auto array = [&](const char* name) { return input.featureValue(name)->multiArrayValue().value(); };
    const MultiArray keyCache = array("key_cache");
    const MultiArray updateMask = array("kv_cache_update_mask");
    const MultiArray padding = array("decoder_key_padding_mask");

    ScriptedCall call;
    call.inputId = static_cast<int>(array("input_ids").value(std::int64_t{0}));
    call.cacheLength = static_cast<int>(array("cache_length").value(std::int64_t{0}));
    for (int i = 0; i < dimensions_.sequence; ++i) {
        if (updateMask.value(std::int64_t{i}) == 1.0 && call.updatePosition < 0) call.updatePosition = i;
        if (padding.value(std::int64_t{i}) == 0.0) ++call.openPositions;
    }
    call.encoderMarker = static_cast<float>(array("encoder_output_embeds").value(std::int64_t{0}));
    for (int i = 0; i < std::min(call.cacheLength, dimensions_.sequence); ++i) {
        call.keyCacheChannel0.push_back(static_cast<float>(keyCache.value(platform::Shape{0, 0, 0, i})));
    }

    int index = 0;
    {
        std::lock_guard lock(mutex_);
        index = static_cast<int>(calls_.size());
        calls_.push_back(call);
    }
    if (beforePrediction_) beforePrediction_(index);
    const ScriptedStep step = script_(call, index);

    MultiArray logits({1, 1, dimensions_.vocabulary}, MultiArrayDataType::float16, Float16(step.floor));
    auto* values = logits.data<Float16>();
    if (step.token && *step.token >= 0 && *step.token < dimensions_.vocabulary)
        values[*step.token] = Float16(step.high);
    for (const auto& [token, value] : step.logits) {
        if (token >= 0 && token < dimensions_.vocabulary) values[token] = Float16(value);
    }
    const Float16 marker(static_cast<float>(index + 1));
    MultiArray keys({1, dimensions_.embed, 1, 1}, MultiArrayDataType::float16, marker);
    MultiArray valuesUpdate({1, dimensions_.embed, 1, 1}, MultiArrayDataType::float16, -marker);

    auto output = std::make_shared<platform::DictionaryFeatureProvider>();
    output->set("logits", logits);
    output->set("key_cache_updates", keys);
    output->set("value_cache_updates", valuesUpdate);
    if (dimensions_.alignment) {
        MultiArray alignment({1, dimensions_.window}, MultiArrayDataType::float16, Float16(0.0f));
        if (step.alignmentFrame && *step.alignmentFrame >= 0 && *step.alignmentFrame < dimensions_.window) {
            alignment.setValue(platform::Shape{0, *step.alignmentFrame}, 1.0);
        }
        output->set("alignment_heads_weights", alignment);
    }
    return output;
}

}  // namespace norvel::test
