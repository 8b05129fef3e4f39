#include "Murmex/Audio/AudioConverter.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

namespace murmex {

namespace {

bool representable(const AudioFormat& format) { return format.channelCount <= 64; }

// The sample of a channel at a frame, as a float in [-1, 1], whatever the buffer's layout.
double sampleAt(const AudioPCMBuffer& buffer, uint32_t channel, uint32_t frame) {
    const AudioFormat& format = buffer.format();
    uint32_t area = format.interleaved ? 0 : channel;
    size_t index = size_t(frame) * buffer.stride() + (format.interleaved ? channel : 0);
    if (format.commonFormat == AudioCommonFormat::int16) {
        return buffer.int16ChannelData(area)[index] / 32768.0;
    }
    return buffer.floatChannelData(area)[index];
}

void setSample(AudioPCMBuffer& buffer, uint32_t channel, uint32_t frame, double value) {
    const AudioFormat& format = buffer.format();
    uint32_t area = format.interleaved ? 0 : channel;
    size_t index = size_t(frame) * buffer.stride() + (format.interleaved ? channel : 0);
    if (format.commonFormat == AudioCommonFormat::int16) {
        buffer.int16ChannelData(area)[index] = int16_t(std::clamp(std::lround(value * 32768.0), -32768L, 32767L));
    } else {
        buffer.floatChannelData(area)[index] = float(value);
    }
}

// For inputs shorter than the resampling filter the library yields nothing; those few frames
// are resampled by linear interpolation instead. Channels are matched one to one (the last input
// channel repeated when the output has more).
void interpolate(AudioPCMBuffer& output, const AudioPCMBuffer& input, uint32_t frames, double firstInputFrame) {
    uint32_t outChannels = output.format().channelCount;
    uint32_t inChannels = input.format().channelCount;
    double step = input.format().sampleRate / output.format().sampleRate;
    uint32_t last = input.frameLength() - 1;
    for (uint32_t c = 0; c < outChannels; ++c) {
        const uint32_t source = std::min(c, inChannels - 1);
        for (uint32_t k = 0; k < frames; ++k) {
            double position = std::min(firstInputFrame + double(k) * step, double(last));
            auto left = uint32_t(position);
            uint32_t right = std::min(left + 1, last);
            double fraction = position - left;
            setSample(output, c, k,
                      sampleAt(input, source, left) * (1 - fraction) + sampleAt(input, source, right) * fraction);
        }
    }
}

// The data pointers of a buffer's channel areas, starting at a frame.
template <class Pointer>
std::vector<Pointer> areas(const AudioPCMBuffer& buffer, uint32_t frame) {
    const AudioFormat& format = buffer.format();
    std::vector<Pointer> pointers(buffer.channelAreaCount());
    size_t offset = size_t(frame) * buffer.stride() * format.bytesPerSample();
    for (uint32_t area = 0; area < pointers.size(); ++area) {
        const void* base = format.commonFormat == AudioCommonFormat::int16
                               ? static_cast<const void*>(buffer.int16ChannelData(area))
                               : static_cast<const void*>(buffer.floatChannelData(area));
        pointers[area] = Pointer(static_cast<const uint8_t*>(base) + offset);
    }
    return pointers;
}

}  // namespace

std::unique_ptr<AudioConverter> AudioConverter::make(const AudioFormat& input, const AudioFormat& output) {
    if (!representable(input) || !representable(output)) {
        return nullptr;
    }
    try {
        // Fewer channels out than in: the first channels are kept as they are and the others
        // dropped, never folded in.
        return std::make_unique<AudioConverter>(
            Token{}, std::make_unique<Resampler>(input, output, Resampler::Downmix::firstChannels));
    } catch (const ResamplerError&) {
        return nullptr;
    }
}

AudioConverter::AudioConverter(Token, std::unique_ptr<Resampler> resampler)
    : input_(resampler->inputFormat()), output_(resampler->outputFormat()), resampler_(std::move(resampler)) {}

AudioConverter::~AudioConverter() = default;

AudioConverter::Status AudioConverter::convert(AudioPCMBuffer& output, const AudioPCMBuffer& input,
                                               std::string& errorDescription, uint32_t dropFrames,
                                               std::optional<uint32_t> frameCount) {
    output.setFrameLength(0);
    if (!(input.format() == input_) || !(output.format() == output_)) {
        errorDescription = "The buffers' formats do not match the converter's";
        return Status::error;
    }
    if (frameCount.value_or(0) > output.frameCapacity()) {
        errorDescription = "The output buffer is too small";
        return Status::error;
    }
    if (input.frameLength() == 0) {
        return Status::endOfStream;
    }
    try {
        if (used_) {
            // Start from a clean state: nothing of the previous conversion carries over.
            resampler_->restart();
        }
    } catch (const ResamplerError& error) {
        errorDescription = "The resampler could not be reset (" + error.reason() + ")";
        return Status::error;
    }
    used_ = true;
    try {
        if (dropFrames > 0) resampler_->dropOutput(int(std::min<uint32_t>(dropFrames, INT_MAX)));
    } catch (const ResamplerError& error) {
        errorDescription = "The resampler could not skip its lead-in (" + error.reason() + ")";
        return Status::error;
    }

    const uint32_t capacity = frameCount.value_or(output.frameCapacity());
    // The filter's tail can add a frame or two past the capacity; those are drained into a
    // scratch area and dropped.
    constexpr int spare = 1024;
    std::vector<uint8_t> scratch(size_t(spare) * output_.channelCount * output_.bytesPerSample());
    std::vector<uint8_t*> sink(output.channelAreaCount());
    for (size_t area = 0; area < sink.size(); ++area) {
        sink[area] = scratch.data() + area * (scratch.size() / sink.size());
    }
    uint32_t written = 0;
    auto step = [&](const uint8_t** source, int frames) {
        int room = int(capacity - written);
        std::vector<uint8_t*> out = room > 0 ? areas<uint8_t*>(output, written) : sink;
        const int produced = resampler_->convert(out.data(), room > 0 ? room : spare, source, frames);
        if (room > 0) {
            written += uint32_t(produced);
        }
        return produced;
    };
    // Feed the input (in slices, which keeps the resampler's own buffers small), then drain the
    // filter: a call without input flushes it.
    constexpr uint32_t slice = 1 << 15;
    try {
        for (uint32_t offset = 0; offset < input.frameLength(); offset += slice) {
            auto source = areas<const uint8_t*>(input, offset);
            step(source.data(), int(std::min(slice, input.frameLength() - offset)));
        }
        while (step(nullptr, 0) > 0) {}
    } catch (const ResamplerError& error) {
        errorDescription = "The resampler failed (" + error.reason() + ")";
        return Status::error;
    }
    output.setFrameLength(capacity);
    // Nothing, or too little, from the filter (an input shorter than it): the frames are
    // interpolated from the input, so even a single frame keeps its value.
    if (written == 0 || written + 1 < capacity) {
        interpolate(output, input, capacity, double(dropFrames) * input_.sampleRate / output_.sampleRate);
    } else if (written < capacity) {
        for (uint32_t c = 0; c < output_.channelCount; ++c) {
            double held = written > 0 ? sampleAt(output, c, written - 1) : 0.0;
            for (uint32_t k = written; k < capacity; ++k) {
                setSample(output, c, k, held);
            }
        }
    }
    return Status::haveData;
}

}  // namespace murmex
