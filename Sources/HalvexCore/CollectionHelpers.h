#pragma once

#include "HalvexCore/FatalError.h"

#include <algorithm>
#include <cstddef>
#include <string>
#include <unordered_set>
#include <vector>

namespace halvex {

// The elements that the C library's fnmatch(glob, element, 0) accepts, in order. With no
// flags, * and ? also match "/", and a leading "." is not special. A pattern fnmatch cannot
// use matches nothing.
std::vector<std::string> matching(const std::vector<std::string>& elements, const std::string& glob);

// True when fnmatch(glob, name, 0) accepts the name.
bool matchesGlob(const std::string& name, const std::string& glob);

// Consecutive slices of `size` elements, the last one shorter. A negative size gives no
// slice; a size of 0 is a broken caller contract and stops the process.
template <typename T>
std::vector<std::vector<T>> batched(const std::vector<T>& elements, std::ptrdiff_t size) {
    if (size == 0) fatalError("Stride size must not be zero");
    std::vector<std::vector<T>> batches;
    if (size < 0) return batches;
    const auto step = static_cast<std::size_t>(size);
    batches.reserve((elements.size() + step - 1) / step);
    for (std::size_t start = 0; start < elements.size(); start += step) {
        const std::size_t end = start + std::min(step, elements.size() - start);
        batches.emplace_back(elements.begin() + static_cast<std::ptrdiff_t>(start),
                             elements.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return batches;
}

// The elements in first-occurrence order, later duplicates dropped.
template <typename T>
std::vector<T> orderedSet(const std::vector<T>& elements) {
    std::unordered_set<T> seen;
    std::vector<T> result;
    result.reserve(elements.size());
    for (const auto& element : elements) {
        if (seen.insert(element).second) result.push_back(element);
    }
    return result;
}

}  // namespace halvex
