#include "Platform/ML/Runtime/OutputRecycler.h"

namespace platform::runtime {

MultiArray ArrayRecycler::take() {
    {
        std::lock_guard lock(mutex_);
        for (const MultiArray& array : arrays_) {
            // Only this list refers to it: every caller has let go.
            if (array.storageUseCount() == 1) return array;
        }
    }
    MultiArray fresh(shape_, dataType_);
    std::lock_guard lock(mutex_);
    if (arrays_.size() < kept) arrays_.push_back(fresh);
    return fresh;
}

void FixedFeatureProvider::add(const std::string& name, FeatureValue value) {
    names_[count_] = &name;
    values_[count_] = std::move(value);
    ++count_;
}

std::set<std::string> FixedFeatureProvider::featureNames() const {
    std::set<std::string> names;
    for (std::size_t i = 0; i < count_; ++i) names.insert(*names_[i]);
    return names;
}

std::optional<FeatureValue> FixedFeatureProvider::featureValue(const std::string& featureName) const {
    for (std::size_t i = 0; i < count_; ++i) {
        if (*names_[i] == featureName) return values_[i];
    }
    return std::nullopt;
}

std::shared_ptr<FixedFeatureProvider> ProviderRecycler::take() {
    {
        std::lock_guard lock(mutex_);
        for (const auto& provider : providers_) {
            if (provider.use_count() == 1) {
                provider->clear();
                return provider;
            }
        }
    }
    auto fresh = std::make_shared<FixedFeatureProvider>();
    std::lock_guard lock(mutex_);
    if (providers_.size() < kept) providers_.push_back(fresh);
    return fresh;
}

}  // namespace platform::runtime
