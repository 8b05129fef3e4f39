#include "Platform/ML/Conversion/ModelConverter.h"

#include "Platform/ML/AudioWindow.h"
#include "Platform/ML/Conversion/MelFilterbank.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/ModelFolder.h"
#include "Platform/ML/Runtime/SafeTensors.h"

#include <nlohmann/json.hpp>

#include <sys/statvfs.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string_view>
#include <system_error>

namespace platform::conversion {

namespace {

using nlohmann::json;
using runtime::ModelManifest;
using runtime::SafeTensorsFile;
using runtime::SafeTensorsWriter;
using runtime::TensorView;

[[noreturn]] void invalid(const std::string& why) {
    throw MLError(MLError::Code::invalidModel, "Cannot convert: " + why);
}

json readJson(const std::filesystem::path& path) {
    std::ifstream in(path);
    if (!in)
        throw MLError(MLError::Code::modelNotFound,
                      "Cannot convert: the checkpoint has no " + path.filename().string());
    try {
        return json::parse(in);
    } catch (const json::exception& error) {
        invalid(path.filename().string() + " is not JSON: " + error.what());
    }
}

int configInt(const json& config, const char* key, int low, int high) {
    if (!config.contains(key) || !config[key].is_number_integer())
        invalid(std::string("config.json has no whole number \"") + key + "\"");
    const auto value = config[key].get<long long>();
    if (value < low || value > high) invalid(std::string("config.json \"") + key + "\" is out of range");
    return static_cast<int>(value);
}

constexpr const char* singleWeightsName = "model.safetensors";
constexpr const char* shardIndexName = "model.safetensors.index.json";

// How far the conversion has come: reading the checkpoint's tensors is most of the work,
// writing the three models the rest.
class ConversionMonitor {
public:
    explicit ConversionMonitor(const ConversionOptions& options) : options_(options) {}

    void setTotalBytes(std::size_t bytes) { totalBytes_ = std::max<std::size_t>(bytes, 1); }
    void checkCancelled() const {
        if (options_.stop.stop_requested()) throw ConversionCancelled();
    }
    void tensorRead(std::size_t bytes) {
        readBytes_ = std::min(totalBytes_, readBytes_ + bytes);
        report();
    }
    void modelWritten() {
        ++modelsWritten_;
        report();
    }
    void finished() {
        if (options_.progress && lastReported_ < 1.0) options_.progress(1.0);
        lastReported_ = 1.0;
    }

private:
    void report() {
        const double fraction =
            std::min(0.99, 0.8 * static_cast<double>(readBytes_) / static_cast<double>(totalBytes_) +
                               0.2 * modelsWritten_ / 3.0);
        if (fraction < lastReported_ + 0.001) return;
        lastReported_ = fraction;
        if (options_.progress) options_.progress(fraction);
    }

    const ConversionOptions& options_;
    std::size_t totalBytes_ = 1;
    std::size_t readBytes_ = 0;
    int modelsWritten_ = 0;
    double lastReported_ = 0;
};

// A shard name of the index: a plain file name inside the checkpoint folder.
bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\\') == std::string::npos && name.find('\0') == std::string::npos;
}

// Reads hub tensors under either naming root ("model.encoder…" or "encoder…"), from
// model.safetensors or from the shards its index names.
class CheckpointTensors {
public:
    CheckpointTensors(const std::filesystem::path& folder, ConversionMonitor& monitor) : monitor_(monitor) {
        namespace fs = std::filesystem;
        std::error_code error;
        if (fs::exists(folder / singleWeightsName, error)) {
            files_.push_back(openWeights(folder / singleWeightsName));
        } else if (fs::exists(folder / shardIndexName, error)) {
            openShards(folder);
        } else {
            throw MLError(MLError::Code::modelNotFound, "Cannot convert: the checkpoint has neither " +
                                                            std::string(singleWeightsName) + " nor " + shardIndexName);
        }
        std::size_t bytes = 0;
        for (const auto& file : files_) {
            for (const auto& [name, view] : file->tensors()) {
                bytes += view.byteCount;
                if (!shardOf_.emplace(name, file.get()).second && shardIndex_)
                    invalid("tensor " + name + " is in more than one shard");
            }
        }
        monitor_.setTotalBytes(bytes);
    }

