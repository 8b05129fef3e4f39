#include "Platform/ML/Runtime/ThreadPool.h"
#include "Platform/Text/NumberText.h"

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

struct ThreadTeam::Shared {
    void (*function)(void* context, ThreadTeam& team) noexcept = nullptr;
    void* context = nullptr;
    std::size_t size = 1;
    // Parts done by each thread in all stages so far, stride doneStride: each thread writes
    // only its own line, so that the threads ending a stage together do not queue for one
    // shared counter. A stage is done when they add up to the parts of it and every stage
    // before it.
    std::atomic<std::uint32_t>* partsDone = nullptr;
    // Set once a stage's parts are all done, stride doneStride: the word that threads which
    // have waited long enough to sleep sleep on.
    std::atomic<std::uint32_t>* stageDone = nullptr;
    // A flag per part, stride partStride per stage; each thread's own parts lie in a cache
    // line of their own (64 bytes apart), so that taking them does not contend with the
    // other threads taking theirs.
    std::atomic<std::uint8_t>* partTaken = nullptr;
    std::size_t stages = 0;
    std::size_t partStride = 0;
};

namespace {
constexpr std::size_t doneStride = 64 / sizeof(std::uint32_t);
// Each thread's part flags share one 64-byte stretch, whatever the allocation's alignment.
static_assert(ThreadTeam::partsPerThread <= 16);
}  // namespace

