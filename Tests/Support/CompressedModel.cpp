#include "Support/CompressedModel.h"

#include "Platform/ML/ModelFolder.h"
#include "Platform/ML/Runtime/BlockwiseFormat.h"
#include "Platform/ML/Runtime/ModelManifest.h"
#include "Support/Files.h"

#include <vector>

namespace norvel::test {

namespace fs = std::filesystem;
using namespace platform;
using namespace platform::runtime;

void copyTensor(const TensorView& tensor, SafeTensorsWriter& writer) {
    std::vector<std::byte> bytes(tensor.data, tensor.data + tensor.byteCount);
    writer.add(tensor.name, tensor.dtype, tensor.shape, std::move(bytes));
}

void rewriteWeights(const fs::path& weightsFile, const TensorEdit& edit) {
    SafeTensorsWriter writer;
    {
        auto file = SafeTensorsFile::open(weightsFile);
        for (const auto& [key, value] : file->metadata()) writer.setMetadata(key, value);
        for (const auto& [name, view] : file->tensors()) edit(view, writer);
    }
    writer.write(weightsFile);
}

namespace {

bool compressible(const TensorView& tensor) {
    if (tensor.shape.size() != 2) return false;
    if (tensor.name == "token_embedding") return true;
    return tensor.name.rfind("layer.", 0) == 0 && tensor.name.find("norm") == std::string::npos &&
           tensor.name.size() > 7 && tensor.name.compare(tensor.name.size() - 7, 7, ".weight") == 0;
}

}  // namespace

void compressModelFolder(const fs::path& folder, const CompressionOptions& options) {
    for (const auto stage : {ModelFolder::audioEncoder, ModelFolder::textDecoder}) {
        const fs::path model = ModelFolder::compiledModel(folder, stage);
        rewriteWeights(model / ModelFolder::weightsFile, [&](const TensorView& tensor, SafeTensorsWriter& writer) {
            const int bits = compressible(tensor) ? options.bitsFor(tensor.name) : 0;
            if (bits == 0) return copyTensor(tensor, writer);
            const std::vector<float> values = tensor.toFloat();
            addReferenceQuantizedMatrix(writer, tensor.name, {tensor.shape[0], tensor.shape[1], bits, options.block},
                                        values.data());
        });
        const fs::path manifestPath = model / ModelFolder::manifestFile;
        ModelManifest manifest = ModelManifest::parse(readText(manifestPath), manifestPath.string());
        manifest.weightFormat = WeightFormat::blockwise;
        writeText(manifestPath, manifest.serialize());
    }
}

}  // namespace norvel::test
