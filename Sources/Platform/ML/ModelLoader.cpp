#include "Platform/ML/MLError.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/ModelFolder.h"
#include "Platform/ML/ModelFolderManifests.h"
#include "Platform/ML/Runtime/AudioEncoderModel.h"
#include "Platform/ML/Runtime/MelSpectrogramModel.h"
#include "Platform/ML/Runtime/ModelManifest.h"
#include "Platform/ML/Runtime/SafeTensors.h"
#include "Platform/ML/Runtime/TextDecoderModel.h"

namespace platform {

std::shared_ptr<Model> Model::load(const std::filesystem::path& url, ComputeUnits computeUnits) {
    using namespace runtime;
    std::error_code error;
    std::shared_ptr<SafeTensorsFile> weights;
    ModelManifest manifest;
    if (std::filesystem::is_directory(url, error)) {
        manifest = ModelFolderManifests::readManifest(url);
        weights = SafeTensorsFile::open(url / ModelFolder::weightsFile);
    } else if (std::filesystem::is_regular_file(url, error)) {
        // The package form: one weights file whose metadata carries the description.
        manifest = ModelFolderManifests::readManifest(url, &weights);
    } else {
        throw MLError(MLError::Code::modelNotFound, "No model at " + url.string());
    }
    switch (manifest.kind) {
        case ProgramKind::melSpectrogram: return std::make_shared<MelSpectrogramModel>(manifest, weights, computeUnits);
        case ProgramKind::audioEncoder: return std::make_shared<AudioEncoderModel>(manifest, weights, computeUnits);
        case ProgramKind::textDecoder: return std::make_shared<TextDecoderModel>(manifest, weights, computeUnits);
    }
    throw MLError(MLError::Code::invalidModel, "Unknown model kind in " + url.string());
}

}  // namespace platform
