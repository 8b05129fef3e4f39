// The JSON files of a model folder and of the checkpoints the converter turns into one: each
// input is read as model.json (the program, its hyper-parameters and the feature description),
// and, in a small checkpoint folder of valid weights, as config.json (then converted whenever
// its dimensions are small enough), generation_config.json, the shard index and tokenizer.json.

#include "Platform/ML/Conversion/CheckpointGenerator.h"
#include "Platform/ML/Conversion/CheckpointReader.h"
#include "Platform/ML/Conversion/ConversionMonitor.h"
#include "Platform/ML/Conversion/ModelConverter.h"
#include "Platform/ML/ModelFolderManifests.h"
#include "Platform/ML/Runtime/ModelManifest.h"
#include "Platform/ML/TokenizerIds.h"

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace {

namespace fs = std::filesystem;
using namespace platform;

void write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// A checkpoint of valid weights, small enough to convert in a moment: `folder` holds it whole,
// `folder`/sharded its weights as one shard beside a configuration.
struct Checkpoint {
    fs::path folder;
    std::string config;
    std::string generation;

    Checkpoint() {
        std::string pattern = (fs::temp_directory_path() / "fuzz-model-folder-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) std::abort();
        folder = fs::path(pattern) / "checkpoint";
        conversion::CheckpointConfig c;
        c.melCount = 8;
        c.width = 8;
        c.encoderHeads = c.decoderHeads = 2;
        c.encoderLayers = c.decoderLayers = 1;
        c.vocabulary = 16;
        c.audioFrames = 2;
        c.textContext = 4;
        c.alignmentHeads = {{0, 1}};
        conversion::generateCheckpoint(folder, c);
        config = read(folder / "config.json");
        generation = read(folder / "generation_config.json");
        fs::create_directories(folder / "sharded");
        fs::copy_file(folder / "model.safetensors", folder / "sharded" / "model-00001-of-00001.safetensors");
        write(folder / "sharded" / "config.json", config);
    }
    ~Checkpoint() {
        std::error_code ignored;
        fs::remove_all(folder.parent_path(), ignored);
    }
    static std::string read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

// Whether a configuration converts in well under a second.
bool small(const conversion::CheckpointConfig& c) {
    return c.width <= 64 && c.melCount <= 128 && c.vocabulary <= 4096 && c.audioFrames <= 64 && c.textContext <= 64 &&
           c.encoderLayers <= 4 && c.decoderLayers <= 4;
}

template <class Action>
void refusedOrDone(const Action& action) {
    try {
        action();
    } catch (const std::exception&) {
        // A malformed file is refused with an error; only crashes and hangs are findings.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Checkpoint checkpoint;
    const std::string text(reinterpret_cast<const char*>(data), size);

    refusedOrDone([&] {
        const auto manifest = runtime::ModelManifest::parse(text, "model.json");
        // What was accepted must be written and read back as the same program.
        const auto again = runtime::ModelManifest::parse(manifest.serialize(), "model.json");
        if (again.kind != manifest.kind) __builtin_trap();
    });

    const fs::path& folder = checkpoint.folder;
    // As the configuration: read, checked against the runtime's limits, and converted when small.
    write(folder / "config.json", text);
    refusedOrDone([&] {
        const auto config = conversion::CheckpointConfig::read(folder);
        config.requireRunnable(config.textContext);
        if (!small(config)) return;
        const fs::path output = folder.parent_path() / "model";
        fs::remove_all(output);
        conversion::ConversionOptions options;
        options.cacheLength = config.textContext;
        conversion::convertCheckpoint(folder, output, options);
        const auto manifests = ModelFolderManifests::read(output);
        if (!manifests.disagreements(output).empty()) __builtin_trap();  // a conversion always agrees with itself
    });
    write(folder / "config.json", checkpoint.config);

    // As the generation configuration.
    write(folder / "generation_config.json", text);
    refusedOrDone([&] { (void)conversion::CheckpointConfig::read(folder); });
    write(folder / "generation_config.json", checkpoint.generation);

    // As the shard index of weights that exist.
    write(folder / "sharded" / conversion::CheckpointReader::shardIndexName, text);
    refusedOrDone([&] {
        conversion::ConversionOptions options;
        conversion::ConversionMonitor monitor(options);
        const conversion::CheckpointReader reader(folder / "sharded", monitor);
        (void)reader.get("encoder.conv1.bias", {8});
    });

    // As the tokenizer.
    write(folder / "tokenizer.json", text);
    refusedOrDone([&] { (void)TokenizerIds::read(folder / "tokenizer.json"); });
    refusedOrDone([&] { conversion::checkTokenizerFile(folder / "tokenizer.json"); });
    fs::remove(folder / "tokenizer.json");
    return 0;
}
