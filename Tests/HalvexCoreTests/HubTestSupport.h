#pragma once

#include "Support/ScopedEnvironment.h"

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace norvel::test {

inline std::string readText(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

inline void writeText(const std::filesystem::path& path, const std::string& content) {
    if (path.has_parent_path()) {
        std::filesystem::create_directories(path.parent_path());
    }
    std::ofstream(path, std::ios::binary) << content;
}

// Runs `body` and returns what it threw when that is an E; absent when it returned normally.
// Any other exception passes through, so the test reports it.
template <typename E, typename Body>
std::optional<E> thrownAs(Body&& body) {
    try {
        body();
    } catch (const E& error) {
        return error;
    }
    return std::nullopt;
}

}  // namespace norvel::test
