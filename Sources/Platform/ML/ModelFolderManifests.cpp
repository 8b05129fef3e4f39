#include "Platform/ML/ModelFolderManifests.h"

#include "Platform/IO/RegularFile.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/ModelFolder.h"
#include "Platform/ML/TokenizerIds.h"

namespace platform {

namespace {

using runtime::ModelManifest;
using runtime::ProgramKind;

// model.json is a few kilobytes; anything near this is not one.
constexpr std::size_t maximumManifestBytes = std::size_t{16} << 20;

std::string readManifestText(const std::filesystem::path& path) {
    try {
        return readRegularFile(path, maximumManifestBytes);
    } catch (const RegularFileError& error) {
        switch (error.reason()) {
            case RegularFileError::Reason::missing:
                throw MLError(MLError::Code::modelNotFound, "Model description missing: " + path.string());
            case RegularFileError::Reason::tooLarge:
                throw MLError(MLError::Code::invalidModel, "Model description too large: " + path.string());
            case RegularFileError::Reason::notRegularFile:
                throw MLError(MLError::Code::invalidModel, "Model description is not a regular file: " + path.string());
            case RegularFileError::Reason::unreadable: break;
        }
        throw MLError(MLError::Code::invalidModel, std::string("Cannot read the model description: ") + error.what());
    }
}

std::string number(int value) { return std::to_string(value); }

}  // namespace

ModelManifest ModelFolderManifests::readManifest(const std::filesystem::path& location,
                                                 std::shared_ptr<runtime::SafeTensorsFile>* weights) {
    std::error_code error;
    if (std::filesystem::is_directory(location, error)) {
        const std::filesystem::path path = location / ModelFolder::manifestFile;
        return ModelManifest::parse(readManifestText(path), path.string());
    }
    if (!std::filesystem::exists(location, error))
        throw MLError(MLError::Code::modelNotFound, "No model at " + location.string());
    // The package form: one weights file whose metadata carries the description.
    auto file = runtime::SafeTensorsFile::open(location);
    const auto found = file->metadata().find(std::string(ModelFolder::manifestFile));
    if (found == file->metadata().end())
        throw MLError(MLError::Code::invalidModel, "Model file " + location.string() + " carries no model description");
    ModelManifest manifest = ModelManifest::parse(found->second, location.string());
    if (weights) *weights = std::move(file);
    return manifest;
}

ModelFolderManifests ModelFolderManifests::read(const std::filesystem::path& folder) {
    const auto load = [&](std::string_view name, ProgramKind kind) {
        const auto location = ModelFolder::modelLocation(folder, name);
        ModelManifest manifest = readManifest(location);
        if (manifest.kind != kind)
            throw MLError(MLError::Code::invalidModel, "The model at " + location.string() + " is a " +
                                                           runtime::programKindName(manifest.kind) + ", not a " +
                                                           runtime::programKindName(kind));
        return manifest;
    };
    ModelFolderManifests manifests;
    manifests.mel = load(ModelFolder::melSpectrogram, ProgramKind::melSpectrogram);
    manifests.encoder = load(ModelFolder::audioEncoder, ProgramKind::audioEncoder);
    manifests.decoder = load(ModelFolder::textDecoder, ProgramKind::textDecoder);
    return manifests;
}

std::vector<std::string> ModelFolderManifests::disagreements(const std::filesystem::path& folder) const {
    std::vector<std::string> found;
    const auto& m = mel.mel;
    const auto& e = encoder.encoder;
    const auto& d = decoder.decoder;
    if (m.melCount != e.melCount)
        found.push_back("the mel spectrogram gives " + number(m.melCount) + " mel bands, the audio encoder takes " +
                        number(e.melCount));
    if (m.frameCount() != 2 * e.frames)
        found.push_back("the mel spectrogram gives " + number(m.frameCount()) +
                        " frames a window, the audio encoder takes " + number(2 * e.frames));
    if (e.width != d.width)
        found.push_back("the audio encoder is " + number(e.width) + " wide, the text decoder " + number(d.width));
    if (e.frames != d.audioFrames)
        found.push_back("the audio encoder gives " + number(e.frames) + " frames, the text decoder attends to " +
                        number(d.audioFrames));
    const auto tokenizer = folder / "tokenizer.json";
    std::error_code error;
    if (std::filesystem::exists(tokenizer, error)) {
        const TokenizerIds ids = TokenizerIds::read(tokenizer);
        if (ids.highestId >= d.vocabulary)
            found.push_back("the text decoder's vocabulary has " + number(d.vocabulary) +
                            " tokens, the tokenizer's token \"" + ids.highestToken + "\" has id " +
                            std::to_string(ids.highestId));
    }
    return found;
}

void ModelFolderManifests::requireAgreement(const std::filesystem::path& folder) const {
    const auto found = disagreements(folder);
    if (found.empty()) return;
    std::string message = "The models in " + folder.string() + " do not belong together: ";
    for (std::size_t i = 0; i < found.size(); ++i) message += (i == 0 ? "" : "; ") + found[i];
    throw MLError(MLError::Code::invalidModel, message);
}

}  // namespace platform
