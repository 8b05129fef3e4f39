#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "Murmex/Model/TextDecoding.h"
#include "Platform/ML/MultiArray.h"

namespace murmex {

// The operations every text decoder shares: creating a window's decoder inputs, composing the
// initial prompt from the options, and writing one step's cache entries and alignment weights
// into the window's arrays. A replacement decoder derives from this class to get them.
class TextDecodingBase : public TextDecoding {
public:
    // Arrays sized by the decoder's kvCacheEmbedDim (E), kvCacheMaxSequenceLength (S) and
    // windowSize (W), read in that order; the first one that is unknown throws
    // `WhisperError::prepareDecoderInputsFailed`. Array creation errors pass through.
    std::shared_ptr<DecodingInputsType> prepareDecoderInputs(const std::vector<int>& prompt) override;

    // [previous-text prompt] <|startoftranscript|> [language] [task] <|notimestamps|> or <|0.00|>
    // [prefix]. The language and task tokens only for a multilingual model; the previous text
    // is the last 111 prompt tokens that are text; the prefix as many of its last tokens that
    // are text as keep the prompt within 222 tokens (at most 112). Throws
    // `WhisperError::tokenizerUnavailable` without a tokenizer and
    // `WhisperError::prepareDecoderInputsFailed` when the inputs are not `DecodingInputs`.
    std::shared_ptr<DecodingInputsType> prefillDecoderInputs(const std::shared_ptr<DecodingInputsType>& inputs,
                                                             const std::optional<DecodingOptions>& options) override;

    // Copies the n = keySlice.shape[3] positions of one step's key and value entries
    // (both addressed with the key slice's strides) into positions insertAtIndex..<+n of every
    // channel of the caches, as raw half-precision values. Arrays of fewer than four
    // dimensions, or positions beyond the caches, stop the process.
    static void updateKVCache(const platform::MultiArray& keyTensor, const platform::MultiArray& keySlice,
                              const platform::MultiArray& valueTensor, const platform::MultiArray& valueSlice,
                              int insertAtIndex);

    // Copies one step's cross-attention weights (W values) into row insertAtIndex + 1 of the
    // window's alignment array. A row beyond the array or a slice of fewer than W values stops
    // the process.
    static void updateAlignmentWeights(const platform::MultiArray& alignmentTensor,
                                       const platform::MultiArray& alignmentSlice, int insertAtIndex);
};

}  // namespace murmex
