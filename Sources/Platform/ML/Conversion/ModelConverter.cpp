#include "Platform/ML/Conversion/ModelConverter.h"

#include "Platform/ML/Conversion/MelFilterbank.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/Runtime/SafeTensors.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <fstream>
#include <sstream>

namespace platform::conversion {

namespace {

using nlohmann::json;
using runtime::ModelManifest;
using runtime::SafeTensorsFile;
using runtime::SafeTensorsWriter;
using runtime::TensorView;

[[noreturn]] void invalid(const std::string& why) { throw MLError(MLError::Code::invalidModel, "Cannot convert: " + why); }

json readJson(const std::filesystem::path& path) {
    std::ifstream in(path);
    if (!in) throw MLError(MLError::Code::modelNotFound, "Cannot convert: missing " + path.string());
    try {
        return json::parse(in);
    } catch (const json::exception& error) {
        invalid(path.string() + " is not JSON: " + error.what());
    }
}

int configInt(const json& config, const char* key, int low, int high) {
    if (!config.contains(key) || !config[key].is_number_integer()) invalid(std::string("config.json lacks ") + key);
    const auto value = config[key].get<long long>();
    if (value < low || value > high) invalid(std::string("config.json ") + key + " out of range");
    return static_cast<int>(value);
}

// Reads hub tensors under either naming root ("model.encoder…" or "encoder…").
class CheckpointTensors {
public:
    explicit CheckpointTensors(std::shared_ptr<SafeTensorsFile> file) : file_(std::move(file)) {}

