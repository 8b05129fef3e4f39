#pragma once

#include "Murmex/Audio/AudioInputDevices.h"

#include <cstddef>
#include <memory>
#include <thread>

namespace murmex {

// An input stream whose device hands its captured samples over from any thread (a real-time
// audio thread too): they go into a fixed ring, and a delivery thread of the stream's own cuts
// them into buffers of `framesPerBuffer` samples for the handler, so the device is never held
// up by the handler. When the handler falls behind by more than the ring holds, the oldest
// samples are dropped (an error line tells how many).
//
// Subclasses start, pause and stop their device, and must call `stop()` in their destructor.
class QueuedAudioInputStream : public AudioInputStream {
public:
    // The ring holds `ringBuffers` buffers.
    QueuedAudioInputStream(double sampleRate, std::size_t framesPerBuffer, BufferHandler handler,
                           std::size_t ringBuffers = 200);
    ~QueuedAudioInputStream() override;
    QueuedAudioInputStream(const QueuedAudioInputStream&) = delete;
    QueuedAudioInputStream& operator=(const QueuedAudioInputStream&) = delete;

    double sampleRate() const override { return sampleRate_; }
    std::size_t framesPerBuffer() const { return framesPerBuffer_; }

    // Starting a stream that has been stopped does nothing.
    void start() override;
    void pause() override;
    void stop() override;

protected:
    // Hands over `count` captured samples, every `stride`-th value from `samples` on. Allocates
    // nothing and holds a lock only to copy; ignored unless the stream runs.
    void push(const float* samples, std::size_t count, std::size_t stride = 1);

    // Throws AudioCaptureError when the device cannot start.
    virtual void startDevice() = 0;
    virtual void pauseDevice() = 0;
    // Releases the device; no `push` follows.
    virtual void stopDevice() = 0;

private:
    struct Shared;
    static void deliver(const std::shared_ptr<Shared>& shared);

    const double sampleRate_;
    const std::size_t framesPerBuffer_;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

}  // namespace murmex
