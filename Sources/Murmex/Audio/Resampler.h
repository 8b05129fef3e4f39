#pragma once

#include "Murmex/Audio/AudioPCMBuffer.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

struct SwrContext;

namespace murmex {

// A failure of the resampling library: the call that failed and its error code (a negative
// number). The text reads "<call> failed: <the library's description of the code>".
class ResamplerError : public std::runtime_error {
public:
    ResamplerError(const char* call, int code);

    const char* call() const { return call_; }
    int code() const { return code_; }
    // The library's description of the code.
    std::string reason() const;

private:
    const char* call_;
    int code_;
};

// Converts one stream of PCM audio to another rate, channel count, sample type or layout. This
// is the only way the system resamples audio. The filter carries over from one conversion to the
// next, so buffers fed one after the other join without a seam; the output lags the input by the
// filter's short delay until it is flushed. One caller at a time.
class Resampler {
public:
    // How the output channels are made when there are fewer of them than input channels.
    enum class Downmix {
        firstChannels,  // the first input channels are kept as they are, the others dropped
        mean,           // each output channel is the mean of all input channels
    };

    // Throws ResamplerError when a rate is not a whole positive number, a format has no channel,
    // or the library cannot convert between the formats.
    Resampler(const AudioFormat& input, const AudioFormat& output, Downmix downmix);
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    const AudioFormat& inputFormat() const { return input_; }
    const AudioFormat& outputFormat() const { return output_; }

    // The most frames that converting `frames` more input frames can give, what the filter
    // holds included. Throws ResamplerError.
    int outputRoom(int frames) const;

    // Converts `frames` frames at `input` (one pointer per channel area of the input format)
    // into at most `capacity` frames at `output` (one pointer per area of the output format);
    // returns the frames written. A null input with no frames flushes what the filter holds.
    // Throws ResamplerError.
    int convert(std::uint8_t* const* output, int capacity, const std::uint8_t* const* input, int frames);

    // For 32-bit float formats whose output has one channel area (mono, or interleaved): the
    // output frames that `frames` more frames at `planes` (one pointer per channel area)
    // complete, or, with null planes and no frames, part of what the filter still holds (empty
    // once it holds nothing). Throws ResamplerError.
    std::vector<float> resample(const float* const* planes, std::size_t frames);

    // Leaves out the next `frames` frames of output. Throws ResamplerError.
    void dropOutput(int frames);
    // Forgets every frame fed so far, as if just made. Throws ResamplerError.
    void restart();

private:
    AudioFormat input_;
    AudioFormat output_;
    SwrContext* context_ = nullptr;
};

}  // namespace murmex
