#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace halvex {

// Fans each broadcast value out to every subscriber, in broadcast order, and keeps the latest
// one so that a subscriber who arrives late starts from it (or from the initial value when
// nothing was broadcast yet). Delivery happens on the broadcasting thread, under a recursive
// lock: values from different threads never interleave for one subscriber, and a subscriber
// may broadcast or subscribe from inside its callback.
template <typename T>
class Broadcaster {
public:
    using Callback = std::function<void(const T&)>;

private:
    struct State {
        std::recursive_mutex mutex;
        std::optional<T> latestState;
        std::map<std::uint64_t, std::shared_ptr<Callback>> subscribers;
        std::uint64_t nextIdentifier = 0;
    };

public:
    // Ends its subscription when destroyed or cancelled.
    class Subscription {
    public:
        Subscription() = default;
        Subscription(Subscription&& other) noexcept { *this = std::move(other); }
        Subscription& operator=(Subscription&& other) noexcept {
            if (this != &other) {
                cancel();
                state_ = std::move(other.state_);
                identifier_ = other.identifier_;
                other.state_.reset();
            }
            return *this;
        }
        Subscription(const Subscription&) = delete;
        Subscription& operator=(const Subscription&) = delete;
        ~Subscription() { cancel(); }

        void cancel() {
            if (auto state = state_.lock()) {
                std::lock_guard lock(state->mutex);
                state->subscribers.erase(identifier_);
            }
            state_.reset();
        }

    private:
        friend class Broadcaster;
        Subscription(std::weak_ptr<State> state, std::uint64_t identifier)
            : state_(std::move(state)), identifier_(identifier) {}

        std::weak_ptr<State> state_;
        std::uint64_t identifier_ = 0;
    };

    explicit Broadcaster(std::function<std::optional<T>()> initialState)
        : initialState_(std::move(initialState)), state_(std::make_shared<State>()) {}

    [[nodiscard]] Subscription subscribe(Callback callback) {
        std::lock_guard lock(state_->mutex);
        auto identifier = state_->nextIdentifier++;
        auto shared = std::make_shared<Callback>(std::move(callback));
        state_->subscribers.emplace(identifier, shared);
        if (state_->latestState) {
            (*shared)(*state_->latestState);
        } else if (initialState_) {
            if (auto initial = initialState_()) {
                (*shared)(*initial);
            }
        }
        return Subscription(state_, identifier);
    }

    void broadcast(const T& value) {
        std::lock_guard lock(state_->mutex);
        state_->latestState = value;
        std::vector<std::shared_ptr<Callback>> receivers;
        receivers.reserve(state_->subscribers.size());
        for (const auto& entry : state_->subscribers) {
            receivers.push_back(entry.second);
        }
        for (const auto& receiver : receivers) {
            (*receiver)(value);
        }
    }

    std::optional<T> latestState() const {
        std::lock_guard lock(state_->mutex);
        return state_->latestState;
    }

    std::size_t subscriberCount() const {
        std::lock_guard lock(state_->mutex);
        return state_->subscribers.size();
    }

private:
    std::function<std::optional<T>()> initialState_;
    std::shared_ptr<State> state_;
};

}  // namespace halvex
