#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <type_traits>
#include <mutex>
#include <thread>
#include <vector>

namespace platform::runtime {

// The runtime's one pool of worker threads. `parallelFor` splits a range into chunks that
// the calling thread and the workers take in turn; the caller returns once every chunk is
// done. Several threads may call it at once (two windows decoded together): their chunks
// share the same workers, so the machine is never oversubscribed.
class ThreadPool {
public:
    // The process-wide pool. Its size is the number of hardware threads, or the value of the
    // environment variable MURMEX_THREADS when set, until setThreadCount changes it.
    static ThreadPool& shared();

    explicit ThreadPool(std::size_t threadCount);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Threads that compute, the caller included.
    std::size_t threadCount() const;
    // Replaces the workers; waits for running work first. Values below 1 count as 1.
    void setThreadCount(std::size_t threadCount);

    // Calls body(begin, end) over [0, count) in chunks of at least `grain` indices, at most
    // one chunk per computing thread unless `grain` asks for smaller ones. Exceptions from
    // the body are rethrown in the caller after all chunks are done.
    template <class Body>
    void parallelFor(std::size_t count, std::size_t grain, Body&& body) {
        using Plain = std::remove_reference_t<Body>;
        run(count, grain, [](void* context, std::size_t begin, std::size_t end) { (*static_cast<Plain*>(context))(begin, end); },
            const_cast<void*>(static_cast<const void*>(&body)));
    }

private:
    // A non-owning reference to the body, so that a parallel loop allocates nothing.
    using ChunkFunction = void (*)(void* context, std::size_t begin, std::size_t end);
    void run(std::size_t count, std::size_t grain, ChunkFunction function, void* context);

    struct Job;
    void startWorkers(std::size_t workers);
    void stopWorkers();
    void workerLoop();
    static void runChunks(Job& job);

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Job*> queue_;  // few entries; a vector keeps its storage, so queuing allocates nothing
    std::vector<std::thread> workers_;
    std::atomic<bool> stopping_{false};
    // Queued jobs and sleeping workers, readable without the lock: idle workers poll
    // `queued_` briefly (yielding) before they sleep, so that the short parallel loops of a decoding
    // step do not pay for a wake-up each.
    std::atomic<std::size_t> queued_{0};
    std::atomic<std::size_t> sleeping_{0};
    std::mutex resizeMutex_;
};

}  // namespace platform::runtime
