#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace halvex {

// Holds one object weakly and may be handed to concurrent tasks. `value()` gives a live
// strong reference, or nothing once the object has been released.
template <typename T>
class WeakSendableWrapper {
public:
    explicit WeakSendableWrapper(const std::shared_ptr<T>& object = nullptr) : value_(object) {}

    std::shared_ptr<T> value() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return value_.lock();
    }

    void setValue(const std::shared_ptr<T>& object) {
        std::lock_guard<std::mutex> guard(mutex_);
        value_ = object;
    }

private:
    mutable std::mutex mutex_;
    std::weak_ptr<T> value_;
};

}  // namespace halvex
