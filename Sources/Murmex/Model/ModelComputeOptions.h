#pragma once

#include <optional>

#include "Platform/ML/ComputeUnits.h"

namespace murmex {

// The compute units of the mel-spectrogram, audio-encoder and text-decoder models.
struct ModelComputeOptions {
    platform::ComputeUnits melCompute = platform::ComputeUnits::cpuAndGPU;
    platform::ComputeUnits audioEncoderCompute = platform::ComputeUnits::cpuAndNeuralEngine;
    platform::ComputeUnits textDecoderCompute = platform::ComputeUnits::cpuAndNeuralEngine;

    ModelComputeOptions() = default;
    // An empty encoder argument takes the encoder's default (cpuAndNeuralEngine: this system
    // has no older release that would call for cpuAndGPU).
    explicit ModelComputeOptions(platform::ComputeUnits melCompute,
                                 std::optional<platform::ComputeUnits> audioEncoderCompute = std::nullopt,
                                 platform::ComputeUnits textDecoderCompute = platform::ComputeUnits::cpuAndNeuralEngine)
        : melCompute(melCompute),
          audioEncoderCompute(audioEncoderCompute.value_or(platform::ComputeUnits::cpuAndNeuralEngine)),
          textDecoderCompute(textDecoderCompute) {}

    friend bool operator==(const ModelComputeOptions&, const ModelComputeOptions&) = default;
};

}  // namespace murmex
