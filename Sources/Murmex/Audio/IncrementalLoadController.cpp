#include "Murmex/Audio/IncrementalLoadController.h"

namespace murmex {

IncrementalLoadController::IncrementalLoadController(int maxBufferedChunks) : maxBufferedChunks_(maxBufferedChunks) {}

int IncrementalLoadController::activeChunks() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return activeChunks_;
}

bool IncrementalLoadController::isTerminated() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return isTerminated_;
}

void IncrementalLoadController::requestChunkSlot() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (isTerminated_) return;
    if (activeChunks_ < maxBufferedChunks_) {
        ++activeChunks_;
        return;
    }
    auto waiter = std::make_shared<Waiter>();
    waitingProducers_.push_back(waiter);
    // A released waiter finds its slot already taken on its behalf (or none, once terminated),
    // so no other request can slip in between.
    changed_.wait(lock, [&] { return waiter->released; });
}

void IncrementalLoadController::signalChunkConsumed() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (activeChunks_ <= 0) return;
        --activeChunks_;
        if (waitingProducers_.empty() || activeChunks_ >= maxBufferedChunks_) return;
        auto first = std::move(waitingProducers_.front());
        waitingProducers_.pop_front();
        if (!isTerminated_) ++activeChunks_;
        first->released = true;
    }
    changed_.notify_all();
}

void IncrementalLoadController::resumeWaitingProducers() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        isTerminated_ = true;
        for (auto& waiter : waitingProducers_) waiter->released = true;
        waitingProducers_.clear();
    }
    changed_.notify_all();
}

}  // namespace murmex
