#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace murmex {

// Runs posted work one item at a time, in posting order, on a thread of its own, so that the
// poster never waits for the work. The thread keeps the ordinary priority: while the decoder's
// workers fill every core, a lowered one would leave a stop request waiting for many tokens.
// The thread starts with the first post. On destruction the work already posted is finished
// before the thread is joined.
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
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> queue_;
    // Items posted and items finished since construction.
    std::uint64_t posted_ = 0;
    std::uint64_t finished_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace murmex
