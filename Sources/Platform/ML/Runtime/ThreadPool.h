#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace platform::runtime {

// The threads of one `ThreadPool::team` call, as seen by one of them.
class ThreadTeam {
public:
    // This thread's number in [0, size()); the caller of `team` is 0.
    std::size_t index() const { return index_; }
    std::size_t size() const { return size_; }
    // One stage of the team's work over `count` items, cut into `partsPerThread` parts per
    // thread on multiples of `multiple`. Each thread first runs the parts that fall to it
    // (the same ones every time, so that what they read stays in its caches), then takes
    // over parts that others have not begun: a thread the system has descheduled holds up
    // only a part it has begun. `prepare()` runs on a thread once before its first part of
    // the stage (per-thread inputs, such as a layer norm of the residual stream). Returns
    // when every part is done, by whichever thread; what the parts wrote is then visible.
    // Every thread calls the same stages in the same order, no more than the number given
    // to `ThreadPool::team`.
    template <class Prepare, class Body>
    void stage(std::size_t count, std::size_t multiple, Prepare&& prepare, Body&& body) {
        stage(count, multiple, prepare, body, [] {});
    }
    // The same; `idle()` runs on a thread that has found no part left while others are still
    // at work, before it waits (to request what its next stage reads, for instance).
    template <class Prepare, class Body, class Idle>
    void stage(std::size_t count, std::size_t multiple, Prepare&& prepare, Body&& body, Idle&& idle) {
        if (size_ == 1) {
            if (nextStage_++ >= stageLimit()) std::abort();  // more stages than the team was given room for
            prepare();
            if (count > 0) body(std::size_t{0}, count);
            return;
        }
        const std::size_t stage = nextStage_++;
        const std::size_t parts = partsPerThread * size_;
        bool prepared = false;
        std::uint32_t done = 0;
        auto run = [&](std::size_t part) {
            if (!prepared) {
                prepare();
                prepared = true;
            }
            const auto [begin, end] = partRange(count, multiple, part, parts);
            if (begin < end) body(begin, end);
            ++done;
        };
        for (std::size_t part = index_ * partsPerThread; part < (index_ + 1) * partsPerThread; ++part)
            if (claim(stage, part)) run(part);
        // The parts this thread did are counted in a count of its own, so that the threads
        // that end a stage together do not queue for a shared one; its own are counted before
        // it looks for others', so that the last thread to finish is seen at once.
        if (done > 0) finishParts(stage, done);
        done = 0;
        // Others' parts from their ends, where their owners come last. Which are left is read
        // for every thread first, so that the reads of the others' flags overlap rather than
        // follow one another.
        const std::uint64_t left = partsLeft(stage);
        if (left != 0) {
            for (std::size_t k = 1; k < size_; ++k) {
                const std::size_t other = (index_ + k) % size_;
                for (std::size_t part = (other + 1) * partsPerThread; part-- > other * partsPerThread;)
                    if ((left >> (part % 64) & 1) != 0 && claim(stage, part)) run(part);
            }
            if (done > 0) finishParts(stage, done);
        }
        prepareClaims(stage + 1);
        if (!stageFinished(stage)) idle();
        waitForStage(stage);
    }

    // The items [begin, end) this thread takes first in a stage of `count` items cut on
    // multiples of `multiple`: the same at every call.
    std::pair<std::size_t, std::size_t> ownItems(std::size_t count, std::size_t multiple) const {
        const std::size_t parts = partsPerThread * size_;
        return {partRange(count, multiple, index_ * partsPerThread, parts).first,
                partRange(count, multiple, (index_ + 1) * partsPerThread - 1, parts).second};
    }

    static constexpr std::size_t partsPerThread = 4;

private:
    friend class ThreadPool;
    struct Shared;
    ThreadTeam(Shared& shared, std::size_t index, std::size_t size) : shared_(shared), index_(index), size_(size) {}
    static std::pair<std::size_t, std::size_t> partRange(std::size_t count, std::size_t multiple, std::size_t part,
                                                         std::size_t parts);
    std::size_t stageLimit() const;
    // The flag set once a thread has taken `part` of `stage`.
    std::atomic<std::uint8_t>& partFlag(std::size_t stage, std::size_t part) const;
    bool claim(std::size_t stage, std::size_t part);
    // Parts not yet taken in `stage`, as bits at (part % 64); a part's bit may be set after it
    // has been taken, never clear while it is left. All bits set in teams of over 16 threads.
    std::uint64_t partsLeft(std::size_t stage) const;
    // Brings this thread's part flags of `stage` into its cache, ready to be written.
    void prepareClaims(std::size_t stage) const;
    void finishParts(std::size_t stage, std::uint32_t parts);
    void waitForStage(std::size_t stage);
    bool stageFinished(std::size_t stage) const;

