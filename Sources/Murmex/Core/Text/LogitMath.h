#pragma once

#include <cstddef>

namespace murmex::logitmath {

// Reductions over one step's logits (widened to single precision), shared by the filters and
// the samplers.

// A per-thread buffer of at least `count` floats, reused between calls so that a decoding step
// allocates nothing once the buffer has grown to the vocabulary size. Valid until the next
// call on the same thread.
float* scratch(std::size_t count);

// The largest value of values[0..<count] (negative infinity when count is 0; NaN is skipped).
float maxValue(const float* values, int count);
// The first index of the largest value; -1 when count is 0 or every value is NaN.
int argmax(const float* values, int count);
// Σ exp(values[i] − shift), each term in single precision, summed in double precision.
double sumExp(const float* values, int count, float shift);
// log Σ exp(values[i]), computed around the largest value; negative infinity when every value
// is negative infinity.
double logSumExp(const float* values, int count);

}  // namespace murmex::logitmath
