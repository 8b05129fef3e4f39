#include "Murmex/Audio/AudioCaptureError.h"

namespace murmex {

AudioCaptureError::AudioCaptureError(const std::string& call, int code, const std::string& description)
    : std::runtime_error(call + " failed: " + description), call_(call), code_(code) {}

}  // namespace murmex
