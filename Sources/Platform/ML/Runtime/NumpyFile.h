#pragma once

#include "Platform/ML/MultiArray.h"

#include <filesystem>

namespace platform::runtime {

// Reads and writes NumPy .npy files (format 1.0–3.0, little-endian, C order) of the
// multi-array element types: float16 '<f2', float32 '<f4', double '<f8', int32 '<i4',
// int8 '|i1'. Reading also accepts '<i8' (converted to int32 when every value fits).
// A malformed or truncated file, or another element type, is an MLError.
MultiArray readNumpyFile(const std::filesystem::path& path);
void writeNumpyFile(const std::filesystem::path& path, const MultiArray& array);

}  // namespace platform::runtime
