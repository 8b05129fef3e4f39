// murmex-generate: writes a Whisper checkpoint folder with random weights at a published
// model size, for tests and benchmarks.
//
//   murmex-generate <size> <checkpoint folder> [--seed N] [--dtype F32|F16|BF16]
//                   [--tokenizer DIR] [--width N --heads N --layers N --mels N --vocabulary N]
//                   [--heavy-tailed] [--outlier-channels]
//
// <size> is tiny, base, small, medium, large-v3 or large-v3-turbo (".en" for the English
// vocabulary), or "custom" with the dimension options. --heavy-tailed and --outlier-channels
// make the checkpoint look trained: weights with Student's t tails, and a few layer-norm
// channels with gains 20 times larger.
#include "Platform/ML/Conversion/CheckpointGenerator.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: murmex-generate <tiny|base|small|medium|large-v3|large-v3-turbo[.en]|custom>\n"
                 "         <checkpoint folder> [--seed N] [--dtype F32|F16|BF16] [--tokenizer DIR]\n"
                 "         [--width N] [--heads N] [--layers N] [--mels N] [--vocabulary N]\n"
                 "         [--heavy-tailed] [--outlier-channels]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace platform;
    if (argc < 3) return usage();
    const std::string size = argv[1];
    auto config = conversion::checkpointPreset(size == "custom" ? "tiny" : size);
    if (!config) {
        std::fprintf(stderr, "murmex-generate: unknown size %s\n", size.c_str());
        return usage();
    }
    conversion::GeneratorOptions options;
    try {
        for (int i = 3; i < argc; ++i) {
            const std::string option = argv[i];
            if (option == "--heavy-tailed") {
                options.heavyTailed = true;
                continue;
            }
            if (option == "--outlier-channels") {
                options.outlierChannels = true;
                continue;
            }
            if (i + 1 >= argc) return usage();
            const std::string value = argv[++i];
            if (option == "--seed")
                options.seed = std::stoull(value);
            else if (option == "--dtype") {
                if (value == "F32")
                    options.dtype = runtime::TensorDType::F32;
                else if (value == "F16")
                    options.dtype = runtime::TensorDType::F16;
                else if (value == "BF16")
                    options.dtype = runtime::TensorDType::BF16;
                else
                    return usage();
            } else if (option == "--tokenizer")
                options.tokenizerFolder = value;
            else if (option == "--width")
                config->width = std::stoi(value);
            else if (option == "--heads")
                config->encoderHeads = config->decoderHeads = std::stoi(value);
            else if (option == "--layers")
                config->encoderLayers = config->decoderLayers = std::stoi(value);
            else if (option == "--mels")
                config->melCount = std::stoi(value);
            else if (option == "--vocabulary")
                config->vocabulary = std::stoi(value);
            else
                return usage();
        }
        config->alignmentHeads = {{config->decoderLayers / 2, 0},
                                  {config->decoderLayers - 1, config->decoderHeads - 1}};
        conversion::generateCheckpoint(argv[2], *config, options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "murmex-generate: %s\n", error.what());
        return 1;
    }
    return 0;
}
