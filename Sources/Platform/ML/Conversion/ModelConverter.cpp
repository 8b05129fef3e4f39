#include "Platform/ML/Conversion/ModelConverter.h"

#include "Platform/ML/AudioWindow.h"
#include "Platform/ML/Conversion/CheckpointReader.h"
#include "Platform/ML/Conversion/CompressionPlan.h"
#include "Platform/ML/Conversion/ConversionMonitor.h"
#include "Platform/ML/Conversion/MatrixWriter.h"
#include "Platform/ML/Conversion/MelFilterbank.h"
#include "Platform/ML/Conversion/ModelInstaller.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/ModelFolder.h"
#include "Platform/ML/Runtime/SafeTensors.h"
#include "Platform/ML/TokenizerIds.h"

#include <sys/mman.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string_view>
#include <system_error>

namespace platform::conversion {

namespace {

using runtime::ModelManifest;
using runtime::SafeTensorsWriter;
using runtime::TensorView;

[[noreturn]] void invalid(const std::string& why) {
    throw MLError(MLError::Code::invalidModel, "Cannot convert: " + why);
}

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

// A layer's self-attention projections as the runtime's one qkv matrix takes them: the query's,
// the key's and the value's rows one after the other (`hub` is the layer's checkpoint prefix).
std::vector<float> selfAttentionWeights(const CheckpointReader& tensors, const std::string& hub, std::int64_t d) {
    const auto q = tensors.get(hub + "self_attn.q_proj.weight", {d, d});
    const auto k = tensors.get(hub + "self_attn.k_proj.weight", {d, d});
    const auto v = tensors.get(hub + "self_attn.v_proj.weight", {d, d});
    return concatenate({&q, &k, &v});
}

// Their biases in the same order; the key's, which the hub's checkpoints leave out, is zero when
// absent.
std::vector<float> selfAttentionBiases(const CheckpointReader& tensors, const std::string& hub, std::int64_t d) {
    const auto qb = tensors.get(hub + "self_attn.q_proj.bias", {d});
    const auto kb = tensors.find(hub + "self_attn.k_proj.bias") ? tensors.get(hub + "self_attn.k_proj.bias", {d})
                                                                : std::vector<float>(static_cast<std::size_t>(d), 0.0f);
    const auto vb = tensors.get(hub + "self_attn.v_proj.bias", {d});
    return concatenate({&qb, &kb, &vb});
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
        writer.write(file, [&](std::size_t written, std::size_t total) { monitor.modelWriting(written, total); });
    } else {
        fs::create_directories(staging);
        {
            std::ofstream out(staging / ModelFolder::manifestFile);
            out << manifestText;
            if (!out)
                throw MLError(MLError::Code::invalidArgument,
                              "Cannot write " + (staging / ModelFolder::manifestFile).string());
        }
        writer.write(staging / ModelFolder::weightsFile,
                     [&](std::size_t written, std::size_t total) { monitor.modelWriting(written, total); });
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

// Bytes of the files the conversion wrote into `modelFolder`: the three models and the tokenizer
// files.
std::uint64_t writtenBytes(const std::filesystem::path& modelFolder, bool packages) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (const auto name : ModelFolder::modelNames) {
        if (packages) {
            files.push_back(ModelFolder::packageModel(modelFolder, name));
        } else {
            files.push_back(ModelFolder::compiledModel(modelFolder, name) / ModelFolder::manifestFile);
            files.push_back(ModelFolder::compiledModel(modelFolder, name) / ModelFolder::weightsFile);
        }
    }
    for (const auto& name : ModelFolder::tokenizerFiles()) files.push_back(modelFolder / name);
    std::uint64_t bytes = 0;
    std::error_code error;
    for (const auto& file : files) {
        const auto size = fs::file_size(file, error);
        if (!error) bytes += size;
    }
    return bytes;
}

// A stage's manifest, saying that its matrices are stored compressed when they are.
ModelManifest compressedIf(bool compressed, ModelManifest manifest) {
    if (compressed) manifest.weightFormat = runtime::WeightFormat::blockwise;
    return manifest;
}

}  // namespace

void convertCheckpoint(const std::filesystem::path& checkpointFolder, const std::filesystem::path& modelFolder,
                       const ConversionOptions& options) {
    namespace fs = std::filesystem;
    const CheckpointConfig c = CheckpointConfig::read(checkpointFolder);
    std::error_code error;
    if (fs::exists(checkpointFolder / "tokenizer.json", error)) {
        TokenizerIds ids;
        try {
            ids = TokenizerIds::read(checkpointFolder / "tokenizer.json");
        } catch (const MLError& failure) {
            invalid(failure.what());
        }
        c.requireRunnable(options.cacheLength, ids.highestId, ids.highestToken);
    } else {
        c.requireRunnable(options.cacheLength);
    }
    if (options.sizeBudget && options.halfPrecision) invalid("both a size budget and half precision are asked for");
    std::optional<std::uint64_t> budget = options.sizeBudget;
    if (!budget && !options.halfPrecision) budget = sizeBudgetOf(modelFolder.filename().string());
    ConversionMonitor monitor(options);
    const CheckpointReader tensors(checkpointFolder, monitor);
    std::optional<CompressionPlan> plan;
    if (budget) {
        const std::uint64_t limit = budget.value();
        const std::uint64_t otherBytes = CompressionPlan::fixedBytes(c, checkpointFolder);
        // Measuring the matrices reads them a second time.
        if (CompressionPlan::measures(c, limit, otherBytes)) monitor.setTotalBytes(2 * monitor.totalBytes());
        plan = CompressionPlan::choose(
            c, limit, otherBytes,
            [&](const std::string& name, const std::vector<std::int64_t>& shape) { return tensors.get(name, shape); });
        if (options.planned) options.planned(*plan);
    }
    requireSpace(modelFolder, plan ? plan->estimatedBytes() : tensors.convertedBytes());
    const std::int64_t d = c.width;
    fs::create_directories(modelFolder, error);
    if (error) throw MLError(MLError::Code::invalidArgument, "Cannot create " + modelFolder.string());

    // Mel spectrogram.
    {
        const runtime::MelHyperparameters p = c.melParameters();
        SafeTensorsWriter writer;
        writer.addF32("mel_filters", {p.melCount, p.binCount()},
                      slaneyMelFilterbank(audiowindow::sampleRate, p.fftLength, p.melCount));
        writeModel(modelFolder, ModelFolder::melSpectrogram, ModelManifest::forMel(p), writer, options.packages,
                   monitor);
    }

    // Audio encoder: half-precision matrices, single-precision vectors.
    {
        const runtime::EncoderHyperparameters p = c.encoderParameters();
        SafeTensorsWriter writer;
        MatrixWriter matrices(plan ? &*plan : nullptr, ModelFolder::audioEncoder, writer);
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
            matrices.add(ours + "attention.qkv.weight", 3 * d, d, selfAttentionWeights(tensors, hub, d));
            writer.addF32(ours + "attention.qkv.bias", {3 * d}, selfAttentionBiases(tensors, hub, d));
            matrices.add(ours + "attention.out.weight", d, d, tensors.get(hub + "self_attn.out_proj.weight", {d, d}));
            writer.addF32(ours + "attention.out.bias", {d}, tensors.get(hub + "self_attn.out_proj.bias", {d}));
            writer.addF32(ours + "mlp_norm.weight", {d}, tensors.get(hub + "final_layer_norm.weight", {d}));
            writer.addF32(ours + "mlp_norm.bias", {d}, tensors.get(hub + "final_layer_norm.bias", {d}));
            matrices.add(ours + "mlp.up.weight", 4 * d, d, tensors.get(hub + "fc1.weight", {4 * d, d}));
            writer.addF32(ours + "mlp.up.bias", {4 * d}, tensors.get(hub + "fc1.bias", {4 * d}));
            matrices.add(ours + "mlp.down.weight", d, 4 * d, tensors.get(hub + "fc2.weight", {d, 4 * d}));
            writer.addF32(ours + "mlp.down.bias", {d}, tensors.get(hub + "fc2.bias", {d}));
        }
        writer.addF32("final_norm.weight", {d}, tensors.get("encoder.layer_norm.weight", {d}));
        writer.addF32("final_norm.bias", {d}, tensors.get("encoder.layer_norm.bias", {d}));
        writeModel(modelFolder, ModelFolder::audioEncoder, compressedIf(plan.has_value(), ModelManifest::forEncoder(p)),
                   writer, options.packages, monitor);
    }

