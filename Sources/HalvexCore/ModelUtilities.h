#pragma once

#include "Platform/ML/Model.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace halvex {

// Finding a model's file in a model folder and reading the shapes of a loaded model.
// None of these operations throws.
struct ModelUtilities {
    // The compiled form `folder/NAME.mlmodelc`, unless only the package's model file
    // `folder/NAME.mlpackage/Data/com.apple.CoreML/model.mlmodel` exists: the location the
    // runtime's model folder gives (platform::ModelFolder::modelLocation). Never checks that
    // the result exists.
    static std::filesystem::path detectModelURL(const std::filesystem::path& folder, const std::string& name);

    // Recursive: the compiled form in the folder when it exists; else the first entry of a
    // walk of the whole tree named `NAME.mlmodelc`; else the compiled form in the folder.
    // Not recursive: as detectModelURL(folder, name).
    static std::filesystem::path detectModelURL(const std::filesystem::path& folder, const std::string& name,
                                                bool recursive);

    // The first `*.mlmodelc` entry of the folder, else the first `*.mlpackage` entry
    // extended to its model file, else nothing (also when the folder cannot be listed).
    // Entries are taken in name order.
    static std::optional<std::filesystem::path> detectModelURL(const std::filesystem::path& folder);

    // The shape of the named multi-array input/output, or nothing when the model, the
    // feature or its multi-array constraint is missing.
    static std::optional<std::vector<int>> getModelInputShape(const platform::Model* model, const std::string& named);
    static std::optional<std::vector<int>> getModelOutputShape(const platform::Model* model, const std::string& named);

    // The entry at `position` of that shape, or nothing when it is missing or the position
    // lies outside the shape.
    static std::optional<int> getModelInputDimension(const platform::Model* model, const std::string& named,
                                                     std::ptrdiff_t position);
    static std::optional<int> getModelOutputDimension(const platform::Model* model, const std::string& named,
                                                      std::ptrdiff_t position);
};

}  // namespace halvex
