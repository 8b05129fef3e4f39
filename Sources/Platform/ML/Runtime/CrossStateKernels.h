#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::runtime::kernels {

// The cross-attention keys and values of a decoder, held as 8-bit codes with
// one single-precision scale per frame and head (value = scale × code): half the bytes
// of half precision, and these are read at every token.
//
// Keys of one head are stored in blocks of `keyFrameBlock` frames, each block channel
// after channel with the block's frames side by side ([block][channel][frame]), so that a
// query's scores for a block are whole-vector products; the last block is padded with
// zero codes and scales. Values of one head are stored frame after frame
// ([frame][channel]).
inline constexpr std::size_t keyFrameBlock = 16;

// Frames rounded up to whole key blocks.
constexpr std::size_t paddedKeyFrames(std::size_t frames) {
    return (frames + keyFrameBlock - 1) / keyFrameBlock * keyFrameBlock;
}

// Codes and scales of `frames` rows of `width` values (row t at rows + t·stride), each row
// coded with its own scale (its largest magnitude over 127; 0 for a row of zeros).
// Keys go out in the blocked layout (paddedKeyFrames(frames) scales and blocks), values
// row after row.
void quantizeKeys(const float* rows, std::size_t frames, std::size_t width, std::size_t stride, std::int8_t* codes,
                  float* scales);
void quantizeValues(const float* rows, std::size_t frames, std::size_t width, std::size_t stride, std::int8_t* codes,
                    float* scales);

// scores[t] = factor · scales[t] · Σ_c q[c] · key[t][c] for t in [first, last), where
// `first` is a multiple of keyFrameBlock; `codes` and `scales` are one head's keys.
void keyScores(const std::int8_t* codes, const float* scales, std::size_t width, const float* q, float factor,
               float* scores, std::size_t first, std::size_t last);

// out[c] = Σ_t weights[t] · scales[t] · value[t][c] over `frames` frames starting at
// `codes` / `scales`, for c in [0, width).
void weightedValues(const std::int8_t* codes, const float* scales, std::size_t width, const float* weights,
                    std::size_t frames, float* out);

}  // namespace platform::runtime::kernels
