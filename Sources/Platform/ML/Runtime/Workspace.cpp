#include "Platform/ML/Runtime/Workspace.h"

#include "Platform/ML/MLError.h"

#include <cstdlib>
#include <cstring>

namespace platform::runtime {

float* Workspace::floats(std::size_t slot, std::size_t count, bool zeroed) {
    if (slot >= buffers_.size()) buffers_.resize(slot + 1);
    Buffer& buffer = buffers_[slot];
    if (buffer.capacity < count) {
        const std::size_t bytes = (count * sizeof(float) + 63) / 64 * 64;
        void* memory = std::aligned_alloc(64, bytes == 0 ? 64 : bytes);
        if (!memory) throw MLError(MLError::Code::predictionFailed, "Out of memory for prediction scratch space");
        buffer.data = std::unique_ptr<float, void (*)(void*)>(static_cast<float*>(memory), std::free);
        buffer.capacity = count;
    }
    if (zeroed) std::memset(buffer.data.get(), 0, count * sizeof(float));
    return buffer.data.get();
}

WorkspacePool::Lease WorkspacePool::take() {
    std::unique_ptr<Workspace> workspace;
    {
        std::lock_guard lock(mutex_);
        if (!free_.empty()) {
            workspace = std::move(free_.back());
            free_.pop_back();
        }
    }
    if (!workspace) workspace = std::make_unique<Workspace>();
    return Lease(*this, std::move(workspace));
}

void WorkspacePool::giveBack(std::unique_ptr<Workspace> workspace) {
    if (!workspace) return;
    std::lock_guard lock(mutex_);
    free_.push_back(std::move(workspace));
}

}  // namespace platform::runtime
