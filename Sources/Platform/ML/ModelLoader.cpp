#include "Platform/ML/MLError.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/ModelFolder.h"
#include "Platform/ML/Runtime/AudioEncoderModel.h"
#include "Platform/ML/Runtime/MelSpectrogramModel.h"
#include "Platform/ML/Runtime/ModelManifest.h"
#include "Platform/ML/Runtime/SafeTensors.h"
#include "Platform/ML/Runtime/TextDecoderModel.h"

#include <fstream>
#include <sstream>

namespace platform {

namespace {

constexpr std::uintmax_t maximumManifestBytes = 16u << 20;

std::string readManifest(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        throw MLError(MLError::Code::modelNotFound, "Model description missing: " + path.string());
    if (std::filesystem::file_size(path, error) > maximumManifestBytes)
        throw MLError(MLError::Code::invalidModel, "Model description too large: " + path.string());
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in && !in.eof()) throw MLError(MLError::Code::invalidModel, "Cannot read " + path.string());
    return text.str();
}

}  // namespace

std::shared_ptr<Model> Model::load(const std::filesystem::path& url, ComputeUnits computeUnits) {
    using namespace runtime;
    std::error_code error;
    std::shared_ptr<SafeTensorsFile> weights;
    ModelManifest manifest;
    if (std::filesystem::is_directory(url, error)) {
        const std::filesystem::path manifestPath = url / ModelFolder::manifestFile;
        manifest = ModelManifest::parse(readManifest(manifestPath), manifestPath.string());
        weights = SafeTensorsFile::open(url / ModelFolder::weightsFile);
    } else if (std::filesystem::is_regular_file(url, error)) {
        // The package form: one weights file whose metadata carries the description.
        weights = SafeTensorsFile::open(url);
        auto it = weights->metadata().find(std::string(ModelFolder::manifestFile));
        if (it == weights->metadata().end())
            throw MLError(MLError::Code::invalidModel, "Model file " + url.string() + " carries no model description");
        manifest = ModelManifest::parse(it->second, url.string());
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
