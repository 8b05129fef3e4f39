#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "Murmex/Model/AsyncThrowingStream.h"
#include "Murmex/Model/StageValueTypes.h"

namespace murmex {

// An audio input device; absent means the system's default input.
using AudioDeviceID = std::uint32_t;

// The audio stage as the transcription task and the live transcriber use it: window padding
// and live capture. Reading files is done by the standard audio processor's own static
// operations, which a replacement stage does not change.
class AudioProcessing {
public:
    using SampleCallback = std::function<void(const std::vector<float>&)>;
    using SampleStream = AsyncThrowingStream<std::vector<float>>;

    virtual ~AudioProcessing() = default;

    // The samples captured so far (16 kHz mono).
    virtual std::vector<float> audioSamples() const = 0;
    // How many samples `audioSamples` holds. Stages that keep their samples answer without
    // copying them; this default copies.
    virtual std::int64_t audioSampleCount() const { return static_cast<std::int64_t>(audioSamples().size()); }
    // A copy of the captured samples from index `from` up to `to` (exclusive), cut to what is
    // held. Stages that keep their samples copy only that stretch; this default copies all.
    virtual std::vector<float> copyAudioSamples(std::int64_t from, std::int64_t to) const {
        std::vector<float> all = audioSamples();
        const auto size = static_cast<std::int64_t>(all.size());
        to = std::clamp<std::int64_t>(to, 0, size);
        from = std::clamp<std::int64_t>(from, 0, to);
        return std::vector<float>(all.begin() + from, all.begin() + to);
    }
    // Drops all but the last `keepingLast` captured samples.
    virtual void purgeAudioSamples(std::int64_t keepingLast) = 0;
    // One relative energy (0 to 1) per captured buffer.
    virtual std::vector<float> relativeEnergy() const = 0;
    virtual int relativeEnergyWindow() const = 0;
    virtual void setRelativeEnergyWindow(int window) = 0;

    // Starts capturing; the callback receives each new sample array. Throws when capture
    // cannot start.
    virtual void startRecordingLive(std::optional<AudioDeviceID> inputDeviceID = std::nullopt,
                                    SampleCallback callback = nullptr) = 0;
    // Starts capturing into a stream; the caller finishes the continuation to end it.
    virtual std::pair<SampleStream, SampleStream::Continuation> startStreamingRecordingLive(
        std::optional<AudioDeviceID> inputDeviceID = std::nullopt) = 0;
    virtual void pauseRecording() = 0;
    virtual void stopRecording() = 0;
    virtual void resumeRecordingLive(std::optional<AudioDeviceID> inputDeviceID = std::nullopt,
                                     SampleCallback callback = nullptr) = 0;

    // `length` samples of `audioArray` from `startAt`, padded with zeros or trimmed; null when
    // it cannot be produced.
    virtual std::shared_ptr<AudioProcessorOutputType> padOrTrim(const std::vector<float>& audioArray,
                                                                std::int64_t startAt, std::int64_t length) = 0;
};

}  // namespace murmex
