#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Murmex/Model/TranscriptionTimings.h"

namespace murmex {

// What the progress callback receives while a window is decoded.
struct TranscriptionProgress {
    TranscriptionTimings timings;
    // The text and tokens of the current window decoded so far.
    std::string text;
    std::vector<int> tokens;
    // Measures of the current decoding pass so far; absent when the reporter does not give them.
    std::optional<float> temperature;
    std::optional<float> avgLogprob;
    std::optional<float> compressionRatio;
    // Index of the window being decoded in its run: 0, 1, 2, … in the order the windows are
    // decoded, the same for every retry of a window (a batch puts its input's index here).
    int windowId = 0;

    friend bool operator==(const TranscriptionProgress&, const TranscriptionProgress&) = default;
};

// The progress callback of every transcription operation. It may be called from any thread;
// returning false asks the decoder to stop the current window early (the run goes on with the
// next window, and the window may be decoded again at a higher temperature), true or no value
// lets it go on. An empty function means no callback. To end a whole run, request its stop.
using TranscriptionProgressCallback = std::function<std::optional<bool>(const TranscriptionProgress&)>;

// The phase of a transcription as the pipeline reports it.
enum class TranscriptionState { convertingAudio, transcribing, finished };

// "Converting Audio", "Transcribing" or "Finished".
std::string_view description(TranscriptionState state);

}  // namespace murmex
