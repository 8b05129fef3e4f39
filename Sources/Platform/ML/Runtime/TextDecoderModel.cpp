#include "Platform/ML/Runtime/TextDecoderModel.h"

#include "Platform/ML/Float16.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/Runtime/CrossStateKernels.h"
#include "Platform/ML/Runtime/FloatGemm.h"
#include "Platform/ML/Runtime/Kernels.h"
#include "Platform/ML/Runtime/ThreadPool.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <span>

namespace platform::runtime {

namespace {

constexpr std::size_t keptEncoderOutputs = 4;
// The padding mask's value for a position not attended.
constexpr float maskedOut = -10000.0f;
// Bytes of its next matrix a thread requests while it waits for the others (well within a
// core's second-level cache).
constexpr std::size_t prefetchBudget = std::size_t{192} << 10;

// Feature names, made once so that a prediction builds no strings.
const std::string inputIdsName = "input_ids";
const std::string cacheLengthName = "cache_length";
const std::string keyCacheName = "key_cache";
const std::string valueCacheName = "value_cache";
const std::string updateMaskName = "kv_cache_update_mask";
const std::string encoderOutputName = "encoder_output_embeds";
const std::string paddingMaskName = "decoder_key_padding_mask";
const std::string logitsName = "logits";
const std::string keyUpdatesName = "key_cache_updates";
const std::string valueUpdatesName = "value_cache_updates";
const std::string alignmentName = "alignment_heads_weights";

// A fingerprint of an encoder output (contiguous, 32-bit or half-precision floats) from a
// few hundred evenly spaced values, so that an array whose contents were overwritten in
// place is not mistaken for the one it was.
std::uint64_t fingerprintOf(const MultiArray& array) {
    const auto* bytes = static_cast<const unsigned char*>(array.dataPointer());
    const std::size_t count = static_cast<std::size_t>(array.count()), size = elementSize(array.dataType());
    std::uint64_t hash = 1469598103934665603ull;
    const std::size_t samples = std::min<std::size_t>(count, 509);
    for (std::size_t i = 0; i < samples; ++i) {
        const std::size_t index = samples == count ? i : (i * (count - 1)) / (samples - 1);
        std::uint32_t word = 0;
        std::memcpy(&word, bytes + index * size, std::min<std::size_t>(size, sizeof word));
        hash = (hash ^ word) * 1099511628211ull;
    }
    return hash;
}

// Rows of codes (one per frame and head, over all layers) of a compressed stage's
// cross-attention keys (frames padded to whole key blocks) and values.
struct CodedStateRows {
    std::size_t keys, values;
};
CodedStateRows codedStateRows(std::size_t layers, std::size_t heads, std::size_t frames) {
    return {layers * heads * kernels::paddedKeyFrames(frames), layers * heads * frames};
}

// A matrix in single precision, its rows converted by the pool.
void dequantizeInParallel(ThreadPool& pool, const WeightMatrix& matrix, float* out) {
    pool.parallelFor(matrix.rows, 16, [&](std::size_t begin, std::size_t end) {
        kernels::matrixRows(matrix, begin, end, out + begin * matrix.cols);
    });
}

}  // namespace

WeightMatrix TextDecoderModel::matrix(const std::string& name, std::int64_t rows, std::int64_t cols) {
    return arena_->matrix(StoredMatrix::find(*weights_, name, rows, cols, weightFormat_));
}

const float* TextDecoderModel::floatVector(const std::string& name, std::int64_t length) {
    return arena_->single(weights_->require(name, {length}));
}

TextDecoderModel::TextDecoderModel(const ModelManifest& manifest, std::shared_ptr<SafeTensorsFile> weights,
                                   ComputeUnits computeUnits)
    : Model(manifest.description, computeUnits),
      parameters_(manifest.decoder),
      weights_(std::move(weights)),
      weightFormat_(manifest.weightFormat),
      logitsArrays_({1, 1, manifest.decoder.vocabulary}, MultiArrayDataType::float16),
      keyArrays_({1, manifest.decoder.cacheWidth(), 1, 1}, MultiArrayDataType::float16),
      valueArrays_({1, manifest.decoder.cacheWidth(), 1, 1}, MultiArrayDataType::float16),
      alignmentArrays_({1, manifest.decoder.audioFrames}, MultiArrayDataType::float16) {
    const auto& p = parameters_;
    const std::int64_t d = p.width;
    arena_ = std::make_unique<WeightArena>(WeightArena::roomFor(*weights_));
    tokenEmbedding_ = matrix("token_embedding", p.vocabulary, d);
    positions_ = arena_->half(weights_->require("positions", {p.textContext, d}));
    for (int i = 0; i < p.layers; ++i) {
        const std::string prefix = "layer." + std::to_string(i) + ".";
        Layer l{};
        l.selfNormWeight = floatVector(prefix + "self_attention_norm.weight", d);
        l.selfNormBias = floatVector(prefix + "self_attention_norm.bias", d);
        l.qkvWeight = matrix(prefix + "self_attention.qkv.weight", 3 * d, d);
        l.qkvBias = floatVector(prefix + "self_attention.qkv.bias", 3 * d);
        l.selfOutWeight = matrix(prefix + "self_attention.out.weight", d, d);
        l.selfOutBias = floatVector(prefix + "self_attention.out.bias", d);
        l.crossNormWeight = floatVector(prefix + "cross_attention_norm.weight", d);
        l.crossNormBias = floatVector(prefix + "cross_attention_norm.bias", d);
        l.crossQueryWeight = matrix(prefix + "cross_attention.query.weight", d, d);
        l.crossQueryBias = floatVector(prefix + "cross_attention.query.bias", d);
        l.crossKeyWeight = matrix(prefix + "cross_attention.key.weight", d, d);
        l.crossValueWeight = matrix(prefix + "cross_attention.value.weight", d, d);
        l.crossValueBias = floatVector(prefix + "cross_attention.value.bias", d);
        l.crossOutWeight = matrix(prefix + "cross_attention.out.weight", d, d);
        l.crossOutBias = floatVector(prefix + "cross_attention.out.bias", d);
        l.mlpNormWeight = floatVector(prefix + "mlp_norm.weight", d);
        l.mlpNormBias = floatVector(prefix + "mlp_norm.bias", d);
        l.upWeight = matrix(prefix + "mlp.up.weight", 4 * d, d);
        l.upBias = floatVector(prefix + "mlp.up.bias", 4 * d);
        l.downWeight = matrix(prefix + "mlp.down.weight", d, 4 * d);
        l.downBias = floatVector(prefix + "mlp.down.bias", d);
        layers_.push_back(l);
    }
    finalNormWeight_ = floatVector("final_norm.weight", d);
    finalNormBias_ = floatVector("final_norm.bias", d);
    weights_.reset();  // everything needed is in the arena now
    for (std::size_t layer = 0; layer < layers_.size(); ++layer) {
        alignmentHeadsBefore_.push_back(alignmentHeads_.size());
        for (const auto& [headLayer, head] : p.alignmentHeads)
            if (static_cast<std::size_t>(headLayer) == layer) alignmentHeads_.push_back(static_cast<std::size_t>(head));
    }
    alignmentHeadsBefore_.push_back(alignmentHeads_.size());
}

std::size_t TextDecoderModel::weightBytesPerStep() const {
    std::size_t bytes = tokenEmbedding_.bytes();
    for (const Layer& l : layers_)
        bytes += l.qkvWeight.bytes() + l.selfOutWeight.bytes() + l.crossQueryWeight.bytes() + l.crossOutWeight.bytes() +
                 l.upWeight.bytes() + l.downWeight.bytes();
    return bytes;
}

std::size_t TextDecoderModel::cachedEncoderOutputs() const {
    std::lock_guard lock(crossMutex_);
    return static_cast<std::size_t>(std::count_if(crossEntries_.begin(), crossEntries_.end(),
                                                  [](const CrossEntry& e) { return !e.storage.expired(); }));
}

std::size_t TextDecoderModel::stateBytesPerStep() const {
    const std::size_t d = static_cast<std::size_t>(parameters_.width);
    const std::size_t caches =
        2 * layers_.size() * d * static_cast<std::size_t>(parameters_.cacheLength) * sizeof(Float16);
    return caches + crossStateBytes();
}

std::size_t TextDecoderModel::crossStateBytes() const {
    const std::size_t d = static_cast<std::size_t>(parameters_.width);
    const std::size_t frames = static_cast<std::size_t>(parameters_.audioFrames);
    const std::size_t heads = static_cast<std::size_t>(parameters_.heads), headWidth = d / heads;
    const CodedStateRows rows = codedStateRows(layers_.size(), heads, frames);
    return (rows.keys + rows.values) * (headWidth + sizeof(float));
}

std::shared_ptr<const TextDecoderModel::CrossState> TextDecoderModel::computeCrossState(
    const MultiArray& embeddings) const {
    const std::size_t d = static_cast<std::size_t>(parameters_.width);
    const std::size_t frames = static_cast<std::size_t>(parameters_.audioFrames);
    const std::size_t heads = static_cast<std::size_t>(parameters_.heads), headWidth = d / heads;
    const std::size_t layers = layers_.size();
    const std::size_t padded = kernels::paddedKeyFrames(frames);
    ThreadPool& pool = ThreadPool::shared();
    auto state = std::make_shared<CrossState>();
    const auto [keyCount, valueCount] = codedStateRows(layers, heads, frames);
    state->memory = std::make_unique<WeightArena>(
        WeightArena::footprint(keyCount * headWidth, 1) + WeightArena::footprint(keyCount, sizeof(float)) +
        WeightArena::footprint(valueCount * headWidth, 1) + WeightArena::footprint(valueCount, sizeof(float)));
    state->keyCodes = state->memory->room<std::int8_t>(keyCount * headWidth);
    state->keyScales = state->memory->room<float>(keyCount);
    state->valueCodes = state->memory->room<std::int8_t>(valueCount * headWidth);
    state->valueScales = state->memory->room<float>(valueCount);
    // Scratch of its own, mapped for this computation and unmapped after it: it runs once a
    // window, and the allocator could keep blocks this large resident between windows.
    Workspace scratch;
    float* weight = scratch.floats(0, d * d, false);
    float* product = scratch.floats(1, frames * d, false);
    const std::size_t packingFloats = kernels::sgemmParallelScratchFloats(pool.threadCount(), d, d);
    const std::span<float> packing(scratch.floats(3, packingFloats, false), packingFloats);
    // The products read the embeddings as 32-bit floats, widened here when they are stored
    // in half precision.
    const float* encoderOutput = nullptr;
    if (embeddings.dataType() == MultiArrayDataType::float16) {
        float* widened = scratch.floats(2, frames * d, false);
        convertFloat16ToFloat(embeddings.data<Float16>(), widened, frames * d);
        encoderOutput = widened;
    } else {
        encoderOutput = embeddings.data<float>();
    }
    // The product's columns of each head, stored head by head ([head][frame][channel of the
    // head]) so that each head's scores and weighted values read one contiguous block, as
    // codes (keys in blocks of frames) with a scale per frame.
    auto store = [&](std::size_t layer, bool keys) {
        pool.parallelFor(heads, 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t head = begin; head < end; ++head) {
                const std::size_t index = layer * heads + head;
                const float* columns = product + head * headWidth;
                if (keys)
                    kernels::quantizeKeys(columns, frames, headWidth, d, state->keyCodes + index * padded * headWidth,
                                          state->keyScales + index * padded);
                else
                    kernels::quantizeValues(columns, frames, headWidth, d,
                                            state->valueCodes + index * frames * headWidth,
                                            state->valueScales + index * frames);
            }
        });
    };
    for (std::size_t l = 0; l < layers; ++l) {
        const Layer& layer = layers_[l];
        // keys[t][c] = Σ_i encoder[i][t] · Wk[c][i]
        dequantizeInParallel(pool, layer.crossKeyWeight, weight);
        kernels::sgemmParallel(pool, true, true, frames, d, d, 1.0f, encoderOutput, frames, weight, d, 0.0f, product,
                               d, packing);
        store(l, true);
        // values[t][c] = Σ_i encoder[i][t] · Wv[c][i] + bias[c]
        dequantizeInParallel(pool, layer.crossValueWeight, weight);
        kernels::sgemmParallel(pool, true, true, frames, d, d, 1.0f, encoderOutput, frames, weight, d, 0.0f, product,
                               d, packing);
        for (std::size_t t = 0; t < frames; ++t)
            for (std::size_t c = 0; c < d; ++c) product[t * d + c] += layer.crossValueBias[c];
        store(l, false);
    }
    return state;
}