namespace {

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Waits until `done()` holds: on the processor at first, since the stages of a team take a
// few microseconds each, then yielding, then asleep in `sleep()` (which returns on some
// progress), so that the processor goes to the team member that the system has descheduled
// (or to whatever else the machine runs) rather than to waiting.
template <class Done, class Sleep>
void waitUntil(Done&& done, Sleep&& sleep) {
    using Clock = std::chrono::steady_clock;
    constexpr auto spinTime = std::chrono::microseconds(50);
    constexpr auto yieldTime = std::chrono::microseconds(1000);
    if (done()) return;
    const auto start = Clock::now();
    do {
        for (int i = 0; i < 16; ++i) {
            if (done()) return;
            relax();
        }
    } while (Clock::now() < start + spinTime);
    // On a busy machine the wait may be for a descheduled thread: yielding keeps this one
    // ready to go on without a wake-up, while the processor may go to that one.
    while (Clock::now() < start + yieldTime) {
        if (done()) return;
        std::this_thread::yield();
    }
    while (!done()) sleep();
}

// Waits until `value` reaches `target`; whoever brings it there wakes the sleepers.
void waitFor(std::atomic<std::uint32_t>& value, std::uint32_t target) {
    waitUntil([&] { return value.load(std::memory_order_acquire) == target; },
              [&] {
                  const std::uint32_t seen = value.load(std::memory_order_acquire);
                  if (seen != target) value.wait(seen, std::memory_order_acquire);
              });
}

std::size_t defaultThreadCount() {
    if (const char* text = std::getenv("MURMEX_THREADS")) {
        const auto value = numbertext::parseInteger(text);
        if (value && *value > 0 && *value <= 1024) return static_cast<std::size_t>(*value);
    }
    return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

}  // namespace

std::pair<std::size_t, std::size_t> ThreadTeam::partRange(std::size_t count, std::size_t multiple, std::size_t part,
                                                          std::size_t parts) {
    auto bound = [&](std::size_t i) {
        if (i >= parts) return count;
        const std::size_t even = count * i / parts;
        return std::min(count, (even + multiple / 2) / multiple * multiple);
    };
    return {bound(part), bound(part + 1)};
}

std::size_t ThreadTeam::stageLimit() const { return shared_.stages; }

std::atomic<std::uint8_t>& ThreadTeam::partFlag(std::size_t stage, std::size_t part) const {
    return shared_.partTaken[stage * shared_.partStride + part / partsPerThread * 64 + part % partsPerThread];
}

bool ThreadTeam::claim(std::size_t stage, std::size_t part) {
    if (stage >= shared_.stages) std::abort();  // more stages than the team was given room for
    std::atomic<std::uint8_t>& taken = partFlag(stage, part);
    return taken.load(std::memory_order_relaxed) == 0 && taken.exchange(1, std::memory_order_acq_rel) == 0;
}

std::uint64_t ThreadTeam::partsLeft(std::size_t stage) const {
    if (size_ * partsPerThread > 64) return ~std::uint64_t{0};
    // No branch between the loads, so that they are all under way at once.
    std::uint64_t left = 0;
    for (std::size_t part = 0; part < size_ * partsPerThread; ++part)
        left |= std::uint64_t{partFlag(stage, part).load(std::memory_order_relaxed) == 0} << part;
    return left;
}

void ThreadTeam::prepareClaims(std::size_t stage) const {
    // Nobody else reads a stage's flags before its threads have claimed their own parts.
    if (stage < shared_.stages) __builtin_prefetch(&partFlag(stage, index_ * partsPerThread), 1, 3);
}

void ThreadTeam::finishParts(std::size_t stage, std::uint32_t parts) {
    ownPartsDone_ += parts;
    shared_.partsDone[index_ * doneStride].store(ownPartsDone_, std::memory_order_seq_cst);
    // Of the threads that publish the last parts of a stage, at least one sees them all (the
    // stores and the loads that follow are sequentially consistent) and wakes the sleepers.
    // The flags belong to the pool, which outlives every team, so waking after the last part
    // (when the waiters may already be gone) is safe.
    if (stageFinished(stage)) {
        std::atomic<std::uint32_t>& done = shared_.stageDone[stage * doneStride];
        if (done.exchange(1, std::memory_order_seq_cst) == 0) done.notify_all();
    }
}

bool ThreadTeam::stageFinished(std::size_t stage) const {
    // Counts only grow, and a thread's count takes in a later stage's parts only after it has
    // seen this stage done: a sum that reaches the target means this stage is done, and its
    // parts' writes are visible through the acquiring loads.
    const std::uint64_t target = static_cast<std::uint64_t>(stage + 1) * partsPerThread * size_;
    std::uint64_t sum = 0;
    for (std::size_t thread = 0; thread < size_; ++thread)
        sum += shared_.partsDone[thread * doneStride].load(std::memory_order_seq_cst);
    return sum >= target;
}

void ThreadTeam::waitForStage(std::size_t stage) {
    std::atomic<std::uint32_t>& done = shared_.stageDone[stage * doneStride];
    waitUntil([&] { return stageFinished(stage); }, [&] { done.wait(0, std::memory_order_acquire); });
}

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
    std::lock_guard teams(teamMutex_);
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
    constexpr auto spinTime = std::chrono::microseconds(50);
    auto idle = [this] {
        return queued_.load(std::memory_order_acquire) == 0 && teamPlaces_.load(std::memory_order_acquire) == 0 &&
               !stopping_.load(std::memory_order_relaxed);
    };
    for (;;) {
        // Wait a little on the processor before sleeping, since parallel loops and decoder
        // steps often follow each other closely.
        const auto spinUntil = Clock::now() + spinTime;
        while (idle()) {
            for (int i = 0; i < 32 && idle(); ++i) relax();
            if (Clock::now() > spinUntil) break;
        }
        // A team's places are taken without the lock, which every worker would otherwise
        // queue for at once at the start of every decoder step.
        if (joinTeam()) continue;
        Job* job = nullptr;
        {
            std::unique_lock lock(mutex_);
            if (queue_.empty() && teamPlaces_.load() == 0 && !stopping_) {
                sleeping_.fetch_add(1);
                wake_.wait(lock, [this] { return stopping_ || !queue_.empty() || teamPlaces_.load() > 0; });
                sleeping_.fetch_sub(1);
            }
            if (teamPlaces_.load() > 0) {
                // A team waits for every one of its places: it goes before queued loops.
                lock.unlock();
                joinTeam();
                continue;
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

bool ThreadPool::joinTeam() {
    std::size_t places = teamPlaces_.load(std::memory_order_acquire);
    while (places > 0) {
        if (!teamPlaces_.compare_exchange_weak(places, places - 1, std::memory_order_acq_rel)) continue;
        // The team's owner published it before its places and waits for this worker's
        // return before it goes away.
        ThreadTeam::Shared& team = *team_.load(std::memory_order_acquire);
        ThreadTeam member(team, team.size - places, team.size);
        team.function(team.context, member);
        // The last access to the team; the counter is the pool's, so waking its owner after
        // it has gone (it may not have needed to sleep) is safe.
        teamFinished_.fetch_add(1, std::memory_order_release);
        teamFinished_.notify_all();
        return true;
    }
    return false;
}

void ThreadPool::runTeam(std::size_t stages, TeamFunction function, void* context) {
    std::unique_lock teams(teamMutex_, std::try_to_lock);
    if (!teams.owns_lock()) {
        // Another caller's team has the workers: rather than wait for it, this team runs on
        // its caller alone, alongside (several windows decoded at once keep every core busy).
        ThreadTeam::Shared alone;
        alone.function = function;
        alone.context = context;
        alone.stages = stages;
        ThreadTeam caller(alone, 0, 1);
        function(context, caller);
        return;
    }
    ThreadTeam::Shared shared;  // on this stack frame: a team allocates nothing once the stage room suffices
    shared.function = function;
    shared.context = context;
    std::size_t sleepers = 0;
    {
        std::lock_guard lock(mutex_);
        shared.size = workers_.size() + 1;
        // Room for the stages' progress, cleared for this team.
        shared.stages = stages;
        shared.partStride = 64 * shared.size;
        if (stages * doneStride > stageCapacity_) {
            stageCapacity_ = stages * doneStride;
            stageDone_ = std::make_unique<std::atomic<std::uint32_t>[]>(stageCapacity_);
        }
        if (stages * shared.partStride > partCapacity_) {
            partCapacity_ = stages * shared.partStride;
            partTaken_ = std::make_unique<std::atomic<std::uint8_t>[]>(partCapacity_);
        }
        if (shared.size * doneStride > partsDoneCapacity_) {
            partsDoneCapacity_ = shared.size * doneStride;
            partsDone_ = std::make_unique<std::atomic<std::uint32_t>[]>(partsDoneCapacity_);
        }
        for (std::size_t i = 0; i < shared.size * doneStride; i += doneStride)
            partsDone_[i].store(0, std::memory_order_relaxed);
        for (std::size_t i = 0; i < stages * doneStride; i += doneStride)
            stageDone_[i].store(0, std::memory_order_relaxed);
        for (std::size_t i = 0; i < stages * shared.partStride; i += 64)
            for (std::size_t part = 0; part < ThreadTeam::partsPerThread; ++part)
                partTaken_[i + part].store(0, std::memory_order_relaxed);
        shared.partsDone = partsDone_.get();
        shared.stageDone = stageDone_.get();
        shared.partTaken = partTaken_.get();
        if (shared.size > 1) {
            team_.store(&shared, std::memory_order_relaxed);
            teamFinished_.store(0, std::memory_order_relaxed);
            teamPlaces_.store(shared.size - 1, std::memory_order_release);
            sleepers = sleeping_.load();
        }
    }
    if (sleepers > 0) wake_.notify_all();
    ThreadTeam caller(shared, 0, shared.size);
    function(context, caller);
    if (shared.size == 1) return;
    // Workers that have not joined by now are not waited for: every stage is done, so
    // they would find nothing left. Those that joined may still be on their way through
    // the stages, reading the team's state, until they return.
    const std::size_t joined = shared.size - 1 - teamPlaces_.exchange(0, std::memory_order_acq_rel);
    waitFor(teamFinished_, static_cast<std::uint32_t>(joined));
    team_.store(nullptr, std::memory_order_relaxed);
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
