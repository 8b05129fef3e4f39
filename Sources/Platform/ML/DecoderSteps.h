#pragma once

#include "Platform/ML/FeatureProvider.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/MultiArray.h"

#include <memory>

namespace platform {

// Runs a text decoder model one token at a time, keeping its inputs between steps as a
// decoding loop keeps them: the key and value caches (zero at first), the update mask (the
// step's position set) and the padding mask (positions up to the step's open), and the
// encoder output. The model must outlive it.
class DecoderSteps {
public:
    DecoderSteps(const Model& decoder, MultiArray encoderOutput);

    // One prediction of `token` at `position` with the inputs as they stand. Throws what the
    // model's prediction throws.
    std::shared_ptr<FeatureProvider> predict(int token, int position);

    // predict, then the step's cache updates stored at `position` and the masks moved on to
    // the next position (where there is one). Throws MLError (invalidModel) when the result has
    // no cache updates.
    std::shared_ptr<FeatureProvider> step(int token, int position);

    // The positions the caches hold.
    int positions() const { return positions_; }
    // The key and value caches, [1, layers·width, 1, positions], as the next step reads them.
    MultiArray& keyCache() { return keyCache_; }
    MultiArray& valueCache() { return valueCache_; }

private:
    const Model& decoder_;
    int positions_ = 0;
    MultiArray inputIds_, cacheLength_, keyCache_, valueCache_, updateMask_, paddingMask_, encoderOutput_;
};

}  // namespace platform
