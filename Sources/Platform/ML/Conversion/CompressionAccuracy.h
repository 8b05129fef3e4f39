#pragma once

#include <filesystem>
#include <vector>

namespace platform::conversion {

// How far a model folder's outputs lie from those of a reference folder of the same model
// (the half-precision folder converted from the same checkpoint) on one window of audio.
struct CompressionAccuracy {
    double encoderError = 0;     // relative RMS error of the encoder output
    double logitsError = 0;      // relative RMS error of the decoder's logits over every step
    double topOneAgreement = 0;  // share of the steps whose largest logit is the reference's
    int steps = 0;

    // Runs the reference's mel program on `samples` (16 kHz, cut or padded with silence to one
    // window), each folder's encoder on those features, and each folder's decoder on its own
    // encoder output, both fed the same `steps` tokens: the start-of-transcript token, then
    // the reference's own greedy choices. Throws what loading or running the models throws.
    static CompressionAccuracy measure(const std::filesystem::path& reference, const std::filesystem::path& candidate,
                                       const std::vector<float>& samples, int steps = 64);
};

}  // namespace platform::conversion
