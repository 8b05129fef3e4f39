#include "Platform/ML/Model.h"

#include "Platform/ML/MLError.h"

#include <string>

namespace platform {

void Model::validateInput(const FeatureProvider& input) const {
    for (const auto& [name, feature] : description_.inputDescriptionsByName) {
        auto value = input.featureValue(name);
        if (!value) {
            if (feature.isOptional) continue;
            throw MLError(MLError::Code::featureMissing, "Required input feature \"" + name + "\" was not provided");
        }
        if (value->type() != feature.type)
            throw MLError(MLError::Code::featureTypeMismatch,
                          "Input feature \"" + name + "\" is of type " + std::string(featureTypeName(value->type())) +
                              ", expected " + std::string(featureTypeName(feature.type)));
        if (feature.type != FeatureType::multiArray || !feature.multiArrayConstraint) continue;
        const auto array = *value->multiArrayValue();
        const auto& constraint = *feature.multiArrayConstraint;
        if (array.isEmpty())
            throw MLError(MLError::Code::featureTypeMismatch, "Input feature \"" + name + "\" is an empty multi-array");
        if (array.dataType() != constraint.dataType)
            throw MLError(MLError::Code::featureTypeMismatch, "Input feature \"" + name + "\" has element type " +
                                                                  std::string(dataTypeName(array.dataType())) +
                                                                  ", expected " +
                                                                  std::string(dataTypeName(constraint.dataType)));
        if (array.shape() != constraint.shape)
            throw MLError(MLError::Code::featureTypeMismatch, "Input feature \"" + name + "\" has shape " +
                                                                  shapeText(array.shape()) + ", expected " +
                                                                  shapeText(constraint.shape));
    }
}

std::shared_ptr<FeatureProvider> Model::prediction(const FeatureProvider& input,
                                                   const PredictionOptions& options) const {
    validateInput(input);
    return predict(input, options);
}

}  // namespace platform
