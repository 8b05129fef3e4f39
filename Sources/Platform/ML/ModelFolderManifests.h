#pragma once

#include "Platform/ML/Runtime/ModelManifest.h"
#include "Platform/ML/Runtime/SafeTensors.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// The descriptions of a model folder's three models, read as the loader reads them, and the
// check that the three belong together: a folder whose encoder came from one checkpoint and
// whose decoder came from another loads stage by stage without complaint, then fails in the
// middle of a transcription.
struct ModelFolderManifests {
    runtime::ModelManifest mel;
    runtime::ModelManifest encoder;
    runtime::ModelManifest decoder;

    // The description of the model at `location`, as Model::load reads it: model.json of a
    // compiled model's folder, or the metadata of a package's model file (whose opened weights
    // go to `weights` when given). Throws MLError as Model::load does.
    static runtime::ModelManifest readManifest(const std::filesystem::path& location,
                                               std::shared_ptr<runtime::SafeTensorsFile>* weights = nullptr);

    // The three descriptions at the locations the loader is given (ModelFolder::modelLocation);
    // MLError as Model::load, and invalidModel when a model is not the program its name says.
    static ModelFolderManifests read(const std::filesystem::path& folder);

    // Each way in which the three models, and the folder's tokenizer.json when it has one, do
    // not fit together: the mel bands the spectrogram gives and the encoder takes, the frames of
    // a window between the two, the encoder's width and frames against what the decoder
    // attends to, and the decoder's vocabulary against the tokenizer's highest token id. Empty
    // when they agree. Throws MLError when the tokenizer file cannot be read.
    std::vector<std::string> disagreements(const std::filesystem::path& folder) const;

    // Throws MLError (invalidModel) naming the folder and every disagreement.
    void requireAgreement(const std::filesystem::path& folder) const;
};

}  // namespace platform
