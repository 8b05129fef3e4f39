#pragma once

namespace halvex {

struct ConcurrencyUtilities {
    // The number of processors online at the moment of the call (at least 1).
    static int activeProcessorCount();
};

}  // namespace halvex
