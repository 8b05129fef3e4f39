#pragma once

#include <stdexcept>
#include <string>

namespace platform {

// The runtime's own error: loading a model, describing or running a prediction, or
// creating an array failed. `what()` names the cause in plain words.
class MLError : public std::runtime_error {
public:
    enum class Code {
        invalidArgument,      // a shape, data type or value the call cannot take
        modelNotFound,        // the model's files do not exist
        invalidModel,         // malformed, truncated or inconsistent model files
        featureMissing,       // a required input feature is not provided
        featureTypeMismatch,  // an input is of the wrong kind, data type or shape
        predictionFailed,     // the computation could not run
    };

    MLError(Code code, const std::string& message) : std::runtime_error(message), code_(code) {}
    Code code() const { return code_; }

private:
    Code code_;
};

}  // namespace platform