std::shared_ptr<const TextDecoderModel::CrossState> TextDecoderModel::crossState(
    const MultiArray& encoderOutput) const {
    const void* data = encoderOutput.dataPointer();
    const std::uint64_t fingerprint = fingerprintOf(encoderOutput);
    const std::weak_ptr<void> storage = encoderOutput.storageReference();
    auto sameOwner = [](const std::weak_ptr<void>& a, const std::weak_ptr<void>& b) {
        return !a.owner_before(b) && !b.owner_before(a);
    };
    {
        std::lock_guard lock(crossMutex_);
        std::erase_if(crossEntries_, [](const CrossEntry& e) { return e.storage.expired(); });
        for (auto it = crossEntries_.begin(); it != crossEntries_.end(); ++it) {
            if (sameOwner(it->storage, storage) && it->data == data && it->fingerprint == fingerprint) {
                // Most recently used last.
                CrossEntry entry = *it;
                crossEntries_.erase(it);
                crossEntries_.push_back(entry);
                return entry.state;
            }
        }
    }
    auto state = computeCrossState(encoderOutput);
    std::lock_guard lock(crossMutex_);
    std::erase_if(crossEntries_, [&](const CrossEntry& e) { return sameOwner(e.storage, storage) && e.data == data; });
    if (crossEntries_.size() >= keptEncoderOutputs) crossEntries_.erase(crossEntries_.begin());
    crossEntries_.push_back(CrossEntry{storage, data, fingerprint, state});
    return state;
}

