#include "HalvexCore/HalvexCoreError.h"

#include <utility>

namespace halvex {

HalvexCoreError::HalvexCoreError(Kind kind, std::string message)
    : std::runtime_error(message), kind_(kind), message_(std::move(message)) {}

HalvexCoreError HalvexCoreError::invalidConfiguration(std::string message) {
    return HalvexCoreError(Kind::invalidConfiguration, std::move(message));
}

}  // namespace halvex
