#pragma once

#include "Platform/ML/FeatureValue.h"
#include "Platform/ML/MultiArray.h"

#include <map>
#include <optional>
#include <string>

namespace platform {

// The shape and element type a multi-array feature must have.
struct MultiArrayConstraint {
    Shape shape;
    MultiArrayDataType dataType = MultiArrayDataType::float32;
};

// One input or output of a model.
struct FeatureDescription {
    std::string name;
    FeatureType type = FeatureType::invalid;
    bool isOptional = false;
    std::optional<MultiArrayConstraint> multiArrayConstraint;  // for multi-array features
};

// What a model takes and gives, feature by feature.
struct ModelDescription {
    std::map<std::string, FeatureDescription> inputDescriptionsByName;
    std::map<std::string, FeatureDescription> outputDescriptionsByName;
    std::map<std::string, std::string> metadata;

    // The named feature's description, or nullptr.
    const FeatureDescription* input(const std::string& name) const;
    const FeatureDescription* output(const std::string& name) const;
};

}  // namespace platform
