#pragma once

#include <stdexcept>

namespace halvex {

// Thrown when an operation notices that its stop token was triggered between steps.
class CancellationError : public std::runtime_error {
public:
    CancellationError() : std::runtime_error("The operation was cancelled.") {}
};

}  // namespace halvex
