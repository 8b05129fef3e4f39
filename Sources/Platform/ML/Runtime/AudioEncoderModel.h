#pragma once

#include "Platform/ML/Float16.h"
#include "Platform/ML/Model.h"
#include "Platform/ML/Runtime/BlockwiseKernels.h"
#include "Platform/ML/Runtime/ModelManifest.h"
#include "Platform/ML/Runtime/SafeTensors.h"
#include "Platform/ML/Runtime/Workspace.h"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace platform::runtime {

// The audio encoder: two convolutions (kernel 3, the second with stride 2) each followed
// by GELU, sinusoidal positions, pre-norm transformer blocks (self-attention, then a
// GELU feed-forward of four times the width), a final layer norm. Input
// [1, mels, 1, 2·frames], output [1, width, 1, frames], both float32.
//
// Weights: conv.{0,1}.{weight,bias}, positions, layer.N.attention_norm.{weight,bias},
// layer.N.attention.qkv.{weight,bias} (query, key and value rows stacked; the key bias is
// zero), layer.N.attention.out.{weight,bias}, layer.N.mlp_norm.{weight,bias},
// layer.N.mlp.{up,down}.{weight,bias}, final_norm.{weight,bias}. They are used in place
// from the mapped file when stored in half or single precision (others are converted to
// single precision at load). A half-precision matrix is widened to single precision just
// before each product that uses it: O(rows · columns) work against the product's
// O(frames · rows · columns). In a compressed stage the layer matrices may be compressed:
// they are packed before each product for the integer products
// (or, where those do not run, dequantized to single precision like a half-precision one).
class ThreadPool;

class AudioEncoderModel : public Model {
public:
    AudioEncoderModel(const ModelManifest& manifest, std::shared_ptr<SafeTensorsFile> weights,
                      ComputeUnits computeUnits);

    // Floating-point operations of the matrix products of one prediction (convolutions,
    // projections, attention scores and weighted sums, feed-forward).
    double matrixFlops() const;

protected:
    std::shared_ptr<FeatureProvider> predict(const FeatureProvider& input,
                                             const PredictionOptions& options) const override;

private:
    // A weight matrix in the form it is held in: exactly one of half, single and
    // compressed (codes in place) is set.
    struct Matrix {
        const Float16* half = nullptr;
        const float* single = nullptr;
        BlockwiseMatrix blockwise;
        std::size_t count = 0;
    };
    struct Layer {
        const float* attentionNormWeight;
        const float* attentionNormBias;
        Matrix qkvWeight;
        const float* qkvBias;
        Matrix outWeight;
        const float* outBias;
        const float* mlpNormWeight;
        const float* mlpNormBias;
        Matrix upWeight;
        const float* upBias;
        Matrix downWeight;
        const float* downBias;
    };

    const float* tensor(const std::string& name, const std::vector<std::int64_t>& shape);
    Matrix matrix(const std::string& name, const std::vector<std::int64_t>& shape);
    // A layer's matrix [rows, cols], which a compressed stage may hold compressed.
    Matrix layerMatrix(const std::string& name, std::int64_t rows, std::int64_t cols);
    // The matrix in single precision: itself, or widened into `scratch` by the pool.
    static const float* widen(const Matrix& matrix, float* scratch);
    // The share [begin, end) of `total` of the widening of a half-precision matrix into
    // `scratch`, done by a parallel loop over other work that runs before the product;
    // nothing for a single-precision one.
    static void widenShare(const Matrix& matrix, float* scratch, std::size_t begin, std::size_t end, std::size_t total);
    // Whether a matrix is compressed and packed for the integer products (else it is used in
    // single precision).
    static bool packed(const Matrix& matrix);
    // c (= or +=) a · matrixᵀ for `rows` rows of a, the matrix [n, k] as widenShare left it in
    // `scratch`; x16 and steps are room for the rows of a as 16-bit integers, `packing` for
    // the single-precision product's operands.
    static void product(ThreadPool& pool, const Matrix& matrix, const float* scratch, const float* a, std::size_t rows,
                        std::size_t n, std::size_t k, float* c, bool accumulate, std::int16_t* x16, float* steps,
                        std::span<float> packing);
    // The matrix in single precision once widened: itself, or `scratch`.
    static const float* widened(const Matrix& matrix, const float* scratch) {
        return matrix.single ? matrix.single : scratch;
    }

    EncoderHyperparameters parameters_;
    std::shared_ptr<SafeTensorsFile> weights_;
    WeightFormat weightFormat_ = WeightFormat::half;
    std::vector<std::vector<float>> copies_;         // tensors that could not be used in place
    std::vector<std::vector<Float16>> scaleCopies_;  // scales that could not be used in place
    Matrix conv1Weight_;
    const float* conv1Bias_ = nullptr;
    Matrix conv2Weight_;
    const float* conv2Bias_ = nullptr;
    Matrix positions_;
    const float* finalNormWeight_ = nullptr;
    const float* finalNormBias_ = nullptr;
    std::vector<Layer> layers_;
    mutable WorkspacePool workspaces_;
};

}  // namespace platform::runtime
