#include "Platform/ML/Conversion/WeightQuantizer.h"

#include "Platform/ML/MLError.h"
#include "Platform/ML/Runtime/ThreadPool.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace platform::conversion {

namespace {

// Fractions of absmax / qmax tried as each block's starting scale: the largest keeps every
// value inside the codes, the smaller ones clip the block's few largest values to spend the
// codes' steps on the many small ones. Clipping pays only where the steps are coarse: the
// narrower the codes, the further down the fractions go.
constexpr float scaleCandidates[] = {1.0f, 0.975f, 0.95f, 0.925f, 0.9f, 0.85f, 0.8f, 0.7f};
int candidatesFor(int bits) { return bits >= 8 ? 3 : bits >= 6 ? 5 : 8; }

// Round to nearest, ties to even, for |v| < 2^22: adding and taking away 1.5 × 2^23 leaves the
// integer part in the significand.
inline float roundedCode(float v, float qmax) {
    const float rounded = (v + 12582912.0f) - 12582912.0f;
    return std::min(std::max(rounded, -qmax), qmax);
}

float toHalfScale(float scale) {
    constexpr float largest = 65504.0f;
    return Float16(std::min(scale, largest)).floatValue();
}

// Sums kept in eight lanes and added in one fixed order, so that they vectorize and give the
// same result on every processor (blocks are multiples of 8 long).
constexpr int lanes = 8;
inline float laneTotal(const float* lane) {
    return ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
}

// The codes of one block under `scale`, and their weighted squared error.
__attribute__((target_clones("avx2", "default"))) float codesFor(const float* x, const float* w, int n, float scale,
                                                                 float qmax, float* q) {
    const float inverse = 1.0f / scale;
    float error[lanes] = {};
    for (int i = 0; i < n; i += lanes) {
        for (int k = 0; k < lanes; ++k) {
            q[i + k] = roundedCode(x[i + k] * inverse, qmax);
            const float d = x[i + k] - scale * q[i + k];
            error[k] += w[i + k] * d * d;
        }
    }
    return laneTotal(error);
}

// Least-squares scale for fixed codes: sum(w x q) / sum(w q q).
__attribute__((target_clones("avx2", "default"))) float leastSquaresScale(const float* x, const float* w,
                                                                          const float* q, int n) {
    float numerator[lanes] = {}, denominator[lanes] = {};
    for (int i = 0; i < n; i += lanes) {
        for (int k = 0; k < lanes; ++k) {
            numerator[k] += w[i + k] * x[i + k] * q[i + k];
            denominator[k] += w[i + k] * q[i + k] * q[i + k];
        }
    }
    const float total = laneTotal(denominator);
    return total > 0 ? laneTotal(numerator) / total : 0.0f;
}

// Chooses the block's scale (already rounded to half precision) and its signed codes; returns
// the weighted squared error they leave. Throws on a value that is not finite.
float quantizeBlock(const float* x, const float* w, int n, int bits, float& chosenScale, float* chosenCodes) {
    const float qmax = static_cast<float>((1 << (bits - 1)) - 1);
    // NaN compares false with everything, so it is looked for on its own.
    float largest = 0;
    bool finite = true;
    for (int i = 0; i < n; ++i) {
        largest = std::max(largest, std::fabs(x[i]));
        finite = finite && std::isfinite(x[i]);
    }
    if (!finite) throw MLError(MLError::Code::invalidModel, "Cannot convert: a weight is not a finite number");
    float signal = 0;
    for (int i = 0; i < n; ++i) signal += w[i] * x[i] * x[i];
    chosenScale = 0;
    std::fill_n(chosenCodes, n, 0.0f);
    float best = signal;
    if (largest == 0) return best;

    float q[runtime::kBlockwiseMaxBlock];
    auto consider = [&](float scale) {
        if (!(scale > 0) || !std::isfinite(scale)) return;
        const float error = codesFor(x, w, n, scale, qmax, q);
        if (error < best) {
            best = error;
            chosenScale = scale;
            std::copy_n(q, n, chosenCodes);
        }
    };
    const float start = largest / qmax;
    consider(toHalfScale(start));
    for (int c = 0; c < candidatesFor(bits); ++c) {
        const float scale = start * scaleCandidates[c];
        if (!(scale > 0)) continue;
        codesFor(x, w, n, scale, qmax, q);
        consider(toHalfScale(leastSquaresScale(x, w, q, n)));
    }
    // Scales that hold the value of most weight exactly (a value of an outlier input channel
    // counts many times over the others).
    int heaviest = 0;
    for (int i = 1; i < n; ++i)
        if (w[i] * x[i] * x[i] > w[heaviest] * x[heaviest] * x[heaviest]) heaviest = i;
    const float magnitude = std::fabs(x[heaviest]);
    const float steps = std::floor(magnitude / start);
    for (float m = steps; m >= std::max(1.0f, steps - 2); m -= 1) consider(toHalfScale(magnitude / m));
    return best;
}

void checkFormat(std::int64_t rows, std::int64_t columns, int bits, int block) {
    if (!runtime::isSupportedBlockwiseWidth(bits) || block < runtime::kBlockwiseBlockStep ||
        block > runtime::kBlockwiseMaxBlock || block % runtime::kBlockwiseBlockStep != 0 || rows < 0 || columns <= 0 ||
        columns % block != 0)
        throw MLError(MLError::Code::invalidArgument,
                      "Cannot quantize a " + std::to_string(rows) + " × " + std::to_string(columns) + " matrix with " +
                          std::to_string(bits) + "-bit codes in blocks of " + std::to_string(block));
}

std::vector<float> weightsOrOnes(const std::vector<float>& columnWeights, std::int64_t columns) {
    if (columnWeights.empty()) return std::vector<float>(static_cast<std::size_t>(columns), 1.0f);
    if (static_cast<std::int64_t>(columnWeights.size()) != columns)
        throw MLError(MLError::Code::invalidArgument, "Column weights do not match the matrix");
    return columnWeights;
}

// Quantizes one row into signed codes (as floats) and scales; returns its weighted error and
// adds its weighted signal to `signal`.
float quantizeRow(const float* row, const float* weights, std::int64_t columns, int bits, int block, float* codes,
                  float* scales) {
    float error = 0;
    for (std::int64_t b = 0; b < columns / block; ++b)
        error += quantizeBlock(row + b * block, weights + b * block, block, bits, scales[b], codes + b * block);
    return error;
}

}  // namespace

