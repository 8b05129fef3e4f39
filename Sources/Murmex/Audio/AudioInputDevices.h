#pragma once

#include "Murmex/Audio/AudioDevice.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace murmex {

// A stream of audio captured from one input device. It delivers its first channel, buffer after
// buffer at its own rate, to the handler it was opened with, on a thread of its own.
class AudioInputStream {
public:
    // Receives `count` captured samples (the first channel, at the stream's rate).
    using BufferHandler = std::function<void(const float* samples, std::size_t count)>;

    // Ends the capture as `stop` does.
    virtual ~AudioInputStream() = default;

    // The rate of the delivered samples.
    virtual double sampleRate() const = 0;

    // Starts capturing, or goes on after a pause. Throws AudioCaptureError when the device
    // cannot start.
    virtual void start() = 0;
    // Stops capturing for now; when it returns, no handler call is running (unless it is called
    // from the handler itself) and none follows until the next start.
    virtual void pause() = 0;
    // Ends the capture for good and releases the device; when it returns, no handler call is
    // running (unless it is called from the handler itself) and none follows.
    virtual void stop() = 0;
};

// The audio input devices of the system.
class AudioInputDevices {
public:
    virtual ~AudioInputDevices() = default;

    // The devices that have input channels, in the system's order; empty (with an error line in
    // the log) when they cannot be listed.
    virtual std::vector<AudioDevice> inputDevices() = 0;
    // The system's default input, if there is one.
    virtual std::optional<AudioDeviceID> defaultInputDevice() = 0;
    // Opens a stream on the input device that delivers buffers of about `bufferDuration`
    // seconds to `handler`; it captures nothing until it is started. Throws AudioCaptureError
    // when the device cannot be opened.
    virtual std::unique_ptr<AudioInputStream> openInputStream(AudioDeviceID device, double bufferDuration,
                                                              AudioInputStream::BufferHandler handler) = 0;
};

}  // namespace murmex
