#pragma once

#include "Platform/ML/FeatureProvider.h"
#include "Platform/ML/MultiArray.h"

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform::runtime {

// Output arrays of one shape and type that are handed out again once nobody holds them:
// a caller always receives an array no one else refers to, so outputs stay fresh and
// writable, while steady-state predictions allocate nothing.
class ArrayRecycler {
public:
    ArrayRecycler(Shape shape, MultiArrayDataType dataType) : shape_(std::move(shape)), dataType_(dataType) {}

    // An array of the shape that no one else refers to; its contents are unspecified.
    MultiArray take();

private:
    static constexpr std::size_t kept = 8;
    Shape shape_;
    MultiArrayDataType dataType_;
    std::mutex mutex_;
    std::vector<MultiArray> arrays_;
};

// A feature provider with a few fixed names (compared as given), recycled like the arrays.
class FixedFeatureProvider : public FeatureProvider {
public:
    static constexpr std::size_t capacity = 4;

    void clear() { count_ = 0; }
    // `name` must outlive the provider.
    void add(const std::string& name, FeatureValue value);

    std::set<std::string> featureNames() const override;
    std::optional<FeatureValue> featureValue(const std::string& featureName) const override;

private:
    std::array<const std::string*, capacity> names_{};
    std::array<FeatureValue, capacity> values_{};
    std::size_t count_ = 0;
};

class ProviderRecycler {
public:
    // A cleared provider that no one else refers to.
    std::shared_ptr<FixedFeatureProvider> take();

private:
    static constexpr std::size_t kept = 8;
    std::mutex mutex_;
    std::vector<std::shared_ptr<FixedFeatureProvider>> providers_;
};

}  // namespace platform::runtime
