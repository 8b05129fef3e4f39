#include "Support/GeneratedModel.h"

#include "Platform/ML/Conversion/CheckpointGenerator.h"
#include "Platform/ML/Conversion/ModelConverter.h"
#include "Support/Fixtures.h"

namespace norvel::test {

void generateModelFolder(const std::filesystem::path& folder, const GeneratedModelOptions& options) {
    namespace fs = std::filesystem;
    using namespace platform::conversion;
    CheckpointConfig config = *checkpointPreset(options.englishOnly ? "tiny.en" : "tiny");
    config.width = options.width;
    config.encoderHeads = config.decoderHeads = options.heads;
    config.encoderLayers = config.decoderLayers = options.layers;
    config.melCount = options.melCount;
    config.alignmentHeads = {{options.layers / 2, 0}, {options.layers - 1, options.heads - 1}};

    GeneratorOptions generator;
    generator.seed = options.seed;
    if (options.withTokenizer)
        generator.tokenizerFolder = fixture(options.englishOnly ? "tokenizers/english" : "tokenizers/multilingual");

    fs::create_directories(folder);
    const fs::path checkpoint = folder / ".checkpoint";
    generateCheckpoint(checkpoint, config, generator);
    ConversionOptions conversion;
    conversion.cacheLength = options.cacheLength;
    conversion.packages = options.packages;
    conversion.sizeBudget = options.sizeBudget;
    conversion.halfPrecision = !options.sizeBudget;
    convertCheckpoint(checkpoint, folder, conversion);
    fs::remove_all(checkpoint);
}

}  // namespace norvel::test
