#include "Platform/ML/Runtime/WeightArena.h"

#include "Platform/ML/MLError.h"

#include <sys/mman.h>
#include <unistd.h>
#include <cstring>
#include <vector>

namespace platform::runtime {

namespace {

constexpr std::size_t hugePage = std::size_t{2} << 20;

}  // namespace

std::size_t WeightArena::footprint(std::size_t count, std::size_t elementSize) {
    return (count * elementSize + 63) / 64 * 64;
}

// The capacity is rounded up to small pages only: the last, partial huge page of the block
// then lies on small pages, so that the room past the weights costs nothing while every
// whole huge page of them is still mapped with one.
WeightArena::WeightArena(std::size_t bytes) {
    static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    capacity_ = (bytes + page - 1) / page * page;
    if (capacity_ == 0) return;
    // Over-allocate by one huge page to align the start.
    void* mapping = ::mmap(nullptr, capacity_ + hugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) throw MLError(MLError::Code::invalidModel, "Out of memory for the model's weights");
    auto address = reinterpret_cast<std::uintptr_t>(mapping);
    const std::uintptr_t aligned = (address + hugePage - 1) / hugePage * hugePage;
    if (aligned > address) ::munmap(mapping, aligned - address);
    const std::size_t tail = (address + capacity_ + hugePage) - (aligned + capacity_);
    if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + capacity_), tail);
    base_ = reinterpret_cast<std::byte*>(aligned);
    ::madvise(base_, capacity_, MADV_HUGEPAGE);  // advice only; small pages work too
}

WeightArena::~WeightArena() {
    if (base_) ::munmap(base_, capacity_);
}

void* WeightArena::take(std::size_t bytes) {
    const std::size_t rounded = (bytes + 63) / 64 * 64;
    if (used_ + rounded > capacity_)
        throw MLError(MLError::Code::invalidModel, "Weights exceed the space reserved for them");
    void* address = base_ + used_;
    used_ += rounded;
    return address;
}

std::size_t WeightArena::roomFor(const SafeTensorsFile& file) {
    std::size_t bytes = 0;
    for (const auto& [name, view] : file.tensors()) {
        const auto count = static_cast<std::size_t>(view.elementCount());
        // Codes (with their padding); vectors in single precision; matrices and scales in half.
        if (view.dtype == TensorDType::U8)
            bytes += footprint(count + kBlockwiseReadPadding, 1);
        else
            bytes += footprint(count, view.shape.size() == 1 ? sizeof(float) : sizeof(Float16));
    }
    return bytes;
}

WeightMatrix WeightArena::matrix(const StoredMatrix& stored) {
    WeightMatrix m;
    if (!stored.compressed()) {
        m.half = half(*stored.plain);
        m.rows = static_cast<std::size_t>(stored.plain->shape[0]);
        m.cols = static_cast<std::size_t>(stored.plain->shape[1]);
        return m;
    }
    const BlockwiseLayout& layout = stored.layout;
    auto* codes = static_cast<std::uint8_t*>(take(layout.packedBytes() + kBlockwiseReadPadding));
    std::memcpy(codes, stored.codes->data, layout.packedBytes());
    std::memset(codes + layout.packedBytes(), 0, kBlockwiseReadPadding);
    auto* scales = static_cast<Float16*>(take(layout.scaleCount() * sizeof(Float16)));
    stored.copyScales(scales);
    m.blockwise = BlockwiseMatrix{codes, scales, layout};
    m.rows = static_cast<std::size_t>(layout.rows);
    m.cols = static_cast<std::size_t>(layout.cols);
    return m;
}

const Float16* WeightArena::half(const TensorView& view) {
    const auto count = static_cast<std::size_t>(view.elementCount());
    auto* out = static_cast<Float16*>(take(count * sizeof(Float16)));
    if (view.dtype == TensorDType::F16) {
        std::memcpy(out, view.data, count * sizeof(Float16));
    } else {
        const std::vector<float> values = view.toFloat();
        convertFloatToFloat16(values.data(), out, count);
    }
    return out;
}

const float* WeightArena::single(const TensorView& view) {
    const auto count = static_cast<std::size_t>(view.elementCount());
    auto* out = static_cast<float*>(take(count * sizeof(float)));
    if (view.dtype == TensorDType::F32) {
        std::memcpy(out, view.data, count * sizeof(float));
    } else {
        const std::vector<float> values = view.toFloat();
        std::memcpy(out, values.data(), count * sizeof(float));
    }
    return out;
}

}  // namespace platform::runtime
