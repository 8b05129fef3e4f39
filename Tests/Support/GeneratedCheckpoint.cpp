#include "Support/GeneratedCheckpoint.h"

#include "Platform/ML/Conversion/CheckpointGenerator.h"
#include "Support/Fixtures.h"
#include "Support/HubServer.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <fstream>

namespace norvel::test {

namespace fs = std::filesystem;
using platform::runtime::SafeTensorsFile;
using platform::runtime::SafeTensorsWriter;
using platform::runtime::TensorDType;

void generateCheckpointFolder(const fs::path& folder, TensorDType dtype) {
    using namespace platform::conversion;
    CheckpointConfig config = *checkpointPreset("tiny");
    config.width = 64;
    config.encoderHeads = config.decoderHeads = 4;
    config.encoderLayers = config.decoderLayers = 2;
    config.alignmentHeads = {{1, 0}, {1, 3}};
    GeneratorOptions options;
    options.seed = 5;
    options.dtype = dtype;
    options.tokenizerFolder = fixture("tokenizers/multilingual");
    generateCheckpoint(folder, config, options);
}

const std::filesystem::path& pristineCheckpointFolder() {
    static TemporaryDirectory folder;
    static const bool made = (generateCheckpointFolder(folder.path()), true);
    (void)made;
    return folder.path();
}

void rewriteWeights(const fs::path& file, const TensorEdit& edit) {
    SafeTensorsWriter writer;
    {
        const auto source = SafeTensorsFile::open(file);
        for (const auto& [name, view] : source->tensors()) {
            TensorDType dtype = view.dtype;
            std::vector<std::int64_t> shape = view.shape;
            std::vector<std::byte> bytes(view.data, view.data + view.byteCount);
            if (edit(name, dtype, shape, bytes)) writer.add(name, dtype, std::move(shape), std::move(bytes));
        }
    }
    writer.write(file);
}

void shardWeights(const fs::path& checkpointFolder) {
    const fs::path single = checkpointFolder / "model.safetensors";
    SafeTensorsWriter first, second;
    nlohmann::json map = nlohmann::json::object();
    {
        const auto source = SafeTensorsFile::open(single);
        for (const auto& [name, view] : source->tensors()) {
            const bool encoder = name.find("encoder") != std::string::npos;
            const std::string shard = encoder ? "model-00001-of-00002.safetensors" : "model-00002-of-00002.safetensors";
            (encoder ? first : second)
                .add(name, view.dtype, view.shape, std::vector<std::byte>(view.data, view.data + view.byteCount));
            map[name] = shard;
        }
    }
    first.write(checkpointFolder / "model-00001-of-00002.safetensors");
    second.write(checkpointFolder / "model-00002-of-00002.safetensors");
    std::ofstream(checkpointFolder / "model.safetensors.index.json")
        << nlohmann::json{{"metadata", {{"total_size", 0}}}, {"weight_map", map}}.dump(2);
    fs::remove(single);
}

const std::vector<std::string>& otherWeightFormats() {
    static const std::vector<std::string> names = {"pytorch_model.bin", "tf_model.h5", "flax_model.msgpack",
                                                   "onnx/encoder_model.onnx"};
    return names;
}

void serveCheckpoint(HubServer& server, const std::string& repoId, const fs::path& checkpointFolder) {
    server.addDirectory(repoId, checkpointFolder);
    for (const auto& name : otherWeightFormats()) server.addFile(repoId, name, std::string(4096, 'x'));
}

}  // namespace norvel::test
