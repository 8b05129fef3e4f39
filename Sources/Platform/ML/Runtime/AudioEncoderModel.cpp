#include "Platform/ML/Runtime/AudioEncoderModel.h"

#include "Platform/ML/Float16.h"
#include "Platform/ML/MLError.h"
#include "Platform/ML/Runtime/BlockwiseGemm.h"
#include "Platform/ML/Runtime/FloatGemm.h"
#include "Platform/ML/Runtime/Kernels.h"
#include "Platform/ML/Runtime/StoredMatrix.h"
#include "Platform/ML/Runtime/ThreadPool.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace platform::runtime {

const float* AudioEncoderModel::tensor(const std::string& name, const std::vector<std::int64_t>& shape) {
    const TensorView& view = weights_->require(name, shape);
    if (view.dtype == TensorDType::F32 && reinterpret_cast<std::uintptr_t>(view.data) % alignof(float) == 0)
        return reinterpret_cast<const float*>(view.data);
    copies_.push_back(view.toFloat());
    return copies_.back().data();
}

AudioEncoderModel::Matrix AudioEncoderModel::matrix(const std::string& name, const std::vector<std::int64_t>& shape) {
    const TensorView& view = weights_->require(name, shape);
    Matrix m;
    m.count = static_cast<std::size_t>(view.elementCount());
    if (view.dtype == TensorDType::F16 && reinterpret_cast<std::uintptr_t>(view.data) % alignof(Float16) == 0)
        m.half = reinterpret_cast<const Float16*>(view.data);
    else
        m.single = tensor(name, shape);
    return m;
}

AudioEncoderModel::Matrix AudioEncoderModel::layerMatrix(const std::string& name, std::int64_t rows,
                                                         std::int64_t cols) {
    const StoredMatrix stored = StoredMatrix::find(*weights_, name, rows, cols, weightFormat_);
    if (!stored.compressed()) return matrix(name, {rows, cols});
    // Codes in place (the integer products read no byte past a row); scales in place when
    // aligned, else copied.
    Matrix m;
    m.count = static_cast<std::size_t>(rows * cols);
    const Float16* scales = reinterpret_cast<const Float16*>(stored.scales->data);
    if (reinterpret_cast<std::uintptr_t>(scales) % alignof(Float16) != 0) {
        scaleCopies_.emplace_back(stored.layout.scaleCount());
        stored.copyScales(scaleCopies_.back().data());
        scales = scaleCopies_.back().data();
    }
    m.blockwise = BlockwiseMatrix{reinterpret_cast<const std::uint8_t*>(stored.codes->data), scales, stored.layout};
    return m;
}

const float* AudioEncoderModel::widen(const Matrix& matrix, float* scratch) {
    if (matrix.single) return matrix.single;
    ThreadPool::shared().parallelFor(matrix.count, std::size_t{1} << 16, [&](std::size_t begin, std::size_t end) {
        widenShare(matrix, scratch, begin, end, matrix.count);
    });
    return scratch;
}

void AudioEncoderModel::widenShare(const Matrix& matrix, float* scratch, std::size_t begin, std::size_t end,
                                   std::size_t total) {
    if (matrix.single) return;
    if (matrix.half) {
        const std::size_t first = matrix.count * begin / total, last = matrix.count * end / total;
        convertFloat16ToFloat(matrix.half + first, scratch + first, last - first);
        return;
    }
    if (packed(matrix)) {
        const std::size_t panels = static_cast<std::size_t>(matrix.blockwise.layout.rows) / kernels::gemm::panelRows;
        kernels::gemm::pack(matrix.blockwise, panels * begin / total, panels * end / total, scratch);
        return;
    }
    const auto rows = static_cast<std::size_t>(matrix.blockwise.layout.rows);
    const std::size_t first = rows * begin / total, last = rows * end / total;
    kernels::dequantizeBlockwiseRows(matrix.blockwise, first, last,
                                     scratch + first * static_cast<std::size_t>(matrix.blockwise.layout.cols));
}

bool AudioEncoderModel::packed(const Matrix& matrix) {
    return !matrix.half && !matrix.single && kernels::gemm::available(matrix.blockwise.layout);
}

