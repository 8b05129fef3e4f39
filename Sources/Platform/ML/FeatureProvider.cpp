#include "Platform/ML/FeatureProvider.h"

namespace platform {

std::set<std::string> DictionaryFeatureProvider::featureNames() const {
    std::set<std::string> names;
    for (const auto& [name, value] : dictionary_) names.insert(name);
    return names;
}

std::optional<FeatureValue> DictionaryFeatureProvider::featureValue(const std::string& featureName) const {
    auto it = dictionary_.find(featureName);
    if (it == dictionary_.end()) return std::nullopt;
    return it->second;
}

}  // namespace platform
