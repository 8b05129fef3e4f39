// murmex-predict: runs one prediction of a model and writes every output as .npy.
//
//   murmex-predict <model> --input NAME=FILE.npy … --output-dir DIR
//
// <model> is a NAME.mlmodelc folder or the model file inside a NAME.mlpackage.
#include "Platform/ML/MLError.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/Runtime/NumpyFile.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <string>

int main(int argc, char** argv) {
    using namespace platform;
    if (argc < 2) {
        std::fprintf(stderr, "usage: murmex-predict <model> --input NAME=FILE.npy ... --output-dir DIR\n");
        return 2;
    }
    std::map<std::string, FeatureValue> inputs;
    std::filesystem::path outputDirectory = ".";
    try {
        for (int i = 2; i < argc; ++i) {
            const std::string option = argv[i];
            if (option == "--input" && i + 1 < argc) {
                const std::string assignment = argv[++i];
                const auto equals = assignment.find('=');
                if (equals == std::string::npos || equals == 0) {
                    std::fprintf(stderr, "murmex-predict: --input expects NAME=FILE.npy\n");
                    return 2;
                }
                inputs[assignment.substr(0, equals)] =
                    FeatureValue(runtime::readNumpyFile(assignment.substr(equals + 1)));
            } else if (option == "--output-dir" && i + 1 < argc) {
                outputDirectory = argv[++i];
            } else {
                std::fprintf(stderr, "murmex-predict: unknown option %s\n", option.c_str());
                return 2;
            }
        }
        auto model = Model::load(argv[1], ComputeUnits::cpuOnly);
        auto output = model->prediction(DictionaryFeatureProvider(inputs));
        std::filesystem::create_directories(outputDirectory);
        for (const auto& name : output->featureNames()) {
            auto array = output->featureValue(name)->multiArrayValue();
            if (!array) continue;
            runtime::writeNumpyFile(outputDirectory / (name + ".npy"), *array);
            std::printf("%s\n", (outputDirectory / (name + ".npy")).c_str());
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "murmex-predict: %s\n", error.what());
        return 1;
    }
    return 0;
}
