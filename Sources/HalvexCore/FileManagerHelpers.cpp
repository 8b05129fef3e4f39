#include "HalvexCore/FileManagerHelpers.h"

#include <pwd.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace halvex {
namespace {

std::string homeOf(const std::string& user) {
    if (user.empty()) {
        if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
    }
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    int status = user.empty() ? getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found)
                              : getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (status != 0 || found == nullptr || found->pw_dir == nullptr) return std::string();
    return found->pw_dir;
}

std::string expandingTilde(const std::string& path) {
    if (path.empty() || path[0] != '~') return path;
    const std::size_t slash = path.find('/');
    const std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    const std::string home = homeOf(user);
    if (home.empty()) return path;  // an unknown user keeps the text as written
    std::string rest = slash == std::string::npos ? std::string() : path.substr(slash);
    // "/home/me" + "/x"; a home of "/" gives "/x", not "//x".
    if (!home.empty() && home.back() == '/' && !rest.empty()) rest.erase(0, 1);
    return home + rest;
}

}  // namespace

std::string resolveAbsolutePath(const std::string& inputPath) {
    const std::string expanded = expandingTilde(inputPath);
    if (!expanded.empty() && expanded[0] == '/') return expanded;
    std::error_code error;
    std::filesystem::path cwd = std::filesystem::current_path(error);
    if (error) return expanded;
    return (cwd / expanded).string();
}

}  // namespace halvex
