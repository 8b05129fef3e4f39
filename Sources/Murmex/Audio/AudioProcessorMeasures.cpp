#include "Murmex/Audio/AudioProcessor.h"

#include "Murmex/Audio/AudioLog.h"
#include "Murmex/Audio/EnergyVAD.h"
#include "Murmex/Model/WhisperError.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace murmex {

namespace {

// The root-mean-square of samples first…last (exclusive), 0 for none.
float rootMeanSquare(const float* samples, size_t count) {
    if (count == 0) {
        return 0;
    }
    double sum = 0;
#pragma omp simd reduction(+ : sum)
    for (size_t i = 0; i < count; ++i) {
        sum += double(samples[i]) * double(samples[i]);
    }
    return float(std::sqrt(sum / double(count)));
}

}  // namespace

std::optional<platform::MultiArray> AudioProcessor::padOrTrimAudio(const std::vector<float>& array, int64_t startAt,
                                                                   int64_t toLength, bool /*saveSegment*/) {
    const auto size = int64_t(array.size());
    if (startAt < 0 || startAt >= size) {
        audiolog::error(std::string(WhisperErrorMessage::startIndexOutsideBuffer));
        return std::nullopt;
    }
    if (toLength <= 0 || toLength > int64_t(std::numeric_limits<int>::max())) {
        // No window of that length can be made.
        audiolog::error("Window length " + std::to_string(toLength) + " is not a usable size");
        return std::nullopt;
    }
    const int64_t end = std::min(startAt + toLength, size);
    const int64_t copied = end - startAt;
    platform::MultiArray window({int(toLength)}, platform::MultiArrayDataType::float32);
    float* data = window.data<float>();
    std::memcpy(data, array.data() + startAt, size_t(copied) * sizeof(float));
    std::memset(data + copied, 0, size_t(toLength - copied) * sizeof(float));
    // Samples that are not finite numbers would turn the whole window's features into nonsense:
    // they are heard as silence.
    int64_t silenced = 0;
#pragma omp simd reduction(+ : silenced)
    for (int64_t i = 0; i < copied; ++i) silenced += std::isfinite(data[i]) ? 0 : 1;
    if (silenced > 0) {
        for (int64_t i = 0; i < copied; ++i) {
            if (!std::isfinite(data[i])) data[i] = 0.0f;
        }
        audiolog::error("Samples " + std::to_string(startAt) + " to " + std::to_string(end) + " hold " +
                        std::to_string(silenced) + " values that are not finite numbers; they are treated as silence");
    }
    return window;
}

std::shared_ptr<AudioProcessorOutputType> AudioProcessor::padOrTrim(const std::vector<float>& audioArray,
                                                                    int64_t startAt, int64_t length) {
    auto window = padOrTrimAudio(audioArray, startAt, length);
    if (!window) {
        return nullptr;
    }
    return std::make_shared<MultiArrayValue>(std::move(*window));
}

float AudioProcessor::calculateAverageEnergy(const std::vector<float>& signal) {
    return rootMeanSquare(signal.data(), signal.size());
}

AudioEnergy AudioProcessor::calculateEnergy(const std::vector<float>& signal) {
    AudioEnergy energy;
    energy.avg = rootMeanSquare(signal.data(), signal.size());
    if (signal.empty()) {
        return energy;
    }
    float largest = 0;
    float smallest = std::numeric_limits<float>::infinity();
    const float* data = signal.data();
    const size_t count = signal.size();
#pragma omp simd reduction(max : largest) reduction(min : smallest)
    for (size_t i = 0; i < count; ++i) {
        const float magnitude = std::fabs(data[i]);
        largest = std::max(largest, magnitude);
        smallest = std::min(smallest, magnitude);
    }
    energy.max = largest;
    energy.min = smallest;
    return energy;
}

float AudioProcessor::calculateRelativeEnergy(const std::vector<float>& signal, std::optional<float> relativeTo) {
    const float rms = rootMeanSquare(signal.data(), signal.size());
    const float level = 20 * std::log10(rms);
    const float reference = relativeTo ? std::max(*relativeTo, 1e-8f) : 0.001f;
    const float referenceLevel = 20 * std::log10(reference);
    float relative = (level - referenceLevel) / (0 - referenceLevel);
    relative = std::min(relative, 1.0f);
    if (std::isnan(relative) || relative < 0) {
        relative = 0;
    }
    return relative;
}

std::vector<bool> AudioProcessor::calculateVoiceActivityInChunks(const std::vector<float>& signal, int chunkCount,
                                                                 int frameLengthSamples, int frameOverlapSamples,
                                                                 float energyThreshold) {
    std::vector<bool> flags(size_t(std::max(chunkCount, 0)), false);
    const auto size = int64_t(signal.size());
    for (int i = 0; i < chunkCount; ++i) {
        const int64_t start = std::min<int64_t>(int64_t(i) * frameLengthSamples, size);
        const int64_t end = std::clamp<int64_t>(start + frameLengthSamples + frameOverlapSamples, start, size);
        flags[size_t(i)] = rootMeanSquare(signal.data() + start, size_t(end - start)) > energyThreshold;
    }
    return flags;
}

std::vector<AudioProcessor::SampleRange> AudioProcessor::calculateNonSilentChunks(const std::vector<float>& signal) {
    const EnergyVAD detector;  // the standard detector
    return detector.calculateActiveChunks(signal);
}

bool AudioProcessor::isVoiceDetected(const std::vector<float>& energies, float nextBufferInSeconds,
                                     float silenceThreshold) {
    const float buffers = nextBufferInSeconds / 0.1f;
    // Whole buffers of 0.1 s; anything that is not a positive finite count means none.
    int64_t wanted = 0;
    if (std::isfinite(buffers) && buffers > 0) {
        wanted = buffers >= float(energies.size()) ? int64_t(energies.size()) : int64_t(buffers);
    }
    const int64_t taken = std::min<int64_t>(wanted, int64_t(energies.size()));
    // The newest second is left out, but at least the first ten values are kept.
    const int64_t kept = std::min(taken, std::max<int64_t>(taken - 10, 10));
    const auto first = energies.end() - taken;
    return std::any_of(first, first + kept, [&](float energy) { return energy > silenceThreshold; });
}

WaveformImage AudioProcessor::createWaveformImage(const std::vector<float>& samples, double width, double height) {
    const double w = std::trunc(width);
    const double h = std::trunc(height);
    if (!(w >= 1) || !(h >= 1) || w > double(std::numeric_limits<int>::max() / 4) ||
        h > double(std::numeric_limits<int>::max())) {
        throw WhisperError::audioProcessingFailed("Waveform image size is not usable");
    }
    const auto pixels = size_t(w) * size_t(h);
    if (double(pixels) != w * h || samples.size() < pixels) {
        // Each pixel is one sample: the array must hold them all.
        throw WhisperError::audioProcessingFailed("Waveform image needs at least " + std::to_string(size_t(w)) + " x " +
                                                  std::to_string(size_t(h)) + " samples, got " +
                                                  std::to_string(samples.size()));
    }
    WaveformImage image;
    image.width = int(w);
    image.height = int(h);
    image.bytesPerRow = size_t(image.width) * 4;
    image.pixels.resize(pixels * 4);
    std::memcpy(image.pixels.data(), samples.data(), pixels * 4);
    return image;
}

}  // namespace murmex
