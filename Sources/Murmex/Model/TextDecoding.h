#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "Murmex/Model/DecodingOptions.h"
#include "Murmex/Model/DecodingState.h"
#include "Murmex/Model/LogitsFiltering.h"
#include "Murmex/Model/StageValueTypes.h"
#include "Murmex/Model/TokenSampling.h"
#include "Murmex/Model/TranscriptionProgress.h"
#include "Murmex/Model/WhisperTokenizer.h"
#include "Platform/ML/MultiArray.h"

namespace murmex {

// The decoder state of one window as the pipeline holds it. The accessors return references,
// so that a field can be read, replaced or changed in place.
class DecodingInputsType {
public:
    virtual ~DecodingInputsType() = default;

    virtual std::vector<int>& initialPrompt() = 0;
    virtual const std::vector<int>& initialPrompt() const = 0;
    virtual platform::MultiArray& inputIds() = 0;
    virtual const platform::MultiArray& inputIds() const = 0;
    virtual platform::MultiArray& cacheLength() = 0;
    virtual const platform::MultiArray& cacheLength() const = 0;
    // Returns the masks and the cache length to their start state.
    virtual void reset(int maxTokenContext) = 0;
};

// The seven model inputs of one decoding step.
class TextDecoderMLMultiArrayInputType final : public TextDecoderInputType {
public:
    TextDecoderMLMultiArrayInputType(platform::MultiArray inputIds, platform::MultiArray cacheLength,
                                     platform::MultiArray keyCache, platform::MultiArray valueCache,
                                     platform::MultiArray kvCacheUpdateMask, platform::MultiArray encoderOutputEmbeds,
                                     platform::MultiArray decoderKeyPaddingMask)
        : inputIds(std::move(inputIds)),
          cacheLength(std::move(cacheLength)),
          keyCache(std::move(keyCache)),
          valueCache(std::move(valueCache)),
          kvCacheUpdateMask(std::move(kvCacheUpdateMask)),
          encoderOutputEmbeds(std::move(encoderOutputEmbeds)),
          decoderKeyPaddingMask(std::move(decoderKeyPaddingMask)) {}

    platform::MultiArray inputIds;
    platform::MultiArray cacheLength;
    platform::MultiArray keyCache;
    platform::MultiArray valueCache;
    platform::MultiArray kvCacheUpdateMask;
    platform::MultiArray encoderOutputEmbeds;
    platform::MultiArray decoderKeyPaddingMask;
};

// One decoding step's outputs: the logits and this step's cache entries.
class TextDecoderMLMultiArrayOutputType final : public TextDecoderOutputType {
public:
    TextDecoderMLMultiArrayOutputType(std::optional<platform::MultiArray> logits, std::optional<DecodingCache> cache)
        : logits(std::move(logits)), cache(std::move(cache)) {}

    std::optional<platform::MultiArray> logits;
    std::optional<DecodingCache> cache;
};

// The text-decoder stage. Sizes read from the loaded model are absent while none is loaded.
class TextDecoding {
public:
    virtual ~TextDecoding() = default;

    virtual std::shared_ptr<WhisperTokenizer> tokenizer() const = 0;
    virtual void setTokenizer(std::shared_ptr<WhisperTokenizer> tokenizer) = 0;
    virtual bool isModelMultilingual() const = 0;
    virtual void setIsModelMultilingual(bool multilingual) = 0;
    virtual bool supportsWordTimestamps() const = 0;
    // Vocabulary size of the model.
    virtual std::optional<int> logitsSize() const = 0;
    // The caller's filters, run before the decoder's own.
    virtual std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters() const = 0;
    virtual void setLogitsFilters(std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> filters) = 0;
    // E, S and W of the decoder inputs, and the width of one encoder embedding.
    virtual std::optional<int> kvCacheEmbedDim() const = 0;
    virtual std::optional<int> kvCacheMaxSequenceLength() const = 0;
    virtual std::optional<int> windowSize() const = 0;
    virtual std::optional<int> embedSize() const = 0;

    // One model prediction; null when the model gave no output.
    virtual std::shared_ptr<TextDecoderOutputType> predictLogits(
        const std::shared_ptr<TextDecoderInputType>& input) = 0;
    // New decoder inputs for `prompt` (a `DecodingInputs`). Throws `WhisperError` when a size is
    // unknown.
    virtual std::shared_ptr<DecodingInputsType> prepareDecoderInputs(const std::vector<int>& prompt) = 0;
    // Builds the window's initial prompt from the options into `inputs` and returns them.
    virtual std::shared_ptr<DecodingInputsType> prefillDecoderInputs(const std::shared_ptr<DecodingInputsType>& inputs,
                                                                     const std::optional<DecodingOptions>& options) = 0;
    // Decodes one window of encoder output.
    virtual DecodingResult decodeText(const std::shared_ptr<AudioEncoderOutputType>& encoderOutput,
                                      const std::shared_ptr<DecodingInputsType>& decoderInputs, TokenSampling& sampler,
                                      const DecodingOptions& options,
                                      const TranscriptionProgressCallback& callback) = 0;
    // Detects the language of one window.
    virtual DecodingResult detectLanguage(const std::shared_ptr<AudioEncoderOutputType>& encoderOutput,
                                          const std::shared_ptr<DecodingInputsType>& decoderInputs,
                                          TokenSampling& sampler, const DecodingOptions& options,
                                          platform::Float16 temperature) = 0;
};

}  // namespace murmex
