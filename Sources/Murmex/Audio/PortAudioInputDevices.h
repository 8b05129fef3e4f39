#pragma once

#include "Murmex/Audio/AudioInputDevices.h"

#include <memory>

namespace murmex {

// The system's input devices through PortAudio. A device's identifier is its PortAudio device
// index, which names the same device until the devices of the system change. Each operation
// starts the library for its own duration (an open stream keeps it started), so the list
// follows devices plugged in or removed meanwhile. The sound systems' own messages go to the
// log at debug level rather than to the standard error.
class PortAudioInputDevices : public AudioInputDevices {
public:
    // The one instance the audio processors share.
    static std::shared_ptr<PortAudioInputDevices> shared();

    std::vector<AudioDevice> inputDevices() override;
    std::optional<AudioDeviceID> defaultInputDevice() override;
    // One channel where the device offers it (else its first channel is used), at 16 kHz where
    // the device offers it, else at the device's default rate. Throws AudioCaptureError naming
    // the library call that failed.
    std::unique_ptr<AudioInputStream> openInputStream(AudioDeviceID device, double bufferDuration,
                                                      AudioInputStream::BufferHandler handler) override;
};

}  // namespace murmex
