#include "Platform/ML/Conversion/CompressionPlan.h"

#include "Platform/ML/Conversion/WeightQuantizer.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/ModelFolder.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <map>
#include <queue>
#include <sstream>

namespace platform::conversion {

namespace {

constexpr std::size_t widthCount = std::size(WeightQuantizer::widths);

// Room in a weights file's header for one tensor's entry and its alignment.
constexpr std::uint64_t headerBytesPerTensor = 160 + 64;
// Room for a stage's model description (model.json, or the package's metadata) and its
// weights file's fixed header.
constexpr std::uint64_t bytesPerStage = 16 * 1024;
// Rows measured per matrix at most: enough for its error to within a few percent.
constexpr std::int64_t measuredRows = 512;

std::string separated(std::uint64_t value) {
    std::string digits = std::to_string(value), text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text.push_back(',');
        text.push_back(digits[i]);
    }
    return text;
}

// How strongly a relative error of this matrix's products reaches the models' outputs.
double influence(const CompressibleMatrix& matrix, const CheckpointConfig& config) {
    (void)matrix;
    (void)config;
    return 1.0;
}

std::uint64_t halfBytes(std::int64_t rows, std::int64_t columns) {
    return static_cast<std::uint64_t>(rows) * static_cast<std::uint64_t>(columns) * 2;
}

// One matrix while the widths are chosen.
struct Candidate {
    CompressionPlan::Entry entry;
    std::array<double, widthCount> cost{};           // by WeightQuantizer::widths
    std::array<std::uint64_t, widthCount> bytes{};  // likewise
    std::size_t width = widthCount - 1;             // index into WeightQuantizer::widths
};

}  // namespace

std::optional<std::uint64_t> sizeBudgetOf(std::string_view name) {
    if (!name.ends_with("MB")) return std::nullopt;
    name.remove_suffix(2);
    const auto underscore = name.rfind('_');
    if (underscore == std::string_view::npos) return std::nullopt;
    const std::string_view digits = name.substr(underscore + 1);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    std::uint64_t megabytes = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), megabytes);
    if (error != std::errc() || end != digits.data() + digits.size() || megabytes > UINT64_MAX / 1000000)
        return std::nullopt;
    return megabytes * 1000000;
}

std::vector<CompressibleMatrix> compressibleMatrices(const CheckpointConfig& c) {
    std::vector<CompressibleMatrix> matrices;
    const std::int64_t d = c.width;
    auto add = [&](std::string_view stage, int layer, std::string group, std::int64_t rows, std::int64_t columns,
                   std::vector<std::string> sources, std::string norm) {
        CompressibleMatrix m;
        m.stage = stage;
        m.name = (layer >= 0 ? "layer." + std::to_string(layer) + "." : std::string()) + group +
                 (layer >= 0 ? ".weight" : "");
        m.group = std::move(group);
        m.layer = layer;
        m.rows = rows;
        m.columns = columns;
        m.sources = std::move(sources);
        m.inputNorm = std::move(norm);
        matrices.push_back(std::move(m));
    };
    for (int i = 0; i < c.encoderLayers; ++i) {
        const std::string hub = "encoder.layers." + std::to_string(i) + ".";
        const auto stage = ModelFolder::audioEncoder;
        add(stage, i, "attention.qkv", 3 * d, d,
            {hub + "self_attn.q_proj.weight", hub + "self_attn.k_proj.weight", hub + "self_attn.v_proj.weight"},
            hub + "self_attn_layer_norm");
        add(stage, i, "attention.out", d, d, {hub + "self_attn.out_proj.weight"}, "");
        add(stage, i, "mlp.up", 4 * d, d, {hub + "fc1.weight"}, hub + "final_layer_norm");
        add(stage, i, "mlp.down", d, 4 * d, {hub + "fc2.weight"}, "");
    }
    const auto stage = ModelFolder::textDecoder;
    add(stage, -1, "token_embedding", c.vocabulary, d, {"decoder.embed_tokens.weight"}, "decoder.layer_norm");
    for (int i = 0; i < c.decoderLayers; ++i) {
        const std::string hub = "decoder.layers." + std::to_string(i) + ".";
        add(stage, i, "self_attention.qkv", 3 * d, d,
            {hub + "self_attn.q_proj.weight", hub + "self_attn.k_proj.weight", hub + "self_attn.v_proj.weight"},
            hub + "self_attn_layer_norm");
        add(stage, i, "self_attention.out", d, d, {hub + "self_attn.out_proj.weight"}, "");
        add(stage, i, "cross_attention.query", d, d, {hub + "encoder_attn.q_proj.weight"},
            hub + "encoder_attn_layer_norm");
        add(stage, i, "cross_attention.key", d, d, {hub + "encoder_attn.k_proj.weight"}, "encoder.layer_norm");
        add(stage, i, "cross_attention.value", d, d, {hub + "encoder_attn.v_proj.weight"}, "encoder.layer_norm");
        add(stage, i, "cross_attention.out", d, d, {hub + "encoder_attn.out_proj.weight"}, "");
        add(stage, i, "mlp.up", 4 * d, d, {hub + "fc1.weight"}, hub + "final_layer_norm");
        add(stage, i, "mlp.down", d, 4 * d, {hub + "fc2.weight"}, "");
    }
    return matrices;
}

