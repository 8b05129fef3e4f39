#pragma once

#include <mutex>
#include <utility>

namespace halvex {

// A plain, non-recursive lock with a scoped operation. The lock is released when the body
// returns or throws; an exception passes through unchanged.
class UnfairLock {
public:
    UnfairLock() = default;
    UnfairLock(const UnfairLock&) = delete;
    UnfairLock& operator=(const UnfairLock&) = delete;

    template <typename Body>
    decltype(auto) withLock(Body&& body) {
        std::lock_guard<std::mutex> guard(mutex_);
        return std::forward<Body>(body)();
    }

    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }
    bool try_lock() { return mutex_.try_lock(); }

private:
    std::mutex mutex_;
};

}  // namespace halvex
