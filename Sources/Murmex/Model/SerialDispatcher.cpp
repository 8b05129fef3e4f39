#include "Murmex/Model/SerialDispatcher.h"

#include <exception>
#include <string>

#include "HalvexCore/Logging.h"

namespace murmex {

SerialDispatcher::~SerialDispatcher() {
    const bool fromOwnThread = thread_.joinable() && thread_.get_id() == std::this_thread::get_id();
    {
        std::lock_guard lock(core_->mutex);
        core_->stopping = true;
        if (fromOwnThread) core_->queue.clear();
    }
    core_->wake.notify_all();
    if (fromOwnThread) {
        thread_.detach();
    } else if (thread_.joinable()) {
        thread_.join();
    }
}

void SerialDispatcher::post(std::function<void()> work) {
    {
        std::lock_guard lock(core_->mutex);
        core_->queue.push_back(std::move(work));
        ++core_->posted;
        if (!thread_.joinable()) thread_ = std::thread([core = core_] { run(core); });
    }
    core_->wake.notify_one();
}

void SerialDispatcher::waitUntilIdle() {
    std::unique_lock lock(core_->mutex);
    const std::uint64_t target = core_->posted;
    if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) return;  // the work itself asks
    core_->idle.wait(lock, [&] { return core_->finished >= target; });
}

void SerialDispatcher::run(const std::shared_ptr<Core>& core) {
    std::unique_lock lock(core->mutex);
    for (;;) {
        core->wake.wait(lock, [&] { return core->stopping || !core->queue.empty(); });
        if (core->queue.empty()) return;  // stopping, and nothing left to run
        std::function<void()> work = std::move(core->queue.front());
        core->queue.pop_front();
        lock.unlock();
        try {
            work();
        } catch (const std::exception& error) {
            halvex::Logging::error("Progress callback failed: " + std::string(error.what()));
        } catch (...) {
            halvex::Logging::error("Progress callback failed");
        }
        // The work's own captures go before the count: they may hold the last reference to
        // what owns this dispatcher.
        work = nullptr;
        lock.lock();
        ++core->finished;
        core->idle.notify_all();
    }
}

}  // namespace murmex
