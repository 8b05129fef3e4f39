#include "Platform/ML/Conversion/CheckpointGenerator.h"

#include "Platform/ML/MLError.h"
#include "Platform/ML/ModelFolder.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>

namespace platform::conversion {

namespace {

using runtime::SafeTensorsWriter;
using runtime::TensorDType;

std::uint64_t splitMix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Student's t with 4 degrees of freedom at probability p in (0, 1), in closed form.
double studentT4(double p) {
    const double a = 4.0 * p * (1.0 - p);
    const double q = std::cos(std::acos(std::sqrt(a)) / 3.0) / std::sqrt(a);
    return (p < 0.5 ? -2.0 : 2.0) * std::sqrt(std::max(q - 1.0, 0.0));
}

class Generator {
public:
    Generator(std::uint64_t seed, const GeneratorOptions& options, SafeTensorsWriter& writer)
        : seed_(seed), dtype_(options.dtype), heavyTailed_(options.heavyTailed), writer_(writer) {}

    // Uniform values in [centre − amplitude, centre + amplitude); heavy-tailed, values around 0
    // come from Student's t of 4 degrees of freedom (variance 2) with the uniform's spread.
    void uniform(const std::string& name, std::vector<std::int64_t> shape, float amplitude, float centre = 0.0f,
                 const std::vector<std::int64_t>& outliers = {}) {
        std::int64_t count = 1;
        for (auto d : shape) count *= d;
        std::uint64_t state = seed_;
        for (char c : name) state = (state ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
        std::vector<float> values(static_cast<std::size_t>(count));
        const bool heavy = heavyTailed_ && centre == 0.0f;
        for (auto& v : values) {
            const std::uint64_t draw = splitMix(state) >> 40;
            if (heavy) {
                const double p = (static_cast<double>(draw) + 0.5) * 0x1p-24;  // (0, 1)
                v = static_cast<float>(studentT4(p) * amplitude / std::sqrt(6.0));
            } else {
                const float unit = static_cast<float>(draw) * 0x1p-24f;  // [0, 1), exact
                v = centre + (2.0f * unit - 1.0f) * amplitude;
            }
        }
        for (const auto channel : outliers) values[static_cast<std::size_t>(channel)] *= 20.0f;
        put(name, std::move(shape), values);
    }

    void put(const std::string& name, std::vector<std::int64_t> shape, const std::vector<float>& values) {
        switch (dtype_) {
            case TensorDType::F16: writer_.addF16(name, std::move(shape), values); break;
            case TensorDType::BF16: writer_.addBF16(name, std::move(shape), values); break;
            default: writer_.addF32(name, std::move(shape), values); break;
        }
    }

private:
    std::uint64_t seed_;
    TensorDType dtype_;
    bool heavyTailed_;
    SafeTensorsWriter& writer_;
};

void linear(Generator& g, const std::string& name, std::int64_t out, std::int64_t in, bool bias = true) {
    g.uniform(name + ".weight", {out, in}, std::sqrt(3.0f / static_cast<float>(in)));
    if (bias) g.uniform(name + ".bias", {out}, 0.05f);
}

void norm(Generator& g, const std::string& name, std::int64_t width, const std::vector<std::int64_t>& outliers) {
    g.uniform(name + ".weight", {width}, 0.2f, 1.0f, outliers);
    g.uniform(name + ".bias", {width}, 0.1f);
}

// An attention's projections (`name`: the layer's "self_attn" or "encoder_attn"); the key has no
// bias, as in the hub's checkpoints.
void attention(Generator& g, const std::string& name, std::int64_t d) {
    linear(g, name + ".q_proj", d, d);
    linear(g, name + ".k_proj", d, d, false);
    linear(g, name + ".v_proj", d, d);
    linear(g, name + ".out_proj", d, d);
}

// A layer's MLP and the norm before it (`layer`: the layer's prefix).
void mlp(Generator& g, const std::string& layer, std::int64_t d, const std::vector<std::int64_t>& outliers) {
    norm(g, layer + "final_layer_norm", d, outliers);
    linear(g, layer + "fc1", 4 * d, d);
    linear(g, layer + "fc2", d, 4 * d);
}

// Sinusoidal positions: sin of position × timescale in the first half, cos in the second.
std::vector<float> sinusoids(int length, int width) {
    std::vector<float> values(static_cast<std::size_t>(length) * static_cast<std::size_t>(width));
    const int half = width / 2;
    const double increment = std::log(10000.0) / (half - 1);
    for (int t = 0; t < length; ++t) {
        for (int i = 0; i < half; ++i) {
            const double angle = t * std::exp(-increment * i);
            values[static_cast<std::size_t>(t) * width + i] = static_cast<float>(std::sin(angle));
            values[static_cast<std::size_t>(t) * width + half + i] = static_cast<float>(std::cos(angle));
        }
    }
    return values;
}

void writeJson(const std::filesystem::path& path, const nlohmann::json& value) {
    std::ofstream out(path);
    out << value.dump(2) << "\n";
    if (!out) throw MLError(MLError::Code::invalidArgument, "Cannot write " + path.string());
}

}  // namespace

std::optional<CheckpointConfig> checkpointPreset(const std::string& requested) {
    std::string name = requested;
    bool english = false;
    if (name.size() > 3 && name.compare(name.size() - 3, 3, ".en") == 0) {
        english = true;
        name.resize(name.size() - 3);
    }
    CheckpointConfig c;
    auto set = [&](int width, int heads, int layers) {
        c.width = width;
        c.encoderHeads = c.decoderHeads = heads;
        c.encoderLayers = c.decoderLayers = layers;
    };
    if (name == "tiny")
        set(384, 6, 4);
    else if (name == "base")
        set(512, 8, 6);
    else if (name == "small")
        set(768, 12, 12);
    else if (name == "medium")
        set(1024, 16, 24);
    else if ((name == "large-v3" || name == "large-v3-turbo") && !english) {
        set(1280, 20, 32);
        if (name == "large-v3-turbo") c.decoderLayers = 4;
        c.melCount = 128;
        c.vocabulary = 51866;
    } else
        return std::nullopt;
    if (english) c.vocabulary = 51864;
    // A plausible set of alignment heads: two heads of the upper layers.
    c.alignmentHeads = {{c.decoderLayers / 2, 0}, {c.decoderLayers - 1, c.decoderHeads - 1}};
    return c;
}

void generateCheckpoint(const std::filesystem::path& folder, const CheckpointConfig& c,
                        const GeneratorOptions& options) {
    namespace fs = std::filesystem;
    if (c.width % c.encoderHeads != 0 || c.width % c.decoderHeads != 0 || c.width % 2 != 0)
        throw MLError(MLError::Code::invalidArgument, "Width must be even and a multiple of the heads");
    fs::create_directories(folder);
    const std::int64_t d = c.width;

    nlohmann::json config = {{"model_type", "whisper"},
                             {"architectures", {"WhisperForConditionalGeneration"}},
                             {"d_model", c.width},
                             {"encoder_layers", c.encoderLayers},
                             {"encoder_attention_heads", c.encoderHeads},
                             {"decoder_layers", c.decoderLayers},
                             {"decoder_attention_heads", c.decoderHeads},
                             {"encoder_ffn_dim", 4 * c.width},
                             {"decoder_ffn_dim", 4 * c.width},
                             {"num_mel_bins", c.melCount},
                             {"vocab_size", c.vocabulary},
                             {"max_source_positions", c.audioFrames},
                             {"max_target_positions", c.textContext},
                             {"activation_function", "gelu"},
                             {"scale_embedding", false},
                             {"tie_word_embeddings", true}};
    writeJson(folder / "config.json", config);
    if (!c.alignmentHeads.empty()) {
        nlohmann::json heads = nlohmann::json::array();
        for (const auto& [layer, head] : c.alignmentHeads) heads.push_back({layer, head});
        writeJson(folder / "generation_config.json", {{"alignment_heads", heads}});
    }

    // The outlier channels: distinct, drawn from the seed.
    std::vector<std::int64_t> outliers;
    if (options.outlierChannels) {
        const auto count = std::max<std::int64_t>(1, std::llround(0.005 * static_cast<double>(d)));
        std::uint64_t state = options.seed ^ 0x6F75746C69657273ull;
        while (static_cast<std::int64_t>(outliers.size()) < count) {
            const auto channel = static_cast<std::int64_t>(splitMix(state) % static_cast<std::uint64_t>(d));
            if (std::find(outliers.begin(), outliers.end(), channel) == outliers.end()) outliers.push_back(channel);
        }
    }
    SafeTensorsWriter writer;
    Generator g(options.seed, options, writer);
    g.uniform("model.encoder.conv1.weight", {d, c.melCount, 3}, std::sqrt(3.0f / static_cast<float>(3 * c.melCount)));
    g.uniform("model.encoder.conv1.bias", {d}, 0.05f);
    g.uniform("model.encoder.conv2.weight", {d, d, 3}, std::sqrt(3.0f / static_cast<float>(3 * d)));
    g.uniform("model.encoder.conv2.bias", {d}, 0.05f);
    g.put("model.encoder.embed_positions.weight", {c.audioFrames, d}, sinusoids(c.audioFrames, c.width));
    for (int i = 0; i < c.encoderLayers; ++i) {
        const std::string p = "model.encoder.layers." + std::to_string(i) + ".";
        norm(g, p + "self_attn_layer_norm", d, outliers);
        attention(g, p + "self_attn", d);
        mlp(g, p, d, outliers);
    }
    norm(g, "model.encoder.layer_norm", d, outliers);

    g.uniform("model.decoder.embed_tokens.weight", {c.vocabulary, d}, 3.0f * std::sqrt(3.0f / static_cast<float>(d)));
    g.uniform("model.decoder.embed_positions.weight", {c.textContext, d}, 2.0f);
    for (int i = 0; i < c.decoderLayers; ++i) {
        const std::string p = "model.decoder.layers." + std::to_string(i) + ".";
        norm(g, p + "self_attn_layer_norm", d, outliers);
        attention(g, p + "self_attn", d);
        norm(g, p + "encoder_attn_layer_norm", d, outliers);
        attention(g, p + "encoder_attn", d);
        mlp(g, p, d, outliers);
    }
    norm(g, "model.decoder.layer_norm", d, outliers);
    writer.setMetadata("format", "pt");
    writer.write(folder / "model.safetensors");

    if (options.tokenizerFolder) {
        for (const auto& name : ModelFolder::tokenizerFiles()) {
            const fs::path source = *options.tokenizerFolder / name;
            if (!fs::is_regular_file(source)) continue;
            fs::copy_file(source, folder / name, fs::copy_options::overwrite_existing);
            fs::permissions(folder / name, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
        }
    }
}

}  // namespace platform::conversion