void AudioEncoderModel::product(ThreadPool& pool, const Matrix& matrix, const float* scratch, const float* a,
                                std::size_t rows, std::size_t n, std::size_t k, float* c, bool accumulate,
                                std::int16_t* x16, float* steps, std::span<float> packing) {
    if (!packed(matrix)) {
        kernels::sgemmParallel(pool, false, true, rows, n, k, 1.0f, a, k, widened(matrix, scratch), k,
                               accumulate ? 1.0f : 0.0f, c, n, packing);
        return;
    }
    pool.parallelFor(rows, 16, [&](std::size_t begin, std::size_t end) {
        kernels::gemm::quantizeRows(a, k, k, begin, end, x16, steps);
    });
    // Tasks of 48 rows by 8 panels: the rows' integers and a panel stay in the core's caches.
    constexpr std::size_t taskRows = 48, taskPanels = 8;
    const std::size_t panels = n / kernels::gemm::panelRows;
    const std::size_t rowTasks = (rows + taskRows - 1) / taskRows, panelTasks = (panels + taskPanels - 1) / taskPanels;
    pool.parallelFor(rowTasks * panelTasks, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t task = begin; task < end; ++task) {
            const std::size_t r = (task / panelTasks) * taskRows, p = (task % panelTasks) * taskPanels;
            kernels::gemm::multiply(x16, steps, r, std::min(rows, r + taskRows), matrix.blockwise.layout, scratch, p,
                                    std::min(panels, p + taskPanels), c, n, accumulate);
        }
    });
}

AudioEncoderModel::AudioEncoderModel(const ModelManifest& manifest, std::shared_ptr<SafeTensorsFile> weights,
                                     ComputeUnits computeUnits)
    : Model(manifest.description, computeUnits),
      parameters_(manifest.encoder),
      weights_(std::move(weights)),
      weightFormat_(manifest.weightFormat) {
    const auto& p = parameters_;
    const std::int64_t d = p.width, m = p.melCount;
    conv1Weight_ = matrix("conv.0.weight", {d, m, 3});
    conv1Bias_ = tensor("conv.0.bias", {d});
    conv2Weight_ = matrix("conv.1.weight", {d, d, 3});
    conv2Bias_ = tensor("conv.1.bias", {d});
    positions_ = matrix("positions", {p.frames, d});
    for (int i = 0; i < p.layers; ++i) {
        const std::string prefix = "layer." + std::to_string(i) + ".";
        Layer layer{};
        layer.attentionNormWeight = tensor(prefix + "attention_norm.weight", {d});
        layer.attentionNormBias = tensor(prefix + "attention_norm.bias", {d});
        layer.qkvWeight = layerMatrix(prefix + "attention.qkv.weight", 3 * d, d);
        layer.qkvBias = tensor(prefix + "attention.qkv.bias", {3 * d});
        layer.outWeight = layerMatrix(prefix + "attention.out.weight", d, d);
        layer.outBias = tensor(prefix + "attention.out.bias", {d});
        layer.mlpNormWeight = tensor(prefix + "mlp_norm.weight", {d});
        layer.mlpNormBias = tensor(prefix + "mlp_norm.bias", {d});
        layer.upWeight = layerMatrix(prefix + "mlp.up.weight", 4 * d, d);
        layer.upBias = tensor(prefix + "mlp.up.bias", {4 * d});
        layer.downWeight = layerMatrix(prefix + "mlp.down.weight", d, 4 * d);
        layer.downBias = tensor(prefix + "mlp.down.bias", {d});
        layers_.push_back(layer);
    }
    finalNormWeight_ = tensor("final_norm.weight", {d});
    finalNormBias_ = tensor("final_norm.bias", {d});
}

double AudioEncoderModel::matrixFlops() const {
    const double d = parameters_.width, t = parameters_.frames, m = parameters_.melCount;
    const double convolutions = 2.0 * d * m * 3 * (2 * t) + 2.0 * d * d * 3 * t;
    const double perLayer = 2.0 * t * d * 3 * d           // query, key, value
                            + 2.0 * 2.0 * t * t * d       // scores and weighted sums
                            + 2.0 * t * d * d             // output projection
                            + 2.0 * 2.0 * t * d * 4 * d;  // feed-forward
    return convolutions + perLayer * parameters_.layers;
}

