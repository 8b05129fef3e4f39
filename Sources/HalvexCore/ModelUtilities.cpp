#include "HalvexCore/ModelUtilities.h"

#include "Platform/ML/ModelFolder.h"

#include <algorithm>
#include <system_error>

namespace halvex {
namespace fs = std::filesystem;

namespace {

using platform::ModelFolder;

std::optional<std::vector<int>> shapeOf(const platform::FeatureDescription* feature) {
    if (feature == nullptr || feature->type != platform::FeatureType::multiArray || !feature->multiArrayConstraint) {
        return std::nullopt;
    }
    return feature->multiArrayConstraint->shape;
}

std::optional<int> dimensionOf(const std::optional<std::vector<int>>& shape, std::ptrdiff_t position) {
    if (!shape || position < 0 || static_cast<std::size_t>(position) >= shape->size()) return std::nullopt;
    return (*shape)[static_cast<std::size_t>(position)];
}

// The folder's entries in name order; nothing when it cannot be listed.
std::optional<std::vector<fs::path>> sortedEntries(const fs::path& folder) {
    std::error_code error;
    fs::directory_iterator listing(folder, error);
    if (error) return std::nullopt;
    std::vector<fs::path> entries;
    for (auto end = fs::directory_iterator(); listing != end; listing.increment(error)) {
        if (error) return std::nullopt;
        entries.push_back(listing->path());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// Depth-first walk in name order; directory links are not followed, so the walk ends.
std::optional<fs::path> findInTree(const fs::path& folder, const std::string& wanted) {
    auto entries = sortedEntries(folder);
    if (!entries) return std::nullopt;
    for (const auto& entry : *entries) {
        if (entry.filename() == wanted) return entry;
        std::error_code error;
        if (fs::is_directory(fs::symlink_status(entry, error))) {
            if (auto found = findInTree(entry, wanted)) return found;
        }
    }
    return std::nullopt;
}

}  // namespace

fs::path ModelUtilities::detectModelURL(const fs::path& folder, const std::string& name) {
    return ModelFolder::modelLocation(folder, name);
}

fs::path ModelUtilities::detectModelURL(const fs::path& folder, const std::string& name, bool recursive) {
    if (!recursive) return detectModelURL(folder, name);
    const fs::path compiled = ModelFolder::compiledModel(folder, name);
    std::error_code error;
    if (fs::exists(compiled, error)) return compiled;

    if (auto found = findInTree(folder, compiled.filename().string())) return *found;
    return compiled;
}

std::optional<fs::path> ModelUtilities::detectModelURL(const fs::path& folder) {
    auto entries = sortedEntries(folder);
    if (!entries) return std::nullopt;
    for (const auto& entry : *entries) {
        if (entry.extension() == ModelFolder::compiledExtension) return entry;
    }
    for (const auto& entry : *entries) {
        if (entry.extension() == ModelFolder::packageExtension) return entry / ModelFolder::packageModelFile;
    }
    return std::nullopt;
}

std::optional<std::vector<int>> ModelUtilities::getModelInputShape(const platform::Model* model,
                                                                   const std::string& named) {
    if (model == nullptr) return std::nullopt;
    return shapeOf(model->modelDescription().input(named));
}

std::optional<std::vector<int>> ModelUtilities::getModelOutputShape(const platform::Model* model,
                                                                    const std::string& named) {
    if (model == nullptr) return std::nullopt;
    return shapeOf(model->modelDescription().output(named));
}

std::optional<int> ModelUtilities::getModelInputDimension(const platform::Model* model, const std::string& named,
                                                          std::ptrdiff_t position) {
    return dimensionOf(getModelInputShape(model, named), position);
}

std::optional<int> ModelUtilities::getModelOutputDimension(const platform::Model* model, const std::string& named,
                                                           std::ptrdiff_t position) {
    return dimensionOf(getModelOutputShape(model, named), position);
}

}  // namespace halvex
