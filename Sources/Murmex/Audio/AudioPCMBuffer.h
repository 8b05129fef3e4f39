#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "Platform/ML/AudioWindow.h"

namespace murmex {

// The sample format of a PCM buffer.
enum class AudioCommonFormat { float32, int16 };

// The format of PCM audio: sample type, rate, channel count and layout. Interleaved buffers keep
// all channels in one area (frame after frame); non-interleaved ones keep one area per channel.
struct AudioFormat {
    AudioCommonFormat commonFormat = AudioCommonFormat::float32;
    double sampleRate = platform::audiowindow::sampleRate;
    std::uint32_t channelCount = 1;
    bool interleaved = false;

    std::uint32_t bytesPerSample() const { return commonFormat == AudioCommonFormat::float32 ? 4 : 2; }
    // Bytes of one frame in one channel area: all channels when interleaved, one otherwise.
    std::uint32_t bytesPerFrame() const { return bytesPerSample() * (interleaved ? channelCount : 1); }

    friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

// A buffer of PCM audio with a fixed capacity in frames and a current length. Storage is
// zero-filled at construction.
class AudioPCMBuffer {
public:
    AudioPCMBuffer(AudioFormat format, std::uint32_t frameCapacity);

    const AudioFormat& format() const { return format_; }
    std::uint32_t frameCapacity() const { return frameCapacity_; }
    std::uint32_t frameLength() const { return frameLength_; }
    // Sets the number of valid frames; a value above the capacity is cut to the capacity.
    void setFrameLength(std::uint32_t frameLength);

    // Number of channel areas: 1 when interleaved, else one per channel.
    std::uint32_t channelAreaCount() const { return format_.interleaved ? 1 : format_.channelCount; }
    // Distance between consecutive frames of one channel, in samples.
    std::uint32_t stride() const { return format_.interleaved ? format_.channelCount : 1; }

    // The float samples of channel area `area`, or null when the buffer does not hold floats
    // or the area does not exist.
    float* floatChannelData(std::uint32_t area = 0);
    const float* floatChannelData(std::uint32_t area = 0) const;
    // The 16-bit samples, or null when the buffer does not hold 16-bit integers.
    std::int16_t* int16ChannelData(std::uint32_t area = 0);
    const std::int16_t* int16ChannelData(std::uint32_t area = 0) const;

    // Appends `frameCount` frames of `source`, starting at its frame `startingFrame`, after this
    // buffer's frames. Fails (false, with a log line) when the formats differ ("Format
    // mismatch"), when the start is negative or the source holds too few frames ("Insufficient
    // audio in buffer"), or when either buffer holds no float samples ("Failed to access float
    // channel data"). When this buffer lacks room, only what fits is appended ("Insufficient
    // space in buffer, reducing frame count to fit"). Every channel is copied.
    bool appendContents(const AudioPCMBuffer& source, std::int64_t startingFrame, std::uint32_t frameCount);

private:
    AudioFormat format_;
    std::uint32_t frameCapacity_;
    std::uint32_t frameLength_ = 0;
    std::vector<std::vector<float>> floatAreas_;
    std::vector<std::vector<std::int16_t>> int16Areas_;
};

}  // namespace murmex
