#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace norvel::test {

// The whole content of a file, byte for byte (empty when it cannot be read).
std::string readText(const std::filesystem::path& path);

// Writes `content` as the whole file, creating the folders above it when missing.
void writeText(const std::filesystem::path& path, const std::string& content);

// Everything below `folder`, hidden entries included, without following links: each file's
// content, "<folder>" for a folder and "-> TARGET" for a link, by path relative to `folder`.
// Two snapshots are equal exactly when nothing below the folder changed.
std::map<std::string, std::string> snapshot(const std::filesystem::path& folder);

// The names of the entries beside `destination` (in its parent folder) other than the
// destination itself and hidden lock files (".NAME.lock"): what an install into it left.
std::vector<std::string> leftoversBeside(const std::filesystem::path& destination);

}  // namespace norvel::test