std::uint64_t CompressionPlan::fixedBytes(const CheckpointConfig& c, const std::filesystem::path& checkpointFolder) {
    namespace fs = std::filesystem;
    const auto d = static_cast<std::uint64_t>(c.width);
    const auto mels = static_cast<std::uint64_t>(c.melCount);
    const auto encoderLayers = static_cast<std::uint64_t>(c.encoderLayers);
    const auto decoderLayers = static_cast<std::uint64_t>(c.decoderLayers);
    // Tensors besides the compressible matrices, in the element types the converter writes.
    std::uint64_t bytes = mels * 201 * 4;                                // mel filterbank
    bytes += d * mels * 3 * 2 + d * d * 3 * 2 + 2 * d * 4;               // convolutions
    bytes += static_cast<std::uint64_t>(c.audioFrames) * d * 2;          // encoder positions
    bytes += encoderLayers * 13 * d * 4 + 2 * d * 4;                     // encoder norms and biases
    bytes += static_cast<std::uint64_t>(c.textContext) * d * 2;          // decoder positions
    bytes += decoderLayers * 18 * d * 4 + 2 * d * 4;                     // decoder norms and biases
    const std::uint64_t tensors = 1 + 7 + encoderLayers * 16 + 3 + decoderLayers * 29 + 2;
    bytes += tensors * headerBytesPerTensor + 3 * bytesPerStage;
    // Matrices no block divides stay in half precision.
    for (const auto& m : compressibleMatrices(c))
        if (WeightQuantizer::blockFor(m.columns) == 0) bytes += halfBytes(m.rows, m.columns);
    std::error_code error;
    for (const auto& name : ModelFolder::tokenizerFiles()) {
        const fs::path file = checkpointFolder / name;
        if (!fs::is_regular_file(file, error)) continue;
        const auto size = fs::file_size(file, error);
        if (!error) bytes += size;
    }
    return bytes;
}

namespace {

// Bytes of every compressible matrix at the widest codes.
std::uint64_t widestBytes(const CheckpointConfig& config) {
    std::uint64_t bytes = 0;
    for (const auto& m : compressibleMatrices(config)) {
        const int block = WeightQuantizer::blockFor(m.columns);
        if (block > 0) bytes += WeightQuantizer::storedBytes(m.rows, m.columns, WeightQuantizer::widths[0], block);
    }
    return bytes;
}

}  // namespace

bool CompressionPlan::measures(const CheckpointConfig& config, std::uint64_t budget, std::uint64_t otherBytes) {
    return otherBytes + widestBytes(config) > budget;
}