    const TensorView* find(const std::string& name) const {
        if (const auto* view = lookup("model." + name)) return view;
        return lookup(name);
    }
    std::vector<float> get(const std::string& name, const std::vector<std::int64_t>& shape) const {
        monitor_.checkCancelled();
        const TensorView* view = find(name);
        if (!view) invalid("the checkpoint has no tensor " + name);
        if (view->shape != shape)
            invalid("tensor " + view->name + " has shape " + shapeText(view->shape) + ", expected " + shapeText(shape));
        if (view->dtype != runtime::TensorDType::F32 && view->dtype != runtime::TensorDType::F16 &&
            view->dtype != runtime::TensorDType::BF16)
            invalid("tensor " + view->name + " has element type " + runtime::dtypeName(view->dtype) +
                    ", expected F32, F16 or BF16");
        auto values = view->toFloat();
        monitor_.tensorRead(view->byteCount);
        return values;
    }
    // About what the converted models take: every matrix in half precision (the vectors in
    // single precision are a small share), with room to spare.
    std::size_t convertedBytes() const {
        std::size_t bytes = 0;
        for (const auto& file : files_)
            for (const auto& [name, view] : file->tensors()) bytes += static_cast<std::size_t>(view.elementCount()) * 2;
        return bytes + bytes / 20 + (16u << 20);
    }

private:
    static std::shared_ptr<SafeTensorsFile> openWeights(const std::filesystem::path& path) {
        try {
            return SafeTensorsFile::open(path);
        } catch (const MLError& error) {
            if (error.code() == MLError::Code::modelNotFound)
                throw MLError(MLError::Code::modelNotFound,
                              "Cannot convert: the checkpoint has no " + path.filename().string());
            throw MLError(MLError::Code::invalidModel, "Cannot convert: " + path.filename().string() +
                                                           " is truncated or damaged (" + error.what() + ")");
        }
    }

    void openShards(const std::filesystem::path& folder) {
        const json index = readJson(folder / shardIndexName);
        if (!index.is_object() || !index.contains("weight_map") || !index["weight_map"].is_object() ||
            index["weight_map"].empty())
            invalid(std::string(shardIndexName) + " has no \"weight_map\" of tensor names to shard files");
        std::map<std::string, std::shared_ptr<SafeTensorsFile>> shards;
        for (const auto& [tensor, shard] : index["weight_map"].items()) {
            if (!shard.is_string() || !isPlainFileName(shard.get<std::string>()))
                invalid(std::string(shardIndexName) + " names no plain shard file for tensor " + tensor);
            const std::string file = shard.get<std::string>();
            auto& opened = shards[file];
            if (!opened) {
                opened = openWeights(folder / file);
                files_.push_back(opened);
            }
            if (!opened->find(tensor))
                invalid("shard " + file + " lacks tensor " + tensor + " that the index places there");
        }
        shardIndex_ = true;
    }

    const TensorView* lookup(const std::string& name) const {
        const auto found = shardOf_.find(name);
        return found == shardOf_.end() ? nullptr : found->second->find(name);
    }

