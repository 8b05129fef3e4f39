#include "Platform/ML/FeatureValue.h"

namespace platform {

std::string_view featureTypeName(FeatureType type) {
    switch (type) {
        case FeatureType::invalid: return "invalid";
        case FeatureType::int64: return "int64";
        case FeatureType::double_: return "double";
        case FeatureType::string: return "string";
        case FeatureType::multiArray: return "multiArray";
    }
    return "invalid";
}

FeatureType FeatureValue::type() const {
    switch (value_.index()) {
        case 1: return FeatureType::int64;
        case 2: return FeatureType::double_;
        case 3: return FeatureType::string;
        case 4: return FeatureType::multiArray;
        default: return FeatureType::invalid;
    }
}

std::optional<MultiArray> FeatureValue::multiArrayValue() const {
    if (auto* array = std::get_if<MultiArray>(&value_)) return *array;
    return std::nullopt;
}

std::optional<std::int64_t> FeatureValue::int64Value() const {
    if (auto* v = std::get_if<std::int64_t>(&value_)) return *v;
    return std::nullopt;
}

std::optional<double> FeatureValue::doubleValue() const {
    if (auto* v = std::get_if<double>(&value_)) return *v;
    return std::nullopt;
}

std::optional<std::string> FeatureValue::stringValue() const {
    if (auto* v = std::get_if<std::string>(&value_)) return *v;
    return std::nullopt;
}

}  // namespace platform
