#include "Murmex/Decoding/DecodingInputs.h"

#include <algorithm>
#include <utility>

namespace murmex {

DecodingInputs::DecodingInputs(std::vector<int> initialPrompt, platform::MultiArray inputIds,
                               platform::MultiArray cacheLength, platform::MultiArray keyCache,
                               platform::MultiArray valueCache, platform::MultiArray alignmentWeights,
                               platform::MultiArray kvCacheUpdateMask, platform::MultiArray decoderKeyPaddingMask)
    : initialPrompt_(std::move(initialPrompt)),
      inputIds_(std::move(inputIds)),
      cacheLength_(std::move(cacheLength)),
      keyCache_(std::move(keyCache)),
      valueCache_(std::move(valueCache)),
      alignmentWeights_(std::move(alignmentWeights)),
      kvCacheUpdateMask_(std::move(kvCacheUpdateMask)),
      decoderKeyPaddingMask_(std::move(decoderKeyPaddingMask)) {}

void DecodingInputs::reset(int maxTokenContext) {
    if (cacheLength_.count() > 0) cacheLength_.setValue(std::int64_t{0}, 0.0);
    if (decoderKeyPaddingMask_.count() > 0) decoderKeyPaddingMask_.setValue(std::int64_t{0}, 0.0);
    if (kvCacheUpdateMask_.count() > 0) kvCacheUpdateMask_.setValue(std::int64_t{0}, 1.0);
    const std::int64_t paddingEnd = std::min<std::int64_t>(maxTokenContext, decoderKeyPaddingMask_.count());
    for (std::int64_t i = 1; i < paddingEnd; ++i) decoderKeyPaddingMask_.setValue(i, -10000.0);
    const std::int64_t updateEnd = std::min<std::int64_t>(maxTokenContext, kvCacheUpdateMask_.count());
    for (std::int64_t i = 1; i < updateEnd; ++i) kvCacheUpdateMask_.setValue(i, 0.0);
}

}  // namespace murmex
