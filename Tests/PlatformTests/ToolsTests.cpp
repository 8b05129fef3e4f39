// The command-line tools, run as built: generate a checkpoint, convert it, predict.
#include "Platform/ML/Model.h"
#include "Platform/ML/Runtime/NumpyFile.h"
#include "Support/Fixtures.h"

#include <gtest/gtest.h>

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

}  // namespace
