// murmex-predict: runs one prediction of a model and writes every output as .npy.
//
//   murmex-predict <model> --input NAME=FILE.npy … --output-dir DIR
//
// <model> is a NAME.mlmodelc folder or the model file inside a NAME.mlpackage.
#include "Platform/ML/MLError.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/Runtime/NumpyFile.h"
#include "Platform/Text/MessageText.h"

#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

constexpr const char* usage = "usage: murmex-predict <model> --input NAME=FILE.npy ... --output-dir DIR\n";

int main(int argc, char** argv) {
    using namespace platform;
    std::map<std::string, std::filesystem::path> inputFiles;
    std::vector<std::string> models;
    std::filesystem::path outputDirectory = ".";
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (!option.starts_with("-")) {
            models.push_back(option);
        } else if (option == "--input" && i + 1 < argc) {
            const std::string assignment = argv[++i];
            const auto equals = assignment.find('=');
            if (equals == std::string::npos || equals == 0) {
                std::fprintf(stderr, "murmex-predict: --input expects NAME=FILE.npy\n");
                return 2;
            }
            inputFiles[assignment.substr(0, equals)] = assignment.substr(equals + 1);
        } else if (option == "--output-dir" && i + 1 < argc) {
            outputDirectory = argv[++i];
        } else {
            std::fprintf(stderr, "murmex-predict: unknown option or missing value: %s\n%s",
                         messagetext::shortened(option).c_str(), usage);
            return 2;
        }
    }
    if (models.size() != 1) {
        std::fprintf(stderr, "murmex-predict: expected one model, got %zu\n%s", models.size(), usage);
        return 2;
    }
    try {
        std::map<std::string, FeatureValue> inputs;
        for (const auto& [name, file] : inputFiles) inputs[name] = FeatureValue(runtime::readNumpyFile(file));
        auto model = Model::load(models[0], ComputeUnits::cpuOnly);
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
