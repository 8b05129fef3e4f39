#include "Platform/ML/ModelFolder.h"

#include <system_error>

namespace platform {

namespace fs = std::filesystem;

namespace {

bool isNonEmptyFile(const fs::path& path) {
    std::error_code error;
    if (!fs::is_regular_file(path, error)) return false;
    const auto size = fs::file_size(path, error);
    return !error && size > 0;
}

}  // namespace

const std::vector<std::string>& ModelFolder::requiredTokenizerFiles() {
    static const std::vector<std::string> names = {"tokenizer.json", "tokenizer_config.json"};
    return names;
}

const std::vector<std::string>& ModelFolder::tokenizerFiles() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all = requiredTokenizerFiles();
        for (const char* optional :
             {"vocab.json", "merges.txt", "special_tokens_map.json", "added_tokens.json", "normalizer.json"}) {
            all.emplace_back(optional);
        }
        return all;
    }();
    return names;
}

fs::path ModelFolder::compiledModel(const fs::path& folder, std::string_view name) {
    return folder / (std::string(name) + std::string(compiledExtension));
}

fs::path ModelFolder::packageFolder(const fs::path& folder, std::string_view name) {
    return folder / (std::string(name) + std::string(packageExtension));
}

fs::path ModelFolder::packageModel(const fs::path& folder, std::string_view name) {
    return packageFolder(folder, name) / packageModelFile;
}

fs::path ModelFolder::modelLocation(const fs::path& folder, std::string_view name) {
    const fs::path compiled = compiledModel(folder, name);
    const fs::path package = packageModel(folder, name);
    std::error_code error;
    const bool compiledExists = fs::exists(compiled, error);
    const bool packageExists = fs::exists(package, error);
    return packageExists && !compiledExists ? package : compiled;
}

bool ModelFolder::isComplete(const fs::path& folder) {
    for (const std::string_view name : modelNames) {
        const fs::path location = modelLocation(folder, name);
        std::error_code error;
        const bool whole = location == compiledModel(folder, name)
                               ? fs::is_directory(location, error) && isNonEmptyFile(location / manifestFile) &&
                                     isNonEmptyFile(location / weightsFile)
                               : isNonEmptyFile(location);
        if (!whole) return false;
    }
    return true;
}

std::uint64_t ModelFolder::bytesOnDisk(const std::filesystem::path& folder) {
    std::uint64_t bytes = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.is_regular_file()) bytes += entry.file_size();
    return bytes;
}

}  // namespace platform
