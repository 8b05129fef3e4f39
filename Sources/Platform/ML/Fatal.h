#pragma once

#include <string_view>

namespace platform {

// A broken invariant or caller contract: writes the message to standard error and stops
// the process.
[[noreturn]] void fatalError(std::string_view message);

}  // namespace platform
