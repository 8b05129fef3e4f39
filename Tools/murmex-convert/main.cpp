// murmex-convert: turns a hub Whisper checkpoint folder into a model folder of the
// runtime's format (MelSpectrogram, AudioEncoder and TextDecoder, plus the tokenizer files).
//
//   murmex-convert <checkpoint folder> <model folder> [--package] [--cache-length N]
#include "Platform/ML/Conversion/ModelConverter.h"

#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char** argv) {
    using namespace platform;
    if (argc < 3) {
        std::fprintf(stderr, "usage: murmex-convert <checkpoint folder> <model folder> [--package] [--cache-length N]\n");
        return 2;
    }
    conversion::ConversionOptions options;
    try {
        for (int i = 3; i < argc; ++i) {
            const std::string option = argv[i];
            if (option == "--package") options.packages = true;
            else if (option == "--cache-length" && i + 1 < argc) options.cacheLength = std::stoi(argv[++i]);
            else {
                std::fprintf(stderr, "murmex-convert: unknown option %s\n", option.c_str());
                return 2;
            }
        }
        conversion::convertCheckpoint(argv[1], argv[2], options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "murmex-convert: %s\n", error.what());
        return 1;
    }
    return 0;
}
