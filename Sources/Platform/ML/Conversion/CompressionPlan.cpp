#include "Platform/ML/Conversion/CompressionPlan.h"

#include "Platform/ML/Conversion/WeightQuantizer.h"
#include "Platform/ML/Float16.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/ModelFolder.h"
#include "Platform/ML/Runtime/BlockwiseFormat.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <queue>
#include <sstream>

namespace platform::conversion {

namespace {

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

// How strongly a relative error of a matrix's products reaches the models' outputs, as measured
// by quantizing one group of matrices at a time to 5 bits in random checkpoints of the small
// size, with uniform weights and with heavy-tailed weights and outlier norm channels (the
// geometric mean of the two), and comparing the outputs with the half-precision model's: the
// squared relative error of the encoder output (counted twice, as it is held to a tighter bound)
// and of the logits, over the group's squared relative weight error. Cross-attention queries and
// keys hardly count in random models, whose cross-attention is almost even over the audio;
// trained models align with them, so they count as much as the self-attention's projections.
// The self-attention projections count more again where their scores are sharp (see sharpness).
struct GroupInfluence {
    std::string_view stage;
    std::string_view group;
    double influence;  // of the whole group, all layers together
};
constexpr GroupInfluence groupInfluences[] = {
    {ModelFolder::audioEncoder, "attention.qkv", 52.9},
    {ModelFolder::audioEncoder, "attention.out", 65.8},
    {ModelFolder::audioEncoder, "mlp.up", 20.8},
    {ModelFolder::audioEncoder, "mlp.down", 29.2},
    {ModelFolder::textDecoder, "token_embedding", 10.2},
    {ModelFolder::textDecoder, "self_attention.qkv", 5.8},
    {ModelFolder::textDecoder, "self_attention.out", 7.9},
    {ModelFolder::textDecoder, "cross_attention.query", 1.9},
    {ModelFolder::textDecoder, "cross_attention.key", 1.9},
    {ModelFolder::textDecoder, "cross_attention.value", 8.1},
    {ModelFolder::textDecoder, "cross_attention.out", 6.6},
    {ModelFolder::textDecoder, "mlp.up", 4.4},
    {ModelFolder::textDecoder, "mlp.down", 5.5},
};

// An error made in an early layer passes through every later one, and the residual stream it
// joins is still small: a layer's share falls as (layer + 1)^-exponent, measured the same way.
double layerShare(int layer, int layers, double exponent) {
    if (layer < 0) return 1.0;
    double total = 0;
    for (int l = 0; l < layers; ++l) total += std::pow(l + 1.0, -exponent);
    return std::pow(layer + 1.0, -exponent) / total;
}

double influence(const CompressibleMatrix& matrix, const CheckpointConfig& config) {
    const bool encoder = matrix.stage == ModelFolder::audioEncoder;
    const double share = encoder ? layerShare(matrix.layer, config.encoderLayers, 0.85)
                                 : layerShare(matrix.layer, config.decoderLayers, 0.6);
    for (const auto& g : groupInfluences)
        if (g.stage == matrix.stage && g.group == matrix.group) return g.influence * share;
    return share;
}

// Whether the decoder reads the matrix at every token: all of its matrices but the
// cross-attention keys' and values', which it applies once to each encoder output.
bool readAtEveryToken(const CompressibleMatrix& m) {
    return m.stage == ModelFolder::textDecoder && m.group != "cross_attention.key" &&
           m.group != "cross_attention.value";
}

// One way to store a matrix: its width (16: half precision), block, size and the weighed
// error it leaves.
struct Option {
    int bits = 8;
    int block = 64;
    std::uint64_t bytes = 0;
    double cost = 0;
};

// The ways a matrix may be stored, smallest first: each width in the longest block the columns
// allow and in blocks of about half as many values (more scales, for weights whose blocks hold
// a few large values), never shorter than 32 values, which the runtime's fastest products need;
// the first quarter of each stage's layers (at least its first layer), whose errors pass through
// every later layer, may also stay in half precision, which keeps most of the folder's weights
// compressed however large the budget. The matrices the decoder reads at every token take no
// more bytes than 8 bits in the longest block: a token's time is the time to read them, so
// wider codes there would make every token slower, and the budget left over goes to the
// encoder and the cross-attention keys and values, which are read once a window.
std::vector<Option> optionsFor(const CompressibleMatrix& m, const CheckpointConfig& config) {
    std::vector<Option> options;
    const int longest = WeightQuantizer::blockFor(m.columns);
    if (longest == 0) return options;
    const int half = longest > 32 ? WeightQuantizer::blockFor(m.columns, 32) : 0;
    for (const int bits : runtime::kBlockwiseWidths)
        for (const int block : {longest, half == 32 ? half : 0})
            if (block > 0)
                options.push_back({bits, block, WeightQuantizer::storedBytes(m.rows, m.columns, bits, block), 0});
    const int layers = m.stage == ModelFolder::audioEncoder ? config.encoderLayers : config.decoderLayers;
    if (m.layer >= 0 && m.layer < std::max(1, layers / 4))
        options.push_back({16, 0, static_cast<std::uint64_t>(m.rows) * static_cast<std::uint64_t>(m.columns) * 2, 0});
    if (readAtEveryToken(m)) {
        const std::uint64_t widest = WeightQuantizer::storedBytes(m.rows, m.columns, 8, longest);
        std::erase_if(options, [&](const Option& option) { return option.bytes > widest; });
    }
    std::sort(options.begin(), options.end(), [](const Option& a, const Option& b) { return a.bytes < b.bytes; });
    return options;
}

// The weighed relative error half precision leaves in the sampled rows.
double halfPrecisionError(const std::vector<float>& values, std::int64_t columns, std::int64_t step,
                          const std::vector<float>& columnWeights) {
    double error = 0, signal = 0;
    const auto rows = static_cast<std::int64_t>(values.size()) / columns;
    for (std::int64_t r = 0; r < rows; r += step) {
        for (std::int64_t j = 0; j < columns; ++j) {
            const float x = values[static_cast<std::size_t>(r * columns + j)];
            const double d = static_cast<double>(x) - Float16(x).floatValue();
            const double w = columnWeights.empty() ? 1.0 : columnWeights[static_cast<std::size_t>(j)];
            error += w * d * d;
            signal += w * x * x;
        }
    }
    return signal > 0 ? error / signal : 0;
}

// One matrix while the widths are chosen: its options from the smallest up.
struct Candidate {
    CompressionPlan::Entry entry;
    std::vector<Option> options;
    std::vector<double> errors;  // relative, by option, before weighing
    std::size_t chosen = 0;
    // For the self-attention projections: the mean square of each query and key component over
    // inputs of the mean squares the input norm gives.
    std::vector<double> queries, keys;
};

// sum over j of columnWeights[j] × values[i][j]² for `count` rows from `first`.
std::vector<double> rowMoments(const std::vector<float>& values, std::int64_t columns, std::int64_t first,
                               std::int64_t count, const std::vector<float>& columnWeights) {
    std::vector<double> moments(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        double sum = 0;
        for (std::int64_t j = 0; j < columns; ++j) {
            const double x = values[static_cast<std::size_t>((first + i) * columns + j)];
            sum += (columnWeights.empty() ? 1.0 : columnWeights[static_cast<std::size_t>(j)]) * x * x;
        }
        moments[static_cast<std::size_t>(i)] = sum;
    }
    return moments;
}

// How much sharper than even the attention scores of these projections are: the mean over
// components of query × key mean squares, which is the variance of the scaled scores (1 for
// projections of unit-sized weights on normalized inputs). An error in sharp scores moves the
// attention more, so the projections' errors count that many times more.
double sharpness(const std::vector<double>& queries, const std::vector<double>& keys) {
    if (queries.empty() || queries.size() != keys.size()) return 1.0;
    double sum = 0;
    for (std::size_t i = 0; i < queries.size(); ++i) sum += queries[i] * keys[i];
    return std::clamp(sum / static_cast<double>(queries.size()), 0.25, 64.0);
}

// Keeps the options that are worth their bytes: each costs less than every smaller one, and
// each step up removes less error per byte than the step before it.
void keepLowerHull(std::vector<Option>& options) {
    std::vector<Option> hull;
    auto gain = [](const Option& from, const Option& to) {
        return (from.cost - to.cost) / static_cast<double>(to.bytes - from.bytes);
    };
    for (const auto& option : options) {
        if (!hull.empty() && (option.bytes == hull.back().bytes || option.cost >= hull.back().cost)) {
            if (option.bytes == hull.back().bytes && option.cost < hull.back().cost) hull.back() = option;
            continue;
        }
        while (hull.size() >= 2 && gain(hull[hull.size() - 2], hull.back()) <= gain(hull.back(), option))
            hull.pop_back();
        hull.push_back(option);
    }
    options = std::move(hull);
}

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
    std::uint64_t bytes = mels * 201 * 4;                        // mel filterbank
    bytes += d * mels * 3 * 2 + d * d * 3 * 2 + 2 * d * 4;       // convolutions
    bytes += static_cast<std::uint64_t>(c.audioFrames) * d * 2;  // encoder positions
    bytes += encoderLayers * 13 * d * 4 + 2 * d * 4;             // encoder norms and biases
    bytes += static_cast<std::uint64_t>(c.textContext) * d * 2;  // decoder positions
    bytes += decoderLayers * 18 * d * 4 + 2 * d * 4;             // decoder norms and biases
    const std::uint64_t tensors = 1 + 7 + encoderLayers * 16 + 3 + decoderLayers * 29 + 2;
    bytes += tensors * headerBytesPerTensor + 3 * bytesPerStage;
    // Matrices no block divides stay in half precision.
    for (const auto& m : compressibleMatrices(c))
        if (WeightQuantizer::blockFor(m.columns) == 0)
            bytes += static_cast<std::uint64_t>(m.rows) * static_cast<std::uint64_t>(m.columns) * 2;
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

// Bytes of every compressible matrix stored its widest way.
std::uint64_t widestBytes(const CheckpointConfig& config) {
    std::uint64_t bytes = 0;
    for (const auto& m : compressibleMatrices(config)) {
        const auto options = optionsFor(m, config);
        if (!options.empty()) bytes += options.back().bytes;
    }
    return bytes;
}

}  // namespace

bool CompressionPlan::measures(const CheckpointConfig& config, std::uint64_t budget, std::uint64_t otherBytes) {
    return otherBytes + widestBytes(config) > budget;
}

CompressionPlan CompressionPlan::choose(const CheckpointConfig& config, std::uint64_t budget, std::uint64_t otherBytes,
                                        const TensorSource& tensor) {
    std::vector<Candidate> candidates;
    for (auto& matrix : compressibleMatrices(config)) {
        Candidate candidate;
        candidate.options = optionsFor(matrix, config);
        if (candidate.options.empty()) continue;
        if (!matrix.inputNorm.empty()) {
            const auto gain = tensor(matrix.inputNorm + ".weight", {matrix.columns});
            const auto bias = tensor(matrix.inputNorm + ".bias", {matrix.columns});
            candidate.entry.columnWeights.resize(static_cast<std::size_t>(matrix.columns));
            for (std::size_t j = 0; j < gain.size(); ++j)
                candidate.entry.columnWeights[j] = gain[j] * gain[j] + bias[j] * bias[j];
        }
        candidate.entry.matrix = std::move(matrix);
        candidates.push_back(std::move(candidate));
    }

    CompressionPlan plan;
    plan.budget_ = budget;
    std::uint64_t total = otherBytes;
    for (const auto& candidate : candidates) total += candidate.options.front().bytes;
    if (total > budget)
        throw MLError(MLError::Code::invalidArgument,
                      "Cannot convert: the model does not fit in " + separated(budget) + " bytes; with the narrowest " +
                          std::to_string(candidates.empty() ? 0 : candidates.front().options.front().bits) +
                          "-bit codes it takes " + separated(total) + " bytes");

    if (!measures(config, budget, otherBytes)) {
        // Everything fits at the widest codes: nothing to weigh.
        total = otherBytes;
        for (auto& candidate : candidates) {
            candidate.chosen = candidate.options.size() - 1;
            total += candidate.options.back().bytes;
        }
    } else {
        for (auto& candidate : candidates) {
            const auto& m = candidate.entry.matrix;
            std::vector<float> values;
            for (const auto& source : m.sources) {
                const auto part = tensor(source, {m.rows / static_cast<std::int64_t>(m.sources.size()), m.columns});
                values.insert(values.end(), part.begin(), part.end());
            }
            const std::int64_t step = std::max<std::int64_t>(1, m.rows / measuredRows);
            for (auto& option : candidate.options) {
                candidate.errors.push_back(
                    option.bits == 16 ? halfPrecisionError(values, m.columns, step, candidate.entry.columnWeights)
                                      : WeightQuantizer::measure(values.data(), m.rows, m.columns, option.bits,
                                                                 option.block, candidate.entry.columnWeights, step)
                                            .relative());
            }
            const auto& weights = candidate.entry.columnWeights;
            const std::int64_t d = config.width;
            if (m.group.ends_with("attention.qkv")) {
                candidate.queries = rowMoments(values, m.columns, 0, d, weights);
                candidate.keys = rowMoments(values, m.columns, d, d, weights);
            }
        }
        for (auto& candidate : candidates) {
            const auto& m = candidate.entry.matrix;
            double weight = influence(m, config);
            // Two of the three projections make the scores.
            if (m.group.ends_with("attention.qkv"))
                weight *= (2 * sharpness(candidate.queries, candidate.keys) + 1) / 3;
            for (std::size_t o = 0; o < candidate.options.size(); ++o)
                candidate.options[o].cost = weight * candidate.errors[o];
            keepLowerHull(candidate.options);
        }
        // Widen first where a byte removes the most weighed error.
        using Step = std::pair<double, std::size_t>;  // (error removed per byte, candidate)
        auto later = [](const Step& a, const Step& b) {
            return a.first < b.first || (a.first == b.first && a.second > b.second);
        };
        std::priority_queue<Step, std::vector<Step>, decltype(later)> steps(later);
        auto offer = [&](std::size_t i) {
            const auto& c = candidates[i];
            if (c.chosen + 1 >= c.options.size()) return;
            const Option& from = c.options[c.chosen];
            const Option& to = c.options[c.chosen + 1];
            steps.emplace((from.cost - to.cost) / static_cast<double>(to.bytes - from.bytes), i);
        };
        for (std::size_t i = 0; i < candidates.size(); ++i) offer(i);
        while (!steps.empty()) {
            const std::size_t i = steps.top().second;
            steps.pop();
            auto& c = candidates[i];
            const std::uint64_t extra = c.options[c.chosen + 1].bytes - c.options[c.chosen].bytes;
            if (total + extra > budget) continue;
            total += extra;
            ++c.chosen;
            offer(i);
        }
    }
    for (auto& candidate : candidates) {
        candidate.entry.bits = candidate.options[candidate.chosen].bits;
        candidate.entry.block = candidate.options[candidate.chosen].block;
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
    // Groups in the order they first appear, each with its widths by layer ("6", or "6/32" for
    // blocks shorter than the longest the matrix allows).
    std::vector<std::pair<std::string, std::map<int, std::string>>> groups;
    std::uint64_t weights = 0, bytes = 0;
    for (const auto& entry : entries_) {
        const auto& m = entry.matrix;
        const std::string key = std::string(m.stage) + " " + m.group;
        auto found = std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == key; });
        if (found == groups.end()) found = groups.insert(groups.end(), {key, {}});
        char width[24];
        if (entry.bits == 16 || entry.block == WeightQuantizer::blockFor(m.columns))
            std::snprintf(width, sizeof width, "%d", entry.bits);
        else
            std::snprintf(width, sizeof width, "%d/%d", entry.bits, entry.block);
        found->second[m.layer] = width;
        weights += static_cast<std::uint64_t>(m.rows) * static_cast<std::uint64_t>(m.columns);
        bytes += entry.bits == 16 ? static_cast<std::uint64_t>(m.rows) * static_cast<std::uint64_t>(m.columns) * 2
                                  : WeightQuantizer::storedBytes(m.rows, m.columns, entry.bits, entry.block);
    }
    std::size_t longest = 0;
    for (const auto& group : groups) longest = std::max(longest, group.first.size());
    std::ostringstream text;
    text << "bits per weight, layer by layer (/32: in blocks of 32 values; 16: half precision; ×n: n layers):\n";
    for (const auto& [key, widths] : groups) {
        text << "  " << key << std::string(longest + 2 - key.size(), ' ');
        // Runs of three or more layers of one width as "width ×count".
        std::vector<std::string> ordered;
        for (const auto& [layer, width] : widths) ordered.push_back(width);
        for (std::size_t i = 0; i < ordered.size();) {
            std::size_t end = i;
            while (end < ordered.size() && ordered[end] == ordered[i]) ++end;
            if (end - i >= 3)
                text << ' ' << ordered[i] << " ×" << end - i;
            else
                for (std::size_t k = i; k < end; ++k) text << ' ' << ordered[k];
            i = end;
        }
        text << '\n';
    }
    char average[32];
    std::snprintf(average, sizeof average, "%.2f", weights > 0 ? 8.0 * static_cast<double>(bytes) / weights : 0.0);
    text << "layer matrices and token embedding: " << separated(weights) << " weights in " << separated(bytes)
         << " bytes, " << average << " bits per weight with the scales\n";
    text << "estimated size: " << separated(estimatedBytes_) << " bytes of " << separated(budget_) << '\n';
    return text.str();
}

}  // namespace platform::conversion
