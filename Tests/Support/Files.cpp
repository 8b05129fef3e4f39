#include "Support/Files.h"

#include <fstream>
#include <iterator>

namespace norvel::test {

std::string readText(const std::filesystem::path& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

void writeText(const std::filesystem::path& path, const std::string& content) {
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::map<std::string, std::string> snapshot(const std::filesystem::path& folder) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string name = fs::relative(entry.path(), folder).string();
        if (entry.is_symlink()) {
            entries[name] = "-> " + fs::read_symlink(entry.path()).string();
        } else if (entry.is_directory()) {
            entries[name] = "<folder>";
        } else {
            entries[name] = readText(entry.path());
        }
    }
    return entries;
}

std::vector<std::string> leftoversBeside(const std::filesystem::path& destination) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(destination.parent_path())) {
        const std::string name = entry.path().filename().string();
        if (name != destination.filename().string() && !(name.starts_with(".") && name.ends_with(".lock")))
            found.push_back(name);
    }
    return found;
}

}  // namespace norvel::test