    // Text decoder: half-precision matrices, single-precision vectors.
    {
        const runtime::DecoderHyperparameters p = c.decoderParameters(options.cacheLength);
        SafeTensorsWriter writer;
        MatrixWriter matrices(plan ? &*plan : nullptr, ModelFolder::textDecoder, writer);
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
            writer.addF32(ours + "self_attention.qkv.bias", {3 * d}, selfAttentionBiases(tensors, hub, d));
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
        matrices.add("token_embedding", c.vocabulary, d, embedding);
        writer.addF16("positions", {c.textContext, d},
                      tensors.get("decoder.embed_positions.weight", {c.textContext, d}));
        for (int i = 0; i < c.decoderLayers; ++i) {
            const std::string hub = "decoder.layers." + std::to_string(i) + ".";
            const std::string ours = "layer." + std::to_string(i) + ".";
            auto matrix = [&](const std::string& from, const std::string& to, std::int64_t rows, std::int64_t columns) {
                matrices.add(ours + to, rows, columns, tensors.get(hub + from, {rows, columns}));
            };
            matrices.add(ours + "self_attention.qkv.weight", 3 * d, d, selfAttentionWeights(tensors, hub, d));
            matrix("self_attn.out_proj.weight", "self_attention.out.weight", d, d);
            matrix("encoder_attn.q_proj.weight", "cross_attention.query.weight", d, d);
            matrix("encoder_attn.k_proj.weight", "cross_attention.key.weight", d, d);
            matrix("encoder_attn.v_proj.weight", "cross_attention.value.weight", d, d);
            matrix("encoder_attn.out_proj.weight", "cross_attention.out.weight", d, d);
            matrix("fc1.weight", "mlp.up.weight", 4 * d, d);
            matrix("fc2.weight", "mlp.down.weight", d, 4 * d);
        }
        writeModel(modelFolder, ModelFolder::textDecoder, compressedIf(plan.has_value(), ModelManifest::forDecoder(p)),
                   writer, options.packages, monitor);
    }

