#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace murmex {

// Runs a group of jobs concurrently and waits until all of them have finished. Job i is
// `job(i)`; its result lands at index i, whatever order the jobs finish in. The jobs run on
// up to `maxThreads` threads of their own plus the calling thread, which takes jobs too, so
// the group makes progress even when no thread can be started. An exception that leaves a
// job is rethrown once every job has finished (the first one, when several jobs throw).
class TaskGroup {
public:
    template <class Result, class Job>
    static std::vector<Result> run(std::size_t count, std::size_t maxThreads, Job job) {
        std::vector<Result> results(count);
        std::atomic<std::size_t> next{0};
        std::mutex failureMutex;
        std::exception_ptr failure;
        auto work = [&] {
            for (;;) {
                const std::size_t index = next.fetch_add(1);
                if (index >= count) return;
                try {
                    results[index] = job(index);
                } catch (...) {
                    std::lock_guard lock(failureMutex);
                    if (!failure) failure = std::current_exception();
                }
            }
        };
        {
            std::vector<std::jthread> threads;
            const std::size_t helpers = std::min(count, maxThreads) > 0 ? std::min(count, maxThreads) - 1 : 0;
            threads.reserve(helpers);
            for (std::size_t i = 0; i < helpers; ++i) {
                try {
                    threads.emplace_back(work);
                } catch (const std::system_error&) {
                    break;  // the threads already started, and this one, carry on
                }
            }
            work();
        }
        if (failure) std::rethrow_exception(failure);
        return results;
    }
};

}  // namespace murmex
