#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace norvel::bench {

// A model folder with random weights at a published size ("tiny", "base", "small",
// "large-v3-turbo"), or its compressed form ("small-216MB", "large-v3-turbo-954MB"),
// generated on first use into $TMPDIR/norvel-bench-models/<size> and kept for later runs.
const std::filesystem::path& modelFolder(const std::string& size);

// Total bytes of a model's weights files (all three models).
std::uintmax_t weightFileBytes(const std::filesystem::path& modelDirectory);

// The machine's own limits, measured again at each call; the best figure seen in this
// process is returned, so that a busy moment does not flatter an efficiency.
// OpenBLAS single-precision matrix product rate (FLOP/s) for m × k by k × n, using
// `threads` OpenBLAS threads.
double sgemmRate(int threads, int m, int n, int k);
// Sustained read bandwidth (bytes/s) of `threads` threads streaming a buffer much larger
// than the caches.
double readBandwidth(int threads);
// Seconds to read a file with read(2) while it is in the page cache.
double warmFileReadSeconds(const std::filesystem::path& file);

// Resident memory of the process (bytes), from /proc/self/statm.
std::size_t residentBytes();

// Calls of operator new in this process so far (the benchmark binary counts them).
std::uint64_t allocationCount();

}  // namespace norvel::bench
