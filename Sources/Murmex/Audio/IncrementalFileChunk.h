#pragma once

#include "Murmex/Model/DecodingState.h"

#include <functional>

namespace murmex {

// One chunk of an incremental file load: the chunk (its first sample's index in the whole file,
// at 16 kHz, and its samples) and the signal the consumer calls once it is done with it, which
// frees one of the loader's slots. The signal may be called from any thread; only its first
// call counts.
struct IncrementalFileChunk {
    AudioChunk audioChunk;
    std::function<void()> completionSignal;
};

}  // namespace murmex
