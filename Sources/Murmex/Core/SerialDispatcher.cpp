#include "Murmex/Core/SerialDispatcher.h"

#include <exception>
#include <string>

#include "HalvexCore/Logging.h"

namespace murmex {

SerialDispatcher::~SerialDispatcher() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void SerialDispatcher::post(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(work));
        ++posted_;
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    }
    wake_.notify_one();
}

void SerialDispatcher::waitUntilIdle() {
    std::unique_lock lock(mutex_);
    const std::uint64_t target = posted_;
    idle_.wait(lock, [&] { return finished_ >= target; });
}

void SerialDispatcher::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping, and nothing left to run
        std::function<void()> work = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        try {
            work();
        } catch (const std::exception& error) {
            halvex::Logging::error("Progress callback failed: " + std::string(error.what()));
        } catch (...) {
            halvex::Logging::error("Progress callback failed");
        }
        lock.lock();
        ++finished_;
        idle_.notify_all();
    }
}

}  // namespace murmex
