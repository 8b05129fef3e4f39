#pragma once

#include <vector>

#include "Murmex/Model/TextDecoding.h"
#include "Platform/ML/MultiArray.h"

namespace murmex {

// The decoder model's input arrays for one window, as the text decoder builds them (E the key/
// value cache width, S the cache length, W the window size):
//   inputIds, cacheLength        int32 [1]              0
//   keyCache, valueCache         float16 [1, E, 1, S]   0
//   alignmentWeights             float16 [S, W]         0
//   kvCacheUpdateMask            int32 [1, S]           1 at position 0, 0 elsewhere
//   decoderKeyPaddingMask        float16 [1, S]         0 at position 0, -10000 elsewhere
// Shared by reference; the decoder changes the arrays in place.
class DecodingInputs : public DecodingInputsType {
public:
    DecodingInputs(std::vector<int> initialPrompt, platform::MultiArray inputIds, platform::MultiArray cacheLength,
                   platform::MultiArray keyCache, platform::MultiArray valueCache,
                   platform::MultiArray alignmentWeights, platform::MultiArray kvCacheUpdateMask,
                   platform::MultiArray decoderKeyPaddingMask);

    std::vector<int>& initialPrompt() override { return initialPrompt_; }
    const std::vector<int>& initialPrompt() const override { return initialPrompt_; }
    platform::MultiArray& inputIds() override { return inputIds_; }
    const platform::MultiArray& inputIds() const override { return inputIds_; }
    platform::MultiArray& cacheLength() override { return cacheLength_; }
    const platform::MultiArray& cacheLength() const override { return cacheLength_; }
    virtual platform::MultiArray& keyCache() { return keyCache_; }
    virtual const platform::MultiArray& keyCache() const { return keyCache_; }
    virtual platform::MultiArray& valueCache() { return valueCache_; }
    virtual const platform::MultiArray& valueCache() const { return valueCache_; }
    virtual platform::MultiArray& alignmentWeights() { return alignmentWeights_; }
    virtual const platform::MultiArray& alignmentWeights() const { return alignmentWeights_; }
    virtual platform::MultiArray& kvCacheUpdateMask() { return kvCacheUpdateMask_; }
    virtual const platform::MultiArray& kvCacheUpdateMask() const { return kvCacheUpdateMask_; }
    virtual platform::MultiArray& decoderKeyPaddingMask() { return decoderKeyPaddingMask_; }
    virtual const platform::MultiArray& decoderKeyPaddingMask() const { return decoderKeyPaddingMask_; }

    // Returns the inputs to their state before a window's first step, keeping the prompt, the
    // current token and the cached keys and values: cache length 0, padding mask 0 at
    // position 0 and -10000 at positions 1 to maxTokenContext - 1, update mask 1 at position 0
    // and 0 at the same positions. Positions beyond a mask's length are never written, so a
    // cache shorter than `maxTokenContext` is reset as far as it reaches.
    void reset(int maxTokenContext) override;

private:
    std::vector<int> initialPrompt_;
    platform::MultiArray inputIds_;
    platform::MultiArray cacheLength_;
    platform::MultiArray keyCache_;
    platform::MultiArray valueCache_;
    platform::MultiArray alignmentWeights_;
    platform::MultiArray kvCacheUpdateMask_;
    platform::MultiArray decoderKeyPaddingMask_;
};

}  // namespace murmex
