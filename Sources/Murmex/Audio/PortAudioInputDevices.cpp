#include "Murmex/Audio/PortAudioInputDevices.h"

#include "Murmex/Audio/AudioCaptureError.h"
#include "Murmex/Audio/AudioLog.h"
#include "Murmex/Audio/QueuedAudioInputStream.h"
#include "Platform/ML/AudioWindow.h"

#include <portaudio.h>

#include <dlfcn.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

namespace murmex {

namespace {

// The library is not safe to start, stop or query from several threads at once.
std::mutex& libraryMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string errorText(PaError code) {
    const char* text = Pa_GetErrorText(code);
    return text ? text : "unknown error";
}

void soundSystemMessage(const char* text) {
    std::string line = text ? text : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    audiolog::debug("Sound system: " + line);
}

void alsaMessage(const char* file, int line, const char* function, int code, const char* format, ...) {
    (void)file;
    (void)line;
    (void)function;
    (void)code;
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof(text), format, arguments);
    va_end(arguments);
    soundSystemMessage(text);
}

// The sound systems PortAudio drives write their complaints (no sound card, no sound server) to
// the standard error; they are sent to the log instead, where they are found if needed.
void routeSoundSystemMessages() {
    static std::once_flag once;
    std::call_once(once, [] {
        using AlsaHandler = void (*)(const char*, int, const char*, int, const char*, ...);
        using SetAlsaHandler = int (*)(AlsaHandler);
        if (void* set = dlsym(RTLD_DEFAULT, "snd_lib_error_set_handler")) {
            reinterpret_cast<SetAlsaHandler>(set)(&alsaMessage);
        }
        using JackHandler = void (*)(const char*);
        using SetJackHandler = void (*)(JackHandler);
        for (const char* name : {"jack_set_error_function", "jack_set_info_function"}) {
            if (void* set = dlsym(RTLD_DEFAULT, name)) reinterpret_cast<SetJackHandler>(set)(&soundSystemMessage);
        }
    });
}

// The library started for the life of the object.
class Session {
public:
    Session() {
        routeSoundSystemMessages();
        std::lock_guard<std::mutex> guard(libraryMutex());
        const PaError status = Pa_Initialize();
        if (status != paNoError) throw AudioCaptureError("Pa_Initialize", status, errorText(status));
    }
    ~Session() {
        std::lock_guard<std::mutex> guard(libraryMutex());
        Pa_Terminate();
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
};

class PortAudioInputStream final : public QueuedAudioInputStream {
public:
    PortAudioInputStream(std::unique_ptr<Session> session, const PaStreamParameters& parameters, double rate,
                         std::size_t framesPerBuffer, BufferHandler handler)
        : QueuedAudioInputStream(rate, framesPerBuffer, std::move(handler)), session_(std::move(session)) {
        std::lock_guard<std::mutex> guard(libraryMutex());
        const PaError status =
            Pa_OpenStream(&stream_, &parameters, nullptr, rate, static_cast<unsigned long>(framesPerBuffer), paClipOff,
                          &PortAudioInputStream::captured, this);
        if (status != paNoError) {
            stream_ = nullptr;
            throw AudioCaptureError("Pa_OpenStream", status, errorText(status));
        }
    }

    ~PortAudioInputStream() override { stop(); }

private:
    static int captured(const void* input, void* output, unsigned long frames, const PaStreamCallbackTimeInfo* time,
                        PaStreamCallbackFlags flags, void* user) {
        (void)output;
        (void)time;
        (void)flags;
        if (input != nullptr) {
            const auto* planes = static_cast<const float* const*>(input);
            static_cast<PortAudioInputStream*>(user)->push(planes[0], frames);
        }
        return paContinue;
    }

    void startDevice() override {
        std::lock_guard<std::mutex> guard(libraryMutex());
        if (stream_ == nullptr || Pa_IsStreamActive(stream_) == 1) return;
        const PaError status = Pa_StartStream(stream_);
        if (status != paNoError) throw AudioCaptureError("Pa_StartStream", status, errorText(status));
    }