    ConversionMonitor& monitor_;
    std::vector<std::shared_ptr<SafeTensorsFile>> files_;
    std::map<std::string, const SafeTensorsFile*> shardOf_;
    bool shardIndex_ = false;
};

// Fails with no_space_on_device when the file system that will hold `folder` has less room
// than `bytes`.
void requireSpace(const std::filesystem::path& folder, std::size_t bytes) {
    std::filesystem::path existing = folder;
    std::error_code error;
    while (!existing.empty() && !std::filesystem::exists(existing, error)) existing = existing.parent_path();
    struct statvfs status {};
    if (existing.empty() || ::statvfs(existing.c_str(), &status) != 0) return;
    const auto available = static_cast<unsigned long long>(status.f_bavail) * status.f_frsize;
    if (available < bytes)
        throw std::filesystem::filesystem_error("Not enough disk space to convert the checkpoint (" +
                                                    std::to_string(bytes / 1000000) + " MB needed, " +
                                                    std::to_string(available / 1000000) + " MB free)",
                                                folder, std::make_error_code(std::errc::no_space_on_device));
}

std::vector<float> concatenate(std::initializer_list<const std::vector<float>*> parts) {
    std::vector<float> all;
    for (const auto* part : parts) all.insert(all.end(), part->begin(), part->end());
    return all;
}

void writeModel(const std::filesystem::path& modelFolder, std::string_view name, const ModelManifest& manifest,
                SafeTensorsWriter& writer, bool package, ConversionMonitor& monitor) {
    namespace fs = std::filesystem;
    monitor.checkCancelled();
    const std::string manifestText = manifest.serialize();
    // Written into a hidden folder beside the model's place, then renamed into place whole.
    std::string stagingName = ".";
    stagingName.append(name).append(".partial");
    const fs::path staging = modelFolder / stagingName;
    std::error_code error;
    fs::remove_all(staging, error);
    if (package) {
        const fs::path file = staging / ModelFolder::packageModelFile;
        fs::create_directories(file.parent_path());
        writer.setMetadata(std::string(ModelFolder::manifestFile), manifestText);
        writer.write(file);
    } else {
        fs::create_directories(staging);
        {
            std::ofstream out(staging / ModelFolder::manifestFile);
            out << manifestText;
            if (!out)
                throw MLError(MLError::Code::invalidArgument,
                              "Cannot write " + (staging / ModelFolder::manifestFile).string());
        }
        writer.write(staging / ModelFolder::weightsFile);
    }
    const fs::path destination =
        package ? ModelFolder::packageFolder(modelFolder, name) : ModelFolder::compiledModel(modelFolder, name);
    fs::remove_all(destination, error);
    fs::rename(staging, destination, error);
    if (error)
        throw MLError(MLError::Code::invalidArgument,
                      "Cannot move " + std::string(name) + " into place: " + error.message());
    monitor.modelWritten();
}

}  // namespace

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
    if (c.width % c.encoderHeads != 0 || c.width % c.decoderHeads != 0)
        invalid("d_model is not a multiple of the heads");
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
                if (!pair.is_array() || pair.size() != 2 || !pair[0].is_number_integer() ||
                    !pair[1].is_number_integer())
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
    if (options.cacheLength < 1 || options.cacheLength > c.textContext)
        invalid("cache length outside 1...max_target_positions");
    ConversionMonitor monitor(options);
    const CheckpointTensors tensors(checkpointFolder, monitor);
    requireSpace(modelFolder, tensors.convertedBytes());
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
        writer.addF32("mel_filters", {p.melCount, p.binCount()},
                      slaneyMelFilterbank(audiowindow::sampleRate, p.fftLength, p.melCount));
        writeModel(modelFolder, ModelFolder::melSpectrogram, ModelManifest::forMel(p), writer, options.packages,
                   monitor);
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
        writer.addF16("positions", {c.audioFrames, d},
                      tensors.get("encoder.embed_positions.weight", {c.audioFrames, d}));
        for (int i = 0; i < c.encoderLayers; ++i) {
            const std::string hub = "encoder.layers." + std::to_string(i) + ".";
            const std::string ours = "layer." + std::to_string(i) + ".";
            writer.addF32(ours + "attention_norm.weight", {d}, tensors.get(hub + "self_attn_layer_norm.weight", {d}));
            writer.addF32(ours + "attention_norm.bias", {d}, tensors.get(hub + "self_attn_layer_norm.bias", {d}));
            const auto q = tensors.get(hub + "self_attn.q_proj.weight", {d, d});
            const auto k = tensors.get(hub + "self_attn.k_proj.weight", {d, d});
            const auto v = tensors.get(hub + "self_attn.v_proj.weight", {d, d});
            const auto qb = tensors.get(hub + "self_attn.q_proj.bias", {d});
            const auto kb = tensors.find(hub + "self_attn.k_proj.bias")
                                ? tensors.get(hub + "self_attn.k_proj.bias", {d})
                                : std::vector<float>(static_cast<std::size_t>(d), 0.0f);
            const auto vb = tensors.get(hub + "self_attn.v_proj.bias", {d});
            writer.addF16(ours + "attention.qkv.weight", {3 * d, d}, concatenate({&q, &k, &v}));
            writer.addF32(ours + "attention.qkv.bias", {3 * d}, concatenate({&qb, &kb, &vb}));
            writer.addF16(ours + "attention.out.weight", {d, d},
                          tensors.get(hub + "self_attn.out_proj.weight", {d, d}));
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
        writeModel(modelFolder, ModelFolder::audioEncoder, ModelManifest::forEncoder(p), writer, options.packages,
                   monitor);
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
            const auto kb = tensors.find(hub + "self_attn.k_proj.bias")
                                ? tensors.get(hub + "self_attn.k_proj.bias", {d})
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
        writer.addF16("positions", {c.textContext, d},
                      tensors.get("decoder.embed_positions.weight", {c.textContext, d}));
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
        writeModel(modelFolder, ModelFolder::textDecoder, ModelManifest::forDecoder(p), writer, options.packages,
                   monitor);
    }

    for (const auto& name : ModelFolder::tokenizerFiles()) {
        const fs::path source = checkpointFolder / name;
        if (!fs::is_regular_file(source)) continue;
        fs::copy_file(source, modelFolder / name, fs::copy_options::overwrite_existing, error);
        // The copy is the model folder's own: writable by its owner whatever the source allowed.
        if (!error)
            fs::permissions(modelFolder / name, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add,
                            error);
        if (error) throw MLError(MLError::Code::invalidArgument, "Cannot copy " + name + ": " + error.message());
    }
    monitor.finished();
}

