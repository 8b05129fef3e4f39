#pragma once

#include <string_view>

namespace murmex {

// The Whisper model sizes, with the English-only variants.
enum class ModelVariant { tiny, tinyEn, base, baseEn, small, smallEn, medium, mediumEn, large, largev2, largev3 };

inline constexpr ModelVariant allModelVariants[] = {
    ModelVariant::tiny,  ModelVariant::tinyEn,  ModelVariant::base,    ModelVariant::baseEn,
    ModelVariant::small, ModelVariant::smallEn, ModelVariant::medium,  ModelVariant::mediumEn,
    ModelVariant::large, ModelVariant::largev2, ModelVariant::largev3,
};

// "tiny", "tiny.en", "base", "base.en", "small", "small.en", "medium", "medium.en", "large",
// "large-v2", "large-v3".
std::string_view description(ModelVariant variant);

// False for the English-only variants.
bool isMultilingual(ModelVariant variant);

}  // namespace murmex
