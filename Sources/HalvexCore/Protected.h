#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace halvex {

// A value that lives inside its own lock. Copies share the lock and therefore the value.
// Reading copies the value out under the lock; writing replaces it (the old value is
// released under the lock); `modify` holds the lock for the whole change.
template <typename Value>
class Protected {
public:
    // Starts with a value-initialised Value (no value for an optional).
    Protected() : state_(std::make_shared<State>()) {}
    Protected(Value wrappedValue) : state_(std::make_shared<State>(std::move(wrappedValue))) {}

    Value get() const {
        std::lock_guard<std::mutex> guard(state_->mutex);
        return state_->value;
    }
    Value wrappedValue() const { return get(); }

    void set(Value value) {
        std::lock_guard<std::mutex> guard(state_->mutex);
        state_->value = std::move(value);
    }

    Protected& operator=(Value value) {
        set(std::move(value));
        return *this;
    }

    // Runs `change` on the value in place under the lock and returns its result. The change
    // must not touch this wrapper again (the lock is not recursive).
    template <typename Change>
    decltype(auto) modify(Change&& change) {
        std::lock_guard<std::mutex> guard(state_->mutex);
        return std::forward<Change>(change)(state_->value);
    }

private:
    struct State {
        State() : value() {}
        explicit State(Value initial) : value(std::move(initial)) {}
        std::mutex mutex;
        Value value;
    };
    std::shared_ptr<State> state_;
};

}  // namespace halvex
