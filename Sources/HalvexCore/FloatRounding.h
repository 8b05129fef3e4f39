#pragma once

namespace halvex {

// `value` rounded to `places` decimal places in 32-bit floats: with p = 10^places,
// round(value × p) / p, halves away from zero.
float rounded(float value, int places);

}  // namespace halvex