std::shared_ptr<FeatureProvider> AudioEncoderModel::predict(const FeatureProvider& input,
                                                            const PredictionOptions&) const {
    const auto& p = parameters_;
    const std::size_t d = static_cast<std::size_t>(p.width), mels = static_cast<std::size_t>(p.melCount);
    const std::size_t frames = static_cast<std::size_t>(p.frames), inputFrames = 2 * frames;
    const std::size_t heads = static_cast<std::size_t>(p.heads), headWidth = d / heads, hidden = 4 * d;

    MultiArray melArray = *input.featureValue("melspectrogram_features")->multiArrayValue();
    if (!melArray.isContiguous()) melArray = melArray.copy();
    const float* mel = melArray.data<float>();

    ThreadPool& pool = ThreadPool::shared();
    auto workspace = workspaces_.take();
    // Attention runs by blocks of query rows, each block's scores [blockRows, frames] in a
    // slot of its own: one slot per thread at work, a chunk of the attention loop holding a
    // free one while it runs.
    const std::size_t blockRows = 128;
    const std::size_t rowBlocks = (frames + blockRows - 1) / blockRows;
    const std::size_t scoreSlots = pool.threadCount(), scoreBlockSize = blockRows * frames;
    // Two buffers serve the whole pass. `rows` holds x (the residual stream, frames × d)
    // and h (normalised rows, then the attention output) one after the other; `wide`
    // holds the projections followed by the score slots, then the feed-forward hidden rows
    // (so the slots take no pages of their own while threads · blockRows ≤ width). The
    // convolutions borrow them: the first one's columns in `wide` and output
    // in `rows`, the second one's columns in `wide` and output in h.
    // Every element is written before it is read.
    float* rows = workspace->floats(0, std::max(2 * frames * d, d * inputFrames), false);
    float* wide = workspace->floats(
        1, std::max({frames * hidden, frames * 3 * d + scoreSlots * scoreBlockSize, mels * 3 * inputFrames}), false);
    float* x = rows;
    float* h = rows + frames * d;
    float* qkv = wide;
    float* scoreBlocks = wide + frames * 3 * d;
    float* mlp = wide;
    float* attention = h;
    float* columns = wide;
    float* conv1 = rows;
    const auto scoreSlotBusy = std::make_unique<std::atomic<bool>[]>(scoreSlots);
    // Half-precision weights widened for the product at hand.
    const std::size_t widest = std::max({4 * d * d, 3 * d * d, d * mels * 3, frames * d});
    float* widened = workspace->floats(2, widest, false);
    // Rows of a product's input as 16-bit integers, and their steps (compressed matrices).
    auto* x16 = reinterpret_cast<std::int16_t*>(workspace->floats(3, (frames * hidden + 1) / 2, false));
    float* steps = workspace->floats(4, frames, false);
    // Room for the single-precision products to pack their operands into: the largest of
    // the parallel products (the convolutions' and the layers'), or a share for each
    // attention slot.
    const std::size_t packingShare = kernels::sgemmScratchFloats();
    std::size_t packingFloats = scoreSlots * packingShare;
    for (const auto& [n, k] : {std::pair{inputFrames, mels * 3}, std::pair{frames, d * 3}, std::pair{hidden, d},
                               std::pair{3 * d, d}, std::pair{d, hidden}})
        packingFloats = std::max(packingFloats, kernels::sgemmParallelScratchFloats(scoreSlots, n, k));
    const std::span<float> packing(workspace->floats(5, packingFloats, false), packingFloats);

    // Convolution 1 (kernel 3, padding 1): columns[(c·3 + k)][t] = mel[c][t + k − 1].
    pool.parallelFor(mels * 3, 8, [&](std::size_t begin, std::size_t end) {
        for (std::size_t row = begin; row < end; ++row) {
            const std::size_t c = row / 3;
            const long shift = static_cast<long>(row % 3) - 1;
            float* out = columns + row * inputFrames;
            const float* in = mel + c * inputFrames;
            for (std::size_t t = 0; t < inputFrames; ++t) {
                const long source = static_cast<long>(t) + shift;
                out[t] = (source >= 0 && source < static_cast<long>(inputFrames)) ? in[source] : 0.0f;
            }
        }
    });
    kernels::sgemmParallel(pool, false, false, d, inputFrames, mels * 3, 1.0f, widen(conv1Weight_, widened), mels * 3,
                           columns, inputFrames, 0.0f, conv1, inputFrames, packing);
    pool.parallelFor(d, 8, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            float* row = conv1 + c * inputFrames;
            const float bias = conv1Bias_[c];
            for (std::size_t t = 0; t < inputFrames; ++t) row[t] += bias;
            kernels::gelu(row, inputFrames);
        }
    });

    // Convolution 2 (kernel 3, stride 2, padding 1): columns[(c·3 + k)][t] = conv1[c][2t + k − 1].
    pool.parallelFor(d * 3, 8, [&](std::size_t begin, std::size_t end) {
        for (std::size_t row = begin; row < end; ++row) {
            const std::size_t c = row / 3;
            const long shift = static_cast<long>(row % 3) - 1;
            float* out = columns + row * frames;
            const float* in = conv1 + c * inputFrames;
            for (std::size_t t = 0; t < frames; ++t) {
                const long source = 2 * static_cast<long>(t) + shift;
                out[t] = (source >= 0 && source < static_cast<long>(inputFrames)) ? in[source] : 0.0f;
            }
        }
    });
    // h[c][t] = conv2 output, channel-major.
    kernels::sgemmParallel(pool, false, false, d, frames, d * 3, 1.0f, widen(conv2Weight_, widened), d * 3, columns,
                           frames, 0.0f, h, frames, packing);
    pool.parallelFor(d, 8, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            float* row = h + c * frames;
            const float bias = conv2Bias_[c];
            for (std::size_t t = 0; t < frames; ++t) row[t] += bias;
            kernels::gelu(row, frames);
        }
    });
    // x[t][c] = h[c][t] + positions[t][c]
    const float* positions = widen(positions_, widened);
    pool.parallelFor(frames, 16, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t)
            for (std::size_t c = 0; c < d; ++c) x[t * d + c] = h[c * frames + t] + positions[t * d + c];
    });

    const float scale = 1.0f / std::sqrt(static_cast<float>(headWidth));
    // Each product's weights are widened by the parallel loop before it, a share per chunk.
    for (const Layer& layer : layers_) {
        pool.parallelFor(frames, 16, [&](std::size_t begin, std::size_t end) {
            for (std::size_t t = begin; t < end; ++t)
                kernels::layerNorm(x + t * d, h + t * d, layer.attentionNormWeight, layer.attentionNormBias, d);
            widenShare(layer.qkvWeight, widened, begin, end, frames);
        });
        product(pool, layer.qkvWeight, widened, h, frames, 3 * d, d, qkv, false, x16, steps, packing);
        pool.parallelFor(frames, 16, [&](std::size_t begin, std::size_t end) {
            for (std::size_t t = begin; t < end; ++t) kernels::add(qkv + t * 3 * d, layer.qkvBias, 3 * d);
            widenShare(layer.outWeight, widened, begin, end, frames);
        });
        // Attention by (head, block of query rows): scores = q·kᵀ·scale, softmax, · v.
        pool.parallelFor(heads * rowBlocks, 1, [&](std::size_t begin, std::size_t end) {
            // No more chunks run at once than the pool has threads, so a slot is free unless
            // the pool grew meanwhile; then the chunk has a block of its own. A thread tries
            // the slot it had last first, whose lines its caches may still hold.
            thread_local std::size_t lastSlot = 0;
            auto take = [&](std::size_t candidate) {
                return !scoreSlotBusy[candidate].exchange(true, std::memory_order_acquire);
            };
            std::size_t slot = scoreSlots;
            if (lastSlot < scoreSlots && take(lastSlot)) {
                slot = lastSlot;
            } else {
                for (std::size_t candidate = 0; candidate < scoreSlots && slot == scoreSlots; ++candidate)
                    if (take(candidate)) slot = candidate;
            }
            if (slot < scoreSlots) lastSlot = slot;
            std::vector<float> own(slot < scoreSlots ? 0 : scoreBlockSize + packingShare);
            float* block = slot < scoreSlots ? scoreBlocks + slot * scoreBlockSize : own.data();
            float* slotPacking = slot < scoreSlots ? packing.data() + slot * packingShare : own.data() + scoreBlockSize;
            for (std::size_t task = begin; task < end; ++task) {
                const std::size_t head = task / rowBlocks, rowBegin = (task % rowBlocks) * blockRows;
                const std::size_t rows = std::min(blockRows, frames - rowBegin);
                const float* q = qkv + rowBegin * 3 * d + head * headWidth;
                const float* k = qkv + d + head * headWidth;
                const float* v = qkv + 2 * d + head * headWidth;
                kernels::sgemm(false, true, rows, frames, headWidth, scale, q, 3 * d, k, 3 * d, 0.0f, block, frames,
                               slotPacking);
                for (std::size_t r = 0; r < rows; ++r) kernels::softmax(block + r * frames, frames);
                kernels::sgemm(false, false, rows, headWidth, frames, 1.0f, block, frames, v, 3 * d, 0.0f,
                               attention + rowBegin * d + head * headWidth, d, slotPacking);
            }
            if (slot < scoreSlots) scoreSlotBusy[slot].store(false, std::memory_order_release);
        });
        // x += attention · outᵀ + bias
        product(pool, layer.outWeight, widened, attention, frames, d, d, x, true, x16, steps, packing);
        pool.parallelFor(frames, 16, [&](std::size_t begin, std::size_t end) {
            for (std::size_t t = begin; t < end; ++t) {
                kernels::add(x + t * d, layer.outBias, d);
                kernels::layerNorm(x + t * d, h + t * d, layer.mlpNormWeight, layer.mlpNormBias, d);
            }
            widenShare(layer.upWeight, widened, begin, end, frames);
        });
        product(pool, layer.upWeight, widened, h, frames, hidden, d, mlp, false, x16, steps, packing);
        pool.parallelFor(frames, 16, [&](std::size_t begin, std::size_t end) {
            for (std::size_t t = begin; t < end; ++t) {
                kernels::add(mlp + t * hidden, layer.upBias, hidden);
                kernels::gelu(mlp + t * hidden, hidden);
            }
            widenShare(layer.downWeight, widened, begin, end, frames);
        });
        product(pool, layer.downWeight, widened, mlp, frames, d, hidden, x, true, x16, steps, packing);
        pool.parallelFor(frames, 16, [&](std::size_t begin, std::size_t end) {
            for (std::size_t t = begin; t < end; ++t) kernels::add(x + t * d, layer.downBias, d);
        });
    }

    MultiArray output({1, p.width, 1, p.frames}, p.outputType);
    pool.parallelFor(frames, 16, [&](std::size_t begin, std::size_t end) {
        for (std::size_t t = begin; t < end; ++t)
            kernels::layerNorm(x + t * d, h + t * d, finalNormWeight_, finalNormBias_, d);
    });
    // Channel-major, as 32-bit floats or rounded to half precision as the description says.
    const bool half = p.outputType == MultiArrayDataType::float16;
    pool.parallelFor(d, 8, [&](std::size_t begin, std::size_t end) {
        std::vector<float> column(half ? frames : 0);
        for (std::size_t c = begin; c < end; ++c) {
            float* out = half ? column.data() : output.data<float>() + c * frames;
            for (std::size_t t = 0; t < frames; ++t) out[t] = h[t * d + c];
            if (half) convertFloatToFloat16(out, output.data<Float16>() + c * frames, frames);
        }
    });
    // The pass runs once per window while the decoder runs many steps on its output:
    // its activations (several times the weights of the small models) are not kept.
    workspace->release();
    return std::make_shared<DictionaryFeatureProvider>(
        std::map<std::string, FeatureValue>{{"encoder_output_embeds", FeatureValue(output)}});
}

}  // namespace platform::runtime
