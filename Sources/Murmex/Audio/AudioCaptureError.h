#pragma once

#include <stdexcept>
#include <string>

namespace murmex {

// A failure of the audio capture library: the call that failed, the library's error code and
// its description ("Pa_StartStream failed: Device unavailable").
class AudioCaptureError : public std::runtime_error {
public:
    AudioCaptureError(const std::string& call, int code, const std::string& description);

    const std::string& call() const { return call_; }
    int code() const { return code_; }

private:
    std::string call_;
    int code_;
};

}  // namespace murmex
