#include "Murmex/Audio/AudioPCMBuffer.h"

#include <algorithm>
#include <cstring>

#include "Murmex/Model/MurmexLog.h"

namespace murmex {

AudioPCMBuffer::AudioPCMBuffer(AudioFormat format, std::uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity) {
    const std::size_t samplesPerArea = static_cast<std::size_t>(frameCapacity_) * stride();
    if (format_.commonFormat == AudioCommonFormat::float32) {
        floatAreas_.assign(channelAreaCount(), std::vector<float>(samplesPerArea, 0.0f));
    } else {
        int16Areas_.assign(channelAreaCount(), std::vector<std::int16_t>(samplesPerArea, 0));
    }
}

void AudioPCMBuffer::setFrameLength(std::uint32_t frameLength) { frameLength_ = std::min(frameLength, frameCapacity_); }

float* AudioPCMBuffer::floatChannelData(std::uint32_t area) {
    return area < floatAreas_.size() ? floatAreas_[area].data() : nullptr;
}

const float* AudioPCMBuffer::floatChannelData(std::uint32_t area) const {
    return area < floatAreas_.size() ? floatAreas_[area].data() : nullptr;
}

std::int16_t* AudioPCMBuffer::int16ChannelData(std::uint32_t area) {
    return area < int16Areas_.size() ? int16Areas_[area].data() : nullptr;
}

const std::int16_t* AudioPCMBuffer::int16ChannelData(std::uint32_t area) const {
    return area < int16Areas_.size() ? int16Areas_[area].data() : nullptr;
}

bool AudioPCMBuffer::appendContents(const AudioPCMBuffer& source, std::int64_t startingFrame,
                                    std::uint32_t frameCount) {
    if (!(format_ == source.format_)) {
        log::debug("Format mismatch");
        return false;
    }
    // A negative start would read before the source's samples.
    if (startingFrame < 0 ||
        startingFrame + static_cast<std::int64_t>(frameCount) > static_cast<std::int64_t>(source.frameLength_)) {
        log::error("Insufficient audio in buffer");
        return false;
    }
    if (floatChannelData() == nullptr || source.floatChannelData() == nullptr) {
        log::error("Failed to access float channel data");
        return false;
    }
    if (static_cast<std::uint64_t>(frameLength_) + frameCount > frameCapacity_) {
        log::debug("Insufficient space in buffer, reducing frame count to fit");
        frameCount = frameCapacity_ - frameLength_;
    }
    // Every channel area is copied, so a non-interleaved buffer keeps all its channels in step
    // with the frame length.
    const std::size_t samplesPerFrame = stride();
    for (std::uint32_t area = 0; area < channelAreaCount(); ++area) {
        const float* from = source.floatChannelData(area) + static_cast<std::size_t>(startingFrame) * samplesPerFrame;
        float* to = floatChannelData(area) + static_cast<std::size_t>(frameLength_) * samplesPerFrame;
        std::memcpy(to, from, static_cast<std::size_t>(frameCount) * samplesPerFrame * sizeof(float));
    }
    frameLength_ += frameCount;
    return true;
}

}  // namespace murmex