CompressionPlan CompressionPlan::choose(const CheckpointConfig& config, std::uint64_t budget,
                                        std::uint64_t otherBytes, const TensorSource& tensor) {
    std::vector<Candidate> candidates;
    for (auto& matrix : compressibleMatrices(config)) {
        const int block = WeightQuantizer::blockFor(matrix.columns);
        if (block == 0) continue;
        Candidate candidate;
        candidate.entry.block = block;
        if (!matrix.inputNorm.empty()) {
            const auto gain = tensor(matrix.inputNorm + ".weight", {matrix.columns});
            const auto bias = tensor(matrix.inputNorm + ".bias", {matrix.columns});
            candidate.entry.columnWeights.resize(static_cast<std::size_t>(matrix.columns));
            for (std::size_t j = 0; j < gain.size(); ++j)
                candidate.entry.columnWeights[j] = gain[j] * gain[j] + bias[j] * bias[j];
        }
        for (std::size_t w = 0; w < widthCount; ++w)
            candidate.bytes[w] = WeightQuantizer::storedBytes(matrix.rows, matrix.columns, WeightQuantizer::widths[w], block);
        candidate.entry.matrix = std::move(matrix);
        candidates.push_back(std::move(candidate));
    }

    CompressionPlan plan;
    plan.budget_ = budget;
    std::uint64_t total = otherBytes;
    for (const auto& candidate : candidates) total += candidate.bytes[widthCount - 1];
    if (total > budget)
        throw MLError(MLError::Code::invalidArgument,
                      "Cannot convert: the model does not fit in " + separated(budget) + " bytes; with the narrowest " +
                          std::to_string(WeightQuantizer::widths[widthCount - 1]) + "-bit codes it takes " +
                          separated(total) + " bytes");

    std::uint64_t widest = otherBytes;
    for (const auto& candidate : candidates) widest += candidate.bytes[0];
    if (widest <= budget) {
        // Everything fits at the widest codes: nothing to weigh.
        for (auto& candidate : candidates) candidate.width = 0;
        total = widest;
    } else {
        for (auto& candidate : candidates) {
            const auto& m = candidate.entry.matrix;
            std::vector<float> values;
            for (const auto& source : m.sources) {
                const auto part = tensor(source, {m.rows / static_cast<std::int64_t>(m.sources.size()), m.columns});
                values.insert(values.end(), part.begin(), part.end());
            }
            const double weight = influence(m, config);
            const std::int64_t step = std::max<std::int64_t>(1, m.rows / measuredRows);
            for (std::size_t w = 0; w < widthCount; ++w) {
                const auto error = WeightQuantizer::measure(values.data(), m.rows, m.columns, WeightQuantizer::widths[w],
                                                            candidate.entry.block, candidate.entry.columnWeights, step);
                candidate.cost[w] = weight * error.relative();
            }
        }
        // Widen first where a byte removes the most weighed error.
        using Step = std::pair<double, std::size_t>;  // (error removed per byte, candidate)
        auto cmp = [](const Step& a, const Step& b) { return a.first < b.first || (a.first == b.first && a.second > b.second); };
        std::priority_queue<Step, std::vector<Step>, decltype(cmp)> steps(cmp);
        auto offer = [&](std::size_t i) {
            const auto& c = candidates[i];
            if (c.width == 0) return;
            const double gain = c.cost[c.width] - c.cost[c.width - 1];
            steps.emplace(gain / static_cast<double>(c.bytes[c.width - 1] - c.bytes[c.width]), i);
        };
        for (std::size_t i = 0; i < candidates.size(); ++i) offer(i);
        while (!steps.empty()) {
            const std::size_t i = steps.top().second;
            steps.pop();
            auto& c = candidates[i];
            const std::uint64_t extra = c.bytes[c.width - 1] - c.bytes[c.width];
            if (total + extra > budget) continue;
            total += extra;
            --c.width;
            offer(i);
        }
    }
    for (auto& candidate : candidates) {
        candidate.entry.bits = WeightQuantizer::widths[candidate.width];
        plan.entries_.push_back(std::move(candidate.entry));
    }
    plan.estimatedBytes_ = total;
    return plan;
}

const CompressionPlan::Entry* CompressionPlan::find(std::string_view stage, const std::string& name) const {
    for (const auto& entry : entries_)
        if (entry.matrix.stage == stage && entry.matrix.name == name) return &entry;
    return nullptr;
}

std::string CompressionPlan::describe() const {
    // Groups in the order they first appear, each with its widths by layer.
    std::vector<std::pair<std::string, std::map<int, int>>> groups;
    for (const auto& entry : entries_) {
        const std::string key = std::string(entry.matrix.stage) + " " + entry.matrix.group;
        auto found = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == key; });
        if (found == groups.end()) found = groups.insert(groups.end(), {key, {}});
        found->second[entry.matrix.layer] = entry.bits;
    }
    std::size_t longest = 0;
    for (const auto& group : groups) longest = std::max(longest, group.first.size());
    std::ostringstream text;
    text << "bits per weight by layer:\n";
    for (const auto& [key, widths] : groups) {
        text << "  " << key << std::string(longest + 2 - key.size(), ' ');
        for (const auto& [layer, bits] : widths) text << ' ' << bits;
        text << '\n';
    }
    text << "estimated size: " << separated(estimatedBytes_) << " bytes of " << separated(budget_) << '\n';
    return text.str();
}

}  // namespace platform::conversion