void installConvertedModel(const std::filesystem::path& checkpointFolder, const std::filesystem::path& destination,
                           const ConversionOptions& options) {
    namespace fs = std::filesystem;
    const fs::path parent = destination.parent_path();
    const std::string name = destination.filename().string();
    if (name.empty() || name == "." || name == "..")
        invalid("the destination " + destination.string() + " has no folder name");
    std::error_code error;
    fs::create_directories(parent, error);
    if (error) throw fs::filesystem_error("Cannot create the folder for the converted model", parent, error);

    // Hidden, so that no search for the model's folder ever finds it half-written; a fixed
    // name, so that what an interrupted conversion left behind is cleared by the next one.
    const fs::path staging = parent / ("." + name + ".converting");
    const fs::path replaced = parent / ("." + name + ".replaced");
    fs::remove_all(staging, error);
    try {
        convertCheckpoint(checkpointFolder, staging, options);
        if (!ModelFolder::isComplete(staging)) invalid("the converted models are incomplete");
        for (const auto& file : ModelFolder::tokenizerFiles()) {
            if (fs::is_regular_file(checkpointFolder / file, error) && !fs::is_regular_file(staging / file, error))
                invalid("the tokenizer file " + file + " was not copied");
        }
    } catch (...) {
        fs::remove_all(staging, error);
        throw;
    }

    fs::remove_all(replaced, error);
    const bool hadDestination = fs::exists(fs::symlink_status(destination, error));
    if (hadDestination) {
        fs::rename(destination, replaced, error);
        if (error) {
            std::error_code ignored;
            fs::remove_all(staging, ignored);
            throw fs::filesystem_error("Cannot move the earlier model folder aside", destination, error);
        }
    }
    fs::rename(staging, destination, error);
    if (error) {
        std::error_code ignored;
        if (hadDestination) fs::rename(replaced, destination, ignored);
        fs::remove_all(staging, ignored);
        throw fs::filesystem_error("Cannot move the converted model into place", destination, error);
    }
    fs::remove_all(replaced, error);
}

}  // namespace platform::conversion
