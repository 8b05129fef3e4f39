#pragma once

#include "Murmex/Audio/AudioPCMBuffer.h"
#include "Murmex/Audio/Resampler.h"

#include <memory>
#include <optional>
#include <string>

namespace murmex {

// Converts PCM buffers from one format (rate, channel count, sample type, layout) to another.
// Going to fewer channels keeps the first ones and drops the rest; mixing is the caller's.
// Each conversion stands alone: the whole input is fed at once and the resampler is drained,
// so no state carries from one buffer to the next.
class AudioConverter {
public:
    // Returns nothing when no converter can be made between the two formats.
    static std::unique_ptr<AudioConverter> make(const AudioFormat& input, const AudioFormat& output);
    ~AudioConverter();
    AudioConverter(const AudioConverter&) = delete;
    AudioConverter& operator=(const AudioConverter&) = delete;

    const AudioFormat& inputFormat() const { return input_; }
    const AudioFormat& outputFormat() const { return output_; }

    enum class Status { haveData, endOfStream, error };

    // Converts every valid frame of `input` (in the input format) into `output` (in the output
    // format) and fills `frameCount` frames of the output buffer (its capacity when absent): the
    // converted signal is cut, or held at its last value, to exactly that many frames. A count
    // beyond the capacity is an error. The first `dropFrames` converted frames
    // are left out: they belong to frames the input holds before the ones wanted, there only so
    // that the filter sees the signal continue. An empty input gives endOfStream and no frame.
    // On failure returns error with a description in `errorDescription`.
    Status convert(AudioPCMBuffer& output, const AudioPCMBuffer& input, std::string& errorDescription,
                   uint32_t dropFrames = 0, std::optional<uint32_t> frameCount = std::nullopt);

private:
    struct Token {};

public:
    AudioConverter(Token, std::unique_ptr<Resampler> resampler);

private:
    AudioFormat input_;
    AudioFormat output_;
    std::unique_ptr<Resampler> resampler_;
    bool used_ = false;
};

}  // namespace murmex
