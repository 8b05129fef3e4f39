#pragma once

#include "HalvexCore/UnfairLock.h"

#include <memory>
#include <type_traits>
#include <utility>

#include <nlohmann/json.hpp>

namespace halvex {

// A value kept behind its own lock, for fields that several tasks fill. Every read, write
// and change holds the lock; `modify` holds it from the read to the write-back, so two
// concurrent changes never lose one another's update. Its JSON form is the bare value.
template <typename Value>
class PropertyLock {
public:
    PropertyLock() : lock_(std::make_shared<UnfairLock>()), value_() {}
    PropertyLock(Value wrappedValue) : lock_(std::make_shared<UnfairLock>()), value_(std::move(wrappedValue)) {}

    // Copies take the value under the source's lock and get a lock of their own.
    PropertyLock(const PropertyLock& other) : lock_(std::make_shared<UnfairLock>()), value_(other.get()) {}
    PropertyLock& operator=(const PropertyLock& other) {
        if (this != &other) set(other.get());
        return *this;
    }
    PropertyLock& operator=(Value value) {
        set(std::move(value));
        return *this;
    }

    // A copy of the value.
    Value get() const {
        return lock_->withLock([&] { return value_; });
    }
    Value wrappedValue() const { return get(); }

    void set(Value value) {
        lock_->withLock([&] { value_ = std::move(value); });
    }

    // Runs `change` on the value in place while holding the lock, and returns its result.
    // The change must not touch this wrapper again (the lock is not recursive).
    template <typename Change>
    decltype(auto) modify(Change&& change) {
        return lock_->withLock([&]() -> decltype(auto) { return std::forward<Change>(change)(value_); });
    }

    // Encodes the bare value while holding the lock.
    friend void to_json(nlohmann::json& json, const PropertyLock& property) {
        property.lock_->withLock([&] { json = property.value_; });
    }
    friend void from_json(const nlohmann::json& json, PropertyLock& property) { property.set(json.get<Value>()); }

private:
    std::shared_ptr<UnfairLock> lock_;
    Value value_;
};

}  // namespace halvex
