// Checkpoints that a conversion must refuse, each with a message naming what is wrong, before
// anything is installed: weights the runtime would compute nothing but NaN with, dimensions the
// runtime cannot run, files of unbounded size, files that are not regular files, and tokenizer
// files the tokenizer loader would fail on.
#include "Platform/ML/Conversion/ModelConverter.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/ModelFolder.h"
#include "Platform/ML/Runtime/SafeTensors.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"
#include "Support/GeneratedCheckpoint.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <regex>
#include <string>
#include <vector>

namespace {

using namespace platform;
using norvel::test::pristineCheckpointFolder;
using norvel::test::readText;
using norvel::test::TemporaryDirectory;
using norvel::test::writeText;
using runtime::TensorDType;
namespace fs = std::filesystem;

// Sets one single-precision value of a tensor of model.safetensors.
std::function<void(const fs::path&)> setValue(const std::string& tensor, std::size_t index, float value) {
    return [=](const fs::path& folder) {
        norvel::test::rewriteWeights(
            folder / "model.safetensors",
            [&](const std::string& name, TensorDType&, std::vector<std::int64_t>&, std::vector<std::byte>& bytes) {
                if (name == tensor) std::memcpy(bytes.data() + 4 * index, &value, 4);
                return true;
            });
    };
}

// Replaces the first match of `pattern` in one of the checkpoint's files.
std::function<void(const fs::path&)> edit(const std::string& file, const std::string& pattern,
                                          const std::string& replacement) {
    return [=](const fs::path& folder) {
        const std::string text = readText(folder / file);
        const std::string changed =
            std::regex_replace(text, std::regex(pattern), replacement, std::regex_constants::format_first_only);
        ASSERT_NE(changed, text) << file << " has no " << pattern;
        writeText(folder / file, changed);
    };
}

std::function<void(const fs::path&)> fifo(const std::string& file) {
    return [=](const fs::path& folder) {
        fs::remove(folder / file);
        ASSERT_EQ(::mkfifo((folder / file).c_str(), 0644), 0);
    };
}

std::function<void(const fs::path&)> padded(const std::string& file, std::size_t bytes) {
    return [=](const fs::path& folder) {
        std::string text = readText(folder / file);
        text.insert(text.find('{') + 1, std::string(bytes, ' '));
        writeText(folder / file, text);
    };
}

TEST(CheckpointValidation, HostileCheckpointsAreRefusedBeforeAnythingIsInstalled) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), infinity = std::numeric_limits<float>::infinity();
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> change;
        const char* expected;  // nothing: the checkpoint converts
    };
    const Case cases[] = {
        {"a NaN in a matrix", setValue("model.encoder.layers.0.fc1.weight", 3, nan),
         "tensor model.encoder.layers.0.fc1.weight holds nan at index 3, not a finite number"},
        {"an infinity in a vector", setValue("model.decoder.layer_norm.bias", 0, -infinity),
         "tensor model.decoder.layer_norm.bias holds -inf at index 0, not a finite number"},
        {"a matrix value that half precision cannot hold", setValue("model.decoder.embed_tokens.weight", 5, 70000.0f),
         "tensor model.decoder.embed_tokens.weight holds 70000 at index 5, beyond the largest half-precision value"},
        {"the largest value half precision holds", setValue("model.decoder.embed_tokens.weight", 5, 65504.0f), nullptr},
        {"a large value in a vector kept in single precision", setValue("model.encoder.layer_norm.bias", 1, 1e30f),
         nullptr},
        {"too few source positions for one FFT window",
         edit("config.json", "\"max_source_positions\": 1500", "\"max_source_positions\": 1"),
         "max_source_positions 1 gives windows of 320 samples, shorter than one FFT of 400"},
        {"a vocabulary without the tokenizer's last tokens",
         edit("config.json", "\"vocab_size\": 51865", "\"vocab_size\": 50364"),
         "vocab_size 50364 does not reach the tokenizer's token \"<|30.00|>\" of id 51864"},
        {"alignment heads that a narrower integer would wrap into range",
         edit("generation_config.json", "\\[\\s*1,\\s*0\\s*\\]", "[4294967296, 4294967297]"),
         "the alignment head [4294967296,4294967297] lies outside the decoder's 2 layers of 4 heads"},
        {"an alignment head beyond the layers", edit("generation_config.json", "\\[\\s*1,\\s*0\\s*\\]", "[2, 0]"),
         "the alignment head [2,0] lies outside"},
        {"a configuration of two megabytes", padded("config.json", 2'000'000), "config.json is larger than 1 MB"},
        {"a shard index of two megabytes",
         [](const fs::path& folder) {
             norvel::test::shardWeights(folder);
             padded("model.safetensors.index.json", 2'000'000)(folder);
         },
         "model.safetensors.index.json is larger than 1 MB"},
        {"a configuration naming a key twice", edit("config.json", "\\{", "{\"d_model\": 64, "),
         "config.json is not valid: the key \"d_model\" appears twice"},
        {"a weights header of five megabytes",
         [](const fs::path& folder) {
             runtime::SafeTensorsWriter writer;
             {
                 const auto file = runtime::SafeTensorsFile::open(folder / "model.safetensors");
                 for (const auto& [name, view] : file->tensors())
                     writer.add(name, view.dtype, view.shape,
                                std::vector<std::byte>(view.data, view.data + view.byteCount));
             }
             writer.setMetadata("padding", std::string(5 << 20, 'p'));
             writer.write(folder / "model.safetensors");
         },
         "model.safetensors is truncated or damaged"},
        {"a sparse weights file of holes",
         [](const fs::path& folder) {
             const auto size = fs::file_size(folder / "model.safetensors");
             const std::string bytes = readText(folder / "model.safetensors");
             std::uint64_t header = 0;
             std::memcpy(&header, bytes.data(), 8);
             writeText(folder / "model.safetensors", bytes.substr(0, 8 + header));
             fs::resize_file(folder / "model.safetensors", size);
         },
         "of it are stored on disk (a sparse or damaged file)"},
        {"a FIFO as the configuration", fifo("config.json"), "config.json is not a regular file"},
        {"a FIFO as the generation configuration", fifo("generation_config.json"),
         "generation_config.json is not a regular file"},
        {"a FIFO as the weights", fifo("model.safetensors"), "not a regular file"},
        {"a FIFO as the shard index",
         [](const fs::path& folder) {
             norvel::test::shardWeights(folder);
             fifo("model.safetensors.index.json")(folder);
         },
         "model.safetensors.index.json is not a regular file"},
        {"a FIFO as the tokenizer", fifo("tokenizer.json"), "tokenizer.json is not a regular file"},
        {"a tokenizer that is not UTF-8", edit("tokenizer.json", "\"<\\|endoftext\\|>\"", "\"<|end\xff|>\""),
         "tokenizer.json is not valid JSON"},
        {"a tokenizer configuration that is not UTF-8", edit("tokenizer_config.json", "\\{", "{\"x\": \"\xc3\","),
         "the tokenizer file tokenizer_config.json is not valid JSON"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        TemporaryDirectory dir;
        const fs::path checkpoint = dir / "checkpoint", destination = dir / "model";
        fs::copy(pristineCheckpointFolder(), checkpoint, fs::copy_options::recursive);
        row.change(checkpoint);
        try {
            conversion::installConvertedModel(checkpoint, destination);
            EXPECT_EQ(row.expected, nullptr) << "the checkpoint was converted";
            EXPECT_TRUE(ModelFolder::isComplete(destination));
        } catch (const MLError& error) {
            ASSERT_NE(row.expected, nullptr) << error.what();
            EXPECT_NE(std::string(error.what()).find(row.expected), std::string::npos) << error.what();
            EXPECT_LT(std::strlen(error.what()), 600u) << "a message quotes no value at length";
            EXPECT_FALSE(fs::exists(destination));
        }
        EXPECT_EQ(norvel::test::leftoversBeside(destination), std::vector<std::string>{"checkpoint"});
    }
}

}  // namespace
