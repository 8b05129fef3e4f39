#include "Platform/ML/ModelDescription.h"

namespace platform {

const FeatureDescription* ModelDescription::input(const std::string& name) const {
    auto it = inputDescriptionsByName.find(name);
    return it == inputDescriptionsByName.end() ? nullptr : &it->second;
}

const FeatureDescription* ModelDescription::output(const std::string& name) const {
    auto it = outputDescriptionsByName.find(name);
    return it == outputDescriptionsByName.end() ? nullptr : &it->second;
}

}  // namespace platform
