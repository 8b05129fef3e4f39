#include "Murmex/Decoding/TextDecodingBase.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "HalvexCore/FatalError.h"
#include "Murmex/Decoding/DecodingInputs.h"
#include "Murmex/Model/WhisperError.h"
#include "Platform/ML/Float16.h"

namespace murmex {

namespace {

constexpr std::size_t maxPreviousTextTokens = 111;
constexpr std::int64_t maxPromptBeforePrefix = 222;
constexpr std::int64_t maxPrefixTokens = 112;

std::vector<int> lastTextTokens(const std::vector<int>& tokens, std::size_t count, int specialTokenBegin) {
    const std::size_t first = tokens.size() > count ? tokens.size() - count : 0;
    std::vector<int> kept;
    for (std::size_t i = first; i < tokens.size(); ++i) {
        if (tokens[i] < specialTokenBegin) kept.push_back(tokens[i]);
    }
    return kept;
}

void markFirstPosition(DecodingInputs& inputs) {
    inputs.kvCacheUpdateMask().setValue(std::int64_t{0}, 1.0);
    inputs.decoderKeyPaddingMask().setValue(std::int64_t{0}, 0.0);
}

}  // namespace

std::shared_ptr<DecodingInputsType> TextDecodingBase::prepareDecoderInputs(const std::vector<int>& prompt) {
    const auto embedDim = kvCacheEmbedDim();
    if (!embedDim)
        throw WhisperError::prepareDecoderInputsFailed(std::string(WhisperErrorMessage::unknownKvCacheEmbedDim));
    const auto sequenceLength = kvCacheMaxSequenceLength();
    if (!sequenceLength) {
        throw WhisperError::prepareDecoderInputsFailed(
            std::string(WhisperErrorMessage::unknownKvCacheMaxSequenceLength));
    }
    const auto window = windowSize();
    if (!window)
        throw WhisperError::prepareDecoderInputsFailed(std::string(WhisperErrorMessage::unknownEncoderOutputDim));

    using platform::Float16;
    using platform::MultiArray;
    using platform::MultiArrayDataType;
    const int E = *embedDim;
    const int S = *sequenceLength;
    const int W = *window;
    MultiArray inputIds({1}, MultiArrayDataType::int32, std::int32_t{0});
    MultiArray cacheLength({1}, MultiArrayDataType::int32, std::int32_t{0});
    MultiArray keyCache({1, E, 1, S}, MultiArrayDataType::float16, Float16(0.0f));
    MultiArray valueCache({1, E, 1, S}, MultiArrayDataType::float16, Float16(0.0f));
    MultiArray alignmentWeights({S, W}, MultiArrayDataType::float16, Float16(0.0f));
    MultiArray kvCacheUpdateMask({1, S}, MultiArrayDataType::int32, std::int32_t{0});
    MultiArray decoderKeyPaddingMask({1, S}, MultiArrayDataType::float16, Float16(-10000.0f));
    auto inputs = std::make_shared<DecodingInputs>(prompt, inputIds, cacheLength, keyCache, valueCache,
                                                   alignmentWeights, kvCacheUpdateMask, decoderKeyPaddingMask);
    markFirstPosition(*inputs);
    return inputs;
}

std::shared_ptr<DecodingInputsType> TextDecodingBase::prefillDecoderInputs(
    const std::shared_ptr<DecodingInputsType>& inputs, const std::optional<DecodingOptions>& options) {
    const auto tokenizer = this->tokenizer();
    if (!tokenizer) throw WhisperError::tokenizerUnavailable();
    auto* decodingInputs = dynamic_cast<DecodingInputs*>(inputs.get());
    if (decodingInputs == nullptr) {
        throw WhisperError::prepareDecoderInputsFailed(
            std::string(WhisperErrorMessage::decoderInputsNotDecodingInputs));
    }

    const SpecialTokens& special = tokenizer->specialTokens();
    std::vector<int> prompt = {special.startOfTranscriptToken};
    if (options) {
        if (isModelMultilingual()) {
            const std::string language = options->language.value_or("en");
            prompt.push_back(tokenizer->convertTokenToId("<|" + language + "|>").value_or(special.englishToken));
            const std::string task(description(options->task));
            prompt.push_back(tokenizer->convertTokenToId("<|" + task + "|>").value_or(special.transcribeToken));
        }
        prompt.push_back(options->withoutTimestamps ? special.noTimestampsToken : special.timeTokenBegin);

        if (options->promptTokens) {
            const auto previous = lastTextTokens(tokenIds(*options->promptTokens, "promptTokens"),
                                                 maxPreviousTextTokens, special.specialTokenBegin);
            if (!previous.empty()) {
                std::vector<int> withPrevious = {special.startOfPreviousToken};
                withPrevious.insert(withPrevious.end(), previous.begin(), previous.end());
                withPrevious.insert(withPrevious.end(), prompt.begin(), prompt.end());
                prompt = std::move(withPrevious);
            }
        }
        if (options->prefixTokens) {
            const std::int64_t room = maxPromptBeforePrefix - static_cast<std::int64_t>(prompt.size());
            const auto count = static_cast<std::size_t>(std::min(std::max<std::int64_t>(room, 0), maxPrefixTokens));
            const auto prefix =
                lastTextTokens(tokenIds(*options->prefixTokens, "prefixTokens"), count, special.specialTokenBegin);
            prompt.insert(prompt.end(), prefix.begin(), prefix.end());
        }
    }

    decodingInputs->initialPrompt() = std::move(prompt);
    markFirstPosition(*decodingInputs);
    return inputs;
}

void TextDecodingBase::updateKVCache(const platform::MultiArray& keyTensor, const platform::MultiArray& keySlice,
                                     const platform::MultiArray& valueTensor, const platform::MultiArray& valueSlice,
                                     int insertAtIndex) {
    if (keyTensor.shape().size() < 4 || keySlice.shape().size() < 4 || valueTensor.shape().size() < 4 ||
        valueSlice.shape().size() < 4) {
        halvex::fatalError("updateKVCache needs arrays of four dimensions");
    }
    const std::int64_t channels = keyTensor.shape()[1];
    const std::int64_t positions = keySlice.shape()[3];
    const auto& sliceStrides = keySlice.strides();
    const auto& keyStrides = keyTensor.strides();
    const auto& valueStrides = valueTensor.strides();
    if (insertAtIndex < 0 || insertAtIndex + positions > keyTensor.shape()[3] ||
        insertAtIndex + positions > valueTensor.shape()[3] || channels > valueTensor.shape()[1] ||
        channels > keySlice.shape()[1] || channels > valueSlice.shape()[1] || positions > valueSlice.shape()[3]) {
        halvex::fatalError("updateKVCache: position " + std::to_string(insertAtIndex) + " outside the cache");
    }
    if (platform::elementSize(keyTensor.dataType()) != 2 || platform::elementSize(keySlice.dataType()) != 2 ||
        platform::elementSize(valueTensor.dataType()) != 2 || platform::elementSize(valueSlice.dataType()) != 2) {
        halvex::fatalError("updateKVCache copies half-precision elements only");
    }

    const auto* keySource = static_cast<const std::uint16_t*>(keySlice.dataPointer());
    const auto* valueSource = static_cast<const std::uint16_t*>(valueSlice.dataPointer());
    auto* keyDestination = static_cast<std::uint16_t*>(keyTensor.dataPointer());
    auto* valueDestination = static_cast<std::uint16_t*>(valueTensor.dataPointer());
    const std::int64_t sliceChannel = sliceStrides[1];
    const std::int64_t slicePosition = sliceStrides[3];
    for (std::int64_t c = 0; c < channels; ++c) {
        for (std::int64_t j = 0; j < positions; ++j) {
            const std::int64_t source = c * sliceChannel + j * slicePosition;
            const std::int64_t position = insertAtIndex + j;
            keyDestination[c * keyStrides[1] + position * keyStrides[3]] = keySource[source];
            valueDestination[c * valueStrides[1] + position * valueStrides[3]] = valueSource[source];
        }
    }
}

void TextDecodingBase::updateAlignmentWeights(const platform::MultiArray& alignmentTensor,
                                              const platform::MultiArray& alignmentSlice, int insertAtIndex) {
    if (alignmentTensor.shape().size() < 2 || alignmentSlice.shape().size() < 2) {
        halvex::fatalError("updateAlignmentWeights needs arrays of two dimensions");
    }
    const std::int64_t row = static_cast<std::int64_t>(insertAtIndex) + 1;
    const std::int64_t columns = alignmentTensor.shape()[1];
    if (insertAtIndex < 0 || row >= alignmentTensor.shape()[0] || alignmentSlice.count() < columns ||
        alignmentSlice.shape()[1] < columns) {
        halvex::fatalError("updateAlignmentWeights: row " + std::to_string(row) + " outside the alignment weights");
    }
    if (platform::elementSize(alignmentTensor.dataType()) != 2 ||
        platform::elementSize(alignmentSlice.dataType()) != 2) {
        halvex::fatalError("updateAlignmentWeights copies half-precision elements only");
    }
    const auto* source = static_cast<const std::uint16_t*>(alignmentSlice.dataPointer());
    auto* destination = static_cast<std::uint16_t*>(alignmentTensor.dataPointer());
    const auto& strides = alignmentTensor.strides();
    const std::int64_t sourceStride = alignmentSlice.strides()[1];
    for (std::int64_t k = 0; k < columns; ++k) {
        destination[row * strides[0] + k * strides[1]] = source[k * sourceStride];
    }
}

}  // namespace murmex
