#pragma once

#include <stop_token>

namespace murmex {

// The cancellation of the task the calling thread is running. Code that runs a task on a thread
// installs the task's stop token for the task's duration with a `Scope`; the stages check it
// between their steps. A thread without a scope is never cancelled.
class TaskCancellation {
public:
    class Scope {
    public:
        explicit Scope(std::stop_token token);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        std::stop_token previous_;
    };

    // True when the current task has been asked to stop.
    static bool isCancelled();
    // Throws halvex::CancellationError when the current task has been asked to stop.
    static void checkCancellation();
};

}  // namespace murmex
