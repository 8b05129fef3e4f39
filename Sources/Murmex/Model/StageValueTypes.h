#pragma once

#include <memory>
#include <optional>
#include <utility>
#include "Platform/ML/MultiArray.h"

namespace murmex {

// Marker types of the values passed between the audio stages, so that a replacement stage may
// use a representation of its own. The standard stages pass multi-arrays (`MultiArrayValue`)
// and test for them when they receive a value.
class AudioProcessorOutputType {
public:
    virtual ~AudioProcessorOutputType() = default;
};

class FeatureExtractorOutputType {
public:
    virtual ~FeatureExtractorOutputType() = default;
};

class AudioEncoderOutputType {
public:
    virtual ~AudioEncoderOutputType() = default;
};

// Marker types of the text decoder's values (a tensor, one prediction's input and output).
class TextDecoderTensorType {
public:
    virtual ~TextDecoderTensorType() = default;
};

class TextDecoderInputType {
public:
    virtual ~TextDecoderInputType() = default;
};

class TextDecoderOutputType {
public:
    virtual ~TextDecoderOutputType() = default;
};

// A multi-array travelling as any of the marker types. Consumers that need an array test for
// it with `dynamic_cast` (or `MultiArrayValue::arrayOf`).
class MultiArrayValue final : public AudioProcessorOutputType,
                              public FeatureExtractorOutputType,
                              public AudioEncoderOutputType,
                              public TextDecoderTensorType,
                              public TextDecoderInputType {
public:
    explicit MultiArrayValue(platform::MultiArray array) : array_(std::move(array)) {}

    const platform::MultiArray& array() const { return array_; }

    // The array inside `value` when it is a `MultiArrayValue`, else no value.
    template <class Marker>
    static std::optional<platform::MultiArray> arrayOf(const Marker* value) {
        const auto* wrapped = dynamic_cast<const MultiArrayValue*>(value);
        if (wrapped == nullptr) return std::nullopt;
        return wrapped->array_;
    }

private:
    platform::MultiArray array_;
};

}  // namespace murmex
