#include "Platform/ML/Conversion/CheckpointGenerator.h"
#include "Platform/ML/Conversion/ModelConverter.h"
#include "Platform/ML/DecoderSteps.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/ModelFolder.h"
#include "Platform/ML/ModelFolderManifests.h"
#include "Platform/ML/Runtime/ModelManifest.h"
#include "Platform/ML/Runtime/SafeTensors.h"
#include "Support/Files.h"
#include "Support/Fixtures.h"
#include "Support/GeneratedModel.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <sstream>

namespace {

using namespace platform;
using norvel::test::TemporaryDirectory;
namespace fs = std::filesystem;

struct FeatureCase {
    const char* model;
    bool input;
    const char* name;
    MultiArrayDataType type;
    Shape shape;
};

// The feature contract of the three models, for the generated model (width 64, 2 layers,
// so E = 128; S = 224; W = 1500; the multilingual vocabulary).
const FeatureCase contract[] = {
    {"MelSpectrogram", true, "audio", MultiArrayDataType::float32, {480000}},
    {"MelSpectrogram", false, "melspectrogram_features", MultiArrayDataType::float32, {1, 80, 1, 3000}},
    {"AudioEncoder", true, "melspectrogram_features", MultiArrayDataType::float32, {1, 80, 1, 3000}},
    {"AudioEncoder", false, "encoder_output_embeds", MultiArrayDataType::float16, {1, 64, 1, 1500}},
    {"TextDecoder", true, "input_ids", MultiArrayDataType::int32, {1}},
    {"TextDecoder", true, "cache_length", MultiArrayDataType::int32, {1}},
    {"TextDecoder", true, "key_cache", MultiArrayDataType::float16, {1, 128, 1, 224}},
    {"TextDecoder", true, "value_cache", MultiArrayDataType::float16, {1, 128, 1, 224}},
    {"TextDecoder", true, "kv_cache_update_mask", MultiArrayDataType::int32, {1, 224}},
    {"TextDecoder", true, "encoder_output_embeds", MultiArrayDataType::float16, {1, 64, 1, 1500}},
    {"TextDecoder", true, "decoder_key_padding_mask", MultiArrayDataType::float16, {1, 224}},
    {"TextDecoder", false, "logits", MultiArrayDataType::float16, {1, 1, 51865}},
    {"TextDecoder", false, "key_cache_updates", MultiArrayDataType::float16, {1, 128, 1, 1}},
    {"TextDecoder", false, "value_cache_updates", MultiArrayDataType::float16, {1, 128, 1, 1}},
    {"TextDecoder", false, "alignment_heads_weights", MultiArrayDataType::float16, {1, 1500}},
};

fs::path packageFile(const fs::path& folder, const std::string& name) {
    return folder / (name + ".mlpackage") / "Data" / "com.apple.CoreML" / "model.mlmodel";
}

void checkContract(const fs::path& folder, bool packages) {
    for (const char* name : {"MelSpectrogram", "AudioEncoder", "TextDecoder"}) {
        const fs::path path = packages ? packageFile(folder, name) : folder / (std::string(name) + ".mlmodelc");
        auto model = Model::load(path, ComputeUnits::cpuAndNeuralEngine);
        EXPECT_EQ(model->computeUnits(), ComputeUnits::cpuAndNeuralEngine);
        std::size_t inputs = 0, outputs = 0;
        for (const auto& c : contract) {
            if (std::string(c.model) != name) continue;
            (c.input ? inputs : outputs)++;
            const FeatureDescription* feature =
                c.input ? model->modelDescription().input(c.name) : model->modelDescription().output(c.name);
            ASSERT_NE(feature, nullptr) << name << " " << c.name;
            EXPECT_EQ(feature->name, c.name);
            EXPECT_EQ(feature->type, FeatureType::multiArray);
            ASSERT_TRUE(feature->multiArrayConstraint);
            EXPECT_EQ(feature->multiArrayConstraint->dataType, c.type) << name << " " << c.name;
            EXPECT_EQ(feature->multiArrayConstraint->shape, c.shape) << name << " " << c.name;
        }
        EXPECT_EQ(model->modelDescription().inputDescriptionsByName.size(), inputs) << name;
        EXPECT_EQ(model->modelDescription().outputDescriptionsByName.size(), outputs) << name;
    }
}

TEST(ModelLoading, CompiledModelsDescribeTheirFeatures) {
    TemporaryDirectory dir;
    norvel::test::generateModelFolder(dir.path());
    checkContract(dir.path(), false);
    EXPECT_TRUE(fs::exists(dir / "tokenizer.json"));
    EXPECT_TRUE(fs::exists(dir / "tokenizer_config.json"));
    EXPECT_FALSE(fs::exists(dir / ".checkpoint"));
}

TEST(ModelLoading, PackagedModelsDescribeTheSameFeaturesAndPredict) {
    TemporaryDirectory dir;
    norvel::test::GeneratedModelOptions options;
    options.packages = true;
    options.withTokenizer = false;
    norvel::test::generateModelFolder(dir.path(), options);
    EXPECT_FALSE(fs::exists(dir / "TextDecoder.mlmodelc"));
    checkContract(dir.path(), true);

    auto mel = Model::load(packageFile(dir.path(), "MelSpectrogram"));
    MultiArray silence({480000}, MultiArrayDataType::float32);
    auto output = mel->prediction(DictionaryFeatureProvider({{"audio", silence}}));
    // Silence: every value sits at the floor, (log10(1e-10) + 4) / 4.
    EXPECT_NEAR(output->featureValue("melspectrogram_features")->multiArrayValue()->value(12345), -1.5, 1e-6);
}

TEST(ModelLoading, EnglishOnlyModelsHaveTheEnglishVocabulary) {
    TemporaryDirectory dir;
    norvel::test::GeneratedModelOptions options;
    options.englishOnly = true;
    norvel::test::generateModelFolder(dir.path(), options);
    auto decoder = Model::load(dir / "TextDecoder.mlmodelc");
    EXPECT_EQ(decoder->modelDescription().output("logits")->multiArrayConstraint->shape, (Shape{1, 1, 51864}));
}

TEST(ModelLoading, CheckpointsOfEveryPrecisionConvertToHalfPrecisionMatrices) {
    using runtime::TensorDType;
    for (TensorDType dtype : {TensorDType::F32, TensorDType::F16, TensorDType::BF16}) {
        SCOPED_TRACE(runtime::dtypeName(dtype));
        TemporaryDirectory dir;
        auto config = *conversion::checkpointPreset("tiny");
        config.width = 64;
        config.encoderHeads = config.decoderHeads = 2;
        config.encoderLayers = config.decoderLayers = 1;
        config.alignmentHeads = {{0, 1}};
        conversion::GeneratorOptions generator;
        generator.dtype = dtype;
        conversion::generateCheckpoint(dir / "checkpoint", config, generator);
        conversion::convertCheckpoint(dir / "checkpoint", dir / "model");
        std::uintmax_t parameters = 0, bytes = 0;
        for (const char* name : {"MelSpectrogram", "AudioEncoder", "TextDecoder"}) {
            const fs::path path = dir / "model" / (std::string(name) + ".mlmodelc") / "weights.safetensors";
            bytes += fs::file_size(path);
            const auto file = runtime::SafeTensorsFile::open(path);
            for (const auto& [tensor, view] : file->tensors()) {
                parameters += static_cast<std::uintmax_t>(view.elementCount());
                // Matrices (and the filterbank, which is computed here) as the runtime reads them.
                const bool matrix = view.shape.size() >= 2 && tensor != "mel_filters";
                EXPECT_EQ(view.dtype, matrix ? TensorDType::F16 : TensorDType::F32) << name << " " << tensor;
            }
            Model::load(dir / "model" / (std::string(name) + ".mlmodelc"));
        }
        // Vectors in single precision and the files' headers and alignment cost little.
        EXPECT_LE(static_cast<double>(bytes), 1.05 * 2.0 * static_cast<double>(parameters));
    }
}

// An encoder input of fixed values in the range a spectrogram's take.
MultiArray patternedMel() {
    MultiArray mel({1, 80, 1, 3000}, MultiArrayDataType::float32);
    for (std::int64_t i = 0; i < mel.count(); ++i)
        mel.data<float>()[i] = static_cast<float>((i * 7) % 13) / 13.0f - 0.5f;
    return mel;
}

// What the encoder in `folder` gives for that input.
MultiArray encoderOutput(const fs::path& folder) {
    return *Model::load(folder)
                ->prediction(DictionaryFeatureProvider({{"melspectrogram_features", patternedMel()}}))
                ->featureValue("encoder_output_embeds")
                ->multiArrayValue();
}

TEST(ModelLoading, EncodersStoredInSinglePrecisionGiveWhatHalfPrecisionOnesGive) {
    // Folders converted before matrices were stored in half precision keep working.
    TemporaryDirectory dir;
    norvel::test::GeneratedModelOptions options;
    options.withTokenizer = false;
    norvel::test::generateModelFolder(dir.path(), options);
    const fs::path half = dir / "AudioEncoder.mlmodelc", single = dir / "Single.mlmodelc";
    fs::create_directories(single);
    fs::copy_file(half / "model.json", single / "model.json");
    runtime::SafeTensorsWriter writer;
    const auto file = runtime::SafeTensorsFile::open(half / "weights.safetensors");
    for (const auto& [name, view] : file->tensors()) writer.addF32(name, view.shape, view.toFloat());
    writer.write(single / "weights.safetensors");

    EXPECT_EQ(encoderOutput(single).floatValues(), encoderOutput(half).floatValues());
}

using norvel::test::readText;
using norvel::test::writeText;

TEST(ModelLoading, FoldersWithSinglePrecisionEmbeddingsKeepWorking) {
    // Folders written before the embeddings were half precision describe them as 32-bit
    // floats: their encoders give those, and their decoders read them to the same effect.
    TemporaryDirectory dir;
    norvel::test::GeneratedModelOptions options;
    options.withTokenizer = false;
    norvel::test::generateModelFolder(dir.path(), options);
    const fs::path older = dir / "older";
    for (const char* name : {"AudioEncoder", "TextDecoder"}) {
        const fs::path from = dir / (std::string(name) + ".mlmodelc"), to = older / (std::string(name) + ".mlmodelc");
        fs::create_directories(to);
        fs::copy_file(from / "weights.safetensors", to / "weights.safetensors");
        auto manifest = runtime::ModelManifest::parse(readText(from / "model.json"), name);
        manifest.encoder.outputType = manifest.decoder.encoderOutputType = MultiArrayDataType::float32;
        manifest.description = manifest.kind == runtime::ProgramKind::audioEncoder
                                   ? runtime::describeEncoder(manifest.encoder)
                                   : runtime::describeDecoder(manifest.decoder);
        writeText(to / "model.json", manifest.serialize());
    }

    const MultiArray half = encoderOutput(dir / "AudioEncoder.mlmodelc"),
                     single = encoderOutput(older / "AudioEncoder.mlmodelc");
    ASSERT_EQ(half.dataType(), MultiArrayDataType::float16);
    ASSERT_EQ(single.dataType(), MultiArrayDataType::float32);
    for (std::int64_t i = 0; i < half.count(); ++i)
        ASSERT_EQ(static_cast<float>(Float16(single.data<float>()[i])), static_cast<float>(half.data<Float16>()[i]))
            << i;

    // The same values given as 32-bit floats to the older decoder and in half precision to
    // the new one: the same logits.
    MultiArray widened(half.shape(), MultiArrayDataType::float32);
    for (std::int64_t i = 0; i < half.count(); ++i)
        widened.data<float>()[i] = static_cast<float>(half.data<Float16>()[i]);
    auto logits = [&](const fs::path& folder, const MultiArray& embeddings) {
        const auto decoder = Model::load(folder / "TextDecoder.mlmodelc");
        return DecoderSteps(*decoder, embeddings)
            .step(50258, 0)
            ->featureValue("logits")
            ->multiArrayValue()
            ->floatValues();
    };
    EXPECT_EQ(logits(older, widened), logits(dir.path(), half));
    // Each decoder takes only the type its description names.
    EXPECT_THROW(logits(older, half), MLError);

    // Embeddings of any other type are not a description this runtime offers.
    std::string text = readText(older / "TextDecoder.mlmodelc" / "model.json");
    const std::regex embeddings(R"(("dataType": ")float32("[^{}]*"name": "encoder_output_embeds"))");
    ASSERT_TRUE(std::regex_search(text, embeddings));
    writeText(older / "TextDecoder.mlmodelc" / "model.json", std::regex_replace(text, embeddings, "$1int32$2"));
    try {
        Model::load(older / "TextDecoder.mlmodelc");
        ADD_FAILURE() << "int32 embeddings were accepted";
    } catch (const MLError& error) {
        EXPECT_NE(std::string(error.what()).find("differ from what a TextDecoder"), std::string::npos) << error.what();
    }
}

TEST(ModelLoading, MissingOrDamagedFilesAreClearErrors) {
    TemporaryDirectory source;
    norvel::test::GeneratedModelOptions options;
    options.withTokenizer = false;
    norvel::test::generateModelFolder(source.path(), options);
    const fs::path decoder = source / "TextDecoder.mlmodelc";
    const std::string manifest = readText(decoder / "model.json");
    const std::string weights = readText(decoder / "weights.safetensors");

    struct Case {
        const char* what;
        std::function<void(const fs::path&)> damage;
        MLError::Code code;
        const char* mentions = "";
    };
    const auto alignmentHeads = [&](const nlohmann::json& heads) {
        return [&manifest, heads](const fs::path& m) {
            auto document = nlohmann::json::parse(manifest);
            document["hyperparameters"]["alignment_heads"] = heads;
            writeText(m / "model.json", document.dump());
        };
    };
    const auto fifo = [](const char* file) {
        return [file](const fs::path& m) {
            fs::remove(m / file);
            ASSERT_EQ(::mkfifo((m / file).c_str(), 0644), 0);
        };
    };
    const Case cases[] = {
        {"no model.json", [](const fs::path& m) { fs::remove(m / "model.json"); }, MLError::Code::modelNotFound},
        {"no weights", [](const fs::path& m) { fs::remove(m / "weights.safetensors"); }, MLError::Code::modelNotFound},
        {"model.json not JSON", [](const fs::path& m) { writeText(m / "model.json", "{\"kind\": "); },
         MLError::Code::invalidModel},
        {"unknown kind",
         [&](const fs::path& m) {
             writeText(m / "model.json", std::regex_replace(manifest, std::regex("\"TextDecoder\""), "\"Vocoder\""));
         },
         MLError::Code::invalidModel},
        {"description differs from the program",
         [&](const fs::path& m) {
             writeText(m / "model.json",
                       std::regex_replace(manifest, std::regex("224"), "225", std::regex_constants::format_first_only));
         },
         MLError::Code::invalidModel},
        {"alignment head out of range", alignmentHeads(nlohmann::json::parse("[[7, 0]]")), MLError::Code::invalidModel,
         "alignment head [7,0] out of range"},
        {"an alignment head that a narrower integer would wrap into range",
         alignmentHeads(nlohmann::json::parse("[[4294967297, 4294967296]]")), MLError::Code::invalidModel,
         "alignment head [4294967297,4294967296] out of range"},
        {"truncated weights",
         [&](const fs::path& m) { writeText(m / "weights.safetensors", weights.substr(0, weights.size() / 2)); },
         MLError::Code::invalidModel},
        {"weights of another model",
         [&](const fs::path& m) {
             fs::copy_file(source / "AudioEncoder.mlmodelc" / "weights.safetensors", m / "weights.safetensors",
                           fs::copy_options::overwrite_existing);
         },
         MLError::Code::invalidModel},
        {"a tensor of the wrong shape",
         [&](const fs::path& m) {
             runtime::SafeTensorsWriter writer;
             auto file = runtime::SafeTensorsFile::open(decoder / "weights.safetensors");
             for (const auto& [name, view] : file->tensors()) {
                 auto shape = view.shape;
                 std::vector<std::byte> bytes(view.data, view.data + view.byteCount);
                 if (name == "final_norm.bias") {
                     shape = {static_cast<std::int64_t>(view.elementCount() / 2), 2};
                 }
                 writer.add(name, view.dtype, shape, bytes);
             }
             writer.write(m / "weights.safetensors");
         },
         MLError::Code::invalidModel},
        {"dimensions far beyond the weights",
         [&](const fs::path& m) {
             auto huge = runtime::ModelManifest::parse(manifest, "model.json").decoder;
             huge.vocabulary = 1 << 24;
             huge.width = 1 << 14;
             writeText(m / "model.json", runtime::ModelManifest::forDecoder(huge).serialize());
         },
         MLError::Code::invalidModel, "tensor token_embedding has shape [51865, 64], expected [16777216, 16384]"},
        {"model.json is a FIFO", fifo("model.json"), MLError::Code::invalidModel, "not a regular file"},
        {"the weights are a FIFO", fifo("weights.safetensors"), MLError::Code::invalidModel, "not a regular file"},
    };
    for (const auto& c : cases) {
        TemporaryDirectory dir;
        const fs::path model = dir / "TextDecoder.mlmodelc";
        fs::copy(decoder, model);
        c.damage(model);
        try {
            Model::load(model);
            ADD_FAILURE() << c.what << " was accepted";
        } catch (const MLError& error) {
            EXPECT_EQ(error.code(), c.code) << c.what << ": " << error.what();
            EXPECT_NE(std::string(error.what()).find(c.mentions), std::string::npos) << c.what << ": " << error.what();
        }
    }
    // A package file without a description.
    TemporaryDirectory dir;
    runtime::SafeTensorsWriter plain;
    plain.addF32("x", {1}, {1.0f});
    plain.write(dir / "model.mlmodel");
    EXPECT_THROW(Model::load(dir / "model.mlmodel"), MLError);
    EXPECT_THROW(Model::load(dir / "absent.mlmodelc"), MLError);
}

// Each model of a folder loads on its own, so a folder whose models come from different
// checkpoints loads stage by stage and fails only in the middle of a transcription; reading the
// folder's descriptions together tells at once what does not fit.
TEST(ModelLoading, FoldersWhoseModelsDoNotBelongTogetherAreNamedAsSuch) {
    TemporaryDirectory dir;
    norvel::test::generateModelFolder(dir / "base");
    norvel::test::GeneratedModelOptions other;
    other.width = 32;
    other.melCount = 128;
    other.withTokenizer = false;
    norvel::test::generateModelFolder(dir / "other", other);
    {
        auto config = *conversion::checkpointPreset("tiny");
        config.width = 64;
        config.encoderHeads = config.decoderHeads = 4;
        config.encoderLayers = config.decoderLayers = 1;
        config.audioFrames = 750;
        config.alignmentHeads = {{0, 1}};
        conversion::generateCheckpoint(dir / "short-checkpoint", config);
        conversion::convertCheckpoint(dir / "short-checkpoint", dir / "short");
    }
    EXPECT_EQ(ModelFolderManifests::read(dir / "base").disagreements(dir / "base"), std::vector<std::string>{});

    struct Case {
        const char* name;
        std::function<void(const fs::path&)> mix;
        std::vector<std::string> expected;
    };
    const auto take = [&](const char* from, std::string_view model) {
        return [from, model, &dir](const fs::path& folder) {
            fs::remove_all(ModelFolder::compiledModel(folder, model));
            fs::copy(ModelFolder::compiledModel(dir / from, model), ModelFolder::compiledModel(folder, model));
        };
    };
    const Case cases[] = {
        {"an encoder of another width and mel count",
         take("other", ModelFolder::audioEncoder),
         {"the mel spectrogram gives 80 mel bands, the audio encoder takes 128",
          "the audio encoder is 32 wide, the text decoder 64"}},
        {"a decoder of shorter windows",
         take("short", ModelFolder::textDecoder),
         {"the audio encoder gives 1500 frames, the text decoder attends to 750"}},
        {"a mel spectrogram of shorter windows",
         take("short", ModelFolder::melSpectrogram),
         {"the mel spectrogram gives 1500 frames a window, the audio encoder takes 3000"}},
        {"a tokenizer beyond the decoder's vocabulary",
         [](const fs::path& folder) { norvel::test::copyTokenizerFiles("multilingual-v3", folder); },
         {"the text decoder's vocabulary has 51865 tokens, the tokenizer's token \"<|30.00|>\" has id 51865"}},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        const fs::path folder = dir / "mixed";
        fs::remove_all(folder);
        fs::copy(dir / "base", folder, fs::copy_options::recursive);
        row.mix(folder);
        for (const std::string_view name : ModelFolder::modelNames)
            EXPECT_NO_THROW(Model::load(ModelFolder::modelLocation(folder, name))) << "each model loads alone";
        const auto manifests = ModelFolderManifests::read(folder);
        EXPECT_EQ(manifests.disagreements(folder), row.expected);
        try {
            manifests.requireAgreement(folder);
            ADD_FAILURE() << "the folder was accepted";
        } catch (const MLError& error) {
            EXPECT_EQ(error.code(), MLError::Code::invalidModel);
            for (const auto& expected : row.expected)
                EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
            EXPECT_NE(std::string(error.what()).find(folder.string()), std::string::npos) << error.what();
        }
    }
}

}  // namespace
