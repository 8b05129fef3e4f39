// The command-line tools, run as built: generate a checkpoint, convert it, predict.
#include "Platform/ML/Model.h"
#include "Platform/ML/Runtime/NumpyFile.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"
#include "Support/GeneratedCheckpoint.h"
#include "Support/GeneratedModel.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>

namespace {

using namespace platform;
using norvel::test::TemporaryDirectory;
namespace fs = std::filesystem;

int run(const std::string& tool, const std::string& arguments) {
    const std::string command = std::string(NORVEL_BIN_DIR) + "/" + tool + " " + arguments + " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Outcome {
    int status;          // -1 when the tool was killed (a crash, or the time limit)
    std::string output;  // what it wrote to its error stream
};

// Runs a tool with at most 4 GB of address space and a minute of time, so that a tool that
// would take the machine's memory fails, and one that hangs is killed.
Outcome runLimited(const std::string& tool, const std::string& arguments, const std::filesystem::path& errors) {
    const std::string command = "ulimit -v 4000000; timeout -s KILL 60 " + std::string(NORVEL_BIN_DIR) + "/" + tool +
                                " " + arguments + " >/dev/null 2>" + errors.string();
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) && WEXITSTATUS(status) != 137 ? WEXITSTATUS(status) : -1, norvel::test::readText(errors)};
}

TEST(Tools, GenerateConvertAndPredictFromTheCommandLine) {
    TemporaryDirectory dir;
    const std::string checkpoint = (dir / "checkpoint").string(), models = (dir / "models").string();
    ASSERT_EQ(run("murmex-generate", "custom " + checkpoint +
                                         " --width 64 --heads 2 --layers 1 --seed 3 --dtype F16 --tokenizer " +
                                         norvel::test::fixture("tokenizers/english").string() + " --vocabulary 51864"),
              0);
    EXPECT_TRUE(fs::exists(dir / "checkpoint" / "generation_config.json"));
    ASSERT_EQ(run("murmex-convert", checkpoint + " " + models), 0);
    ASSERT_EQ(run("murmex-convert", checkpoint + " " + (dir / "packages").string() + " --package --cache-length 448"),
              0);
    EXPECT_TRUE(fs::exists(dir / "models" / "tokenizer.json"));
    auto decoder =
        Model::load(dir / "packages" / "TextDecoder.mlpackage" / "Data" / "com.apple.CoreML" / "model.mlmodel");
    EXPECT_EQ(decoder->modelDescription().input("key_cache")->multiArrayConstraint->shape, (Shape{1, 64, 1, 448}));
    EXPECT_EQ(decoder->modelDescription().output("logits")->multiArrayConstraint->shape, (Shape{1, 1, 51864}));

    // One prediction through the tool equals the same prediction in this process.
    MultiArray audio({480000}, MultiArrayDataType::float32);
    for (int i = 0; i < 480000; ++i) audio.data<float>()[i] = 0.1f * static_cast<float>((i * 37) % 101 - 50) / 50.0f;
    runtime::writeNumpyFile(dir / "audio.npy", audio);
    ASSERT_EQ(run("murmex-predict", (dir / "models" / "MelSpectrogram.mlmodelc").string() + " --input audio=" +
                                        (dir / "audio.npy").string() + " --output-dir " + (dir / "out").string()),
              0);
    const MultiArray fromTool = runtime::readNumpyFile(dir / "out" / "melspectrogram_features.npy");
    auto mel = Model::load(dir / "models" / "MelSpectrogram.mlmodelc");
    const MultiArray here = *mel->prediction(DictionaryFeatureProvider({{"audio", audio}}))
                                 ->featureValue("melspectrogram_features")
                                 ->multiArrayValue();
    EXPECT_EQ(fromTool.shape(), here.shape());
    EXPECT_EQ(fromTool.floatValues(), here.floatValues());
}

TEST(Tools, MisuseAndFailuresEndWithAnErrorStatus) {
    TemporaryDirectory dir;
    struct Case {
        const char* tool;
        std::string arguments;
        int status;
    };
    const Case cases[] = {
        {"murmex-generate", "", 2},
        {"murmex-generate", "huge " + (dir / "c").string(), 2},
        {"murmex-generate", "tiny " + (dir / "c").string() + " --dtype F8", 2},
        {"murmex-convert", (dir / "missing").string(), 2},
        {"murmex-convert", (dir / "missing").string() + " " + (dir / "out").string(), 1},
        {"murmex-predict", "", 2},
        {"murmex-predict", (dir / "missing.mlmodelc").string() + " --output-dir " + (dir / "o").string(), 1},
        {"murmex-predict", (dir / "missing.mlmodelc").string() + " --input audio", 2},
    };
    for (const auto& c : cases) EXPECT_EQ(run(c.tool, c.arguments), c.status) << c.tool << " " << c.arguments;
    EXPECT_FALSE(fs::exists(dir / "out" / "TextDecoder.mlmodelc"));
}