namespace {

// The weight of each block of a head's cross-attention scores in the head's softmax, from
// each block's maximum and the sum of its exponentials taken from that maximum.
void softmaxBlockWeights(const float* maxima, const float* sums, std::size_t blocks, float* weights) {
    const float maximum = *std::max_element(maxima, maxima + blocks);
    float total = 0.0f;
    for (std::size_t b = 0; b < blocks; ++b) {
        weights[b] = std::exp(maxima[b] - maximum);
        total += sums[b] * weights[b];
    }
    for (std::size_t b = 0; b < blocks; ++b) weights[b] /= total;
}

}  // namespace

std::shared_ptr<FeatureProvider> TextDecoderModel::predict(const FeatureProvider& input,
                                                           const PredictionOptions&) const {
    const auto& p = parameters_;
    const std::size_t d = static_cast<std::size_t>(p.width), heads = static_cast<std::size_t>(p.heads);
    const std::size_t headWidth = d / heads, hidden = 4 * d;
    const std::size_t positions = static_cast<std::size_t>(p.cacheLength),
                      frames = static_cast<std::size_t>(p.audioFrames);
    const std::size_t vocabulary = static_cast<std::size_t>(p.vocabulary);

    auto array = [&](const std::string& name) {
        MultiArray a = *input.featureValue(name)->multiArrayValue();
        return a.isContiguous() ? a : a.copy();
    };
    const MultiArray inputIds = array(inputIdsName), cacheLength = array(cacheLengthName);
    const MultiArray keyCache = array(keyCacheName), valueCache = array(valueCacheName);
    const MultiArray updateMask = array(updateMaskName), paddingMask = array(paddingMaskName);
    const MultiArray encoderOutput = array(encoderOutputName);

    const std::int32_t token = inputIds.data<std::int32_t>()[0];
    const std::int32_t position = cacheLength.data<std::int32_t>()[0];
    if (token < 0 || token >= p.vocabulary)
        throw MLError(
            MLError::Code::predictionFailed,
            "input_ids holds " + std::to_string(token) + ", outside the vocabulary of " + std::to_string(p.vocabulary));
    if (position < 0 || position >= p.textContext)
        throw MLError(MLError::Code::predictionFailed, "cache_length holds " + std::to_string(position) +
                                                           ", outside 0..<" + std::to_string(p.textContext));

    auto cross = crossState(encoderOutput);
    ThreadPool& pool = ThreadPool::shared();
    // Every thread of the step computes what all need (layer norms, the merge of the
    // cross-attention blocks) in its own buffers rather than waiting for one to do it.
    const std::size_t threads = pool.threadCount();
    auto workspace = workspaces_.take();
    float* x = workspace->floats(0, d, false);
    float* qkv = workspace->floats(1, 3 * d, false);
    float* attended = workspace->floats(2, d, false);
    float* projected = workspace->floats(3, hidden, false);
    float* selfScores = workspace->floats(4, heads * positions, false);
    float* crossScores = workspace->floats(5, heads * frames, false);
    float* alignment = workspace->floats(6, frames);
    float* logits = workspace->floats(7, vocabulary, false);
    float* padding = workspace->floats(8, positions, false);
    float* newKeyValue = workspace->floats(9, 2 * d, false);  // this step's key and value as the cache holds them
    // Cross-attention work items: heads × frame blocks, as many as an even split over the
    // threads needs (a multiple of the thread count where the head count allows).
    const std::size_t parts = threads * ThreadTeam::partsPerThread;
    std::size_t frameBlocks = std::lcm(heads, parts) / heads;
    if (frameBlocks * 64 > frames) frameBlocks = std::max<std::size_t>(1, (2 * parts + heads - 1) / heads);
    frameBlocks = std::min(frameBlocks, std::max<std::size_t>(1, frames / 16));
    std::size_t frameBlock = (frames + frameBlocks - 1) / frameBlocks;
    // Coded keys are scored in whole blocks of frames.
    frameBlock = kernels::paddedKeyFrames(frameBlock);
    frameBlocks = (frames + frameBlock - 1) / frameBlock;
    const std::size_t tasks = heads * frameBlocks;
    const std::size_t paddedFrames = kernels::paddedKeyFrames(frames);
    float* blockMaxima = workspace->floats(10, tasks, false);
    float* blockSums = workspace->floats(11, tasks, false);
    float* blockOutputs = workspace->floats(12, tasks * headWidth, false);
    float* normalisedAll = workspace->floats(13, threads * d, false);
    float* mergedAll = workspace->floats(14, threads * d, false);
    float* blockWeightsAll = workspace->floats(15, threads * tasks, false);
    const std::size_t alignmentCount = alignmentHeads_.size();
    // The alignment heads' scores and block statistics, kept until the step's end, where their
    // weights are summed in one stage for all layers.
    float* alignmentScores = workspace->floats(16, alignmentCount * frames, false);
    float* alignmentMaxima = workspace->floats(17, alignmentCount * frameBlocks, false);
    float* alignmentSums = workspace->floats(18, alignmentCount * frameBlocks, false);
    float* alignmentWeightsAll = workspace->floats(19, threads * alignmentCount * frameBlocks, false);

    // Positions this step writes, and the padding mask as floats.
    const std::int32_t* mask = updateMask.data<std::int32_t>();
    convertFloat16ToFloat(paddingMask.data<Float16>(), padding, positions);
    // Positions past the last one attended (masked with the full −10000 and not written
    // this step) weigh nothing in the softmax: they are neither read nor scored. The cache
    // holds the sequence from its start, so a step reads only what it has decoded so far.
    std::size_t attendedPositions = positions;
    while (attendedPositions > 0 && padding[attendedPositions - 1] <= maskedOut && mask[attendedPositions - 1] == 0)
        --attendedPositions;
    if (attendedPositions == 0)
        attendedPositions = positions;  // nothing attended: every position weighs the same, as the mask says

    const MultiArray keyUpdates = keyArrays_.take();
    const MultiArray valueUpdates = valueArrays_.take();
    const MultiArray logitsArray = logitsArrays_.take();
    const MultiArray alignmentArray = alignmentCount > 0 ? alignmentArrays_.take() : MultiArray();
    Float16* keyOut = keyUpdates.data<Float16>();
    Float16* valueOut = valueUpdates.data<Float16>();
    Float16* logitsOut = logitsArray.data<Float16>();
    Float16* alignmentOut = alignmentCount > 0 ? alignmentArray.data<Float16>() : nullptr;
    const Float16* keys = keyCache.data<Float16>();
    const Float16* values = valueCache.data<Float16>();

    // x = token embedding + position embedding
    kernels::matrixRows(tokenEmbedding_, static_cast<std::size_t>(token), static_cast<std::size_t>(token) + 1, x);
    convertFloat16ToFloat(positions_ + static_cast<std::size_t>(position) * d, attended, d);
    kernels::add(x, attended, d);

    const float scale = 1.0f / std::sqrt(static_cast<float>(headWidth));
    // One parallel region for the whole step, in stages. Each thread first takes the same
    // rows of every matrix at every step (so that what fits stays in its caches); a stage
    // ends when all its parts are done. Inputs every thread needs (layer norms of the
    // residual stream, the merge of the cross-attention blocks) each thread computes for
    // itself, in its own buffers, rather than waiting for one thread to do it.
    pool.team([&](auto& team) {
        const std::size_t me = team.index();
        float* h = normalisedAll + me * d;
        float* merged = mergedAll + me * d;
        // The cross-attention queries of the heads this thread works on; the merge of the
        // heads' blocks, which comes after, reuses the buffer.
        float* query = merged;
        float* blockWeights = blockWeightsAll + me * tasks;
        // The input of the stage's products, set once per thread and stage and converted for
        // the compressed products at most once (a thread runs one step at a time, so its own
        // is free).
        thread_local kernels::ProductInput threadInput;
        kernels::ProductInput& input = threadInput;
        auto nothing = [] {};
        auto take = [&](const float* vector, std::size_t columns) {
            return [&input, vector, columns] { input.set(vector, columns); };
        };
        // While others finish a stage, a thread requests the first rows of its share of the
        // matrix it reads next, so that its next stage starts on cached weights.
        auto ahead = [&](const WeightMatrix& next) {
            return [&team, &next] {
                const auto [begin, end] = team.ownItems(next.rows, 16);
                kernels::prefetchRows(next, begin, end, prefetchBudget);
            };
        };
        // The same for the query rows of the heads of its first cross-attention blocks.
        auto aheadQueries = [&](const WeightMatrix& next) {
            return [&team, &next, tasks, frameBlocks, headWidth] {
                const auto [begin, end] = team.ownItems(tasks, 1);
                if (begin < end)
                    kernels::prefetchRows(next, begin / frameBlocks * headWidth,
                                          ((end - 1) / frameBlocks + 1) * headWidth, prefetchBudget);
            };
        };
        auto normalise = [&](const float* weight, const float* bias) {
            return [=, &input] {
                kernels::layerNorm(x, h, weight, bias, d);
                input.set(h, d);
            };
        };
        // The weight of each block of each head in its head's softmax, and the heads' outputs.
        auto mergeBlocks = [&] {
            for (std::size_t head = 0; head < heads; ++head) {
                float* weights = blockWeights + head * frameBlocks;
                softmaxBlockWeights(blockMaxima + head * frameBlocks, blockSums + head * frameBlocks, frameBlocks,
                                    weights);
                float* out = merged + head * headWidth;
                std::fill(out, out + headWidth, 0.0f);
                for (std::size_t b = 0; b < frameBlocks; ++b) {
                    const float* part = blockOutputs + (head * frameBlocks + b) * headWidth;
                    for (std::size_t c = 0; c < headWidth; ++c) out[c] += weights[b] * part[c];
                }
            }
        };
        for (std::size_t l = 0; l < layers_.size(); ++l) {
            const Layer& layer = layers_[l];
            const WeightMatrix& nextMatrix = l + 1 < layers_.size() ? layers_[l + 1].qkvWeight : tokenEmbedding_;
            // Self-attention: query, key and value; this step's key and value go out in half
            // precision, and the attention sees them as the cache will hold them.
            team.stage(
                3 * d, 16, normalise(layer.selfNormWeight, layer.selfNormBias),
                [&](std::size_t begin, std::size_t end) {
                    kernels::gemv(layer.qkvWeight, input, layer.qkvBias, qkv, begin, end);
                    // Keys (rows d…2d) and values (rows 2d…3d) among these rows.
                    for (const auto& [from, to, out] :
                         {std::tuple{d, 2 * d, keyOut}, std::tuple{2 * d, 3 * d, valueOut}}) {
                        const std::size_t first = std::max(begin, from), last = std::min(end, to);
                        if (first >= last) continue;
                        convertFloatToFloat16(qkv + first, out + l * d + (first - from), last - first);
                        convertFloat16ToFloat(out + l * d + (first - from), newKeyValue + (first - d), last - first);
                    }
                },
                ahead(layer.selfOutWeight));
            team.stage(
                heads, 1, nothing,
                [&](std::size_t begin, std::size_t end) {
                    const float* newKey = newKeyValue;
                    const float* newValue = newKeyValue + d;
                    for (std::size_t head = begin; head < end; ++head) {
                        const std::size_t channel = head * headWidth;
                        const float* q = qkv + channel;
                        float* scores = selfScores + head * positions;
                        kernels::gemvHalfTransposed(keys + (l * d + channel) * positions, positions, q, scores,
                                                    headWidth, attendedPositions);
                        for (std::size_t j = 0; j < attendedPositions; ++j) {
                            if (mask[j] != 0) {
                                float dot = 0.0f;
                                for (std::size_t c = 0; c < headWidth; ++c) dot += q[c] * newKey[channel + c];
                                scores[j] = dot;
                            }
                            scores[j] = scores[j] * scale + padding[j];
                        }
                        kernels::softmax(scores, attendedPositions);
                        float fresh = 0.0f;
                        for (std::size_t j = 0; j < attendedPositions; ++j) {
                            if (mask[j] != 0) {
                                fresh += scores[j];
                                scores[j] = 0.0f;
                            }
                        }
                        float* out = attended + channel;
                        kernels::gemvHalf(values + (l * d + channel) * positions, positions, scores, nullptr, out, 0,
                                          headWidth, attendedPositions);
                        if (fresh != 0.0f)
                            for (std::size_t c = 0; c < headWidth; ++c) out[c] += fresh * newValue[channel + c];
                    }
                },
                ahead(layer.selfOutWeight));
            team.stage(
                d, 16, take(attended, d),
                [&](std::size_t begin, std::size_t end) {
                    kernels::gemv(layer.selfOutWeight, input, layer.selfOutBias, x, begin, end, true);
                },
                aheadQueries(layer.crossQueryWeight));

            // Cross-attention over the encoder frames. Each thread computes the query of the
            // heads of its blocks itself, into its own buffer, when it first meets them: a
            // stage of its own would cost more in waiting than the few rows computed twice.
            // Each block keeps its scores' maximum, their exponentials' sum and the values
            // weighted by those exponentials; the blocks of a head are merged after.
            std::size_t queryHead = heads;  // the head whose query this thread's buffer holds
            team.stage(
                tasks, 1,
                [&, norm = normalise(layer.crossNormWeight, layer.crossNormBias)] {
                    norm();
                    queryHead = heads;
                },
                [&](std::size_t begin, std::size_t end) {
                    for (std::size_t task = begin; task < end; ++task) {
                        const std::size_t head = task / frameBlocks, block = task % frameBlocks;
                        const std::size_t channel = head * headWidth;
                        if (head != queryHead) {
                            kernels::gemv(layer.crossQueryWeight, input, layer.crossQueryBias, query, channel,
                                          channel + headWidth);
                            queryHead = head;
                        }
                        const std::size_t first = block * frameBlock, last = std::min(frames, first + frameBlock);
                        float* scores = crossScores + head * frames;
                        const std::size_t index = l * heads + head;
                        kernels::keyScores(cross->keyCodes + index * paddedFrames * headWidth,
                                           cross->keyScales + index * paddedFrames, headWidth, query + channel, scale,
                                           scores, first, last);
                        blockSums[task] = kernels::softmaxUnnormalised(scores + first, last - first, blockMaxima[task]);
                        for (std::size_t k = alignmentHeadsBefore_[l]; k < alignmentHeadsBefore_[l + 1]; ++k) {
                            if (alignmentHeads_[k] != head) continue;
                            std::copy(scores + first, scores + last, alignmentScores + k * frames + first);
                            alignmentMaxima[k * frameBlocks + block] = blockMaxima[task];
                            alignmentSums[k * frameBlocks + block] = blockSums[task];
                        }
                        kernels::weightedValues(cross->valueCodes + (index * frames + first) * headWidth,
                                                cross->valueScales + index * frames + first, headWidth, scores + first,
                                                last - first, blockOutputs + task * headWidth);
                    }
                },
                ahead(layer.crossOutWeight));
            team.stage(
                d, 16,
                [&] {
                    mergeBlocks();
                    input.set(merged, d);
                },
                [&](std::size_t begin, std::size_t end) {
                    kernels::gemv(layer.crossOutWeight, input, layer.crossOutBias, x, begin, end, true);
                },
                ahead(layer.upWeight));
            // Feed-forward: the up projection and its activation, then the down projection
            // added to the residual stream.
            team.stage(
                hidden, 16, normalise(layer.mlpNormWeight, layer.mlpNormBias),
                [&](std::size_t begin, std::size_t end) {
                    kernels::gemv(layer.upWeight, input, layer.upBias, projected, begin, end);
                    kernels::gelu(projected + begin, end - begin);
                },
                ahead(layer.downWeight));
            team.stage(
                d, 16, take(projected, hidden),
                [&](std::size_t begin, std::size_t end) {
                    kernels::gemv(layer.downWeight, input, layer.downBias, x, begin, end, true);
                },
                ahead(nextMatrix));
        }
        team.stage(vocabulary, 16, normalise(finalNormWeight_, finalNormBias_),
                   [&](std::size_t begin, std::size_t end) {
                       kernels::gemv(tokenEmbedding_, input, nullptr, logits, begin, end);
                       convertFloatToFloat16(logits + begin, logitsOut + begin, end - begin);
                   });
        if (alignmentCount > 0) {
            // The alignment heads' cross-attention weights, averaged.
            float* alignmentWeights = alignmentWeightsAll + me * alignmentCount * frameBlocks;
            team.stage(
                frames, 16,
                [&] {
                    for (std::size_t k = 0; k < alignmentCount; ++k)
                        softmaxBlockWeights(alignmentMaxima + k * frameBlocks, alignmentSums + k * frameBlocks,
                                            frameBlocks, alignmentWeights + k * frameBlocks);
                },
                [&](std::size_t begin, std::size_t end) {
                    for (std::size_t k = 0; k < alignmentCount; ++k) {
                        const float* weights = alignmentWeights + k * frameBlocks;
                        const float* scores = alignmentScores + k * frames;
                        for (std::size_t t = begin; t < end; ++t) alignment[t] += weights[t / frameBlock] * scores[t];
                    }
                    const float inverse = 1.0f / static_cast<float>(alignmentCount);
                    for (std::size_t t = begin; t < end; ++t) alignment[t] *= inverse;
                    convertFloatToFloat16(alignment + begin, alignmentOut + begin, end - begin);
                });
        }
    });

    auto outputs = providers_.take();
    outputs->add(logitsName, logitsArray);
    outputs->add(keyUpdatesName, keyUpdates);
    outputs->add(valueUpdatesName, valueUpdates);
    if (alignmentCount > 0) outputs->add(alignmentName, alignmentArray);
    return outputs;
}

}  // namespace platform::runtime
