#include "Murmex/Audio/QueuedAudioInputStream.h"

#include "Murmex/Audio/AudioLog.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace murmex {

enum class StreamState { idle, running, paused, stopped };

struct QueuedAudioInputStream::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    StreamState state = StreamState::idle;
    std::vector<float> ring;
    std::size_t readAt = 0;     // the oldest sample in the ring
    std::size_t available = 0;  // samples in the ring
    std::size_t dropped = 0;    // samples overwritten before delivery, not reported yet
    bool delivering = false;    // a handler call is running
    std::thread::id deliveryThread;
    std::size_t framesPerBuffer = 0;
    BufferHandler handler;

    bool onDeliveryThread() const { return std::this_thread::get_id() == deliveryThread; }
};

QueuedAudioInputStream::QueuedAudioInputStream(double sampleRate, std::size_t framesPerBuffer, BufferHandler handler,
                                               std::size_t ringBuffers)
    : sampleRate_(sampleRate),
      framesPerBuffer_(std::max<std::size_t>(framesPerBuffer, 1)),
      shared_(std::make_shared<Shared>()) {
    shared_->framesPerBuffer = framesPerBuffer_;
    shared_->ring.assign(framesPerBuffer_ * std::max<std::size_t>(ringBuffers, 2), 0.0f);
    shared_->handler = std::move(handler);
}

QueuedAudioInputStream::~QueuedAudioInputStream() {
    {
        std::lock_guard<std::mutex> guard(shared_->mutex);
        shared_->state = StreamState::stopped;
    }
    shared_->changed.notify_all();
    if (thread_.joinable()) {
        // The delivery thread keeps what it uses alive, so it may finish a handler call that
        // destroyed this stream.
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
    }
}

void QueuedAudioInputStream::start() {
    {
        std::lock_guard<std::mutex> guard(shared_->mutex);
        if (shared_->state == StreamState::stopped || shared_->state == StreamState::running) return;
    }
    startDevice();
    {
        std::lock_guard<std::mutex> guard(shared_->mutex);
        if (shared_->state == StreamState::stopped) return;
        shared_->state = StreamState::running;
    }
    shared_->changed.notify_all();
    if (!thread_.joinable()) {
        thread_ = std::thread([shared = shared_] { deliver(shared); });
    }
}

void QueuedAudioInputStream::pause() {
    {
        std::lock_guard<std::mutex> guard(shared_->mutex);
        if (shared_->state != StreamState::running) return;
    }
    pauseDevice();
    std::unique_lock<std::mutex> lock(shared_->mutex);
    if (shared_->state == StreamState::running) shared_->state = StreamState::paused;
    if (!shared_->onDeliveryThread()) {
        shared_->changed.wait(lock, [&] { return !shared_->delivering; });
    }
}

void QueuedAudioInputStream::stop() {
    {
        std::lock_guard<std::mutex> guard(shared_->mutex);
        if (shared_->state == StreamState::stopped) return;
    }
    stopDevice();
    {
        std::lock_guard<std::mutex> guard(shared_->mutex);
        shared_->state = StreamState::stopped;
    }
    shared_->changed.notify_all();
    // From the handler itself, the delivery thread ends once the handler returns; whoever
    // destroys the stream then waits for that.
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void QueuedAudioInputStream::push(const float* samples, std::size_t count, std::size_t stride) {
    {
        std::lock_guard<std::mutex> guard(shared_->mutex);
        if (shared_->state != StreamState::running) return;
        auto& ring = shared_->ring;
        const std::size_t size = ring.size();
        for (std::size_t i = 0; i < count; ++i) {
            ring[(shared_->readAt + shared_->available) % size] = samples[i * stride];
            if (shared_->available < size) {
                ++shared_->available;
            } else {
                // Full: the oldest sample gives way.
                shared_->readAt = (shared_->readAt + 1) % size;
                ++shared_->dropped;
            }
        }
    }
    shared_->changed.notify_all();
}

void QueuedAudioInputStream::deliver(const std::shared_ptr<Shared>& shared) {
    const std::size_t frames = shared->framesPerBuffer;
    std::vector<float> buffer(frames);
    std::unique_lock<std::mutex> lock(shared->mutex);
    shared->deliveryThread = std::this_thread::get_id();
    for (;;) {
        shared->changed.wait(lock, [&] {
            return shared->state == StreamState::stopped ||
                   (shared->state == StreamState::running && shared->available >= frames);
        });
        if (shared->state == StreamState::stopped) break;
        const std::size_t size = shared->ring.size();
        for (std::size_t i = 0; i < frames; ++i) buffer[i] = shared->ring[(shared->readAt + i) % size];
        shared->readAt = (shared->readAt + frames) % size;
        shared->available -= frames;
        const std::size_t dropped = std::exchange(shared->dropped, 0);
        shared->delivering = true;
        lock.unlock();
        if (dropped > 0) {
            audiolog::error("Audio capture fell behind: " + std::to_string(dropped) + " samples were dropped");
        }
        shared->handler(buffer.data(), frames);
        lock.lock();
        shared->delivering = false;
        shared->changed.notify_all();
    }
}

}  // namespace murmex
