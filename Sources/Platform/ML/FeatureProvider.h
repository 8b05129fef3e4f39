#pragma once

#include "Platform/ML/FeatureValue.h"

#include <map>
#include <optional>
#include <set>
#include <string>

namespace platform {

// A set of named feature values: the input of a prediction or its output.
class FeatureProvider {
public:
    virtual ~FeatureProvider() = default;
    virtual std::set<std::string> featureNames() const = 0;
    // The value of the named feature (exact, case-sensitive name), or nothing.
    virtual std::optional<FeatureValue> featureValue(const std::string& featureName) const = 0;
};

// A provider backed by a name → value table.
class DictionaryFeatureProvider : public FeatureProvider {
public:
    DictionaryFeatureProvider() = default;
    explicit DictionaryFeatureProvider(std::map<std::string, FeatureValue> dictionary)
        : dictionary_(std::move(dictionary)) {}

    std::set<std::string> featureNames() const override;
    std::optional<FeatureValue> featureValue(const std::string& featureName) const override;

    const std::map<std::string, FeatureValue>& dictionary() const { return dictionary_; }
    void set(const std::string& featureName, FeatureValue value) { dictionary_[featureName] = std::move(value); }

private:
    std::map<std::string, FeatureValue> dictionary_;
};

}  // namespace platform