// What the issue of each run is, in words that name the file or option, and nothing a user
// keeps is touched.
TEST(Tools, HostileInputsAndMistypedOptionsGetClearMessages) {
    TemporaryDirectory dir;
    norvel::test::generateCheckpointFolder(dir / "checkpoint");
    norvel::test::GeneratedModelOptions small;
    small.withTokenizer = false;
    norvel::test::generateModelFolder(dir / "model", small);
    norvel::test::writeText(dir / "notes.txt", "my notes");
    fs::copy(dir / "checkpoint", dir / "fifo-checkpoint", fs::copy_options::recursive);
    fs::remove(dir / "fifo-checkpoint" / "config.json");
    ASSERT_EQ(::mkfifo((dir / "fifo-checkpoint" / "config.json").c_str(), 0644), 0);
    fs::copy(dir / "model" / "MelSpectrogram.mlmodelc", dir / "fifo.mlmodelc", fs::copy_options::recursive);
    fs::remove(dir / "fifo.mlmodelc" / "weights.safetensors");
    ASSERT_EQ(::mkfifo((dir / "fifo.mlmodelc" / "weights.safetensors").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo.npy").c_str(), 0644), 0);
    const auto npy = [&](const char* name, const std::string& header, std::size_t dataBytes) {
        std::string bytes = "\x93NUMPY\x02";
        bytes.push_back('\0');
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((header.size() >> (8 * i)) & 0xFF));
        norvel::test::writeText(dir / name, bytes + header + std::string(dataBytes, '\0'));
        return (dir / name).string();
    };
    const std::string huge =
        npy("huge.npy", "{'descr': '<f4', 'fortran_order': False, 'shape': (40000, 40000), }\n", 8);
    const std::string longDescr = npy(
        "descr.npy", "{'descr': '" + std::string(200'000, 'f') + "', 'fortran_order': False, 'shape': (1,), }\n", 4);
    const std::string mel = (dir / "model" / "MelSpectrogram.mlmodelc").string();
    const std::string checkpoint = (dir / "checkpoint").string();

    struct Case {
        const char* what;
        const char* tool;
        std::string arguments;
        int status;
        const char* mentions;
    };
    const Case cases[] = {
        {"a user's file as the destination", "murmex-convert", checkpoint + " " + (dir / "notes.txt").string(), 1,
         "it is a file, not a folder"},
        {"the checkpoint as the destination", "murmex-convert", checkpoint + " " + checkpoint, 1,
         "it is the checkpoint folder"},
        {"a cache length that is no number", "murmex-convert",
         checkpoint + " " + (dir / "out").string() + " --cache-length abc", 2,
         "--cache-length expects a whole number of positions from 1 on, not \"abc\""},
        {"a missing folder", "murmex-convert", "--quiet " + checkpoint, 2,
         "expected a checkpoint folder and a model folder, got 1 folder"},
        {"options before the folders", "murmex-convert",
         "--quiet --cache-length 100 " + checkpoint + " " + (dir / "converted").string(), 0, ""},
        {"a FIFO as the configuration", "murmex-convert",
         (dir / "fifo-checkpoint").string() + " " + (dir / "out").string(), 1, "config.json is not a regular file"},
        {"a FIFO as the weights of a model", "murmex-predict",
         (dir / "fifo.mlmodelc").string() + " --output-dir " + (dir / "o").string(), 1, "not a regular file"},
        {"a FIFO as an input", "murmex-predict", mel + " --input audio=" + (dir / "fifo.npy").string(), 1,
         "fifo.npy is not a regular file"},
        {"an input declaring 6.4 GB in 137 bytes", "murmex-predict", mel + " --input audio=" + huge, 1,
         "data shorter than its shape"},
        {"an input whose descr is 200 kilobytes", "murmex-predict", mel + " --input audio=" + longDescr, 1,
         "unsupported element type"},
        {"options before the model", "murmex-predict",
         "--output-dir " + (dir / "o").string() + " " + mel + " --input audio=" + huge, 1,
         "data shorter than its shape"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome outcome = runLimited(c.tool, c.arguments, dir / "errors.txt");
        EXPECT_EQ(outcome.status, c.status) << outcome.output;
        EXPECT_NE(outcome.output.find(c.mentions), std::string::npos) << outcome.output;
        EXPECT_LT(outcome.output.size(), 1000u) << "a message quotes no value at length";
    }
    EXPECT_EQ(norvel::test::readText(dir / "notes.txt"), "my notes");
    EXPECT_FALSE(fs::exists(dir / "out"));
    const auto converted = Model::load(dir / "converted" / "TextDecoder.mlmodelc");
    EXPECT_EQ(converted->modelDescription().input("key_cache")->multiArrayConstraint->shape, (Shape{1, 128, 1, 100}));
}

}  // namespace