int WeightQuantizer::blockFor(std::int64_t columns, int limit) {
    const int step = runtime::kBlockwiseBlockStep;
    for (int block = std::min(limit, runtime::kBlockwiseMaxBlock) / step * step; block >= step; block -= step)
        if (columns % block == 0) return block;
    return 0;
}

std::uint64_t WeightQuantizer::storedBytes(std::int64_t rows, std::int64_t columns, int bits, int block) {
    const runtime::BlockwiseLayout layout{rows, columns, bits, block};
    return layout.packedBytes() + layout.scaleCount() * sizeof(Float16);
}

QuantizedMatrix WeightQuantizer::quantize(const float* values, std::int64_t rows, std::int64_t columns, int bits,
                                          int block, const std::vector<float>& columnWeights) {
    checkFormat(rows, columns, bits, block);
    const std::vector<float> weights = weightsOrOnes(columnWeights, columns);
    QuantizedMatrix m;
    m.layout = runtime::BlockwiseLayout{rows, columns, bits, block};
    m.codes.resize(m.layout.packedBytes());
    m.scales.resize(m.layout.scaleCount());
    const auto blocks = static_cast<std::size_t>(m.layout.blocksPerRow());
    runtime::ThreadPool::shared().parallelFor(
        static_cast<std::size_t>(rows), 16, [&](std::size_t begin, std::size_t end) {
            std::vector<float> codes(static_cast<std::size_t>(columns)), scales(static_cast<std::size_t>(columns));
            std::vector<std::int8_t> signedCodes(static_cast<std::size_t>(columns));
            for (std::size_t r = begin; r < end; ++r) {
                quantizeRow(values + r * columns, weights.data(), columns, bits, block, codes.data(), scales.data());
                for (std::int64_t i = 0; i < columns; ++i) signedCodes[i] = static_cast<std::int8_t>(codes[i]);
                runtime::packBlockwiseRow(signedCodes.data(), columns, bits, m.codes.data() + r * m.layout.rowBytes());
                for (std::size_t b = 0; b < blocks; ++b) m.scales[r * blocks + b] = Float16(scales[b]);
            }
        });
    return m;
}

WeightQuantizer::Error WeightQuantizer::measure(const float* values, std::int64_t rows, std::int64_t columns, int bits,
                                                int block, const std::vector<float>& columnWeights,
                                                std::int64_t rowStep) {
    checkFormat(rows, columns, bits, block);
    const std::vector<float> weights = weightsOrOnes(columnWeights, columns);
    rowStep = std::max<std::int64_t>(rowStep, 1);
    const auto sampled = static_cast<std::size_t>((rows + rowStep - 1) / rowStep);
    // One partial sum per sampled row, added in order, so the result does not depend on how the
    // rows were shared among the threads.
    std::vector<double> errors(sampled), signals(sampled);
    runtime::ThreadPool::shared().parallelFor(sampled, 8, [&](std::size_t begin, std::size_t end) {
        std::vector<float> codes(static_cast<std::size_t>(columns)), scales(static_cast<std::size_t>(columns));
        for (std::size_t s = begin; s < end; ++s) {
            const float* row = values + static_cast<std::int64_t>(s) * rowStep * columns;
            errors[s] = quantizeRow(row, weights.data(), columns, bits, block, codes.data(), scales.data());
            double signal = 0;
            for (std::int64_t i = 0; i < columns; ++i) signal += static_cast<double>(weights[i]) * row[i] * row[i];
            signals[s] = signal;
        }
    });
    Error total;
    for (std::size_t s = 0; s < sampled; ++s) {
        total.error += errors[s];
        total.signal += signals[s];
    }
    return total;
}

}  // namespace platform::conversion