    const TensorView* find(const std::string& name) const {
        if (const auto* view = file_->find("model." + name)) return view;
        return file_->find(name);
    }
    std::vector<float> get(const std::string& name, const std::vector<std::int64_t>& shape) const {
        const TensorView* view = find(name);
        if (!view) invalid("checkpoint lacks tensor " + name);
        if (view->shape != shape) invalid("checkpoint tensor " + name + " has an unexpected shape");
        return view->toFloat();
    }

private:
    std::shared_ptr<SafeTensorsFile> file_;
};

std::vector<float> concatenate(std::initializer_list<const std::vector<float>*> parts) {
    std::vector<float> all;
    for (const auto* part : parts) all.insert(all.end(), part->begin(), part->end());
    return all;
}

void writeModel(const std::filesystem::path& modelFolder, const std::string& name, const ModelManifest& manifest,
                SafeTensorsWriter& writer, bool package) {
    namespace fs = std::filesystem;
    const std::string manifestText = manifest.serialize();
    const fs::path staging = modelFolder / ("." + name + ".partial");
    std::error_code error;
    fs::remove_all(staging, error);
    if (package) {
        const fs::path inner = staging / "Data" / "com.apple.CoreML";
        fs::create_directories(inner);
        writer.setMetadata("model.json", manifestText);
        writer.write(inner / "model.mlmodel");
    } else {
        fs::create_directories(staging);
        {
            std::ofstream out(staging / "model.json");
            out << manifestText;
            if (!out) throw MLError(MLError::Code::invalidArgument, "Cannot write " + (staging / "model.json").string());
        }
        writer.write(staging / "weights.safetensors");
    }
    const fs::path destination = modelFolder / (name + (package ? ".mlpackage" : ".mlmodelc"));
    fs::remove_all(destination, error);
    fs::rename(staging, destination, error);
    if (error) throw MLError(MLError::Code::invalidArgument, "Cannot move " + name + " into place: " + error.message());
}

}  // namespace

const std::vector<std::string>& tokenizerFileNames() {
    static const std::vector<std::string> names = {"tokenizer.json",          "tokenizer_config.json", "vocab.json",
                                                   "merges.txt",              "special_tokens_map.json",
                                                   "added_tokens.json",       "normalizer.json"};
    return names;
}

CheckpointConfig CheckpointConfig::read(const std::filesystem::path& checkpointFolder) {
    const json config = readJson(checkpointFolder / "config.json");
    CheckpointConfig c;
    c.width = configInt(config, "d_model", 1, 1 << 14);
    c.encoderLayers = configInt(config, "encoder_layers", 0, 1 << 10);
    c.encoderHeads = configInt(config, "encoder_attention_heads", 1, 1 << 10);
    c.decoderLayers = configInt(config, "decoder_layers", 1, 1 << 10);
    c.decoderHeads = configInt(config, "decoder_attention_heads", 1, 1 << 10);
    c.melCount = configInt(config, "num_mel_bins", 1, 1024);
    c.vocabulary = configInt(config, "vocab_size", 1, 1 << 24);
    c.audioFrames = configInt(config, "max_source_positions", 1, 1 << 16);
    c.textContext = configInt(config, "max_target_positions", 1, 1 << 16);
    if (c.width % c.encoderHeads != 0 || c.width % c.decoderHeads != 0) invalid("d_model is not a multiple of the heads");
    for (const char* key : {"encoder_ffn_dim", "decoder_ffn_dim"}) {
        if (config.contains(key) && config[key] != 4 * c.width) invalid(std::string(key) + " is not 4 × d_model");
    }
    if (config.contains("activation_function") && config["activation_function"] != "gelu")
        invalid("activation_function is not gelu");

    const auto generation = checkpointFolder / "generation_config.json";
    if (std::filesystem::exists(generation)) {
        const json g = readJson(generation);
        if (g.contains("alignment_heads")) {
            if (!g["alignment_heads"].is_array()) invalid("alignment_heads is not a list");
            for (const auto& pair : g["alignment_heads"]) {
                if (!pair.is_array() || pair.size() != 2 || !pair[0].is_number_integer() || !pair[1].is_number_integer())
                    invalid("alignment_heads entries must be [layer, head]");
                const int layer = pair[0].get<int>(), head = pair[1].get<int>();
                if (layer < 0 || layer >= c.decoderLayers || head < 0 || head >= c.decoderHeads)
                    invalid("alignment head out of range");
                c.alignmentHeads.emplace_back(layer, head);
            }
        }
    }
    return c;
}

void convertCheckpoint(const std::filesystem::path& checkpointFolder, const std::filesystem::path& modelFolder,
                       const ConversionOptions& options) {
    namespace fs = std::filesystem;
    CheckpointConfig c = CheckpointConfig::read(checkpointFolder);
    if (c.alignmentHeads.empty()) {
        for (int layer = c.decoderLayers / 2; layer < c.decoderLayers; ++layer)
            for (int head = 0; head < c.decoderHeads; ++head) c.alignmentHeads.emplace_back(layer, head);
    }
    if (options.cacheLength < 1 || options.cacheLength > c.textContext) invalid("cache length outside 1...max_target_positions");
    const CheckpointTensors tensors(SafeTensorsFile::open(checkpointFolder / "model.safetensors"));
    const std::int64_t d = c.width;
    std::error_code error;
    fs::create_directories(modelFolder, error);
    if (error) throw MLError(MLError::Code::invalidArgument, "Cannot create " + modelFolder.string());

    // Mel spectrogram.
    {
        runtime::MelHyperparameters p;
        p.melCount = c.melCount;
        p.sampleCount = c.audioFrames * 2 * p.hopLength;
        SafeTensorsWriter writer;
        writer.addF32("mel_filters", {p.melCount, p.binCount()}, slaneyMelFilterbank(16000, p.fftLength, p.melCount));
        writeModel(modelFolder, "MelSpectrogram", ModelManifest::forMel(p), writer, options.packages);
    }

    // Audio encoder: half-precision matrices, single-precision vectors.
    {
        runtime::EncoderHyperparameters p;
        p.melCount = c.melCount;
        p.width = c.width;
        p.heads = c.encoderHeads;
        p.layers = c.encoderLayers;
        p.frames = c.audioFrames;
        SafeTensorsWriter writer;
        writer.addF16("conv.0.weight", {d, c.melCount, 3}, tensors.get("encoder.conv1.weight", {d, c.melCount, 3}));
        writer.addF32("conv.0.bias", {d}, tensors.get("encoder.conv1.bias", {d}));
        writer.addF16("conv.1.weight", {d, d, 3}, tensors.get("encoder.conv2.weight", {d, d, 3}));
        writer.addF32("conv.1.bias", {d}, tensors.get("encoder.conv2.bias", {d}));
        writer.addF16("positions", {c.audioFrames, d}, tensors.get("encoder.embed_positions.weight", {c.audioFrames, d}));
        for (int i = 0; i < c.encoderLayers; ++i) {
            const std::string hub = "encoder.layers." + std::to_string(i) + ".";
            const std::string ours = "layer." + std::to_string(i) + ".";
            writer.addF32(ours + "attention_norm.weight", {d}, tensors.get(hub + "self_attn_layer_norm.weight", {d}));
            writer.addF32(ours + "attention_norm.bias", {d}, tensors.get(hub + "self_attn_layer_norm.bias", {d}));
            const auto q = tensors.get(hub + "self_attn.q_proj.weight", {d, d});
            const auto k = tensors.get(hub + "self_attn.k_proj.weight", {d, d});
            const auto v = tensors.get(hub + "self_attn.v_proj.weight", {d, d});
            const auto qb = tensors.get(hub + "self_attn.q_proj.bias", {d});
            const auto kb = tensors.find(hub + "self_attn.k_proj.bias") ? tensors.get(hub + "self_attn.k_proj.bias", {d})
                                                                       : std::vector<float>(static_cast<std::size_t>(d), 0.0f);
            const auto vb = tensors.get(hub + "self_attn.v_proj.bias", {d});
            writer.addF16(ours + "attention.qkv.weight", {3 * d, d}, concatenate({&q, &k, &v}));
            writer.addF32(ours + "attention.qkv.bias", {3 * d}, concatenate({&qb, &kb, &vb}));
            writer.addF16(ours + "attention.out.weight", {d, d}, tensors.get(hub + "self_attn.out_proj.weight", {d, d}));
            writer.addF32(ours + "attention.out.bias", {d}, tensors.get(hub + "self_attn.out_proj.bias", {d}));
            writer.addF32(ours + "mlp_norm.weight", {d}, tensors.get(hub + "final_layer_norm.weight", {d}));
            writer.addF32(ours + "mlp_norm.bias", {d}, tensors.get(hub + "final_layer_norm.bias", {d}));
            writer.addF16(ours + "mlp.up.weight", {4 * d, d}, tensors.get(hub + "fc1.weight", {4 * d, d}));
            writer.addF32(ours + "mlp.up.bias", {4 * d}, tensors.get(hub + "fc1.bias", {4 * d}));
            writer.addF16(ours + "mlp.down.weight", {d, 4 * d}, tensors.get(hub + "fc2.weight", {d, 4 * d}));
            writer.addF32(ours + "mlp.down.bias", {d}, tensors.get(hub + "fc2.bias", {d}));
        }
        writer.addF32("final_norm.weight", {d}, tensors.get("encoder.layer_norm.weight", {d}));
        writer.addF32("final_norm.bias", {d}, tensors.get("encoder.layer_norm.bias", {d}));
        writeModel(modelFolder, "AudioEncoder", ModelManifest::forEncoder(p), writer, options.packages);
    }

    // Text decoder: half-precision matrices, single-precision vectors.
    {
        runtime::DecoderHyperparameters p;
        p.vocabulary = c.vocabulary;
        p.width = c.width;
        p.heads = c.decoderHeads;
        p.layers = c.decoderLayers;
        p.textContext = c.textContext;
        p.cacheLength = options.cacheLength;
        p.audioFrames = c.audioFrames;
        p.alignmentHeads = c.alignmentHeads;
        SafeTensorsWriter writer;
        const auto embedding = tensors.get("decoder.embed_tokens.weight", {c.vocabulary, d});
        if (const TensorView* projection = tensors.find("proj_out.weight")) {
            if (projection->shape != std::vector<std::int64_t>{c.vocabulary, d} || projection->toFloat() != embedding)
                invalid("the output projection differs from the token embedding");
        }
        // Vectors first, so that every single-precision tensor stays 4-byte aligned.
        for (int i = 0; i < c.decoderLayers; ++i) {
            const std::string hub = "decoder.layers." + std::to_string(i) + ".";
            const std::string ours = "layer." + std::to_string(i) + ".";
            auto vector = [&](const std::string& from, const std::string& to, std::int64_t length) {
                writer.addF32(ours + to, {length}, tensors.get(hub + from, {length}));
            };
            vector("self_attn_layer_norm.weight", "self_attention_norm.weight", d);
            vector("self_attn_layer_norm.bias", "self_attention_norm.bias", d);
            const auto qb = tensors.get(hub + "self_attn.q_proj.bias", {d});
            const auto kb = tensors.find(hub + "self_attn.k_proj.bias") ? tensors.get(hub + "self_attn.k_proj.bias", {d})
                                                                       : std::vector<float>(static_cast<std::size_t>(d), 0.0f);
            const auto vb = tensors.get(hub + "self_attn.v_proj.bias", {d});
            writer.addF32(ours + "self_attention.qkv.bias", {3 * d}, concatenate({&qb, &kb, &vb}));
            vector("self_attn.out_proj.bias", "self_attention.out.bias", d);
            vector("encoder_attn_layer_norm.weight", "cross_attention_norm.weight", d);
            vector("encoder_attn_layer_norm.bias", "cross_attention_norm.bias", d);
            vector("encoder_attn.q_proj.bias", "cross_attention.query.bias", d);
            // A cross-attention key bias (the hub's models have none) would add the same amount
            // to every score of a query, which the softmax cancels, so it is not kept.
            vector("encoder_attn.v_proj.bias", "cross_attention.value.bias", d);
            vector("encoder_attn.out_proj.bias", "cross_attention.out.bias", d);
            vector("final_layer_norm.weight", "mlp_norm.weight", d);
            vector("final_layer_norm.bias", "mlp_norm.bias", d);
            vector("fc1.bias", "mlp.up.bias", 4 * d);
            vector("fc2.bias", "mlp.down.bias", d);
        }
        writer.addF32("final_norm.weight", {d}, tensors.get("decoder.layer_norm.weight", {d}));
        writer.addF32("final_norm.bias", {d}, tensors.get("decoder.layer_norm.bias", {d}));
        writer.addF16("token_embedding", {c.vocabulary, d}, embedding);
        writer.addF16("positions", {c.textContext, d}, tensors.get("decoder.embed_positions.weight", {c.textContext, d}));
        for (int i = 0; i < c.decoderLayers; ++i) {
            const std::string hub = "decoder.layers." + std::to_string(i) + ".";
            const std::string ours = "layer." + std::to_string(i) + ".";
            auto matrix = [&](const std::string& from, const std::string& to, std::int64_t rows, std::int64_t columns) {
                writer.addF16(ours + to, {rows, columns}, tensors.get(hub + from, {rows, columns}));
            };
            const auto q = tensors.get(hub + "self_attn.q_proj.weight", {d, d});
            const auto k = tensors.get(hub + "self_attn.k_proj.weight", {d, d});
            const auto v = tensors.get(hub + "self_attn.v_proj.weight", {d, d});
            writer.addF16(ours + "self_attention.qkv.weight", {3 * d, d}, concatenate({&q, &k, &v}));
            matrix("self_attn.out_proj.weight", "self_attention.out.weight", d, d);
            matrix("encoder_attn.q_proj.weight", "cross_attention.query.weight", d, d);
            matrix("encoder_attn.k_proj.weight", "cross_attention.key.weight", d, d);
            matrix("encoder_attn.v_proj.weight", "cross_attention.value.weight", d, d);
            matrix("encoder_attn.out_proj.weight", "cross_attention.out.weight", d, d);
            matrix("fc1.weight", "mlp.up.weight", 4 * d, d);
            matrix("fc2.weight", "mlp.down.weight", d, 4 * d);
        }
        writeModel(modelFolder, "TextDecoder", ModelManifest::forDecoder(p), writer, options.packages);
    }

    for (const auto& name : tokenizerFileNames()) {
        const fs::path source = checkpointFolder / name;
        if (!fs::is_regular_file(source)) continue;
        fs::copy_file(source, modelFolder / name, fs::copy_options::overwrite_existing, error);
        // The copy is the model folder's own: writable by its owner whatever the source allowed.
        if (!error) fs::permissions(modelFolder / name, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add, error);
        if (error) throw MLError(MLError::Code::invalidArgument, "Cannot copy " + name + ": " + error.message());
    }
}

}  // namespace platform::conversion
