#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace murmex {

// Runs posted work one item at a time, in posting order, on a thread of its own, so that the
// poster never waits for the work. The thread keeps the ordinary priority: while the decoder's
// workers fill every core, a lowered one would leave a stop request waiting for many tokens.
// The thread starts with the first post. On destruction the work already posted is finished
// before the thread is joined; a dispatcher destroyed by its own work (the work dropped the
// last reference to its owner) drops what is still queued and lets its thread end by itself.
class SerialDispatcher {
public:
    SerialDispatcher() = default;
    ~SerialDispatcher();
    SerialDispatcher(const SerialDispatcher&) = delete;
    SerialDispatcher& operator=(const SerialDispatcher&) = delete;

    void post(std::function<void()> work);

    // Blocks until every item posted before the call has run; items posted meanwhile (by other
    // callers sharing the dispatcher) are not waited for.
    void waitUntilIdle();

private:
    // What the thread works on; it keeps its own reference, so it may outlive the dispatcher.
    struct Core {
        std::mutex mutex;
        std::condition_variable wake;
        std::condition_variable idle;
        std::deque<std::function<void()>> queue;
        // Items posted and items finished since construction.
        std::uint64_t posted = 0;
        std::uint64_t finished = 0;
        bool stopping = false;
    };

    static void run(const std::shared_ptr<Core>& core);

    std::shared_ptr<Core> core_ = std::make_shared<Core>();
    std::thread thread_;
};

}  // namespace murmex
