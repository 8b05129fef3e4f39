#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace murmex {

// An unbounded stream of values between threads that ends once, normally or with an error.
// The producer holds the `Continuation` (yield, finish); the consumer holds the stream and
// reads with `next()`. Either side ending it runs the termination handler once; so does
// dropping the stream (its last copy) before it has ended, as a reader that walks away.
template <class T>
class AsyncThrowingStream {
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<T> values;
        bool finished = false;
        std::exception_ptr error;
        std::function<void()> onTermination;
    };

    static void terminate(const std::shared_ptr<State>& state, std::exception_ptr error) {
        std::function<void()> handler;
        {
            std::lock_guard<std::mutex> guard(state->mutex);
            if (state->finished) return;
            state->finished = true;
            state->error = std::move(error);
            handler = std::move(state->onTermination);
            state->onTermination = nullptr;
        }
        state->changed.notify_all();
        if (handler) handler();
    }

public:
    class Continuation {
    public:
        // Adds a value unless the stream has ended; returns whether it was added.
        bool yield(T value) const {
            {
                std::lock_guard<std::mutex> guard(state_->mutex);
                if (state_->finished) return false;
                state_->values.push_back(std::move(value));
            }
            state_->changed.notify_all();
            return true;
        }
        // Ends the stream; the reader sees the buffered values, then the error if one is given.
        void finish(std::exception_ptr error = nullptr) const { terminate(state_, std::move(error)); }
        // Runs once when the stream ends, from whichever side ends it.
        void setOnTermination(std::function<void()> handler) const {
            bool runNow = false;
            {
                std::lock_guard<std::mutex> guard(state_->mutex);
                if (state_->finished)
                    runNow = true;
                else
                    state_->onTermination = std::move(handler);
            }
            if (runNow && handler) handler();
        }

    private:
        friend class AsyncThrowingStream;
        explicit Continuation(std::shared_ptr<State> state) : state_(std::move(state)) {}
        std::shared_ptr<State> state_;
    };

    static std::pair<AsyncThrowingStream, Continuation> makeStream() {
        auto state = std::make_shared<State>();
        return {AsyncThrowingStream(state), Continuation(state)};
    }

    // Waits for the next value; no value once the stream has ended and is drained, or rethrows
    // the error it ended with (once).
    std::optional<T> next() {
        std::unique_lock<std::mutex> lock(state_->mutex);
        state_->changed.wait(lock, [&] { return !state_->values.empty() || state_->finished; });
        if (!state_->values.empty()) {
            T value = std::move(state_->values.front());
            state_->values.pop_front();
            return value;
        }
        if (state_->error) {
            std::exception_ptr error = std::exchange(state_->error, nullptr);
            lock.unlock();
            std::rethrow_exception(error);
        }
        return std::nullopt;
    }

    // Keeps `resource` until the last copy of the stream is gone, and releases it only after the
    // stream has ended (its termination handler has run): an owner of the producing thread that
    // joins it there never waits for a producer that has not been told to stop. Call it before
    // the stream is shared.
    void retain(std::shared_ptr<void> resource) { reader_->retained.push_back(std::move(resource)); }

    // Ends the stream from the reading side; buffered values are dropped.
    void cancel() {
        {
            std::lock_guard<std::mutex> guard(state_->mutex);
            state_->values.clear();
        }
        terminate(state_, nullptr);
    }

private:
    // Shared by every copy of the stream; the last copy to go ends the stream, then releases
    // what it retains.
    struct Reader {
        std::shared_ptr<State> state;
        std::vector<std::shared_ptr<void>> retained;
        explicit Reader(std::shared_ptr<State> s) : state(std::move(s)) {}
        Reader(const Reader&) = delete;
        Reader& operator=(const Reader&) = delete;
        ~Reader() {
            {
                std::lock_guard<std::mutex> guard(state->mutex);
                state->values.clear();
            }
            terminate(state, nullptr);
            // Released newest first, once the stream has ended.
            while (!retained.empty()) retained.pop_back();
        }
    };

    explicit AsyncThrowingStream(std::shared_ptr<State> state)
        : state_(state), reader_(std::make_shared<Reader>(std::move(state))) {}
    std::shared_ptr<State> state_;
    std::shared_ptr<Reader> reader_;
};

}  // namespace murmex
