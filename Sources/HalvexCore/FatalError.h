#pragma once

#include <string_view>

namespace halvex {

// Stops the process after a broken caller contract or invariant: writes the message to
// standard error and to the system log, then aborts. Never returns.
[[noreturn]] void fatalError(std::string_view message);

}  // namespace halvex