    void pauseDevice() override {
        std::lock_guard<std::mutex> guard(libraryMutex());
        if (stream_ != nullptr && Pa_IsStreamActive(stream_) == 1) Pa_StopStream(stream_);
    }

    void stopDevice() override {
        std::lock_guard<std::mutex> guard(libraryMutex());
        if (stream_ == nullptr) return;
        if (Pa_IsStreamStopped(stream_) == 0) Pa_AbortStream(stream_);
        Pa_CloseStream(stream_);
        stream_ = nullptr;
    }

    std::unique_ptr<Session> session_;
    PaStream* stream_ = nullptr;
};

}  // namespace

std::shared_ptr<PortAudioInputDevices> PortAudioInputDevices::shared() {
    static const auto instance = std::make_shared<PortAudioInputDevices>();
    return instance;
}

std::vector<AudioDevice> PortAudioInputDevices::inputDevices() {
    std::unique_ptr<Session> session;
    try {
        session = std::make_unique<Session>();
    } catch (const AudioCaptureError& error) {
        audiolog::error("Error: Unable to get the number of audio devices.");
        audiolog::debug(error.what());
        return {};
    }
    std::lock_guard<std::mutex> guard(libraryMutex());
    const PaDeviceIndex count = Pa_GetDeviceCount();
    if (count < 0) {
        audiolog::error("Error: Unable to get the number of audio devices.");
        return {};
    }
    std::vector<AudioDevice> devices;
    for (PaDeviceIndex index = 0; index < count; ++index) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
        if (info == nullptr || info->maxInputChannels <= 0) continue;
        devices.push_back(AudioDevice{AudioDeviceID(index), info->name ? info->name : ""});
    }
    return devices;
}

std::optional<AudioDeviceID> PortAudioInputDevices::defaultInputDevice() {
    std::unique_ptr<Session> session;
    try {
        session = std::make_unique<Session>();
    } catch (const AudioCaptureError& error) {
        audiolog::debug(error.what());
        return std::nullopt;
    }
    std::lock_guard<std::mutex> guard(libraryMutex());
    const PaDeviceIndex index = Pa_GetDefaultInputDevice();
    if (index == paNoDevice) return std::nullopt;
    const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
    if (info == nullptr || info->maxInputChannels <= 0) return std::nullopt;
    return AudioDeviceID(index);
}

std::unique_ptr<AudioInputStream> PortAudioInputDevices::openInputStream(AudioDeviceID device, double bufferDuration,
                                                                         AudioInputStream::BufferHandler handler) {
    auto session = std::make_unique<Session>();
    PaStreamParameters parameters{};
    double rate = 0;
    {
        std::lock_guard<std::mutex> guard(libraryMutex());
        const PaDeviceInfo* info = device <= AudioDeviceID(INT_MAX) && PaDeviceIndex(device) < Pa_GetDeviceCount()
                                       ? Pa_GetDeviceInfo(PaDeviceIndex(device))
                                       : nullptr;
        if (info == nullptr || info->maxInputChannels <= 0) {
            throw AudioCaptureError("Pa_GetDeviceInfo", paInvalidDevice, errorText(paInvalidDevice));
        }
        parameters.device = PaDeviceIndex(device);
        parameters.sampleFormat = paFloat32 | paNonInterleaved;
        parameters.suggestedLatency = info->defaultLowInputLatency;
        parameters.hostApiSpecificStreamInfo = nullptr;
        PaError status = paInvalidSampleRate;
        for (int channels : {1, info->maxInputChannels}) {
            for (double candidate : {double(platform::audiowindow::sampleRate), info->defaultSampleRate}) {
                parameters.channelCount = channels;
                status = Pa_IsFormatSupported(&parameters, nullptr, candidate);
                if (status == paFormatIsSupported) {
                    rate = candidate;
                    break;
                }
            }
            if (rate > 0) break;
        }
        if (rate <= 0) throw AudioCaptureError("Pa_IsFormatSupported", status, errorText(status));
    }
    const auto frames = std::size_t(std::max(1L, std::lround(bufferDuration * rate)));
    return std::make_unique<PortAudioInputStream>(std::move(session), parameters, rate, frames, std::move(handler));
}

}  // namespace murmex
