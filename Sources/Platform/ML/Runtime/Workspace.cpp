#include "Platform/ML/Runtime/Workspace.h"

#include "Platform/ML/MLError.h"

#include <sys/mman.h>
#include <unistd.h>
#include <algorithm>
#include <cstdint>
#include <cstring>

namespace platform::runtime {

float* Workspace::floats(std::size_t slot, std::size_t count, bool zeroed) {
    if (slot >= buffers_.size()) buffers_.resize(slot + 1);
    Buffer& buffer = buffers_[slot];
    if (buffer.capacity < count) {
        // Mapped directly rather than through the allocator, which may keep a freed
        // block resident; fresh pages read as zero.
        // Buffers of a huge page or more lie on huge pages where the system offers them,
        // so that mapping them afresh costs a few faults rather than one per small page.
        static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        constexpr std::size_t hugePage = std::size_t{2} << 20;
        const std::size_t wanted = std::max<std::size_t>(1, count * sizeof(float));
        const std::size_t align = wanted >= hugePage ? hugePage : page;
        const std::size_t bytes = (wanted + align - 1) / align * align;
        buffer.data.reset();
        buffer.capacity = 0;
        const std::size_t extra = align > page ? align : 0;
        void* mapping = ::mmap(nullptr, bytes + extra, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED)
            throw MLError(MLError::Code::predictionFailed, "Out of memory for prediction scratch space");
        const auto address = reinterpret_cast<std::uintptr_t>(mapping);
        const std::uintptr_t aligned = (address + align - 1) / align * align;
        if (aligned > address) ::munmap(mapping, aligned - address);
        if (const std::size_t tail = address + bytes + extra - (aligned + bytes); tail > 0)
            ::munmap(reinterpret_cast<void*>(aligned + bytes), tail);
        auto* memory = reinterpret_cast<float*>(aligned);
        if (extra) ::madvise(memory, bytes, MADV_HUGEPAGE);  // advice only; small pages work too
        buffer.data = std::unique_ptr<float, Unmap>(memory, Unmap{bytes});
        buffer.capacity = count;
        return buffer.data.get();
    }
    if (zeroed) std::memset(buffer.data.get(), 0, count * sizeof(float));
    return buffer.data.get();
}

void Workspace::Unmap::operator()(float* data) const {
    if (data) ::munmap(data, bytes);
}

void Workspace::release() { buffers_.clear(); }

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
