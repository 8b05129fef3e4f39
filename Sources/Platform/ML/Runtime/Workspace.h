#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace platform::runtime {

// Scratch buffers of one running prediction, page-aligned pages of their own, so that
// releasing them hands the memory back to the system at once. A model keeps finished
// workspaces for the next prediction, so steady-state predictions allocate no scratch.
class Workspace {
public:
    // Floats for buffer `slot`, grown when needed and kept between predictions; zeroed
    // unless the caller writes every element before reading it.
    float* floats(std::size_t slot, std::size_t count, bool zeroed = true);

    // Returns every buffer's memory to the system; the next `floats` maps it afresh.
    // For a program that runs seldom and whose scratch is large against its weights.
    void release();

private:
    struct Unmap {
        Unmap() noexcept : bytes(0) {}
        explicit Unmap(std::size_t size) noexcept : bytes(size) {}
        std::size_t bytes;
        void operator()(float* data) const;
    };
    struct Buffer {
        std::unique_ptr<float, Unmap> data;
        std::size_t capacity = 0;
    };
    std::vector<Buffer> buffers_;
};

// A free list of workspaces shared by concurrent predictions of one model.
class WorkspacePool {
public:
    class Lease {
    public:
        Lease(WorkspacePool& pool, std::unique_ptr<Workspace> workspace)
            : pool_(pool), workspace_(std::move(workspace)) {}
        ~Lease() { pool_.giveBack(std::move(workspace_)); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Workspace& operator*() { return *workspace_; }
        Workspace* operator->() { return workspace_.get(); }

    private:
        WorkspacePool& pool_;
        std::unique_ptr<Workspace> workspace_;
    };

    Lease take();

private:
    void giveBack(std::unique_ptr<Workspace> workspace);
    std::mutex mutex_;
    std::vector<std::unique_ptr<Workspace>> free_;
};

}  // namespace platform::runtime
