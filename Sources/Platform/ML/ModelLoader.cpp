#include "Platform/ML/MLError.h"
#include "Platform/ML/Model.h"

namespace platform {

std::shared_ptr<Model> Model::load(const std::filesystem::path& url, ComputeUnits) {
    std::error_code error;
    if (!std::filesystem::exists(url, error))
        throw MLError(MLError::Code::modelNotFound, "No model at " + url.string());
    throw MLError(MLError::Code::invalidModel, "Model programs are not available yet: " + url.string());
}

}  // namespace platform
