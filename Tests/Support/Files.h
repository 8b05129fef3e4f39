#pragma once

#include <filesystem>
#include <string>

namespace norvel::test {

// The whole content of a file, byte for byte (empty when it cannot be read).
std::string readText(const std::filesystem::path& path);

// Writes `content` as the whole file, creating the folders above it when missing.
void writeText(const std::filesystem::path& path, const std::string& content);

}  // namespace norvel::test
