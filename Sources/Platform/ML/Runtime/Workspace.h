#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace platform::runtime {

// Scratch buffers of one running prediction, 64-byte aligned. A model keeps finished
// workspaces for the next prediction, so steady-state predictions allocate no scratch.
class Workspace {
public:
    // Floats for buffer `slot`, grown when needed and kept between predictions; zeroed
    // unless the caller writes every element before reading it.
    float* floats(std::size_t slot, std::size_t count, bool zeroed = true);

private:
    struct Buffer {
        std::unique_ptr<float, void (*)(void*)> data{nullptr, nullptr};
        std::size_t capacity = 0;
    };
    std::vector<Buffer> buffers_;
};

// A free list of workspaces shared by concurrent predictions of one model.
class WorkspacePool {
public:
    class Lease {
    public:
        Lease(WorkspacePool& pool, std::unique_ptr<Workspace> workspace) : pool_(pool), workspace_(std::move(workspace)) {}
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
