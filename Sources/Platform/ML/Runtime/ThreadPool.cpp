#include "Platform/ML/Runtime/ThreadPool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <string>

namespace platform::runtime {

struct ThreadPool::Job {
    ChunkFunction function = nullptr;
    void* context = nullptr;
    std::size_t count = 0;
    std::size_t chunkSize = 1;
    std::size_t chunks = 0;
    std::atomic<std::size_t> nextChunk{0};
    std::atomic<std::size_t> finishedChunks{0};
    // Workers inside runChunks; changed only under doneMutex, read by the waiting caller.
    std::atomic<std::size_t> activeWorkers{0};
    std::atomic<bool> callerSleeping{false};
    std::mutex doneMutex;
    std::condition_variable done;
    std::exception_ptr error;

    bool finished() const { return finishedChunks.load() == chunks && activeWorkers.load() == 0; }
};

namespace {

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

std::size_t defaultThreadCount() {
    if (const char* text = std::getenv("MURMEX_THREADS")) {
        char* end = nullptr;
        long value = std::strtol(text, &end, 10);
        if (end != text && value > 0 && value <= 1024) return static_cast<std::size_t>(value);
    }
    return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

}  // namespace

ThreadPool& ThreadPool::shared() {
    static ThreadPool pool(defaultThreadCount());
    return pool;
}

ThreadPool::ThreadPool(std::size_t threadCount) {
    queue_.reserve(64);
    startWorkers(std::max<std::size_t>(threadCount, 1) - 1);
}

ThreadPool::~ThreadPool() { stopWorkers(); }

std::size_t ThreadPool::threadCount() const {
    std::lock_guard lock(mutex_);
    return workers_.size() + 1;
}

void ThreadPool::setThreadCount(std::size_t threadCount) {
    std::lock_guard resize(resizeMutex_);
    stopWorkers();
    startWorkers(std::max<std::size_t>(threadCount, 1) - 1);
}

void ThreadPool::startWorkers(std::size_t workers) {
    std::lock_guard lock(mutex_);
    stopping_ = false;
    for (std::size_t i = 0; i < workers; ++i) workers_.emplace_back([this] { workerLoop(); });
}

void ThreadPool::stopWorkers() {
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        workers.swap(workers_);
    }
    wake_.notify_all();
    for (auto& worker : workers) worker.join();
}

void ThreadPool::runChunks(Job& job) {
    for (;;) {
        const std::size_t chunk = job.nextChunk.fetch_add(1);
        if (chunk >= job.chunks) return;
        const std::size_t begin = chunk * job.chunkSize;
        const std::size_t end = std::min(job.count, begin + job.chunkSize);
        try {
            job.function(job.context, begin, end);
        } catch (...) {
            std::lock_guard lock(job.doneMutex);
            if (!job.error) job.error = std::current_exception();
        }
        job.finishedChunks.fetch_add(1);
    }
}

void ThreadPool::workerLoop() {
    using Clock = std::chrono::steady_clock;
    constexpr auto spinTime = std::chrono::microseconds(100);
    for (;;) {
        // Wait a little before sleeping, since parallel loops often follow each other
        // closely; yielding rather than spinning leaves the processor to other work when
        // the machine is busy.
        const auto spinUntil = Clock::now() + spinTime;
        while (queued_.load(std::memory_order_acquire) == 0 && !stopping_.load(std::memory_order_relaxed)) {
            std::this_thread::yield();
            if (Clock::now() > spinUntil) break;
        }
        Job* job = nullptr;
        {
            std::unique_lock lock(mutex_);
            if (queue_.empty() && !stopping_) {
                sleeping_.fetch_add(1);
                wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
                sleeping_.fetch_sub(1);
            }
            if (queue_.empty()) return;  // stopping with nothing left
            job = queue_.front();
            // A job stays queued while chunks remain, so other workers can join it.
            if (job->nextChunk.load() + 1 >= job->chunks) {
                queue_.erase(queue_.begin());
                queued_.store(queue_.size(), std::memory_order_release);
            }
            // Registered while the job is still reachable from the queue, so its owner
            // waits for this worker before the job goes away.
            std::lock_guard jobLock(job->doneMutex);
            job->activeWorkers.fetch_add(1);
        }
        runChunks(*job);
        {
            // The last access to the job: its owner takes this lock once before returning.
            std::lock_guard jobLock(job->doneMutex);
            job->activeWorkers.fetch_sub(1);
            if (job->callerSleeping.load() && job->finished()) job->done.notify_all();
        }
    }
}

void ThreadPool::run(std::size_t count, std::size_t grain, ChunkFunction function, void* context) {
    if (count == 0) return;
    grain = std::max<std::size_t>(grain, 1);
    std::size_t threads;
    {
        std::lock_guard lock(mutex_);
        threads = workers_.size() + 1;
    }
    // Several chunks per thread, so that a thread the system has descheduled holds up
    // only a small part of the loop.
    std::size_t chunkSize = std::max(grain, (count + 4 * threads - 1) / (4 * threads));
    std::size_t chunks = (count + chunkSize - 1) / chunkSize;
    if (chunks <= 1 || threads == 1) {
        function(context, 0, count);
        return;
    }
    Job storage;  // lives on this stack frame; no allocation per loop
    Job* job = &storage;
    job->function = function;
    job->context = context;
    job->count = count;
    job->chunkSize = chunkSize;
    job->chunks = chunks;
    std::size_t sleepers;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(job);
        queued_.store(queue_.size(), std::memory_order_release);
        sleepers = sleeping_.load();
    }
    if (sleepers > 0) {
        if (chunks - 1 >= sleepers) {
            wake_.notify_all();
        } else {
            for (std::size_t i = 0; i + 1 < chunks; ++i) wake_.notify_one();
        }
    }
    runChunks(*job);
    {
        // Take the job off the queue if no worker has done so, so nobody picks it up late.
        std::lock_guard lock(mutex_);
        auto it = std::find(queue_.begin(), queue_.end(), job);
        if (it != queue_.end()) queue_.erase(it);
        queued_.store(queue_.size(), std::memory_order_release);
    }
    // Short loops end within microseconds: poll (yielding) first, sleep only after that.
    const auto pollUntil = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
    while (!job->finished() && std::chrono::steady_clock::now() < pollUntil) {
        for (int i = 0; i < 16; ++i) relax();
    }
    {
        std::unique_lock lock(job->doneMutex);
        if (!job->finished()) {
            job->callerSleeping.store(true);
            job->done.wait(lock, [&] { return job->finished(); });
        }
    }
    if (job->error) std::rethrow_exception(job->error);
}

}  // namespace platform::runtime
