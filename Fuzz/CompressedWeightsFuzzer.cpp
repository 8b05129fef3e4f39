// The weights file of a compressed model stage: the first byte picks the stage (even: the text
// decoder, odd: the audio encoder) of a small compressed model folder, the rest is that
// stage's weights.safetensors. A file that loads is run once, so that a block layout the
// checks let through is read by the products too.
//
// Seeds: corpus/compressed-weights holds both stages' valid files; `fuzz-compressed-weights
// -seeds=DIR` writes them again.

#include "Platform/ML/Conversion/CheckpointGenerator.h"
#include "Platform/ML/Conversion/ModelConverter.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/ModelFolder.h"
#include "Support/CompressedModel.h"
#include "Support/Files.h"

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace platform;
using namespace platform::runtime;
using norvel::test::readText;
using norvel::test::writeText;

// A compressed model folder small enough to load and run in a moment.
struct Folder {
    fs::path root;
    fs::path stages[2];
    std::string valid[2];

    Folder() {
        std::string pattern = (fs::temp_directory_path() / "fuzz-compressed-weights-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        root = pattern;
        conversion::CheckpointConfig c;
        c.melCount = 8;
        c.width = 32;
        c.encoderHeads = c.decoderHeads = 2;
        c.encoderLayers = c.decoderLayers = 1;
        c.vocabulary = 16;
        c.audioFrames = 4;
        c.textContext = 8;
        c.alignmentHeads = {{0, 1}};
        conversion::generateCheckpoint(root / "checkpoint", c);
        conversion::ConversionOptions options;
        options.cacheLength = 8;
        conversion::convertCheckpoint(root / "checkpoint", root / "model", options);
        // The layer matrices and the token embedding at 8 bits in blocks of 32.
        norvel::test::compressModelFolder(root / "model");
        stages[0] = ModelFolder::compiledModel(root / "model", ModelFolder::textDecoder);
        stages[1] = ModelFolder::compiledModel(root / "model", ModelFolder::audioEncoder);
        for (int i = 0; i < 2; ++i) valid[i] = readText(stages[i] / ModelFolder::weightsFile);
    }
    ~Folder() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
};

Folder& folder() {
    static Folder f;
    return f;
}

// One prediction with inputs of zeros (the first token).
void runOnce(const Model& model) {
    std::map<std::string, FeatureValue> inputs;
    for (const auto& [name, feature] : model.modelDescription().inputDescriptionsByName) {
        MultiArray array(feature.multiArrayConstraint->shape, feature.multiArrayConstraint->dataType);
        inputs.emplace(name, FeatureValue(array));
    }
    (void)model.prediction(DictionaryFeatureProvider(inputs));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // -seeds=DIR: write the valid files as seeds and stop.
    for (int i = 1; i < *argc; ++i) {
        const std::string argument = (*argv)[i];
        if (argument.rfind("-seeds=", 0) != 0) continue;
        const fs::path directory = argument.substr(7);
        fs::create_directories(directory);
        writeText(directory / "decoder", std::string(1, '\0') + folder().valid[0]);
        writeText(directory / "encoder", std::string(1, '\1') + folder().valid[1]);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int stage = data[0] % 2;
    const fs::path& path = folder().stages[stage];
    writeText(path / ModelFolder::weightsFile, std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    try {
        auto model = Model::load(path);
        runOnce(*model);
    } catch (const std::exception&) {
        // A damaged file is refused with an error; only crashes, hangs and reads out of
        // bounds are findings.
    }
    return 0;
}