    for (const auto& name : ModelFolder::tokenizerFiles()) {
        monitor.checkCancelled();
        const fs::path source = checkpointFolder / name;
        if (!fs::exists(source, error)) continue;
        checkTokenizerFile(source);
        fs::copy_file(source, modelFolder / name, fs::copy_options::overwrite_existing, error);
        // The copy is the model folder's own: writable by its owner whatever the source allowed.
        if (!error)
            fs::permissions(modelFolder / name, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add,
                            error);
        if (error) throw MLError(MLError::Code::invalidArgument, "Cannot copy " + name + ": " + error.message());
    }
    if (plan) {
        const std::uint64_t bytes = writtenBytes(modelFolder, options.packages);
        if (bytes > plan->budget())
            invalid("the compressed model takes " + std::to_string(bytes) + " bytes, more than its budget of " +
                    std::to_string(plan->budget()));
    }
    monitor.finished();
}

InstallOutcome installConvertedModel(const std::filesystem::path& checkpointFolder,
                                     const std::filesystem::path& destination, const ConversionOptions& options) {
    namespace fs = std::filesystem;
    // The budget comes from the destination's name, not from the hidden folder's.
    ConversionOptions resolved = options;
    if (!resolved.sizeBudget && !resolved.halfPrecision) {
        fs::path named = destination.lexically_normal();
        if (named.filename().empty()) named = named.parent_path();
        resolved.sizeBudget = sizeBudgetOf(named.filename().string());
        resolved.halfPrecision = !resolved.sizeBudget;
    }
    ModelInstaller installer(destination, checkpointFolder);
    return installer.install(
        [&](const fs::path& staging) {
            convertCheckpoint(checkpointFolder, staging, resolved);
            std::error_code error;
            for (const auto& file : ModelFolder::tokenizerFiles()) {
                if (fs::is_regular_file(checkpointFolder / file, error) && !fs::is_regular_file(staging / file, error))
                    invalid("the tokenizer file " + file + " was not copied");
            }
        },
        options.stop);
}

}  // namespace platform::conversion
