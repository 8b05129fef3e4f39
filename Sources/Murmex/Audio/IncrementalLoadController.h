#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

namespace murmex {

// The slots of an incremental file load: the producer takes one slot per chunk it hands over
// and waits while all are taken; the consumer gives one back per chunk it is done with. Once
// terminated (the stream has ended), no producer waits again and the waiting ones are released.
// Every operation may be called from any thread.
class IncrementalLoadController {
public:
    // `maxBufferedChunks` slots (at least 1 is meaningful; fewer lets no chunk through until
    // the controller is terminated).
    explicit IncrementalLoadController(int maxBufferedChunks);

    int maxBufferedChunks() const { return maxBufferedChunks_; }
    // The slots in use.
    int activeChunks() const;
    bool isTerminated() const;

    // Takes a slot, waiting (first come, first served) while all are in use. Returns at once,
    // without a slot, once the controller is terminated; a waiter released by termination gets
    // no slot either.
    void requestChunkSlot();
    // Gives a slot back and hands it to the first waiter, if any. Does nothing when no slot is
    // in use, so extra calls never make the count negative.
    void signalChunkConsumed();
    // Terminates the controller and releases every waiting producer.
    void resumeWaitingProducers();

private:
    struct Waiter {
        bool released = false;
    };

    const int maxBufferedChunks_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int activeChunks_ = 0;
    std::deque<std::shared_ptr<Waiter>> waitingProducers_;
    bool isTerminated_ = false;
};

}  // namespace murmex