    Shared& shared_;
    std::size_t index_;
    std::size_t size_;
    std::size_t nextStage_ = 0;
    std::uint32_t ownPartsDone_ = 0;  // by this thread, in every stage so far
};

// Stands in for a ThreadTeam to count the stages a team body calls, without running them:
// `ThreadPool::team(body)` runs a generic body once with it first, so the room given to the
// team always matches the stages the body calls.
class StageCounter {
public:
    std::size_t index() const { return 0; }
    std::size_t size() const { return 1; }
    template <class... Functions>
    void stage(std::size_t, std::size_t, Functions&&...) {
        ++stages_;
    }
    std::pair<std::size_t, std::size_t> ownItems(std::size_t count, std::size_t) const { return {0, count}; }
    std::size_t stages() const { return stages_; }

private:
    std::size_t stages_ = 0;
};

// The runtime's one pool of worker threads. `parallelFor` splits a range into chunks that
// the calling thread and the workers take in turn; the caller returns once every chunk is
// done. Several threads may call it at once (two windows decoded together): their chunks
// share the same workers, so the machine is never oversubscribed.
//
// `team` runs one body on every thread at once instead, each knowing its number, so that
// a long sequence of short stages (a decoder step) splits its work the same way every
// time, without handing work over to the pool at every stage.
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
        run(
            count, grain,
            [](void* context, std::size_t begin, std::size_t end) { (*static_cast<Plain*>(context))(begin, end); },
            const_cast<void*>(static_cast<const void*>(&body)));
    }

    // Calls body(team) on every computing thread, the caller included as thread 0, and
    // returns when the caller's call has returned and every worker's call that began. A
    // worker that comes late, after the caller's call has returned, does not run the body at
    // all: the body splits its work with stages, which finish without the threads that do
    // not come. While another caller's team runs, a team runs on its caller alone (a team of
    // one). The body must not throw (the program ends if it does).
    // `stages` bounds the number of ThreadTeam::stage calls of each thread.
    template <class Body>
    void team(std::size_t stages, Body&& body) {
        using Plain = std::remove_reference_t<Body>;
        runTeam(
            stages, [](void* context, ThreadTeam& team) noexcept { (*static_cast<Plain*>(context))(team); },
            const_cast<void*>(static_cast<const void*>(&body)));
    }

    // The same, for a body generic over its team argument (`[&](auto& team)`): the number of
    // stages is what the body calls when run first with a StageCounter.
    template <class Body>
    void team(Body&& body) {
        StageCounter counter;
        body(counter);
        team(counter.stages(), [&](ThreadTeam& member) { body(member); });
    }

private:
    // A non-owning reference to the body, so that a parallel loop allocates nothing.
    using ChunkFunction = void (*)(void* context, std::size_t begin, std::size_t end);
    void run(std::size_t count, std::size_t grain, ChunkFunction function, void* context);
    using TeamFunction = void (*)(void* context, ThreadTeam& team) noexcept;
    void runTeam(std::size_t stages, TeamFunction function, void* context);

    struct Job;
    void startWorkers(std::size_t workers);
    void stopWorkers();
    void workerLoop();
    // Takes a place in the running team, if one is left, and runs the team's body there.
    bool joinTeam();
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
    // The running team (published under mutex_, before its places), its places not yet
    // taken by a worker, and the workers that took one and have returned.
    std::atomic<ThreadTeam::Shared*> team_{nullptr};
    std::atomic<std::size_t> teamPlaces_{0};
    std::atomic<std::uint32_t> teamFinished_{0};
    // Progress of the stages of the running team: the parts each thread has done in all
    // stages so far (one cache line per thread), a flag per stage once every part of it is
    // done (for threads that sleep) and a flag per part once a thread has taken it. Kept
    // between teams.
    std::unique_ptr<std::atomic<std::uint32_t>[]> partsDone_;
    std::size_t partsDoneCapacity_ = 0;
    std::unique_ptr<std::atomic<std::uint32_t>[]> stageDone_;
    std::unique_ptr<std::atomic<std::uint8_t>[]> partTaken_;
    std::size_t stageCapacity_ = 0;
    std::size_t partCapacity_ = 0;
    std::mutex teamMutex_;  // held by the team that has the workers; taken before resizeMutex_
    std::mutex resizeMutex_;
};

}  // namespace platform::runtime
