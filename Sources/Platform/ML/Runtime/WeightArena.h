#pragma once

#include "Platform/ML/Float16.h"
#include "Platform/ML/Runtime/BlockwiseKernels.h"
#include "Platform/ML/Runtime/SafeTensors.h"
#include "Platform/ML/Runtime/StoredMatrix.h"

#include <cstddef>
#include <memory>

namespace platform::runtime {

// One block of anonymous memory, 2 MiB aligned and advised to use huge pages, holding
// weights copied out of a weights file. Streaming products read weights at a good part of
// the memory bandwidth only when the processor's page walks and prefetchers are not cut
// short every 4 KiB; the copy also lets the model release the file mapping, so the
// weights are resident once.
class WeightArena {
public:
    // Room for `bytes` of weights (each copy is rounded up to 64 bytes).
    explicit WeightArena(std::size_t bytes);
    ~WeightArena();
    WeightArena(const WeightArena&) = delete;
    WeightArena& operator=(const WeightArena&) = delete;

    // Bytes a tensor of `count` elements of `elementSize` bytes takes in the arena.
    static std::size_t footprint(std::size_t count, std::size_t elementSize);

    // Room for every tensor of `file` copied at its working precision: vectors (one
    // dimension) in single precision, matrices in half precision or compressed (codes padded
    // for the products' reads past them, scales in half precision). No more than that: the
    // last huge page of the weights then lies on small pages, resident only as far as used.
    static std::size_t roomFor(const SafeTensorsFile& file);

    // Copies a matrix: a plain one converted to half precision, a compressed one as it is
    // (codes followed by kBlockwiseReadPadding readable bytes).
    WeightMatrix matrix(const StoredMatrix& stored);
    // Copies a tensor, converted to half precision or single precision.
    const Float16* half(const TensorView& view);
    const float* single(const TensorView& view);
    // Uninitialised room for `count` values of type T (half-precision values, bytes, floats).
    template <class T>
    T* room(std::size_t count) {
        return static_cast<T*>(take(count * sizeof(T)));
    }

private:
    void* take(std::size_t bytes);

    std::byte* base_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t used_ = 0;
};

}  // namespace platform::runtime
