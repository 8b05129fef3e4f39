#pragma once

#include "Platform/ML/Float16.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/Runtime/BlockwiseKernels.h"
#include "Platform/ML/Runtime/ModelManifest.h"
#include "Platform/ML/Runtime/OutputRecycler.h"
#include "Platform/ML/Runtime/SafeTensors.h"
#include "Platform/ML/Runtime/WeightArena.h"
#include "Platform/ML/Runtime/Workspace.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace platform::runtime {

// The text decoder, one token per prediction. Inputs: the token ("input_ids") and its
// position ("cache_length"), the key and value caches [1, layers·width, 1, S] (channel
// l·width + c holds layer l, channel c; column j position j), the update mask (1 at the
// position this step writes), the encoder output, and the padding mask added to the
// self-attention scores (0 where attended, −10000 elsewhere). Self-attention sees the
// cache with the masked position's entry replaced by this step's key and value.
// Outputs: the next token's logits [1, 1, vocabulary], this step's keys and values
// [1, layers·width, 1, 1] in the caches' layout, and — when the model lists alignment
// heads — the step's cross-attention weights over the audio frames averaged over those
// heads [1, frames]. All outputs are half precision; each is an array no one else holds
// (arrays that callers have let go are recycled).
//
// The cross-attention keys and values depend only on the encoder output; they are
// computed once per encoder-output array (recognised by its storage and a sample of its
// contents) and kept while that array lives, for a few arrays at a time, so that windows
// decoded concurrently each keep theirs, as 8-bit codes with a scale per frame and head
// (CrossStateKernels.h): half the bytes of half precision for every step to read and for
// the window to keep resident, for a change in the logits of a few hundredths of a percent.
//
// Weights are copied at load into one huge-page block (the file mapping is then released):
// matrices in half precision (converted when stored otherwise) or, in a compressed stage,
// as stored (codes and scales, dequantized in registers by the products), vectors in single
// precision: token_embedding, positions, layer.N.self_attention_norm,
// layer.N.self_attention.qkv, layer.N.self_attention.out, layer.N.cross_attention_norm,
// layer.N.cross_attention.{query,key,value,out}, layer.N.mlp_norm, layer.N.mlp.{up,down},
// final_norm (each .weight, and .bias except the cross-attention key).
class TextDecoderModel : public Model {
public:
    TextDecoderModel(const ModelManifest& manifest, std::shared_ptr<SafeTensorsFile> weights,
                     ComputeUnits computeUnits);

    // Bytes of weights one token step reads (all matrices and the embedding).
    std::size_t weightBytesPerStep() const;
    // Bytes one token step reads besides the weights once its caches are full: the key and
    // value caches (half precision; a step reads them only up to its last attended position)
    // and the cross-attention keys and values as this model holds them.
    std::size_t stateBytesPerStep() const;
    // Bytes of one window's cross-attention keys and values as this model holds them: 8-bit
    // codes with their scales.
    std::size_t crossStateBytes() const;
    // Number of encoder outputs whose cross-attention keys and values are kept.
    std::size_t cachedEncoderOutputs() const;

protected:
    std::shared_ptr<FeatureProvider> predict(const FeatureProvider& input,
                                             const PredictionOptions& options) const override;

private:
    struct Layer {
        const float* selfNormWeight;
        const float* selfNormBias;
        WeightMatrix qkvWeight;
        const float* qkvBias;
        WeightMatrix selfOutWeight;
        const float* selfOutBias;
        const float* crossNormWeight;
        const float* crossNormBias;
        WeightMatrix crossQueryWeight;
        const float* crossQueryBias;
        WeightMatrix crossKeyWeight;
        WeightMatrix crossValueWeight;
        const float* crossValueBias;
        WeightMatrix crossOutWeight;
        const float* crossOutBias;
        const float* mlpNormWeight;
        const float* mlpNormBias;
        WeightMatrix upWeight;
        const float* upBias;
        WeightMatrix downWeight;
        const float* downBias;
    };

    // Cross-attention keys and values of one encoder output, per layer and head, as 8-bit
    // codes with their scales in the layouts of CrossStateKernels.h.
    struct CrossState {
        std::unique_ptr<WeightArena> memory;  // huge pages, read at every step like weights
        std::int8_t* keyCodes = nullptr;
        float* keyScales = nullptr;
        std::int8_t* valueCodes = nullptr;
        float* valueScales = nullptr;
    };
    struct CrossEntry {
        std::weak_ptr<void> storage;
        const void* data = nullptr;
        std::uint64_t fingerprint = 0;
        std::shared_ptr<const CrossState> state;
    };

    WeightMatrix matrix(const std::string& name, std::int64_t rows, std::int64_t cols);
    const float* floatVector(const std::string& name, std::int64_t length);
    std::shared_ptr<const CrossState> crossState(const MultiArray& encoderOutput) const;
    std::shared_ptr<const CrossState> computeCrossState(const MultiArray& encoderOutput) const;

    DecoderHyperparameters parameters_;
    std::shared_ptr<SafeTensorsFile> weights_;  // released once the weights are copied
    std::unique_ptr<WeightArena> arena_;
    WeightFormat weightFormat_ = WeightFormat::half;
    WeightMatrix tokenEmbedding_;
    const Float16* positions_ = nullptr;
    const float* finalNormWeight_ = nullptr;
    const float* finalNormBias_ = nullptr;
    std::vector<Layer> layers_;
    // The alignment heads by layer, in the order their weights are summed.
    std::vector<std::size_t> alignmentHeads_;
    std::vector<std::size_t> alignmentHeadsBefore_;  // per layer, and one past the last
    mutable WorkspacePool workspaces_;
    mutable ArrayRecycler logitsArrays_;
    mutable ArrayRecycler keyArrays_;
    mutable ArrayRecycler valueArrays_;
    mutable ArrayRecycler alignmentArrays_;
    mutable ProviderRecycler providers_;
    mutable std::mutex crossMutex_;
    mutable std::vector<CrossEntry> crossEntries_;
};

}  // namespace platform::runtime
