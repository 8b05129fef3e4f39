#pragma once

#include <cstddef>

#include "Murmex/Decoding/LogitsView.h"

namespace murmex::logitmath {

// Reductions over one step's half-precision logits, shared by the filters and the samplers.
// Values are widened to single precision and, where `divisor` is given, divided by it (the
// sampling temperature) before they enter a reduction. Contiguous logits use the processor's
// vector instructions when it has AVX2 and F16C; every path computes each element the same
// way, so the results differ between paths at most in the rounding of the final sums.

// The largest value among ids begin..<end (negative infinity when the range holds no number).
float maxValue(const LogitsView& logits, int begin, int end, float divisor = 1.0f);
// The first id of the largest value; -1 when no logit is a number.
int argmax(const LogitsView& logits);
// Σ exp(x_i / divisor − shift) over all ids, each term in single precision, summed in double
// precision.
double sumExp(const LogitsView& logits, float shift, float divisor = 1.0f);
// The k largest values x_i / divisor, largest first, equal values in id order, with their ids.
// Returns how many were found (fewer than k when fewer logits are numbers).
int topK(const LogitsView& logits, int k, float divisor, float* values, int* ids);

// exp(x) in single precision as the kernels compute it (relative error below 2e-7; 0 for x
// below −87 and for NaN).
float exponential(float x);

// Lets tests compare the plain loops with the vector kernels; both are on by default where
// the processor supports them.
void setVectorKernelsEnabled(bool enabled);
bool vectorKernelsAvailable();

}  // namespace murmex::logitmath
