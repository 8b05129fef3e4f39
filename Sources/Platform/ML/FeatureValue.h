#pragma once

#include "Platform/ML/MultiArray.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace platform {

// Kinds of feature a model exchanges.
enum class FeatureType { invalid, int64, double_, string, multiArray };

std::string_view featureTypeName(FeatureType type);

// One named input or output value of a prediction: an integer, a double, a text or a
// multi-array. A multi-array value refers to the array (it is not copied).
class FeatureValue {
public:
    FeatureValue() = default;  // invalid
    explicit FeatureValue(std::int64_t value) : value_(value) {}
    explicit FeatureValue(double value) : value_(value) {}
    explicit FeatureValue(std::string value) : value_(std::move(value)) {}
    FeatureValue(MultiArray array) : value_(std::move(array)) {}  // NOLINT: the usual case

    FeatureType type() const;

    // The value of the matching kind; nothing for any other kind.
    std::optional<MultiArray> multiArrayValue() const;
    std::optional<std::int64_t> int64Value() const;
    std::optional<double> doubleValue() const;
    std::optional<std::string> stringValue() const;

private:
    std::variant<std::monostate, std::int64_t, double, std::string, MultiArray> value_;
};

}  // namespace platform
